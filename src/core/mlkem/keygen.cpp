// ML-KEM key generation (FIPS 203 Algorithms 13 and 16).
#include "core/mlkem/keygen.hpp"

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

namespace {

// Algorithm 13 into the caller's buffers: ek (384k + 32 bytes) and dk_pke
// (384k bytes). The polynomials live on the stack, sized for the largest rank.
void k_pke_keygen_into(std::span<const std::uint8_t, 32> d, std::size_t k, std::size_t eta1,
                       std::span<std::uint8_t> ek, std::span<std::uint8_t> dk_pke) {
    // (rho, sigma) <- G(d || k): the rank is a one-byte domain separator.
    SecretBytes<64> g;
    const std::uint8_t rank[1] = {static_cast<std::uint8_t>(k)};
    primitives::sha3_512({ByteView(d), ByteView(rank)}, g.span());
    const std::span<const std::uint8_t, 32> rho = g.span().subspan<0, 32>();
    const std::span<const std::uint8_t, 32> sigma = g.span().subspan<32, 32>();
    // rho is published in ek; the rejection sampling of SampleNTT on it is public.
    ct::declassify(rho);

    // A-hat[i][j] <- SampleNTT(rho || j || i), row-major; s[i] with N = i,
    // then e[i] with N = k + i, all from sigma and eta1. All side by side.
    PolyScratch<kMaxRank * kMaxRank> a_storage;
    const std::span<Poly> a_hat = a_storage.first(k * k);
    PolyScratch<kMaxRank> s_storage, e_storage;
    const std::span<Poly> s_hat = s_storage.first(k);
    const std::span<Poly> e_hat = e_storage.first(k);
    SamplingBatch batch;
    batch.matrix(a_hat, rho, k, /*transposed=*/false);
    batch.noise(s_hat, sigma, 0, eta1);
    batch.noise(e_hat, sigma, static_cast<std::uint8_t>(k), eta1);
    batch.run();
    for (Poly& f : s_hat) ntt(f);
    for (Poly& f : e_hat) ntt(f);

    // t-hat <- A-hat o s-hat + e-hat (A-hat itself, row i against s-hat),
    // written straight into ek.
    PolyScratch<kMaxRank> t_storage;
    const std::span<Poly> t_hat = t_storage.first(k);
    multiply_matrix_vector_ntt(a_hat, s_hat, t_hat);
    for (std::size_t i = 0; i < k; ++i) {
        poly_add(t_hat[i], e_hat[i], t_hat[i]);
        byte_encode_d(t_hat[i], 12, ek.subspan(kPolyBytes * i, kPolyBytes));
    }
    std::copy(rho.begin(), rho.end(), ek.begin() + static_cast<std::ptrdiff_t>(kPolyBytes * k));
    polys_to_bytes(s_hat, dk_pke);

    wipe_polys(s_hat);
    wipe_polys(e_hat);
}

}  // namespace

KPkeKeyPair k_pke_keygen(std::span<const std::uint8_t, 32> d, std::size_t k, std::size_t eta1) {
    KPkeKeyPair out;
    out.ek.resize(kPolyBytes * k + 32);
    out.dk_pke.resize(kPolyBytes * k);
    k_pke_keygen_into(d, k, eta1, out.ek, out.dk_pke);
    return out;
}

// Algorithm 16: dk = dk_pke || ek || H(ek) || z, each part written in place
// into buffers allocated once at their final sizes.
KeyPairBytes ml_kem_keygen(std::span<const std::uint8_t, 32> d, std::span<const std::uint8_t, 32> z,
                           LevelIndex level) {
    const MlKemParams params = params_for(level);
    const std::size_t k = params.k;
    KeyPairBytes out;
    out.ek.resize(ek_size(level));
    out.dk.resize(dk_size(level));
    const std::span<std::uint8_t> dk(out.dk);
    k_pke_keygen_into(d, k, params.eta1, out.ek, dk.first(kPolyBytes * k));

    std::copy(out.ek.begin(), out.ek.end(), dk.begin() + static_cast<std::ptrdiff_t>(kPolyBytes * k));
    primitives::sha3_256({ByteView(out.ek)}, dk.subspan(768 * k + 32).first<32>());
    std::copy(z.begin(), z.end(), dk.begin() + static_cast<std::ptrdiff_t>(768 * k + 64));
    return out;
}

// Algorithm 19 with d, then z, drawn by two separate requests; the seed
// buffer is wiped once the key pair is built (or the draw failed).
Result<KeyPairBytes> ml_kem_keygen_random(LevelIndex level) {
    SecretBytes<64> seeds;
    const std::span<std::uint8_t, 32> d = seeds.span().subspan<0, 32>();
    const std::span<std::uint8_t, 32> z = seeds.span().subspan<32, 32>();
    if (!platform::fill_random(d)) return fail(VeloraError::Rng());
    if (!platform::fill_random(z)) return fail(VeloraError::Rng());
    ct::mark_secret(seeds.span());
    return ml_kem_keygen(d, z, level);
}

}  // namespace velora::mlkem
