// ML-KEM decapsulation (FIPS 203 Algorithms 15, 18 and 21) with implicit rejection.
#include "core/mlkem/decaps.hpp"

#include <algorithm>
#include <array>

#include "core/mlkem/encaps.hpp"
#include "core/mlkem/math/compress.hpp"
#include "core/mlkem/math/ntt.hpp"
#include "core/mlkem/math/poly.hpp"
#include "platform/ct.hpp"
#include "platform/wipe.hpp"
#include "primitives/sha3.hpp"

namespace velora::mlkem {

using primitives::ByteView;

namespace {

// Algorithm 15: K-PKE.Decrypt(dk_pke, c) -> m'. The polynomials live on the
// stack, sized for the largest rank.
void k_pke_decrypt(std::span<const std::uint8_t> dk_pke, std::span<const std::uint8_t> c, const MlKemParams& params,
                   std::span<std::uint8_t, 32> m_prime) {
    const std::size_t k = params.k;
    const std::size_t c1_block = 32 * params.du;

    // u' <- Decompress_du(ByteDecode_du(c1)), v' <- Decompress_dv(ByteDecode_dv(c2)).
    PolyScratch<kMaxRank> u_storage;
    const std::span<Poly> u_hat = u_storage.first(k);
    for (std::size_t i = 0; i < k; ++i) decode_decompress_d(c.subspan(i * c1_block, c1_block), params.du, u_hat[i]);
    Poly v;
    decode_decompress_d(c.subspan(k * c1_block, 32 * params.dv), params.dv, v);

    // s-hat <- ByteDecode_12(dk_pke).
    PolyScratch<kMaxRank> s_storage;
    const std::span<Poly> s_hat = s_storage.first(k);
    polys_from_bytes(dk_pke, s_hat);

    // w <- v' - NTT^-1(s-hat^T o NTT(u')), each u'[i] transformed in place.
    for (Poly& f : u_hat) ntt(f);
    Poly w;
    inner_product_ntt(s_hat, u_hat, w);
    ntt_inverse(w);
    poly_sub(v, w, w);

    // m' <- ByteEncode_1(Compress_1(w)).
    compress_encode_d(w, 1, m_prime);

    wipe_polys(s_hat);
    wipe_polys(std::span(&w, 1));
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

    // K-bar <- J(z || c) (SHAKE256 absorbs z, then c: the same input as one
    // buffer holding z || c, without building that buffer) and the sampling
    // of c' <- K-PKE.Encrypt(ek, m', r'), side by side.
    SecretBytes<32> k_bar;
    auto take_k_bar = [&k_bar](ByteView block) {
        std::copy(block.begin(), block.begin() + 32, k_bar.bytes.begin());
        return false;
    };
    KPkeEncryption encryption(ek, params);
    SamplingBatch batch;
    batch.also({primitives::Sha3::Shake256, {ByteView(z), capsule}, take_k_bar});
    encryption.sample_matrix(batch);
    encryption.sample_noise(batch, r_prime);
    batch.run();

    // c', into a buffer of the capsule's size.
    std::array<std::uint8_t, kCapsuleSizes[2]> c_storage;
    const std::span<std::uint8_t> c_prime = std::span(c_storage).first(capsule.size());
    encryption.finish(m_prime.span(), c_prime);

    // mask = 0xFF when c = c', 0x00 otherwise; K = (mask & K') | (~mask & K-bar).
    const std::uint8_t mask = ct::mask_from_flag(ct::equal(capsule, c_prime));
    std::array<std::uint8_t, 32> shared_secret{};
    ct::select(mask, k_prime, k_bar.span(), shared_secret);

    secure_zero(c_prime.data(), c_prime.size());
    return shared_secret;
}

}  // namespace velora::mlkem
