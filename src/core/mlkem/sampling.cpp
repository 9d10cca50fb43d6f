// SampleNTT and SamplePolyCBD over the multi-lane Keccak.
#include "core/mlkem/sampling.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/mlkem/math/avx2.hpp"
#include "core/mlkem/math/field.hpp"
#include "core/mlkem/math/kernels.hpp"
#include "core/mlkem/math/scalar.hpp"
#include "platform/wipe.hpp"

namespace velora::mlkem {

using primitives::ByteView;

namespace scalar {

// Algorithm 7, steps 3 to 5, over whole three-byte groups. The values
// examined are public (the matrix comes from rho).
std::size_t rej_uniform(std::span<std::uint16_t> out, std::size_t n, std::size_t want,
                        std::span<const std::uint8_t> buf) noexcept {
    for (std::size_t pos = 0; pos + 3 <= buf.size() && n < want; pos += 3) {
        const std::uint16_t c0 = buf[pos], c1 = buf[pos + 1], c2 = buf[pos + 2];
        const auto d1 = static_cast<std::uint16_t>(c0 + 256 * (c1 & 0x0F));
        const auto d2 = static_cast<std::uint16_t>((c1 >> 4) + 16 * c2);
        if (d1 < Q) out[n++] = d1;
        if (d2 < Q && n < want) out[n++] = d2;
    }
    return n;
}

// Algorithm 8: coefficient i is (x - y) mod q with x the sum of bits
// 2*eta*i .. 2*eta*i + eta - 1 of b and y the sum of the next eta bits.
// Branch-free and index-free: the noise is secret.
void cbd(std::span<const std::uint8_t> b, std::size_t eta, Poly& f) noexcept {
    if (eta == 2) {
        // One byte, bits b0 (least significant) .. b7, gives two coefficients:
        // (b0 + b1) - (b2 + b3) and (b4 + b5) - (b6 + b7).
        for (std::size_t t = 0; t < 128; ++t) {
            const std::uint32_t byte = b[t];
            const std::uint32_t sums = (byte & 0x55) + ((byte >> 1) & 0x55);  // four 2-bit pair sums
            f[2 * t] = field_sub(static_cast<std::uint16_t>(sums & 3), static_cast<std::uint16_t>((sums >> 2) & 3));
            f[2 * t + 1] =
                field_sub(static_cast<std::uint16_t>((sums >> 4) & 3), static_cast<std::uint16_t>((sums >> 6) & 3));
        }
    } else if (eta == 3) {
        // Three bytes, 24 bits, give four coefficients of six bits each.
        for (std::size_t g = 0; g < 64; ++g) {
            const std::uint32_t w = b[3 * g] | (static_cast<std::uint32_t>(b[3 * g + 1]) << 8) |
                                    (static_cast<std::uint32_t>(b[3 * g + 2]) << 16);
            for (std::size_t c = 0; c < 4; ++c) {
                const std::uint32_t bits = w >> (6 * c);
                const std::uint32_t x = (bits & 1) + ((bits >> 1) & 1) + ((bits >> 2) & 1);
                const std::uint32_t y = ((bits >> 3) & 1) + ((bits >> 4) & 1) + ((bits >> 5) & 1);
                f[4 * g + c] = field_sub(static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y));
            }
        }
    }
}

}  // namespace scalar

namespace {

// The rejection loop and SamplePolyCBD of the kernel set in use.
std::size_t rej_uniform(std::span<std::uint16_t> out, std::size_t n, std::span<const std::uint8_t> buf) noexcept {
    if (run_native([&] { return avx2::rej_uniform(out, n, kN, buf); })) return n;
    return scalar::rej_uniform(out, n, kN, buf);
}

void cbd(std::span<const std::uint8_t> b, std::size_t eta, Poly& out) noexcept {
    if (run_native([&] { return avx2::cbd(b, eta, out); })) return check_bound(out, Q, "avx2::cbd");
    scalar::cbd(b, eta, out);
}

// Only 2 and 3 come from the parameter sets; anything else is a bug.
void check_eta(std::size_t eta) {
    if (eta != 2 && eta != 3) {
        std::fprintf(stderr, "unsupported eta value: %zu\n", eta);
        std::abort();
    }
}

// Three SHAKE128 blocks (504 bytes, 336 candidates for 256 values) suffice
// for all but about one polynomial in a hundred (what the libcrypto path
// produces in its first pass).
constexpr std::size_t kFirstBlocks = 3;

}  // namespace

// Algorithm 7, steps 2 to 5, on the next block of the entry's stream:
// whether the entry still lacks values. The rejection branches on the block,
// which is public: it comes from rho alone (the constant-time check sees the
// lanes of one batch apart, so the secret PRF lanes beside it do not taint it).
bool SamplingBatch::MatrixEntry::operator()(ByteView block) noexcept {
    n = rej_uniform(out->coeffs, n, block);
    return n < kN;
}

