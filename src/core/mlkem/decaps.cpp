// ML-KEM decapsulation (FIPS 203 Algorithms 15, 18 and 21) with implicit rejection.
#include "core/mlkem/decaps.hpp"

#include <vector>

#include "core/mlkem/encaps.hpp"
#include "core/mlkem/math/compress.hpp"
#include "core/mlkem/math/ntt.hpp"
#include "core/mlkem/math/poly.hpp"
#include "core/wipe.hpp"
#include "primitives/sha3.hpp"

namespace velora::mlkem {

using primitives::ByteView;

namespace {

// An optimisation barrier: the value goes to memory and comes back through a
// volatile access in a function that is never inlined, so the compiler can
// neither see through the comparison loop nor branch on its result.
#if defined(__GNUC__) && !defined(__clang__)
[[gnu::noinline, gnu::noipa]]
#else
[[gnu::noinline]]
#endif
std::uint8_t value_barrier(std::uint8_t v) noexcept {
    volatile std::uint8_t slot = v;
    return slot;
}

// 1 when a == b, else 0, without a branch.
std::uint8_t byte_equal(std::uint8_t a, std::uint8_t b) noexcept {
    const std::uint32_t diff = static_cast<std::uint32_t>(a ^ b);
    return static_cast<std::uint8_t>((diff - 1) >> 31);
}

// 1 when a and b are equal, else 0. Touches every byte, never exits early.
std::uint8_t constant_time_equal(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    if (a.size() != b.size()) return 0;  // lengths are public
    std::uint8_t flag = 1;
    for (std::size_t i = 0; i < a.size(); ++i) flag &= value_barrier(byte_equal(a[i], b[i]));
    return value_barrier(flag);
}

// Algorithm 15: K-PKE.Decrypt(dk_pke, c) -> m'.
void k_pke_decrypt(std::span<const std::uint8_t> dk_pke, std::span<const std::uint8_t> c, const MlKemParams& params,
                   std::span<std::uint8_t, 32> m_prime) {
    const std::size_t k = params.k;
    const std::size_t c1_block = 32 * params.du;

    // u' <- Decompress_du(ByteDecode_du(c1)), v' <- Decompress_dv(ByteDecode_dv(c2)).
    PolyVec u_hat = PolyVec::zero(k);
    for (std::size_t i = 0; i < k; ++i) {
        u_hat[i] = decompress_d(byte_decode_d(c.subspan(i * c1_block, c1_block), params.du), params.du);
    }
    const Poly v = decompress_d(byte_decode_d(c.subspan(k * c1_block, 32 * params.dv), params.dv), params.dv);

    // s-hat <- ByteDecode_12(dk_pke).
    PolyVec s_hat = PolyVec::from_bytes(dk_pke, k);

    // w <- v' - NTT^-1(s-hat^T o NTT(u')).
    for (std::size_t i = 0; i < k; ++i) ntt(u_hat[i]);
    Poly w = PolyVec::inner_product_ntt(s_hat.polys, u_hat.polys);
    ntt_inverse(w);
    w = Poly::sub(v, w);

    // m' <- ByteEncode_1(Compress_1(w)).
    const Poly bits = compress_d(w, 1);
    for (std::size_t j = 0; j < 32; ++j) {
        std::uint8_t byte = 0;
        for (std::size_t t = 0; t < 8; ++t) byte = static_cast<std::uint8_t>(byte | (bits[8 * j + t] << t));
        m_prime[j] = byte;
    }

    s_hat.wipe();
    secure_wipe(&w, sizeof w);
}

}  // namespace

// Algorithm 21 with Algorithm 18 inside. Both candidate keys, K' and
// K-bar = J(z || c), are always computed; the choice is a byte mask.
Result<std::array<std::uint8_t, 32>> ml_kem_decaps(std::span<const std::uint8_t> capsule,
                                                   std::span<const std::uint8_t> dk, LevelIndex level) {
    const MlKemParams params = params_for(level);
    if (dk.size() != dk_size(level)) {
        return fail(VeloraError::InvalidParameter("decapsulation key has incorrect size"));
    }
    if (capsule.size() != capsule_size(level)) {
        return fail(VeloraError::InvalidParameter("capsule has incorrect size"));
    }
    // No hash check of the embedded ek: h is taken from dk as stored.
    const std::size_t k = params.k;
    const std::span<const std::uint8_t> dk_pke = dk.first(kPolyBytes * k);
    const std::span<const std::uint8_t> ek = dk.subspan(kPolyBytes * k, kPolyBytes * k + 32);
    const std::span<const std::uint8_t, 32> h = dk.subspan(768 * k + 32).first<32>();
    const std::span<const std::uint8_t, 32> z = dk.subspan(768 * k + 64).first<32>();

    SecretBytes<32> m_prime;
    k_pke_decrypt(dk_pke, capsule, params, m_prime.span());

    // (K', r') <- G(m' || h).
    SecretBytes<64> g;
    primitives::sha3_512({ByteView(m_prime.span()), ByteView(h)}, g.span());
    const std::span<const std::uint8_t, 32> k_prime = g.span().subspan<0, 32>();
    const std::span<const std::uint8_t, 32> r_prime = g.span().subspan<32, 32>();

    // K-bar <- J(z || c), over one buffer of exactly 32 + |c| bytes.
    std::vector<std::uint8_t> z_c;
    z_c.reserve(32 + capsule.size());
    z_c.insert(z_c.end(), z.begin(), z.end());
    z_c.insert(z_c.end(), capsule.begin(), capsule.end());
    SecretBytes<32> k_bar;
    primitives::shake256({ByteView(z_c)}, k_bar.span());

    // c' <- K-PKE.Encrypt(ek, m', r').
    std::vector<std::uint8_t> c_prime = k_pke_encrypt(ek, m_prime.span(), r_prime, params);

    // mask = 0xFF when c = c', 0x00 otherwise; K = (mask & K') | (~mask & K-bar).
    const auto mask = static_cast<std::uint8_t>(-constant_time_equal(capsule, c_prime));
    std::array<std::uint8_t, 32> shared_secret{};
    for (std::size_t i = 0; i < 32; ++i) {
        shared_secret[i] = static_cast<std::uint8_t>((mask & k_prime[i]) | (~mask & k_bar.bytes[i]));
    }

    secure_wipe(c_prime);
    secure_wipe(z_c);
    return shared_secret;
}

}  // namespace velora::mlkem
