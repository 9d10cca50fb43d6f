// SampleNTT and SamplePolyCBD.
#include "core/mlkem/sampling.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "core/mlkem/math/field.hpp"
#include "core/wipe.hpp"
#include "primitives/sha3.hpp"

namespace velora::mlkem {

using primitives::ByteView;

// Algorithm 7. The XOF stream is read three bytes at a time, one 168-byte
// block squeezed whenever the previous one is used up (168 = 3 * 56, so a
// group never straddles two blocks). The values examined are public.
Poly sample_ntt(std::span<const std::uint8_t, 32> rho, std::uint8_t j, std::uint8_t i) {
    const std::uint8_t index[2] = {j, i};
    primitives::Shake128 xof({ByteView(rho), ByteView(index)});
    std::array<std::uint8_t, primitives::Shake128::kBlockBytes> block{};
    std::size_t pos = block.size();

    Poly a;
    std::size_t n = 0;
    while (n < kN) {
        if (pos == block.size()) {
            xof.squeeze_blocks(block);
            pos = 0;
        }
        const std::uint16_t c0 = block[pos], c1 = block[pos + 1], c2 = block[pos + 2];
        pos += 3;
        const auto d1 = static_cast<std::uint16_t>(c0 + 256 * (c1 & 0x0F));
        const auto d2 = static_cast<std::uint16_t>((c1 >> 4) + 16 * c2);
        if (d1 < Q) a[n++] = d1;
        if (d2 < Q && n < kN) a[n++] = d2;
    }
    return a;
}

PolyVec sample_matrix(std::span<const std::uint8_t, 32> rho, std::size_t k) {
    PolyVec a_hat;
    a_hat.polys.reserve(k * k);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            a_hat.polys.push_back(sample_ntt(rho, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i)));
        }
    }
    return a_hat;
}

// Algorithm 8: coefficient i is (x - y) mod q with x the sum of bits
// 2*eta*i .. 2*eta*i + eta - 1 of b and y the sum of the next eta bits.
// Branch-free and index-free: the noise is secret.
Poly sample_poly_cbd(std::span<const std::uint8_t> b, std::size_t eta) noexcept {
    Poly f;
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
    return f;
}

// SamplePolyCBD_eta(PRF_eta(seed, nonce)), PRF_eta(s, b) = SHAKE256(s || b)[0 .. 64*eta).
void sample_noise_poly(Poly& out, std::span<const std::uint8_t, 32> seed, std::uint8_t nonce, std::size_t eta) {
    SecretBytes<192> prf_output;
    const std::span<std::uint8_t> buf = std::span<std::uint8_t>(prf_output.bytes).first(64 * (eta <= 3 ? eta : 3));
    const std::uint8_t nonce_byte[1] = {nonce};
    primitives::shake256({ByteView(seed), ByteView(nonce_byte)}, buf);
    if (eta != 2 && eta != 3) {
        // Only 2 and 3 come from the parameter sets; anything else is a bug.
        std::fprintf(stderr, "unsupported eta value: %zu\n", eta);
        std::abort();
    }
    out = sample_poly_cbd(buf, eta);
}

}  // namespace velora::mlkem
