// The scalar coefficient loops: the definitions every AVX2 kernel must match
// bit for bit. Always compiled; chosen when the CPU lacks AVX2 (or in test
// builds when VELORA_FORCE_SCALAR=1, see kernels.hpp). All of them are
// branch-free and index-free in the coefficient values except
// rej_uniform, which only ever sees public data (the matrix A-hat).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mlkem/math/poly.hpp"

namespace velora::mlkem::scalar {

void ntt(Poly& f) noexcept;
void ntt_inverse(Poly& f) noexcept;

// out = sum over i < min(|a|, |b|) of MultiplyNTTs(a[i], b[i]); out may not alias a or b.
void inner_product_ntt(std::span<const Poly> a, std::span<const Poly> b, Poly& out) noexcept;

// out[r] = inner_product_ntt(rows[r*n, (r+1)*n), y) for every r < out.size(),
// n = y.size(); rows.size() == out.size() * n. out may not overlap the inputs.
void multiply_matrix_vector_ntt(std::span<const Poly> rows, std::span<const Poly> y, std::span<Poly> out) noexcept;

void add(const Poly& a, const Poly& b, Poly& out) noexcept;
void sub(const Poly& a, const Poly& b, Poly& out) noexcept;

// Coefficient-wise Compress_d / Decompress_d, 1 <= d <= 11.
void compress(const Poly& f, std::size_t d, Poly& out) noexcept;
void decompress(const Poly& f, std::size_t d, Poly& out) noexcept;

// ByteEncode_d of the low d bits of every coefficient into out (32 * d bytes), 1 <= d <= 12.
void encode(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept;
// ByteEncode_d(Compress_d(f)), 1 <= d <= 11.
void compress_encode(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept;

// ByteDecode_d of the first 32 * d bytes of in, each field reduced modulo q
// (which only changes 12-bit fields of 3329 and more), 1 <= d <= 12.
void decode(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept;
// Decompress_d(ByteDecode_d(in)), 1 <= d <= 11.
void decode_decompress(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept;

// SamplePolyCBD_eta of the 64 * eta bytes of in, eta 2 or 3.
void cbd(std::span<const std::uint8_t> in, std::size_t eta, Poly& out) noexcept;

// The rejection loop of SampleNTT (Algorithm 7, steps 3 to 5) over whole
// three-byte groups of buf: appends the accepted 12-bit values to out from
// out[n] on until `want` values are held or buf is used up, and returns the
// new count. (The AVX2 kernel may go up to 15 values past `want` when out
// has room for them; the first `want` values are the same.)
std::size_t rej_uniform(std::span<std::uint16_t> out, std::size_t n, std::size_t want,
                        std::span<const std::uint8_t> buf) noexcept;

}  // namespace velora::mlkem::scalar
