// Compression (FIPS 203 section 4.2.1) and byte encoding (Algorithms 5 and 6).
//
// Bit order: bit n of a byte string is bit (n mod 8) of byte n / 8, least
// significant first; coefficient i occupies bits i*d to i*d + d - 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mlkem/math/field.hpp"
#include "core/mlkem/math/poly.hpp"

namespace velora::mlkem {

namespace detail {

// floor(x / q) for x < 41 522 342 by multiplication with ceil(2^36 / q), so
// that no division instruction ever sees a secret value.
constexpr std::uint32_t divide_by_q(std::uint32_t x) noexcept {
    constexpr std::uint64_t kReciprocal = 20642679;  // ceil(2^36 / 3329)
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(x) * kReciprocal) >> 36);
}

}  // namespace detail

// Compress_d(x) = round(2^d * x / q) mod 2^d, as floor((x * 2^d + 1664) / q)
// masked to d bits (1664 = (q - 1) / 2; q is odd, so there are no ties).
constexpr std::uint16_t compress_d(std::uint16_t x, std::size_t d) noexcept {
    const std::uint32_t scaled = (static_cast<std::uint32_t>(x) << d) + (Q - 1) / 2;
    return static_cast<std::uint16_t>(detail::divide_by_q(scaled) & ((1u << d) - 1));
}

// Decompress_d(y) = round(q * y / 2^d), halves rounded up: (y * q + 2^(d-1)) >> d.
constexpr std::uint16_t decompress_d(std::uint16_t y, std::size_t d) noexcept {
    return static_cast<std::uint16_t>((static_cast<std::uint32_t>(y) * Q + (1u << (d - 1))) >> d);
}

// Coefficient-wise forms, 1 <= d <= 11.
Poly compress_d(const Poly& f, std::size_t d) noexcept;
Poly decompress_d(const Poly& f, std::size_t d) noexcept;

// ByteDecode_d (Algorithm 6) of 32 * d bytes, 1 <= d <= 12; every field is
// then reduced modulo q (which changes only 12-bit fields of 3329 and more).
Poly byte_decode_d(std::span<const std::uint8_t> bytes, std::size_t d) noexcept;

// The same operations writing into caller storage, and fused with the
// compression where the engine always uses the two together. out and in
// hold exactly (at least, for in) 32 * d bytes.
void byte_encode_d(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept;        // 1 <= d <= 12
void compress_encode_d(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept;    // 1 <= d <= 11
void byte_decode_d(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept;       // 1 <= d <= 12
void decode_decompress_d(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept; // 1 <= d <= 11

// ByteEncode_12 / ByteDecode_12 of a whole vector (PolyVec::to_bytes and
// from_bytes into caller storage): out.size() == 384 * v.size(), and in
// holds at least 384 * out.size() bytes.
void polys_to_bytes(std::span<const Poly> v, std::span<std::uint8_t> out) noexcept;
void polys_from_bytes(std::span<const std::uint8_t> in, std::span<Poly> out) noexcept;

}  // namespace velora::mlkem
