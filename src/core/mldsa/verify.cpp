// ML-DSA.Verify_internal (FIPS 204 Algorithm 8). Every input is public.
#include "core/mldsa/verify.hpp"

#include <algorithm>
#include <array>

#include "core/mldsa/math/field.hpp"
#include "core/mldsa/math/ntt.hpp"
#include "core/mldsa/math/packing.hpp"
#include "core/mldsa/math/poly.hpp"
#include "core/mldsa/math/rounding.hpp"
#include "core/mldsa/sampling.hpp"
#include "core/mldsa/workspace.hpp"
#include "primitives/sha3.hpp"

namespace velora::mldsa {

using primitives::ByteView;

bool verify_mu(std::span<const std::uint8_t> pk, std::span<const std::uint8_t, 64> mu,
               std::span<const std::uint8_t> sig, LevelIndex level) {
    const MlDsaParams p = params_for(level);
    if (pk.size() != pk_size(level) || sig.size() != sig_size(level)) return false;
    const std::size_t k = p.k, l = p.l;
    Workspace ws(k * l + l + 3 * k + 2);
    const std::span<Poly> a_hat = ws.take(k * l), z = ws.take(l), t1 = ws.take(k), h = ws.take(k), w = ws.take(k);
    const std::span<Poly> one = ws.take(2);
    Poly& c_hat = one[0];
    Poly& scratch = one[1];

    // Steps 1 to 4: pkDecode, sigDecode; a malformed hint is bottom.
    const SignatureView v = split_signature(sig, level);
    if (!hint_bit_unpack(v.hint, p.omega, h)) return false;
    const std::size_t z_poly_bytes = 32 * p.z_bits();
    for (std::size_t s = 0; s < l; ++s) {
        (void)bit_unpack(v.z.subspan(s * z_poly_bytes, z_poly_bytes), p.gamma1, p.z_bits(), (1 << p.z_bits()) - 1, z[s]);
    }
    // Step 13's norm check first: it needs nothing else.
    if (polys_norm_at_least(z, p.gamma1 - p.beta())) return false;
    for (std::size_t r = 0; r < k; ++r) simple_bit_unpack(pk.subspan(32 + 320 * r, 320), 10, t1[r]);

    // Step 5: A-hat <- ExpandA(rho); step 8: c <- SampleInBall(c-tilde).
    expand_a(pk.first<32>(), k, l, a_hat);
    sample_in_ball(v.ctilde, p.tau, c_hat);
    ntt(c_hat);

    // Step 9: w'_approx = NTT^-1(A-hat o NTT(z) - NTT(c) o NTT(t1 * 2^d)).
    ntt(z);
    matrix_vector_ntt(a_hat, z, w);
    for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t i = 0; i < kN; ++i) scratch[i] = t1[r][i] << kD;  // below q: t1 < 2^10
        ntt(scratch);
        poly_pointwise(c_hat, scratch, scratch);
        poly_sub(w[r], scratch, w[r]);
        ntt_inverse(w[r]);
        // Step 10: w1' <- UseHint(h, w'_approx), into t1's storage.
        use_hint_poly(h[r], w[r], p.gamma2, t1[r]);
    }

    // Steps 12 and 13: c-tilde' = H(mu || w1Encode(w1'), lambda / 4).
    std::array<std::uint8_t, kMaxK * 32 * 6> w1_bytes{};
    const std::size_t w1_poly_bytes = 32 * p.w1_bits();
    for (std::size_t r = 0; r < k; ++r) {
        simple_bit_pack(t1[r], p.w1_bits(), std::span(w1_bytes).subspan(r * w1_poly_bytes, w1_poly_bytes));
    }
    std::array<std::uint8_t, 64> ctilde{};
    const std::span<std::uint8_t> ct_out = std::span(ctilde).first(p.ctilde_bytes());
    primitives::shake256({ByteView(mu), ByteView(w1_bytes.data(), k * w1_poly_bytes)}, ct_out);
    return std::equal(ct_out.begin(), ct_out.end(), v.ctilde.begin());
}

}  // namespace velora::mldsa
