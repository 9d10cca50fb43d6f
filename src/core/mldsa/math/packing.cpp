// Bit packing: a 64-bit accumulator takes each coefficient's field and
// gives up whole bytes. The loops depend on the field width alone.
#include "core/mldsa/math/packing.hpp"

#include <algorithm>

#include "core/mldsa/math/field.hpp"
#include "platform/ct.hpp"

namespace velora::mldsa {

namespace {

template <class Field>
void pack_fields(std::size_t bits, std::span<std::uint8_t> out, Field field) noexcept {
    std::uint64_t acc = 0;
    std::size_t have = 0, pos = 0;
    for (std::size_t i = 0; i < kN; ++i) {
        acc |= static_cast<std::uint64_t>(field(i)) << have;
        have += bits;
        while (have >= 8) {
            out[pos++] = static_cast<std::uint8_t>(acc);
            acc >>= 8;
            have -= 8;
        }
    }
}

template <class Store>
void unpack_fields(std::span<const std::uint8_t> in, std::size_t bits, Store store) noexcept {
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    std::uint64_t acc = 0;
    std::size_t have = 0, pos = 0;
    for (std::size_t i = 0; i < kN; ++i) {
        while (have < bits) {
            acc |= static_cast<std::uint64_t>(in[pos++]) << have;
            have += 8;
        }
        store(i, static_cast<std::uint32_t>(acc & mask));
        acc >>= bits;
        have -= bits;
    }
}

}  // namespace

void simple_bit_pack(const Poly& w, std::size_t bits, std::span<std::uint8_t> out) noexcept {
    pack_fields(bits, out, [&](std::size_t i) { return static_cast<std::uint32_t>(w[i]); });
}

void bit_pack(const Poly& w, std::int32_t b, std::size_t bits, std::span<std::uint8_t> out) noexcept {
    pack_fields(bits, out, [&](std::size_t i) { return static_cast<std::uint32_t>(b - centered(w[i])); });
}

void simple_bit_unpack(std::span<const std::uint8_t> in, std::size_t bits, Poly& w) noexcept {
    unpack_fields(in, bits, [&](std::size_t i, std::uint32_t v) { w[i] = static_cast<std::int32_t>(v); });
}

std::uint32_t bit_unpack(std::span<const std::uint8_t> in, std::int32_t b, std::size_t bits, std::int32_t max_field,
                         Poly& w) noexcept {
    std::int32_t bad = 0;
    unpack_fields(in, bits, [&](std::size_t i, std::uint32_t v) {
        const auto f = static_cast<std::int32_t>(v);
        bad |= max_field - f;  // negative when f > max_field
        w[i] = from_signed(b - f);
    });
    return static_cast<std::uint32_t>(bad >> 31);
}

// Algorithm 20. Runs on the accepted signature's hint, which is published.
void hint_bit_pack(std::span<const Poly> h, std::size_t omega, std::span<std::uint8_t> out) noexcept {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    std::size_t index = 0;
    for (std::size_t i = 0; i < h.size(); ++i) {
        for (std::size_t j = 0; j < kN; ++j) {
            if (h[i][j] != 0 && index < omega) out[index++] = static_cast<std::uint8_t>(j);
        }
        out[omega + i] = static_cast<std::uint8_t>(index);
    }
}

// Algorithm 21: the positions of each row strictly increasing, the running
// totals non-decreasing and at most omega, and the unused bytes zero.
bool hint_bit_unpack(std::span<const std::uint8_t> in, std::size_t omega, std::span<Poly> h) noexcept {
    for (Poly& p : h) p.coeffs.fill(0);
    std::size_t index = 0;
    for (std::size_t i = 0; i < h.size(); ++i) {
        const std::size_t end = in[omega + i];
        if (end < index || end > omega) return false;
        const std::size_t first = index;
        while (index < end) {
            if (index > first && in[index - 1] >= in[index]) return false;
            h[i][in[index]] = 1;
            ++index;
        }
    }
    for (std::size_t i = index; i < omega; ++i) {
        if (in[i] != 0) return false;
    }
    return true;
}

SecretKeyView split_secret_key(std::span<const std::uint8_t> sk, LevelIndex level) noexcept {
    const MlDsaParams p = params_for(level);
    const std::size_t s_bytes = 32 * p.eta_bits();
    return {sk.subspan<0, 32>(),
            sk.subspan<32, 32>(),
            sk.subspan<64, 64>(),
            sk.subspan(128, p.l * s_bytes),
            sk.subspan(128 + p.l * s_bytes, p.k * s_bytes),
            sk.subspan(128 + (p.l + p.k) * s_bytes, p.k * 32 * kD)};
}

bool unpack_secret_vectors(const SecretKeyView& v, LevelIndex level, std::span<Poly> s1, std::span<Poly> s2,
                           std::span<Poly> t0) noexcept {
    const MlDsaParams p = params_for(level);
    const std::size_t s_bytes = 32 * p.eta_bits(), t_bytes = 32 * kD;
    std::uint32_t bad = 0;
    for (std::size_t r = 0; r < p.l; ++r) {
        bad |= bit_unpack(v.s1.subspan(r * s_bytes, s_bytes), p.eta, p.eta_bits(), 2 * p.eta, s1[r]);
    }
    for (std::size_t r = 0; r < p.k; ++r) {
        bad |= bit_unpack(v.s2.subspan(r * s_bytes, s_bytes), p.eta, p.eta_bits(), 2 * p.eta, s2[r]);
        // Every 13-bit field is a valid t0 coefficient.
        (void)bit_unpack(v.t0.subspan(r * t_bytes, t_bytes), 1 << (kD - 1), kD, (1 << kD) - 1, t0[r]);
    }
    auto out_of_range = static_cast<std::uint8_t>(bad & 1u);
    ct::declassify(&out_of_range, 1);
    return out_of_range != 0;
}

SignatureView split_signature(std::span<const std::uint8_t> sig, LevelIndex level) noexcept {
    const MlDsaParams p = params_for(level);
    const std::size_t c = p.ctilde_bytes();
    const std::size_t z = p.l * 32 * p.z_bits();
    return {sig.first(c), sig.subspan(c, z), sig.subspan(c + z, p.omega + p.k)};
}

}  // namespace velora::mldsa
