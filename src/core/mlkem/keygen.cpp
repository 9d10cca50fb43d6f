// ML-KEM key generation (FIPS 203 Algorithms 13 and 16).
#include "core/mlkem/keygen.hpp"

#include <array>

#include "platform/ct.hpp"
#include "core/mlkem/math/ntt.hpp"
#include "core/mlkem/math/poly.hpp"
#include "core/mlkem/sampling.hpp"
#include "core/wipe.hpp"
#include "platform/random.hpp"
#include "primitives/sha3.hpp"

namespace velora::mlkem {

using primitives::ByteView;

// Algorithm 13.
KPkeKeyPair k_pke_keygen(std::span<const std::uint8_t, 32> d, std::size_t k, std::size_t eta1) {
    // (rho, sigma) <- G(d || k): the rank is a one-byte domain separator.
    SecretBytes<64> g;
    const std::uint8_t rank[1] = {static_cast<std::uint8_t>(k)};
    primitives::sha3_512({ByteView(d), ByteView(rank)}, g.span());
    const std::span<const std::uint8_t, 32> rho = g.span().subspan<0, 32>();
    const std::span<const std::uint8_t, 32> sigma = g.span().subspan<32, 32>();
    // rho is published in ek; the rejection sampling of SampleNTT on it is public.
    ct::declassify(rho);

    // A-hat[i][j] <- SampleNTT(rho || j || i).
    const PolyVec a_hat = sample_matrix(rho, k);

    // s[i] with N = i, then e[i] with N = k + i, all from sigma and eta1.
    PolyVec s_hat = PolyVec::zero(k);
    PolyVec e_hat = PolyVec::zero(k);
    for (std::size_t i = 0; i < k; ++i) sample_noise_poly(s_hat[i], sigma, static_cast<std::uint8_t>(i), eta1);
    for (std::size_t i = 0; i < k; ++i) sample_noise_poly(e_hat[i], sigma, static_cast<std::uint8_t>(k + i), eta1);
    for (std::size_t i = 0; i < k; ++i) ntt(s_hat[i]);
    for (std::size_t i = 0; i < k; ++i) ntt(e_hat[i]);

    // t-hat <- A-hat o s-hat + e-hat (A-hat itself, row i against s-hat).
    PolyVec t_hat = PolyVec::zero(k);
    for (std::size_t i = 0; i < k; ++i) {
        const std::span<const Poly> row(a_hat.polys.data() + i * k, k);
        t_hat[i] = Poly::add(PolyVec::inner_product_ntt(row, s_hat.polys), e_hat[i]);
    }

    KPkeKeyPair out;
    out.ek = PolyVec::to_bytes(t_hat.polys);
    out.ek.insert(out.ek.end(), rho.begin(), rho.end());
    out.dk_pke = PolyVec::to_bytes(s_hat.polys);
    s_hat.wipe();
    e_hat.wipe();
    return out;
}

// Algorithm 16: dk = dk_pke || ek || H(ek) || z.
KeyPairBytes ml_kem_keygen(std::span<const std::uint8_t, 32> d, std::span<const std::uint8_t, 32> z,
                           LevelIndex level) {
    const MlKemParams params = params_for(level);
    KPkeKeyPair pke = k_pke_keygen(d, params.k, params.eta1);

    std::array<std::uint8_t, 32> h{};
    primitives::sha3_256({ByteView(pke.ek)}, h);

    KeyPairBytes out;
    out.dk.reserve(dk_size(level));
    out.dk.insert(out.dk.end(), pke.dk_pke.begin(), pke.dk_pke.end());
    out.dk.insert(out.dk.end(), pke.ek.begin(), pke.ek.end());
    out.dk.insert(out.dk.end(), h.begin(), h.end());
    out.dk.insert(out.dk.end(), z.begin(), z.end());
    secure_wipe(pke.dk_pke);
    out.ek = std::move(pke.ek);
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
