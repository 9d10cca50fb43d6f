// SampleInBall, ExpandA, ExpandS and ExpandMask over the multi-lane Keccak.
#include "core/mldsa/sampling.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "core/mldsa/math/avx2.hpp"
#include "core/mldsa/math/field.hpp"
#include "core/mldsa/math/packing.hpp"
#include "platform/wipe.hpp"
#include "platform/ct.hpp"
#include "primitives/sha3.hpp"

namespace velora::mldsa {

using primitives::ByteView;

namespace {

// SHAKE128 gives 168-byte blocks (56 groups of three): five blocks hold 280
// candidates for 256 values, enough but for a stream in about ten million.
constexpr std::size_t kMatrixBlocks = 5;

struct RejNttSink {
    Poly* out;
    std::size_t n = 0;
    std::array<std::uint8_t, 34> input{};  // rho || s || r
    bool operator()(ByteView block) noexcept {
        n = rej_ntt_values(block, *out, n);
        return n < kN;
    }
};

struct RejBoundedSink {
    Poly* out;
    std::int32_t eta;
    std::size_t n = 0;
    std::array<std::uint8_t, 66> input{};  // rho' || index
    bool operator()(ByteView block) noexcept {
        n = rej_bounded_values(block, eta, *out, n);
        return n < kN;
    }
};

struct MaskSink {
    Poly* out;
    std::int32_t gamma1;
    std::size_t bits;
    std::size_t have = 0;
    std::array<std::uint8_t, 66> input{};  // rho'' || kappa + r
    std::array<std::uint8_t, 640> bytes{};  // 32 * bits
    bool operator()(ByteView block) noexcept {
        const std::size_t need = 32 * bits;
        const std::size_t take = std::min(block.size(), need - have);
        std::memcpy(bytes.data() + have, block.data(), take);
        have += take;
        if (have < need) return true;
        (void)bit_unpack(std::span(bytes).first(need), gamma1, bits, 2 * gamma1, *out);
        return false;
    }
};

}  // namespace

// Algorithm 14 on each group: the low 23 bits of b0 + 256 b1 + 65536 b2
// (b2's top bit cleared), kept when below q.
std::size_t rej_ntt_values(std::span<const std::uint8_t> buf, Poly& out, std::size_t n) noexcept {
    for (std::size_t pos = 0; pos + 3 <= buf.size() && n < kN; pos += 3) {
        const std::int32_t z = buf[pos] | (buf[pos + 1] << 8) | ((buf[pos + 2] & 0x7F) << 16);
        if (z < Q) out[n++] = z;
    }
    return n;
}

// Algorithm 15: for eta = 2, nibbles below 15 give 2 - (b mod 5); for eta = 4,
// nibbles below 9 give 4 - b. b mod 5 is b - 5 floor(b * 205 / 1024), exact
// for b < 15.
std::size_t rej_bounded_values(std::span<const std::uint8_t> buf, std::int32_t eta, Poly& out, std::size_t n) noexcept {
    const std::int32_t limit = eta == 2 ? 15 : 9;
    for (std::size_t pos = 0; pos < buf.size() && n < kN; ++pos) {
        for (int half = 0; half < 2 && n < kN; ++half) {
            const std::int32_t b = (buf[pos] >> (4 * half)) & 0x0F;
            const std::int32_t value = eta == 2 ? 2 - (b - 5 * ((b * 205) >> 10)) : 4 - b;
            // The one public bit: whether the nibble is kept.
            std::uint8_t keep = static_cast<std::uint8_t>(static_cast<std::uint32_t>(b - limit) >> 31);
            ct::declassify(&keep, 1);
            out[n] = from_signed(value);
            n += keep;
        }
    }
    return n;
}

void expand_a(std::span<const std::uint8_t, 32> rho, std::size_t k, std::size_t l, std::span<Poly> a_hat) {
    if (k > kMaxK || l > kMaxL || a_hat.size() < k * l) std::abort();  // caller contract
    std::array<RejNttSink, kMaxK * kMaxL> sinks;
    std::array<primitives::SpongeJob, kMaxK * kMaxL> jobs;
    for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t s = 0; s < l; ++s) {
            RejNttSink& sink = sinks[r * l + s];
            sink.out = &a_hat[r * l + s];
            std::memcpy(sink.input.data(), rho.data(), 32);
            sink.input[32] = static_cast<std::uint8_t>(s);
            sink.input[33] = static_cast<std::uint8_t>(r);
            jobs[r * l + s] = {primitives::Sha3::Shake128, {ByteView(sink.input), ByteView()}, sink, kMatrixBlocks};
        }
    }
    primitives::run_sponges(std::span(jobs).first(k * l));
}

