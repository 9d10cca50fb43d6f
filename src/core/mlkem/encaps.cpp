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

// Algorithm 14: K-PKE.Encrypt(ek, m, r), written into c. The polynomials
// live on the stack, sized for the largest rank.
void k_pke_encrypt(std::span<const std::uint8_t> ek, std::span<const std::uint8_t, 32> m,
                   std::span<const std::uint8_t, 32> r, const MlKemParams& params, std::span<std::uint8_t> c) {
    const std::size_t k = params.k;

    // The k + 1 rows that multiply y-hat: the k columns of A-hat, then t-hat.
    PolyScratch<(kMaxRank + 1) * kMaxRank> row_storage;
    const std::span<Poly> rows = row_storage.first((k + 1) * k);

    // t-hat <- ByteDecode_12(ek[0 : 384k]), rho <- ek[384k : 384k + 32].
    // No modulus check: 12-bit fields of q or more are reduced by the decoding.
    const std::span<Poly> t_hat = rows.subspan(k * k, k);
    polys_from_bytes(ek, t_hat);
    const std::span<const std::uint8_t, 32> rho = ek.subspan(kPolyBytes * k).first<32>();

    // A-hat[i][j] <- SampleNTT(rho || j || i), all k^2 entries first. Stored
    // transposed (entry (i, j) at j*k + i): row i of the storage is column i
    // of A-hat, the operand of u[i].
    const std::span<Poly> a_hat_t = rows.first(k * k);
    sample_matrix(a_hat_t, rho, k, /*transposed=*/true);

    // y[i] with N = i and eta1, e1[i] with N = k + i and eta2, e2 with N = 2k.
    PolyScratch<kMaxRank> y_storage, e1_storage;
    const std::span<Poly> y_hat = y_storage.first(k);
    const std::span<Poly> e1 = e1_storage.first(k);
    std::array<Poly, 2> scratch;  // e2, mu
    Poly& e2 = scratch[0];
    Poly& mu = scratch[1];
    for (std::size_t i = 0; i < k; ++i) sample_noise_poly(y_hat[i], r, static_cast<std::uint8_t>(i), params.eta1);
    for (std::size_t i = 0; i < k; ++i) sample_noise_poly(e1[i], r, static_cast<std::uint8_t>(k + i), params.eta2);
    sample_noise_poly(e2, r, static_cast<std::uint8_t>(2 * k), params.eta2);

    for (Poly& f : y_hat) ntt(f);

    // (A-hat^T o y-hat, t-hat^T o y-hat) in one product: y-hat is prepared once.
    PolyScratch<kMaxRank + 1> product_storage;
    const std::span<Poly> products = product_storage.first(k + 1);
    multiply_matrix_vector_ntt(rows, y_hat, products);

    // u <- NTT^-1(A-hat^T o y-hat) + e1, then c1 <- ByteEncode_du(Compress_du(u)).
    const std::size_t c1_block = 32 * params.du;
    for (std::size_t i = 0; i < k; ++i) {
        Poly& u = products[i];
        ntt_inverse(u);
        poly_add(u, e1[i], u);
        compress_encode_d(u, params.du, c.subspan(c1_block * i, c1_block));
    }

    // mu <- Decompress_1(ByteDecode_1(m)).
    decode_decompress_d(m, 1, mu);

    // v <- NTT^-1(t-hat^T o y-hat) + e2 + mu, then c2 <- ByteEncode_dv(Compress_dv(v)).
    Poly& v = products[k];
    ntt_inverse(v);
    poly_add(v, e2, v);
    poly_add(v, mu, v);
    compress_encode_d(v, params.dv, c.subspan(c1_block * k, 32 * params.dv));

    wipe_polys(y_hat);
    wipe_polys(e1);
    wipe_polys(scratch);
    wipe_polys(products);
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
    std::vector<std::uint8_t> c(32 * (params.du * params.k + params.dv));
    k_pke_encrypt(ek, m, r, params, c);
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
