// The AVX2 kernels: 16 coefficients per 256-bit step, compiled for AVX2
// through function attributes (the rest of the engine builds without
// -mavx2) and called only when use_avx2() holds, through run_native
// (kernels.hpp). Each has the arguments and the exact results of its scalar
// counterpart (scalar.hpp) and answers Native::Fallback where it has no code
// for the arguments. Declared on every platform; defined only where
// VELORA_HAVE_AVX2_KERNELS (elsewhere run_native never calls them).
//
// Inside a kernel the arithmetic may run on signed 16-bit lanes with
// Montgomery or Barrett reductions and lazily reduced intermediates; every
// kernel returns canonical coefficients. All of them except rej_uniform are
// straight-line code over the coefficients: no branch and no memory index
// depends on a coefficient value (secrets pass through ntt, inner products,
// compression, encodings and cbd).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mlkem/math/kernels.hpp"
#include "core/mlkem/math/poly.hpp"

namespace velora::mlkem::avx2 {

Native ntt(Poly& f) noexcept;
Native ntt_inverse(Poly& f) noexcept;
Native inner_product_ntt(std::span<const Poly> a, std::span<const Poly> b, Poly& out) noexcept;
Native multiply_matrix_vector_ntt(std::span<const Poly> rows, std::span<const Poly> y, std::span<Poly> out) noexcept;
Native add(const Poly& a, const Poly& b, Poly& out) noexcept;
Native sub(const Poly& a, const Poly& b, Poly& out) noexcept;

// Widths: compress, compress_encode and decode_decompress handle d in
// {1, 4, 5, 10, 11}; encode and decode also 12; decompress any 1 <= d <= 11.
// Other widths fall back.
Native compress(const Poly& f, std::size_t d, Poly& out) noexcept;
Native decompress(const Poly& f, std::size_t d, Poly& out) noexcept;
Native encode(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept;
Native compress_encode(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept;
Native decode(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept;
Native decode_decompress(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept;
// eta 2 or 3; others fall back.
Native cbd(std::span<const std::uint8_t> in, std::size_t eta, Poly& out) noexcept;
// Appends to out from out[n] on and sets n to the new count (see scalar.hpp).
Native rej_uniform(std::span<std::uint16_t> out, std::size_t& n, std::size_t want,
                   std::span<const std::uint8_t> buf) noexcept;

}  // namespace velora::mlkem::avx2
