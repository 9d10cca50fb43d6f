// Polynomials of R_q = Z_q[X] / (X^256 + 1) and vectors of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

namespace velora::mlkem {

inline constexpr std::size_t kN = 256;

// 256 canonical coefficients, coefficient 0 the constant term. The same type
// holds a polynomial in normal form and in the NTT domain, where coefficients
// 2p and 2p + 1 are the residue modulo X^2 - gamma_p. Aligned so that the
// coefficient loops can run 16 coefficients (one 256-bit register) at a time.
struct alignas(32) Poly {
    std::array<std::uint16_t, kN> coeffs{};

    std::uint16_t& operator[](std::size_t i) noexcept { return coeffs[i]; }
    std::uint16_t operator[](std::size_t i) const noexcept { return coeffs[i]; }

    // Coefficient-wise field_add / field_sub (see poly_add, poly_sub).
    static Poly add(const Poly& a, const Poly& b) noexcept;
    static Poly sub(const Poly& a, const Poly& b) noexcept;

    // ByteEncode_d (FIPS 203 Algorithm 5) of the low d bits of every
    // coefficient: 32 * d bytes (see compress.cpp).
    std::vector<std::uint8_t> encode_d(std::size_t d) const;
};

static_assert(sizeof(Poly) == 512);

// out = a + b and out = a - b coefficient-wise; out may be a or b.
void poly_add(const Poly& a, const Poly& b, Poly& out) noexcept;
void poly_sub(const Poly& a, const Poly& b, Poly& out) noexcept;

// Overwrites the polynomials with zeros in a way the optimiser keeps.
void wipe_polys(std::span<Poly> polys) noexcept;

// The most polynomials a vector of any parameter set holds (k = 4).
inline constexpr std::size_t kMaxRank = 4;

// Stack storage for up to N polynomials that is not cleared first, for the
// working vectors of the engine: every polynomial taken from it is written
// in full before it is read. (Poly's zeroing default initialiser would
// clear up to 10 KiB per operation for nothing.) The byte array implicitly
// creates the Poly objects in it (Poly is an aggregate).
template <std::size_t N>
class PolyScratch {
public:
    PolyScratch() noexcept {}
    PolyScratch(const PolyScratch&) = delete;
    PolyScratch& operator=(const PolyScratch&) = delete;

    std::span<Poly> first(std::size_t n) noexcept { return {std::launder(reinterpret_cast<Poly*>(storage_)), n}; }

private:
    alignas(Poly) std::byte storage_[N * sizeof(Poly)];
};

// A vector of polynomials, stored contiguously; a k x k matrix is held as
// k * k polynomials in row-major order (entry (i, j) at index i * k + j).
struct PolyVec {
    std::vector<Poly> polys;

    static PolyVec zero(std::size_t n) { return PolyVec{std::vector<Poly>(n)}; }

    std::size_t size() const noexcept { return polys.size(); }
    Poly& operator[](std::size_t i) noexcept { return polys[i]; }
    const Poly& operator[](std::size_t i) const noexcept { return polys[i]; }

    // Sum over i of multiply_ntts(a[i], b[i]), up to the shorter length (see ntt.cpp).
    static Poly inner_product_ntt(std::span<const Poly> a, std::span<const Poly> b) noexcept;

    // ByteEncode_12 of each polynomial, concatenated: 384 * n bytes (see compress.cpp).
    static std::vector<std::uint8_t> to_bytes(std::span<const Poly> v);

    // ByteDecode_12 of the first 384 * n bytes of `bytes`, which must hold at
    // least that many (see compress.cpp).
    static PolyVec from_bytes(std::span<const std::uint8_t> bytes, std::size_t n);
};

}  // namespace velora::mlkem
