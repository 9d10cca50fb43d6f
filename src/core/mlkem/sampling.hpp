// Sampling of the matrix A-hat and of the noise polynomials
// (FIPS 203 Algorithms 7 and 8, with XOF = SHAKE128 and PRF = SHAKE256).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mlkem/math/poly.hpp"
#include "core/mlkem/params.hpp"
#include "primitives/sha3.hpp"

namespace velora::mlkem {

// SampleNTT(rho || j || i) (Algorithm 7): rejection sampling of 12-bit values
// below q from the SHAKE128 stream. Note the index order: the column j is
// the 33rd input byte, the row i the 34th.
Poly sample_ntt(std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i);
void sample_ntt(Poly& out, std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i);

// The k x k matrix A-hat in row-major order: entry (i, j), at index i*k + j,
// is SampleNTT(rho || j || i).
PolyVec sample_matrix(std::span<const std::uint8_t, 32> rho, std::size_t k);

// SamplePolyCBD_eta(B) (Algorithm 8) of the 64*eta bytes of b, eta 2 or 3;
// canonical (-x stored as q - x).
Poly sample_poly_cbd(std::span<const std::uint8_t> b, std::size_t eta) noexcept;

// out = SamplePolyCBD_eta(PRF_eta(seed, nonce)) (Algorithm 8), canonical.
// eta is 2 or 3; any other value is an internal fault and aborts.
void sample_noise_poly(Poly& out, std::span<const std::uint8_t, 32> seed, std::uint8_t nonce, std::size_t eta);

// The SHAKE work of one K-PKE operation, collected and then run side by
// side on the multi-lane Keccak (primitives::run_sponges): the k^2 SampleNTT
// streams, the noise PRFs and any other sponge the operation needs at that
// point (H(ek) in encapsulation, J(z || c) in decapsulation). Every entry
// and every polynomial is exactly what the one-at-a-time functions above
// give: each SHAKE128 stream is read block after block in its own order, and
// a stream that needs more than its first blocks goes on alone.
class SamplingBatch {
public:
    SamplingBatch() noexcept = default;
    SamplingBatch(const SamplingBatch&) = delete;
    SamplingBatch& operator=(const SamplingBatch&) = delete;
    ~SamplingBatch();

    // out <- SampleNTT(rho || j || i).
    void entry(Poly& out, std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i);

    // A-hat[i][j] <- SampleNTT(rho || j || i) for all k^2 entries, stored at
    // i*k + j, or at j*k + i when transposed.
    void matrix(std::span<Poly> a_hat, std::span<const std::uint8_t, 32> rho, std::size_t k, bool transposed);

    // out[n] <- SamplePolyCBD_eta(PRF_eta(seed, first_nonce + n)) for each n.
    void noise(std::span<Poly> out, std::span<const std::uint8_t, 32> seed, std::uint8_t first_nonce,
               std::size_t eta);

    // Another sponge to run with the sampling; it goes first, since it is
    // the longest (9 or more blocks against the 3 of a matrix entry).
    void also(const primitives::SpongeJob& job);

    // Runs everything collected (on the active Keccak path), then clears it.
    void run();

private:
    struct MatrixEntry {
        Poly* out;                           // filled in place, n coefficients so far
        std::array<std::uint8_t, 34> input;  // rho || j || i
        std::size_t n;
        bool operator()(primitives::ByteView block) noexcept;
    };
    struct NoiseEntry {
        Poly* out;
        std::array<std::uint8_t, 33> input;  // seed || nonce
        std::size_t eta;
        std::size_t have;                    // PRF bytes received
        std::array<std::uint8_t, 192> bytes;  // PRF_eta output, 64 * eta bytes
        bool operator()(primitives::ByteView block) noexcept;
    };

    static constexpr std::size_t kMaxMatrix = kMaxRank * kMaxRank;
    static constexpr std::size_t kMaxNoise = 2 * kMaxRank + 1;
    static constexpr std::size_t kMaxOther = 1;

    std::array<MatrixEntry, kMaxMatrix> matrix_;
    std::array<NoiseEntry, kMaxNoise> noise_;
    std::array<primitives::SpongeJob, kMaxOther> other_;
    std::size_t matrix_count_ = 0, noise_count_ = 0, other_count_ = 0;
};

}  // namespace velora::mlkem
