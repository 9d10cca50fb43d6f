// Pseudorandom sampling (FIPS 204 section 7.3, Algorithms 29 to 34): the
// challenge SampleInBall, the matrix ExpandA, the secret vectors ExpandS and
// the mask ExpandMask. The SHAKE streams of one call run side by side on the
// multi-lane Keccak (primitives::run_sponges).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mldsa/math/poly.hpp"
#include "core/mldsa/params.hpp"

namespace velora::mldsa {

// CoeffFromThreeBytes (Algorithm 14) over a run of whole three-byte groups
// of a public stream: appends accepted values to out[n..256); returns the
// new count.
std::size_t rej_ntt_values(std::span<const std::uint8_t> buf, Poly& out, std::size_t n) noexcept;

// CoeffFromHalfByte (Algorithm 15) over a run of bytes, low nibble first:
// appends accepted coefficients (canonical) to out[n..256). The stream is
// secret: each value is mapped without a branch or an index; only whether a
// nibble is kept steers the loop (the rejection's outcome, which says
// nothing about the kept values).
std::size_t rej_bounded_values(std::span<const std::uint8_t> buf, std::int32_t eta, Poly& out, std::size_t n) noexcept;

// ExpandA (Algorithm 32): a_hat[r * l + s] = RejNTTPoly(rho || s || r).
void expand_a(std::span<const std::uint8_t, 32> rho, std::size_t k, std::size_t l, std::span<Poly> a_hat);

// ExpandS (Algorithm 33): s1[r] = RejBoundedPoly(rho' || r) for r < l and
// s2[r] = RejBoundedPoly(rho' || (r + l)), two-byte little-endian indices.
void expand_s(std::span<const std::uint8_t, 64> rho_prime, std::int32_t eta, std::span<Poly> s1, std::span<Poly> s2);

// ExpandMask (Algorithm 34): y[r] = BitUnpack(H(rho'' || (kappa + r), 32 c),
// gamma1 - 1, gamma1) with c = z_bits bits per coefficient.
void expand_mask(std::span<const std::uint8_t, 64> rho_pp, std::uint16_t kappa, std::int32_t gamma1,
                 std::size_t z_bits, std::span<Poly> y);

// SampleInBall (Algorithm 29) of the challenge seed: tau coefficients +-1,
// the rest 0 (canonical: -1 is q - 1). Index-free: the swap touches every
// position through masks; only the rejection of positions j > i steers the
// loop.
void sample_in_ball(std::span<const std::uint8_t> ctilde, std::size_t tau, Poly& c);

}  // namespace velora::mldsa
