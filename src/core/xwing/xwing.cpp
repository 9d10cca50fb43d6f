// X-Wing (draft-connolly-cfrg-xwing-kem-10, Section 5) over the engine's
// ML-KEM-768, libcrypto's X25519 and SHA3-256 / SHAKE256.
#include "core/xwing/xwing.hpp"

#include <algorithm>

#include "core/keys/fips203_checks.hpp"
#include "core/mlkem/decaps.hpp"
#include "core/mlkem/encaps.hpp"
#include "core/mlkem/keygen.hpp"
#include "platform/ct.hpp"
#include "platform/random.hpp"
#include "platform/wipe.hpp"
#include "primitives/sha3.hpp"
#include "primitives/x25519.hpp"

namespace velora::xwing {

namespace {

using primitives::ByteView;

constexpr mlkem::LevelIndex kMlKem768 = 1;

// XWingLabel = "\./" || "/^\" (hex 5c2e2f2f5e5c).
constexpr std::array<std::uint8_t, 6> kLabel = {0x5c, 0x2e, 0x2f, 0x2f, 0x5e, 0x5c};

constexpr std::string_view kX25519Failed = "X-Wing: X25519 failed in libcrypto";
constexpr std::string_view kPublicKeySmallOrder = "X-Wing public key: the X25519 half is a point of small order";

// expandDecapsulationKey(sk) (Section 5.2): SHAKE256(sk, 96) = d || z || sk_X.
struct ExpandedKey {
    mlkem::KeyPairBytes mlkem;  // pk_M (public), sk_M (secret)
    SecretBytes<kX25519Bytes> sk_x;
    std::array<std::uint8_t, kX25519Bytes> pk_x{};

    ExpandedKey() = default;
    ExpandedKey(const ExpandedKey&) = delete;
    ExpandedKey& operator=(const ExpandedKey&) = delete;
    ~ExpandedKey() { secure_zero(mlkem.dk.data(), mlkem.dk.size()); }
};

Result<void> expand(std::span<const std::uint8_t> seed, ExpandedKey& out) {
    if (seed.size() != kSeedBytes) return fail(VeloraError::InvalidParameter(kSeedSize));
    SecretBytes<96> expanded;
    primitives::shake256({seed}, expanded.span());
    out.mlkem = mlkem::ml_kem_keygen(expanded.span().first<32>(), expanded.span().subspan<32, 32>(), kMlKem768);
    std::copy_n(expanded.data() + 64, kX25519Bytes, out.sk_x.data());
    if (!primitives::x25519_public_key(out.sk_x.span(), out.pk_x)) {
        return fail(VeloraError::Decapsulation(kX25519Failed));
    }
    ct::declassify(out.pk_x.data(), out.pk_x.size());  // the public key is published
    return {};
}

// Combiner(ss_M, ss_X, ct_X, pk_X) (Section 5.3).
void combine(std::span<const std::uint8_t, 32> ss_m, std::span<const std::uint8_t, 32> ss_x, ByteView ct_x,
             ByteView pk_x, SharedSecret& out) {
    primitives::sha3_256({ss_m, ss_x, ct_x, pk_x, kLabel}, out);
}

}  // namespace

Result<std::vector<std::uint8_t>> public_key(std::span<const std::uint8_t> seed) {
    ExpandedKey key;
    if (auto r = expand(seed, key); !r) return fail(r.error());
    std::vector<std::uint8_t> pk(kPublicKeyBytes);
    std::copy(key.mlkem.ek.begin(), key.mlkem.ek.end(), pk.begin());
    std::copy(key.pk_x.begin(), key.pk_x.end(), pk.begin() + kMlKemPublicKeyBytes);
    return pk;
}

Result<Encapsulation> encapsulate_derand(std::span<const std::uint8_t> public_key,
                                         std::span<const std::uint8_t> eseed) {
    if (public_key.size() != kPublicKeyBytes) return fail(VeloraError::InvalidParameter(kPublicKeySize));
    if (eseed.size() != kEncapsSeedBytes) return fail(VeloraError::InvalidParameter(kEncapsSeedSize));
    const ByteView pk_m = public_key.first(kMlKemPublicKeyBytes);
    const std::span<const std::uint8_t, kX25519Bytes> pk_x = public_key.subspan<kMlKemPublicKeyBytes, kX25519Bytes>();
    if (!fips203::ek_modulus_check(pk_m, kMlKem768)) {
        return fail(VeloraError::InvalidParameter(kPublicKeyCheck));
    }

    Encapsulation out;
    out.ciphertext.resize(kCiphertextBytes);
    const std::span<std::uint8_t, kX25519Bytes> ct_x =
        std::span(out.ciphertext).subspan<kMlKemCiphertextBytes, kX25519Bytes>();
    const std::span<const std::uint8_t, kX25519Bytes> ek_x = eseed.subspan<32, kX25519Bytes>();
    SecretBytes<kX25519Bytes> ss_x;
    if (!primitives::x25519_public_key(ek_x, ct_x)) return fail(VeloraError::Decapsulation(kX25519Failed));
    ct::declassify(ct_x.data(), ct_x.size());  // the ciphertext is published
    if (!primitives::x25519(ek_x, pk_x, ss_x.span())) {
        return fail(VeloraError::InvalidParameter(kPublicKeySmallOrder));
    }

    auto m = mlkem::ml_kem_encaps_deterministic(pk_m, eseed.first<32>(), kMlKem768);
    if (!m) return fail(m.error());
    std::copy(m->capsule.begin(), m->capsule.end(), out.ciphertext.begin());
    combine(m->shared_secret, ss_x.span(), ct_x, pk_x, out.shared_secret);
    secure_wipe(m->shared_secret);
    secure_wipe(m->m);
    return out;
}

Result<Encapsulation> encapsulate(std::span<const std::uint8_t> public_key) {
    SecretBytes<kEncapsSeedBytes> eseed;
    if (!platform::fill_random(eseed.span())) return fail(VeloraError::Rng());
    ct::mark_secret(eseed.data(), eseed.size());
    return encapsulate_derand(public_key, eseed.span());
}

Result<SharedSecret> decapsulate(std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> seed) {
    if (seed.size() != kSeedBytes) return fail(VeloraError::InvalidParameter(kSeedSize));
    if (ciphertext.size() != kCiphertextBytes) return fail(VeloraError::InvalidParameter(kCiphertextSize));
    ExpandedKey key;
    if (auto r = expand(seed, key); !r) return fail(r.error());
    const ByteView ct_m = ciphertext.first(kMlKemCiphertextBytes);
    const std::span<const std::uint8_t, kX25519Bytes> ct_x = ciphertext.subspan<kMlKemCiphertextBytes, kX25519Bytes>();

    auto ss_m = mlkem::ml_kem_decaps(ct_m, key.mlkem.dk, kMlKem768);
    if (!ss_m) return fail(ss_m.error());
    SecretBytes<kX25519Bytes> ss_x;
    const bool x_ok = primitives::x25519(key.sk_x.span(), ct_x, ss_x.span());
    if (!x_ok) {
        secure_wipe(*ss_m);
        return fail(VeloraError::Decapsulation(kX25519Zero));
    }
    SharedSecret out{};
    combine(*ss_m, ss_x.span(), ct_x, key.pk_x, out);
    secure_wipe(*ss_m);
    return out;
}

}  // namespace velora::xwing
