// Bit packing of polynomials and the encodings of keys and signatures
// (FIPS 204 section 7.1 and 7.2, Algorithms 16 to 28).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mldsa/math/poly.hpp"
#include "core/mldsa/params.hpp"

namespace velora::mldsa {

// SimpleBitPack (Algorithm 16) with `bits` bits per coefficient: coefficient
// i occupies bits bits*i .. bits*i + bits - 1 of out, least significant
// first. out is 32 * bits bytes. Coefficients must be below 2^bits.
void simple_bit_pack(const Poly& w, std::size_t bits, std::span<std::uint8_t> out) noexcept;

// BitPack (Algorithm 17): packs b - w_i (w_i read mod+- q) with `bits` bits;
// b - w_i must lie in [0, 2^bits).
void bit_pack(const Poly& w, std::int32_t b, std::size_t bits, std::span<std::uint8_t> out) noexcept;

// SimpleBitUnpack (Algorithm 18): the `bits`-bit fields of in, as they are.
void simple_bit_unpack(std::span<const std::uint8_t> in, std::size_t bits, Poly& w) noexcept;

// BitUnpack (Algorithm 19): w_i = b - field_i, stored canonical. Returns a
// mask with every bit set when some field exceeded max_field (for the
// secret vectors, whose fields must not exceed 2 eta), else 0; computed
// without a branch on the fields.
std::uint32_t bit_unpack(std::span<const std::uint8_t> in, std::int32_t b, std::size_t bits, std::int32_t max_field,
                         Poly& w) noexcept;

// HintBitPack (Algorithm 20) of k hint polynomials (0/1 coefficients, at
// most omega ones in all) into omega + k bytes.
void hint_bit_pack(std::span<const Poly> h, std::size_t omega, std::span<std::uint8_t> out) noexcept;

// HintBitUnpack (Algorithm 21): false for a malformed encoding (bottom).
// Works on public signature bytes.
bool hint_bit_unpack(std::span<const std::uint8_t> in, std::size_t omega, std::span<Poly> h) noexcept;

// The parts of a secret key (skDecode, Algorithm 25), as views into it.
struct SecretKeyView {
    std::span<const std::uint8_t, 32> rho;
    std::span<const std::uint8_t, 32> key;  // K
    std::span<const std::uint8_t, 64> tr;
    std::span<const std::uint8_t> s1;       // l packed polynomials
    std::span<const std::uint8_t> s2;       // k packed polynomials
    std::span<const std::uint8_t> t0;       // k packed polynomials
};

// Splits sk (exactly sk_size(level) bytes) into its fields.
SecretKeyView split_secret_key(std::span<const std::uint8_t> sk, LevelIndex level) noexcept;

// The rest of skDecode (Algorithm 25): s1 (l polynomials), s2 and t0 (k
// each), canonical. Returns whether some coefficient of s1 or s2 lies
// outside [-eta, eta] (a key Algorithm 6 cannot produce): computed without
// a branch on the coefficients, and only that one bit is made public.
bool unpack_secret_vectors(const SecretKeyView& v, LevelIndex level, std::span<Poly> s1, std::span<Poly> s2,
                           std::span<Poly> t0) noexcept;

// The byte ranges of a signature (sigDecode, Algorithm 27).
struct SignatureView {
    std::span<const std::uint8_t> ctilde;
    std::span<const std::uint8_t> z;     // l packed polynomials
    std::span<const std::uint8_t> hint;  // omega + k bytes
};

SignatureView split_signature(std::span<const std::uint8_t> sig, LevelIndex level) noexcept;

}  // namespace velora::mldsa
