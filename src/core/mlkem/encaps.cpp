// ML-KEM encapsulation (FIPS 203 Algorithms 14, 17 and 20).
#include "core/mlkem/encaps.hpp"

#include <algorithm>
#include <array>

#include "platform/ct.hpp"
#include "core/mlkem/math/compress.hpp"
#include "core/mlkem/math/ntt.hpp"
#include "core/mlkem/math/poly.hpp"
#include "core/mlkem/sampling.hpp"
#include "core/wipe.hpp"
#include "platform/random.hpp"
#include "primitives/sha3.hpp"

namespace velora::mlkem {

using primitives::ByteView;

// Algorithm 14: K-PKE.Encrypt(ek, m, r).
std::vector<std::uint8_t> k_pke_encrypt(std::span<const std::uint8_t> ek, std::span<const std::uint8_t, 32> m,
                                        std::span<const std::uint8_t, 32> r, const MlKemParams& params) {
    const std::size_t k = params.k;

    // t-hat <- ByteDecode_12(ek[0 : 384k]), rho <- ek[384k : 384k + 32].
    // No modulus check: 12-bit fields of q or more are reduced by the decoding.
    const PolyVec t_hat = PolyVec::from_bytes(ek, k);
    const std::span<const std::uint8_t, 32> rho = ek.subspan(kPolyBytes * k).first<32>();

    // A-hat[i][j] <- SampleNTT(rho || j || i), all k^2 entries first.
    const PolyVec a_hat = sample_matrix(rho, k);

    // y[i] with N = i and eta1, e1[i] with N = k + i and eta2, e2 with N = 2k.
    PolyVec y_hat = PolyVec::zero(k);
    PolyVec e1 = PolyVec::zero(k);
    Poly e2;
    for (std::size_t i = 0; i < k; ++i) sample_noise_poly(y_hat[i], r, static_cast<std::uint8_t>(i), params.eta1);
    for (std::size_t i = 0; i < k; ++i) sample_noise_poly(e1[i], r, static_cast<std::uint8_t>(k + i), params.eta2);
    sample_noise_poly(e2, r, static_cast<std::uint8_t>(2 * k), params.eta2);

    for (std::size_t i = 0; i < k; ++i) ntt(y_hat[i]);

    // u <- NTT^-1(A-hat^T o y-hat) + e1: column i of A-hat against y-hat.
    PolyVec u = PolyVec::zero(k);
    for (std::size_t i = 0; i < k; ++i) {
        Poly acc;
        for (std::size_t j = 0; j < k; ++j) acc = Poly::add(acc, multiply_ntts(a_hat[j * k + i], y_hat[j]));
        ntt_inverse(acc);
        u[i] = Poly::add(acc, e1[i]);
    }

    // mu <- Decompress_1(ByteDecode_1(m)).
    const Poly mu = decompress_d(byte_decode_d(m, 1), 1);

    // v <- NTT^-1(t-hat^T o y-hat) + e2 + mu.
    Poly v = PolyVec::inner_product_ntt(t_hat.polys, y_hat.polys);
    ntt_inverse(v);
    v = Poly::add(Poly::add(v, e2), mu);

    // c1 <- ByteEncode_du(Compress_du(u)), c2 <- ByteEncode_dv(Compress_dv(v)).
    std::vector<std::uint8_t> c;
    c.reserve(32 * (params.du * k + params.dv));
    for (std::size_t i = 0; i < k; ++i) {
        const std::vector<std::uint8_t> block = compress_d(u[i], params.du).encode_d(params.du);
        c.insert(c.end(), block.begin(), block.end());
    }
    const std::vector<std::uint8_t> c2 = compress_d(v, params.dv).encode_d(params.dv);
    c.insert(c.end(), c2.begin(), c2.end());

    y_hat.wipe();
    e1.wipe();
    secure_wipe(&e2, sizeof e2);
    return c;
}

namespace {

// Algorithm 17 after the size check: (K, r) <- G(m || H(ek)), c <- K-PKE.Encrypt(ek, m, r).
std::vector<std::uint8_t> encaps_internal(std::span<const std::uint8_t> ek, std::span<const std::uint8_t, 32> m,
                                          const MlKemParams& params, std::span<std::uint8_t, 32> shared_secret) {
    std::array<std::uint8_t, 32> h{};
    primitives::sha3_256({ek}, h);
    SecretBytes<64> g;
    primitives::sha3_512({ByteView(m), ByteView(h)}, g.span());
    const std::span<const std::uint8_t, 32> key = g.span().subspan<0, 32>();
    const std::span<const std::uint8_t, 32> r = g.span().subspan<32, 32>();
    std::copy(key.begin(), key.end(), shared_secret.begin());
    return k_pke_encrypt(ek, m, r, params);
}

}  // namespace

// Algorithm 20: the size check comes before the random draw, so a wrongly
// sized key never consumes randomness. The message is wiped afterwards.
Result<EncapsulationResult> ml_kem_encaps(std::span<const std::uint8_t> ek, LevelIndex level) {
    const MlKemParams params = params_for(level);
    if (ek.size() != ek_size(level)) {
        return fail(VeloraError::InvalidParameter("encryption key has incorrect size"));
    }
    SecretBytes<32> m;
    if (!platform::fill_random(m.span())) return fail(VeloraError::Rng());
    ct::mark_secret(m.span());

    EncapsulationResult out;
    out.capsule = encaps_internal(ek, m.span(), params, out.shared_secret);
    return out;
}

// Algorithm 17 with the caller's message (known-answer testing only).
Result<DeterministicEncapsulationResult> ml_kem_encaps_deterministic(std::span<const std::uint8_t> ek,
                                                                     std::span<const std::uint8_t, 32> m,
                                                                     LevelIndex level) {
    const MlKemParams params = params_for(level);
    if (ek.size() != ek_size(level)) {
        return fail(VeloraError::InvalidParameter("encryption key publica tiene tamano incorrecto"));
    }
    DeterministicEncapsulationResult out;
    std::copy(m.begin(), m.end(), out.m.begin());
    out.capsule = encaps_internal(ek, m, params, out.shared_secret);
    return out;
}

}  // namespace velora::mlkem
