// Sampling of the matrix A-hat and of the noise polynomials
// (FIPS 203 Algorithms 7 and 8, with XOF = SHAKE128 and PRF = SHAKE256).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mlkem/math/poly.hpp"

namespace velora::mlkem {

// SampleNTT(rho || j || i) (Algorithm 7): rejection sampling of 12-bit values
// below q from the SHAKE128 stream. Note the index order: the column j is
// the 33rd input byte, the row i the 34th.
Poly sample_ntt(std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i);
void sample_ntt(Poly& out, std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i);

// The k x k matrix A-hat in row-major order: entry (i, j), at index i*k + j,
// is SampleNTT(rho || j || i).
PolyVec sample_matrix(std::span<const std::uint8_t, 32> rho, std::size_t k);

// The same matrix into caller storage of k * k polynomials; with transposed
// set, entry (i, j) is stored at j*k + i instead, so that the columns that
// encryption multiplies with are contiguous.
void sample_matrix(std::span<Poly> a_hat, std::span<const std::uint8_t, 32> rho, std::size_t k, bool transposed);

// SamplePolyCBD_eta(B) (Algorithm 8) of the 64*eta bytes of b, eta 2 or 3;
// canonical (-x stored as q - x).
Poly sample_poly_cbd(std::span<const std::uint8_t> b, std::size_t eta) noexcept;

// out = SamplePolyCBD_eta(PRF_eta(seed, nonce)) (Algorithm 8), canonical.
// eta is 2 or 3; any other value is an internal fault and aborts.
void sample_noise_poly(Poly& out, std::span<const std::uint8_t, 32> seed, std::uint8_t nonce, std::size_t eta);

}  // namespace velora::mlkem