void expand_s(std::span<const std::uint8_t, 64> rho_prime, std::int32_t eta, std::span<Poly> s1, std::span<Poly> s2) {
    const std::size_t l = s1.size(), k = s2.size();
    if (k > kMaxK || l > kMaxL) std::abort();  // caller contract
    std::array<RejBoundedSink, kMaxK + kMaxL> sinks;
    std::array<primitives::SpongeJob, kMaxK + kMaxL> jobs;
    for (std::size_t r = 0; r < l + k; ++r) {
        RejBoundedSink& sink = sinks[r];
        sink.out = r < l ? &s1[r] : &s2[r - l];
        sink.eta = eta;
        std::memcpy(sink.input.data(), rho_prime.data(), 64);
        sink.input[64] = static_cast<std::uint8_t>(r);
        sink.input[65] = static_cast<std::uint8_t>(r >> 8);
        // eta = 4 keeps 9 nibbles in 16: about 455 for 256 values, two blocks.
        jobs[r] = {primitives::Sha3::Shake256, {ByteView(sink.input), ByteView()}, sink, eta == 2 ? 2u : 3u};
    }
    primitives::run_sponges(std::span(jobs).first(l + k));
    for (RejBoundedSink& sink : sinks) secure_zero(sink.input.data(), sink.input.size());
}

void expand_mask(std::span<const std::uint8_t, 64> rho_pp, std::uint16_t kappa, std::int32_t gamma1,
                 std::size_t z_bits, std::span<Poly> y) {
    if (y.size() > kMaxL) std::abort();  // caller contract
    std::array<MaskSink, kMaxL> sinks;
    std::array<primitives::SpongeJob, kMaxL> jobs;
    const std::size_t blocks = (32 * z_bits + primitives::kShake256BlockBytes - 1) / primitives::kShake256BlockBytes;
    for (std::size_t r = 0; r < y.size(); ++r) {
        MaskSink& sink = sinks[r];
        sink.out = &y[r];
        sink.gamma1 = gamma1;
        sink.bits = z_bits;
        std::memcpy(sink.input.data(), rho_pp.data(), 64);
        const auto index = static_cast<std::uint16_t>(kappa + r);
        sink.input[64] = static_cast<std::uint8_t>(index);
        sink.input[65] = static_cast<std::uint8_t>(index >> 8);
        jobs[r] = {primitives::Sha3::Shake256, {ByteView(sink.input), ByteView()}, sink, blocks};
    }
    primitives::run_sponges(std::span(jobs).first(y.size()));
    for (MaskSink& sink : sinks) {
        secure_zero(sink.input.data(), sink.input.size());
        secure_zero(sink.bytes.data(), sink.bytes.size());
    }
}

namespace scalar {

void ball_swap(Poly& c, std::size_t i, std::size_t j, std::int32_t sign) noexcept {
    std::int32_t cj = 0;
    for (std::size_t p = 0; p <= i; ++p) {
        const auto d = static_cast<std::uint32_t>(p ^ j);
        const std::int32_t at = -static_cast<std::int32_t>(((d | (0u - d)) >> 31) ^ 1u);  // all ones at p == j
        cj |= c[p] & at;
    }
    c[i] = cj;
    for (std::size_t p = 0; p <= i; ++p) {
        const auto d = static_cast<std::uint32_t>(p ^ j);
        const std::int32_t at = -static_cast<std::int32_t>(((d | (0u - d)) >> 31) ^ 1u);
        c[p] = (sign & at) | (c[p] & ~at);
    }
}

}  // namespace scalar

namespace {

// Algorithm 29, steps 4 to 10, fed block by block.
struct BallSink {
    Poly* c;
    std::size_t tau;
    std::size_t i;                 // next position to fill: 256 - tau .. 255
    std::uint64_t signs = 0;       // the first 8 bytes of the stream
    std::size_t sign_bytes = 0;
    bool operator()(ByteView block) noexcept {
        std::size_t pos = 0;
        for (; sign_bytes < 8 && pos < block.size(); ++pos, ++sign_bytes) {
            signs |= static_cast<std::uint64_t>(block[pos]) << (8 * sign_bytes);
        }
        for (; pos < block.size() && i < kN; ++pos) {
            const std::size_t j = block[pos];
            // The public bit of the rejection: j <= i.
            const std::uint32_t i_minus_j = static_cast<std::uint32_t>(i) - static_cast<std::uint32_t>(j);
            auto accept = static_cast<std::uint8_t>((i_minus_j >> 31) ^ 1u);
            ct::declassify(&accept, 1);
            if (accept == 0) continue;
            // c_i <- c_j; c_j <- (-1)^h[i + tau - 256].
            const std::int32_t bit = static_cast<std::int32_t>((signs >> (i + tau - kN)) & 1u);
            const std::int32_t sign = field_sub(1, 2 * bit);  // 1 or q - 1
            if (!mlkem::run_native([&] { return avx2::ball_swap(*c, i, j, sign); })) scalar::ball_swap(*c, i, j, sign);
            ++i;
        }
        return i < kN;
    }
};

}  // namespace

void sample_in_ball(std::span<const std::uint8_t> ctilde, std::size_t tau, Poly& c) {
    c.coeffs.fill(0);
    BallSink sink{&c, tau, kN - tau};
    const primitives::SpongeJob job{primitives::Sha3::Shake256, {ctilde, ByteView()}, sink, 1};
    primitives::run_sponges(std::span(&job, 1));
    sink.signs = 0;
    ct::opaque(sink.signs);
}

}  // namespace velora::mldsa
