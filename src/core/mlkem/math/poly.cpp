// Coefficient-wise polynomial arithmetic.
#include "core/mlkem/math/poly.hpp"

#include "core/mlkem/math/field.hpp"
#include "core/wipe.hpp"

namespace velora::mlkem {

Poly Poly::add(const Poly& a, const Poly& b) noexcept {
    Poly r;
    for (std::size_t i = 0; i < kN; ++i) r[i] = field_add(a[i], b[i]);
    return r;
}

Poly Poly::sub(const Poly& a, const Poly& b) noexcept {
    Poly r;
    for (std::size_t i = 0; i < kN; ++i) r[i] = field_sub(a[i], b[i]);
    return r;
}

void PolyVec::wipe() noexcept {
    secure_wipe(polys.data(), polys.size() * sizeof(Poly));
}

}  // namespace velora::mlkem