// PRF_eta(seed, nonce) = SHAKE256(seed || nonce)[0 .. 64 eta): one block for
// eta = 2 (128 of its 136 bytes), two for eta = 3 (136 + 56).
bool SamplingBatch::NoiseEntry::operator()(ByteView block) noexcept {
    const std::size_t need = 64 * eta;
    const std::size_t take = std::min(block.size(), need - have);
    std::memcpy(bytes.data() + have, block.data(), take);
    have += take;
    if (have < need) return true;
    cbd(std::span(bytes).first(need), eta, *out);
    secure_zero(bytes.data(), bytes.size());
    return false;
}

SamplingBatch::~SamplingBatch() {
    // The noise inputs hold the secret seed.
    for (std::size_t n = 0; n < noise_count_; ++n) secure_zero(noise_[n].input.data(), noise_[n].input.size());
}

void SamplingBatch::entry(Poly& out, std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i) {
    if (matrix_count_ == kMaxMatrix) std::abort();  // caller contract
    MatrixEntry& e = matrix_[matrix_count_++];
    e.out = &out;
    std::memcpy(e.input.data(), rho.data(), 32);
    e.input[32] = j;
    e.input[33] = i;
    e.n = 0;
}

void SamplingBatch::matrix(std::span<Poly> a_hat, std::span<const std::uint8_t, 32> rho, std::size_t k,
                           bool transposed) {
    if (k * k > a_hat.size()) std::abort();  // caller contract
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            entry(transposed ? a_hat[j * k + i] : a_hat[i * k + j], rho, static_cast<std::uint8_t>(j),
                  static_cast<std::uint8_t>(i));
        }
    }
}

void SamplingBatch::noise(std::span<Poly> out, std::span<const std::uint8_t, 32> seed, std::uint8_t first_nonce,
                          std::size_t eta) {
    check_eta(eta);
    if (noise_count_ + out.size() > kMaxNoise) std::abort();  // caller contract
    for (std::size_t n = 0; n < out.size(); ++n) {
        NoiseEntry& e = noise_[noise_count_++];
        e.out = &out[n];
        std::memcpy(e.input.data(), seed.data(), 32);
        e.input[32] = static_cast<std::uint8_t>(first_nonce + n);
        e.eta = eta;
        e.have = 0;
    }
}

void SamplingBatch::also(const primitives::SpongeJob& job) {
    if (other_count_ == kMaxOther) std::abort();  // caller contract
    other_[other_count_++] = job;
}

// The longest jobs first: the other sponge, then the matrix (3 blocks or
// more), then the noise (1 or 2).
void SamplingBatch::run() {
    std::array<primitives::SpongeJob, kMaxOther + kMaxMatrix + kMaxNoise> jobs;
    std::size_t count = 0;
    for (std::size_t n = 0; n < other_count_; ++n) jobs[count++] = other_[n];
    for (std::size_t n = 0; n < matrix_count_; ++n) {
        const ByteView input(matrix_[n].input);
        jobs[count++] = {primitives::Sha3::Shake128, {input, ByteView()}, matrix_[n], kFirstBlocks};
    }
    for (std::size_t n = 0; n < noise_count_; ++n) {
        const std::size_t blocks = noise_[n].eta == 2 ? 1 : 2;
        const ByteView input(noise_[n].input);
        jobs[count++] = {primitives::Sha3::Shake256, {input, ByteView()}, noise_[n], blocks};
    }
    primitives::run_sponges(std::span(jobs).first(count));
    for (std::size_t n = 0; n < noise_count_; ++n) secure_zero(noise_[n].input.data(), noise_[n].input.size());
    matrix_count_ = noise_count_ = other_count_ = 0;
}

void sample_ntt(Poly& a, std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i) {
    SamplingBatch batch;
    batch.entry(a, rho, j, i);
    batch.run();
}

Poly sample_ntt(std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i) {
    Poly a;
    sample_ntt(a, rho, j, i);
    return a;
}

PolyVec sample_matrix(std::span<const std::uint8_t, 32> rho, std::size_t k) {
    PolyVec a_hat = PolyVec::zero(k * k);
    SamplingBatch batch;
    batch.matrix(a_hat.polys, rho, k, false);
    batch.run();
    return a_hat;
}

Poly sample_poly_cbd(std::span<const std::uint8_t> b, std::size_t eta) noexcept {
    Poly f;
    cbd(b, eta, f);
    return f;
}

void sample_noise_poly(Poly& out, std::span<const std::uint8_t, 32> seed, std::uint8_t nonce, std::size_t eta) {
    SamplingBatch batch;
    batch.noise(std::span(&out, 1), seed, nonce, eta);
    batch.run();
}

}  // namespace velora::mlkem
