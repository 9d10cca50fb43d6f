// Coefficient-wise polynomial arithmetic.
#include "core/mlkem/math/poly.hpp"

#include "core/mlkem/math/avx2.hpp"
#include "core/mlkem/math/field.hpp"
#include "core/mlkem/math/kernels.hpp"
#include "core/mlkem/math/scalar.hpp"
#include "platform/wipe.hpp"

namespace velora::mlkem {

namespace scalar {

void add(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t i = 0; i < kN; ++i) out[i] = field_add(a[i], b[i]);
}

void sub(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t i = 0; i < kN; ++i) out[i] = field_sub(a[i], b[i]);
}

}  // namespace scalar

void poly_add(const Poly& a, const Poly& b, Poly& out) noexcept {
    if (run_native([&] { return avx2::add(a, b, out); })) return check_bound(out, Q, "avx2::add");
    scalar::add(a, b, out);
}

void poly_sub(const Poly& a, const Poly& b, Poly& out) noexcept {
    if (run_native([&] { return avx2::sub(a, b, out); })) return check_bound(out, Q, "avx2::sub");
    scalar::sub(a, b, out);
}

Poly Poly::add(const Poly& a, const Poly& b) noexcept {
    Poly r;
    poly_add(a, b, r);
    return r;
}

Poly Poly::sub(const Poly& a, const Poly& b) noexcept {
    Poly r;
    poly_sub(a, b, r);
    return r;
}

void wipe_polys(std::span<Poly> polys) noexcept { secure_zero(polys.data(), polys.size_bytes()); }

}  // namespace velora::mlkem
