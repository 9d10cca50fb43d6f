// The AVX2 kernels of ML-DSA: 8 coefficients (32-bit lanes) per 256-bit
// step, compiled for AVX2 through function attributes and called only when
// the process runs the AVX2 kernel set (mlkem::use_avx2, one choice for the
// whole engine: VELORA_FORCE_SCALAR=1 in test builds selects the scalar
// loops for both). Each kernel has the arguments and the exact results of
// its scalar counterpart (scalar namespace below) and answers
// Native::Fallback where it has no code. Straight-line code over the
// coefficients: no branch and no memory index depends on a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mldsa/math/poly.hpp"
#include "core/mlkem/math/kernels.hpp"

namespace velora::mldsa {

using mlkem::Native;

namespace scalar {
void ntt(Poly& w) noexcept;
void ntt_inverse(Poly& w) noexcept;
void pointwise(const Poly& a, const Poly& b, Poly& out) noexcept;
void pointwise_acc(const Poly& a, const Poly& b, Poly& out) noexcept;
void montgomery_form(Poly& a) noexcept;
void pointwise_montgomery(const Poly& a, const Poly& b, Poly& out) noexcept;
void pointwise_montgomery_acc(const Poly& a, const Poly& b, Poly& out) noexcept;
// SampleInBall's swap (Algorithm 29, steps 7 and 8) for a secret position
// j <= i: c_i <- c_j, then c_j <- sign, every position up to i read and
// written through masks.
void ball_swap(Poly& c, std::size_t i, std::size_t j, std::int32_t sign) noexcept;
}  // namespace scalar

namespace avx2 {
Native ntt(Poly& w) noexcept;
Native ntt_inverse(Poly& w) noexcept;
Native pointwise(const Poly& a, const Poly& b, Poly& out) noexcept;
Native pointwise_acc(const Poly& a, const Poly& b, Poly& out) noexcept;
Native montgomery_form(Poly& a) noexcept;
Native pointwise_montgomery(const Poly& a, const Poly& b, Poly& out) noexcept;
Native pointwise_montgomery_acc(const Poly& a, const Poly& b, Poly& out) noexcept;
Native ball_swap(Poly& c, std::size_t i, std::size_t j, std::int32_t sign) noexcept;
// rounding.hpp's high_bits_poly, low_bits_poly and make_hint_poly (ones
// counted into *ones).
Native high_bits(const Poly& w, std::int32_t gamma2, Poly& w1) noexcept;
Native low_bits(const Poly& w, std::int32_t gamma2, Poly& r0) noexcept;
Native make_hint(const Poly& z, const Poly& r, std::int32_t gamma2, Poly& h, std::size_t* ones) noexcept;
}  // namespace avx2

}  // namespace velora::mldsa
