// SampleNTT and SamplePolyCBD.
#include "core/mlkem/sampling.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/mlkem/math/avx2.hpp"
#include "core/mlkem/math/field.hpp"
#include "core/mlkem/math/kernels.hpp"
#include "core/mlkem/math/scalar.hpp"
#include "core/wipe.hpp"
#include "primitives/sha3.hpp"

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
#if VELORA_HAVE_AVX2_KERNELS
    if (use_avx2()) return avx2::rej_uniform(out, n, kN, buf);
#endif
    return scalar::rej_uniform(out, n, kN, buf);
}

void cbd(std::span<const std::uint8_t> b, std::size_t eta, Poly& out) noexcept {
#if VELORA_HAVE_AVX2_KERNELS
    if (use_avx2()) return avx2::cbd(b, eta, out);
#endif
    scalar::cbd(b, eta, out);
}

// Three SHAKE128 blocks (504 bytes, 336 candidates for 256 values) suffice
// for all but about one polynomial in a hundred; the rest read on a block
// at a time.
constexpr std::size_t kFirstBlocks = 3;

// Values a rejection pass may store past the count (see avx2::rej_uniform).
constexpr std::size_t kRejectionSlack = 16;

}  // namespace

// Algorithm 7. The XOF stream is read three bytes at a time.
void sample_ntt(Poly& a, std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i) {
    const std::uint8_t index[2] = {j, i};
    constexpr std::size_t kBlock = primitives::Shake128::kBlockBytes;
    // Public data: rho and the matrix are part of the encapsulation key.
    primitives::Shake128 xof({ByteView(rho), ByteView(index)});
    std::array<std::uint8_t, kFirstBlocks * kBlock> buf;
    xof.squeeze_blocks(buf);
    // Room for the vector loop to run past the 256th value.
    std::array<std::uint16_t, kN + kRejectionSlack> values;
    std::size_t n = rej_uniform(values, 0, buf);
    while (n < kN) {
        const auto block = std::span(buf).first<kBlock>();
        xof.squeeze_blocks(block);
        n = rej_uniform(values, n, block);
    }
    std::memcpy(a.coeffs.data(), values.data(), sizeof a.coeffs);
}

Poly sample_ntt(std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i) {
    Poly a;
    sample_ntt(a, rho, j, i);
    return a;
}

void sample_matrix(std::span<Poly> a_hat, std::span<const std::uint8_t, 32> rho, std::size_t k, bool transposed) {
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            Poly& entry = transposed ? a_hat[j * k + i] : a_hat[i * k + j];
            sample_ntt(entry, rho, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i));
        }
    }
}

PolyVec sample_matrix(std::span<const std::uint8_t, 32> rho, std::size_t k) {
    PolyVec a_hat = PolyVec::zero(k * k);
    sample_matrix(a_hat.polys, rho, k, false);
    return a_hat;
}

Poly sample_poly_cbd(std::span<const std::uint8_t> b, std::size_t eta) noexcept {
    Poly f;
    cbd(b, eta, f);
    return f;
}

// SamplePolyCBD_eta(PRF_eta(seed, nonce)), PRF_eta(s, b) = SHAKE256(s || b)[0 .. 64*eta).
void sample_noise_poly(Poly& out, std::span<const std::uint8_t, 32> seed, std::uint8_t nonce, std::size_t eta) {
    std::array<std::uint8_t, 192> prf_output;
    const std::span<std::uint8_t> buf = std::span(prf_output).first(64 * (eta <= 3 ? eta : 3));
    const std::uint8_t nonce_byte[1] = {nonce};
    primitives::shake256({ByteView(seed), ByteView(nonce_byte)}, buf);
    if (eta != 2 && eta != 3) {
        // Only 2 and 3 come from the parameter sets; anything else is a bug.
        std::fprintf(stderr, "unsupported eta value: %zu\n", eta);
        std::abort();
    }
    cbd(buf, eta, out);
    secure_zero(buf.data(), buf.size());
}

}  // namespace velora::mlkem
