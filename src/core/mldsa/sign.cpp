// ML-DSA.Sign_internal (FIPS 204 Algorithm 7).
//
// Everything derived from the private key and the mask is secret, including
// the values of a rejected attempt. Only two things are made public: the
// outcome of each attempt's checks and the accepted signature itself.
#include "core/mldsa/sign.hpp"

#include <algorithm>
#include <array>

#include "core/mldsa/math/field.hpp"
#include "core/mldsa/math/ntt.hpp"
#include "core/mldsa/math/packing.hpp"
#include "core/mldsa/math/poly.hpp"
#include "core/mldsa/math/rounding.hpp"
#include "core/mldsa/sampling.hpp"
#include "core/mldsa/workspace.hpp"
#include "platform/wipe.hpp"
#include "platform/ct.hpp"
#include "primitives/sha3.hpp"

namespace velora::mldsa {

using primitives::ByteView;

Result<std::vector<std::uint8_t>> sign_mu(std::span<const std::uint8_t> sk, std::span<const std::uint8_t, 64> mu,
                                          std::span<const std::uint8_t, 32> rnd, LevelIndex level) {
    const MlDsaParams p = params_for(level);
    if (sk.size() != sk_size(level)) return fail(VeloraError::InvalidParameter("ML-DSA private key: wrong length"));
    const std::size_t k = p.k, l = p.l;

    // Steps 1 to 5: skDecode, NTT of s1, s2, t0, and A-hat <- ExpandA(rho).
    const SecretKeyView v = split_secret_key(sk, level);
    Workspace ws(k * l + 3 * l + 7 * k + 2);
    const std::span<Poly> a_hat = ws.take(k * l);
    const std::span<Poly> s1_hat = ws.take(l), s2_hat = ws.take(k), t0_hat = ws.take(k);
    const std::span<Poly> y = ws.take(l), y_hat = ws.take(l);
    const std::span<Poly> w = ws.take(k), w1 = ws.take(k), cs2 = ws.take(k), ct0 = ws.take(k), h = ws.take(k);
    const std::span<Poly> one = ws.take(2);
    Poly& c_hat = one[0];
    Poly& scratch = one[1];

    if (unpack_secret_vectors(v, level, s1_hat, s2_hat, t0_hat)) {
        return fail(VeloraError::InvalidParameter("ML-DSA private key: s1 or s2 out of range"));
    }
    ntt(s1_hat);
    ntt(s2_hat);
    ntt(t0_hat);
    expand_a(v.rho, k, l, a_hat);

    // Step 7: rho'' <- H(K || rnd || mu, 64).
    SecretBytes<64> rho_pp;
    primitives::shake256({ByteView(v.key), ByteView(rnd), ByteView(mu)}, rho_pp.span());

    std::vector<std::uint8_t> sig(sig_size(level));
    const std::span<std::uint8_t> ctilde(sig.data(), p.ctilde_bytes());
    std::array<std::uint8_t, kMaxK * 32 * 6> w1_bytes{};
    const std::size_t w1_poly_bytes = 32 * p.w1_bits();
    const std::int32_t z_bound = p.gamma1 - p.beta();
    const std::int32_t r0_bound = p.gamma2 - p.beta();

    // Steps 10 to 32; kappa counts mask indices, which are two bytes wide.
    for (std::size_t kappa = 0; kappa + l <= 0xFFFF; kappa += l) {
        // Steps 11 to 15: y, w = NTT^-1(A-hat o NTT(y)), w1 and c-tilde.
        expand_mask(rho_pp.span(), static_cast<std::uint16_t>(kappa), p.gamma1, p.z_bits(), y);
        std::copy(y.begin(), y.end(), y_hat.begin());
        ntt(y_hat);
        matrix_vector_ntt(a_hat, y_hat, w);
        ntt_inverse(w);
        for (std::size_t r = 0; r < k; ++r) {
            high_bits_poly(w[r], p.gamma2, w1[r]);
            simple_bit_pack(w1[r], p.w1_bits(), std::span(w1_bytes).subspan(r * w1_poly_bytes, w1_poly_bytes));
        }
        primitives::shake256({ByteView(mu), ByteView(w1_bytes.data(), k * w1_poly_bytes)}, ctilde);

        // Steps 16 to 23: c, z = y + <<c s1>>, r0 = LowBits(w - <<c s2>>).
        sample_in_ball(ctilde, p.tau, c_hat);
        ntt(c_hat);
        poly_to_montgomery(c_hat);  // for one reduction per product below
        for (std::size_t s = 0; s < l; ++s) {
            poly_pointwise_montgomery(s1_hat[s], c_hat, scratch);
            ntt_inverse(scratch);
            poly_add(y[s], scratch, y[s]);  // y now holds z
        }
        std::uint8_t reject = static_cast<std::uint8_t>(polys_norm_at_least(y, z_bound));
        for (std::size_t r = 0; r < k; ++r) {
            poly_pointwise_montgomery(s2_hat[r], c_hat, cs2[r]);
            ntt_inverse(cs2[r]);
            poly_sub(w[r], cs2[r], w[r]);  // w now holds w - <<c s2>>
            low_bits_poly(w[r], p.gamma2, scratch);  // r0
            reject = static_cast<std::uint8_t>(reject | static_cast<std::uint8_t>(poly_norm_at_least(scratch, r0_bound)));
        }
        ct::declassify(&reject, 1);  // step 23's outcome is public
        if (reject != 0) continue;

        // Steps 25 to 28: <<c t0>>, h = MakeHint(-<<c t0>>, w - <<c s2>> + <<c t0>>).
        std::size_t ones = 0;
        for (std::size_t r = 0; r < k; ++r) {
            poly_pointwise_montgomery(t0_hat[r], c_hat, ct0[r]);
            ntt_inverse(ct0[r]);
            poly_add(w[r], ct0[r], scratch);
            Poly& minus_ct0 = cs2[r];
            for (std::size_t i = 0; i < kN; ++i) minus_ct0[i] = field_neg(ct0[r][i]);
            ones += make_hint_poly(minus_ct0, scratch, p.gamma2, h[r]);
        }
        std::uint8_t reject_hint = static_cast<std::uint8_t>(polys_norm_at_least(ct0, p.gamma2));
        // ones > omega, as the sign bit of omega - ones.
        reject_hint = static_cast<std::uint8_t>(
            reject_hint | static_cast<std::uint8_t>((static_cast<std::uint64_t>(p.omega) - ones) >> 63));
        ct::declassify(&reject_hint, 1);
        if (reject_hint != 0) continue;

        // Step 33: sigEncode (Algorithm 26) of the accepted attempt, now public.
        ct::declassify(sig.data(), p.ctilde_bytes());
        ct::declassify(y.data(), y.size_bytes());
        ct::declassify(h.data(), h.size_bytes());
        const std::size_t z_poly_bytes = 32 * p.z_bits();
        const std::span<std::uint8_t> z_bytes = std::span(sig).subspan(p.ctilde_bytes(), l * z_poly_bytes);
        for (std::size_t s = 0; s < l; ++s) {
            bit_pack(y[s], p.gamma1, p.z_bits(), z_bytes.subspan(s * z_poly_bytes, z_poly_bytes));
        }
        hint_bit_pack(h, p.omega, std::span(sig).subspan(p.ctilde_bytes() + l * z_poly_bytes));
        secure_zero(w1_bytes.data(), w1_bytes.size());
        return sig;
    }
    secure_zero(w1_bytes.data(), w1_bytes.size());
    secure_zero(sig.data(), sig.size());
    return fail(VeloraError::InvalidParameter(
        "ML-DSA signing: no attempt was accepted (a private key that key generation cannot produce)"));
}

}  // namespace velora::mldsa
