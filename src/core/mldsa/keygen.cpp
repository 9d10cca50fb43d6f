// ML-DSA key generation (FIPS 204 Algorithms 1 and 6).
#include "core/mldsa/keygen.hpp"

#include <algorithm>
#include <cstring>

#include "core/mldsa/math/field.hpp"
#include "core/mldsa/math/ntt.hpp"
#include "core/mldsa/math/packing.hpp"
#include "core/mldsa/math/poly.hpp"
#include "core/mldsa/math/rounding.hpp"
#include "core/mldsa/sampling.hpp"
#include "core/mldsa/workspace.hpp"
#include "platform/wipe.hpp"
#include "platform/ct.hpp"
#include "platform/random.hpp"
#include "primitives/sha3.hpp"

namespace velora::mldsa {

using primitives::ByteView;

namespace {

// t = NTT^-1(A-hat o NTT(s1)) + s2 (Algorithm 6, step 5), then Power2Round
// (step 6). s1 and s2 are left as they were.
void public_vector(std::span<const std::uint8_t, 32> rho, std::span<const Poly> s1, std::span<const Poly> s2,
                   const MlDsaParams& p, std::span<Poly> t1, std::span<Poly> t0) {
    Workspace ws(p.k * p.l + p.l + p.k);
    const std::span<Poly> a_hat = ws.take(p.k * p.l);
    const std::span<Poly> s1_hat = ws.take(p.l);
    const std::span<Poly> t = ws.take(p.k);
    expand_a(rho, p.k, p.l, a_hat);
    std::copy(s1.begin(), s1.end(), s1_hat.begin());
    ntt(s1_hat);
    matrix_vector_ntt(a_hat, s1_hat, t);
    for (std::size_t r = 0; r < p.k; ++r) {
        ntt_inverse(t[r]);
        poly_add(t[r], s2[r], t[r]);
        power2round_poly(t[r], t1[r], t0[r]);
    }
}

// pkEncode (Algorithm 22): rho || SimpleBitPack(t1[r], 10 bits).
void encode_public(std::span<const std::uint8_t, 32> rho, std::span<const Poly> t1, std::span<std::uint8_t> pk) {
    std::copy(rho.begin(), rho.end(), pk.begin());
    for (std::size_t r = 0; r < t1.size(); ++r) simple_bit_pack(t1[r], 10, pk.subspan(32 + 320 * r, 320));
}

}  // namespace

// Algorithm 6.
KeyPairBytes keygen(std::span<const std::uint8_t, 32> xi, LevelIndex level) {
    const MlDsaParams p = params_for(level);
    // Step 1: (rho, rho', K) <- H(xi || k || l, 128).
    SecretBytes<128> seeds;
    const std::uint8_t dims[2] = {static_cast<std::uint8_t>(p.k), static_cast<std::uint8_t>(p.l)};
    primitives::shake256({ByteView(xi), ByteView(dims)}, seeds.span());
    const std::span<const std::uint8_t, 32> rho = seeds.span().subspan<0, 32>();
    const std::span<const std::uint8_t, 64> rho_prime = seeds.span().subspan<32, 64>();
    const std::span<const std::uint8_t, 32> key = seeds.span().subspan<96, 32>();
    ct::declassify(rho);  // published in pk

    Workspace ws(2 * p.l + 3 * p.k);
    const std::span<Poly> s1 = ws.take(p.l), s2 = ws.take(p.k), t1 = ws.take(p.k), t0 = ws.take(p.k);
    expand_s(rho_prime, p.eta, s1, s2);  // steps 3 (and 4: A-hat in public_vector)
    public_vector(rho, s1, s2, p, t1, t0);
    ct::declassify(t1.data(), t1.size_bytes());  // published in pk

    KeyPairBytes out;
    out.pk.resize(pk_size(level));
    out.sk.resize(sk_size(level));
    encode_public(rho, t1, out.pk);

    // Steps 8 and 9: tr <- H(pk, 64); skEncode (Algorithm 24).
    const std::span<std::uint8_t> sk(out.sk);
    std::copy(rho.begin(), rho.end(), sk.begin());
    std::copy(key.begin(), key.end(), sk.begin() + 32);
    primitives::shake256({ByteView(out.pk)}, sk.subspan(64, 64));
    const std::size_t s_bytes = 32 * p.eta_bits();
    std::size_t pos = 128;
    for (const Poly& f : s1) bit_pack(f, p.eta, p.eta_bits(), sk.subspan(pos, s_bytes)), pos += s_bytes;
    for (const Poly& f : s2) bit_pack(f, p.eta, p.eta_bits(), sk.subspan(pos, s_bytes)), pos += s_bytes;
    for (const Poly& f : t0) bit_pack(f, 1 << (kD - 1), kD, sk.subspan(pos, 32 * kD)), pos += 32 * kD;
    return out;
}

Result<KeyPairBytes> keygen_random(LevelIndex level) {
    SecretBytes<32> xi;
    if (!platform::fill_random(xi.span())) return fail(VeloraError::Rng());
    ct::mark_secret(xi.span());
    return keygen(xi.span(), level);
}

Result<std::vector<std::uint8_t>> public_key_of_expanded(std::span<const std::uint8_t> sk, LevelIndex level) {
    const MlDsaParams p = params_for(level);
    if (sk.size() != sk_size(level)) {
        return fail(VeloraError::KeySerialization("ML-DSA expanded private key: wrong length"));
    }
    const SecretKeyView v = split_secret_key(sk, level);
    Workspace ws(2 * p.l + 4 * p.k);
    const std::span<Poly> s1 = ws.take(p.l), s2 = ws.take(p.k), t1 = ws.take(p.k), t0 = ws.take(p.k);
    const std::span<Poly> t0_given = ws.take(p.k);
    if (unpack_secret_vectors(v, level, s1, s2, t0_given)) {
        return fail(VeloraError::KeySerialization("ML-DSA expanded private key: s1 or s2 out of range"));
    }

    public_vector(v.rho, s1, s2, p, t1, t0);
    std::uint8_t same_t0 = ct::equal({reinterpret_cast<const std::uint8_t*>(t0.data()), t0.size_bytes()},
                                     {reinterpret_cast<const std::uint8_t*>(t0_given.data()), t0_given.size_bytes()});
    ct::declassify(&same_t0, 1);
    if (same_t0 == 0) {
        return fail(VeloraError::KeySerialization("ML-DSA expanded private key: t0 does not match s1 and s2"));
    }
    ct::declassify(t1.data(), t1.size_bytes());

    std::vector<std::uint8_t> pk(pk_size(level));
    encode_public(v.rho, t1, pk);
    std::array<std::uint8_t, 64> tr{};
    primitives::shake256({ByteView(pk)}, tr);
    if (!std::equal(tr.begin(), tr.end(), v.tr.begin())) {
        return fail(VeloraError::KeySerialization("ML-DSA expanded private key: tr does not match the public key"));
    }
    return pk;
}

}  // namespace velora::mldsa
