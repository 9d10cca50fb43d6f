// ML-KEM encapsulation (FIPS 203 Algorithms 14, 17 and 20).
#include "core/mlkem/encaps.hpp"

#include <algorithm>
#include <array>

#include "core/mlkem/math/compress.hpp"
#include "core/mlkem/math/ntt.hpp"
#include "core/mlkem/math/poly.hpp"
#include "core/mlkem/sampling.hpp"
#include "platform/ct.hpp"
#include "platform/random.hpp"
#include "platform/wipe.hpp"
#include "primitives/sha3.hpp"

namespace velora::mlkem {

using primitives::ByteView;

// Algorithm 14, steps 1-2: t-hat <- ByteDecode_12(ek[0 : 384k]), rho <-
// ek[384k : 384k + 32]. No modulus check: 12-bit fields of q or more are
// reduced by the decoding.
KPkeEncryption::KPkeEncryption(std::span<const std::uint8_t> ek, const MlKemParams& params) noexcept
    : params_(params), rho_(ek.subspan(kPolyBytes * params.k).first<32>()) {
    const std::size_t k = params_.k;
    polys_from_bytes(ek, rows_.first((k + 1) * k).subspan(k * k, k));
}

KPkeEncryption::~KPkeEncryption() {
    const std::size_t k = params_.k;
    wipe_polys(y_.first(k));
    wipe_polys(e1_.first(k));
    wipe_polys(std::span(&e2_, 1));
}

// Steps 4-8: A-hat[i][j] <- SampleNTT(rho || j || i), all k^2 entries before
// any product. Stored transposed (entry (i, j) at j*k + i): row i of the
// storage is column i of A-hat, the operand of u[i].
void KPkeEncryption::sample_matrix(SamplingBatch& batch) {
    batch.matrix(rows_.first(params_.k * params_.k), rho_, params_.k, /*transposed=*/true);
}

// Steps 9-17: y[i] with N = i and eta1, e1[i] with N = k + i and eta2, e2
// with N = 2k and eta2.
void KPkeEncryption::sample_noise(SamplingBatch& batch, std::span<const std::uint8_t, 32> r) {
    const std::size_t k = params_.k;
    batch.noise(y_.first(k), r, 0, params_.eta1);
    batch.noise(e1_.first(k), r, static_cast<std::uint8_t>(k), params_.eta2);
    batch.noise(std::span(&e2_, 1), r, static_cast<std::uint8_t>(2 * k), params_.eta2);
}

// Steps 18-23.
void KPkeEncryption::finish(std::span<const std::uint8_t, 32> m, std::span<std::uint8_t> c) noexcept {
    const std::size_t k = params_.k;
    const std::span<Poly> rows = rows_.first((k + 1) * k);
    const std::span<Poly> y_hat = y_.first(k);
    const std::span<Poly> e1 = e1_.first(k);
    for (Poly& f : y_hat) ntt(f);

    // (A-hat^T o y-hat, t-hat^T o y-hat) in one product: y-hat is prepared once.
    PolyScratch<kMaxRank + 1> product_storage;
    const std::span<Poly> products = product_storage.first(k + 1);
    multiply_matrix_vector_ntt(rows, y_hat, products);

    // u <- NTT^-1(A-hat^T o y-hat) + e1, then c1 <- ByteEncode_du(Compress_du(u)).
    const std::size_t c1_block = 32 * params_.du;
    for (std::size_t i = 0; i < k; ++i) {
        Poly& u = products[i];
        ntt_inverse(u);
        poly_add(u, e1[i], u);
        compress_encode_d(u, params_.du, c.subspan(c1_block * i, c1_block));
    }

    // mu <- Decompress_1(ByteDecode_1(m)).
    Poly mu;
    decode_decompress_d(m, 1, mu);

    // v <- NTT^-1(t-hat^T o y-hat) + e2 + mu, then c2 <- ByteEncode_dv(Compress_dv(v)).
    Poly& v = products[k];
    ntt_inverse(v);
    poly_add(v, e2_, v);
    poly_add(v, mu, v);
    compress_encode_d(v, params_.dv, c.subspan(c1_block * k, 32 * params_.dv));

    wipe_polys(std::span(&mu, 1));
    wipe_polys(products);
}

namespace {

// Algorithm 17 after the size check: (K, r) <- G(m || H(ek)), c <- K-PKE.Encrypt(ek, m, r).
// H(ek) runs beside the matrix sampling (both need only ek), the noise
// after G.
std::vector<std::uint8_t> encaps_internal(std::span<const std::uint8_t> ek, std::span<const std::uint8_t, 32> m,
                                          const MlKemParams& params, std::span<std::uint8_t, 32> shared_secret) {
    KPkeEncryption encryption(ek, params);
    SamplingBatch batch;
    std::array<std::uint8_t, 32> h{};
    auto take_h = [&h](ByteView digest) {
        std::copy(digest.begin(), digest.end(), h.begin());
        return false;
    };
    batch.also({primitives::Sha3::Sha3_256, {ek, ByteView()}, take_h});
    encryption.sample_matrix(batch);
    batch.run();

    SecretBytes<64> g;
    primitives::sha3_512({ByteView(m), ByteView(h)}, g.span());
    const std::span<const std::uint8_t, 32> key = g.span().subspan<0, 32>();
    const std::span<const std::uint8_t, 32> r = g.span().subspan<32, 32>();
    std::copy(key.begin(), key.end(), shared_secret.begin());
    encryption.sample_noise(batch, r);
    batch.run();

    std::vector<std::uint8_t> c(32 * (params.du * params.k + params.dv));
    encryption.finish(m, c);
    return c;
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
