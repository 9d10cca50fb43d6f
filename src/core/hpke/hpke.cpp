// HPKE base mode (RFC 9180 Sections 4, 5.1, 5.3, 6 and 7), with the
// post-quantum KEMs of draft-ietf-hpke-pq (Sections 3 and 4) and their
// SHAKE256.LabeledDerive (draft-ietf-hpke-hpke Section 4.4).
#include "core/hpke/hpke.hpp"

#include <algorithm>
#include <array>

#include "core/keys/fips203_checks.hpp"
#include "core/mlkem/decaps.hpp"
#include "core/mlkem/encaps.hpp"
#include "core/mlkem/keygen.hpp"
#include "core/xwing/xwing.hpp"
#include "platform/bytes.hpp"
#include "platform/ct.hpp"
#include "platform/random.hpp"
#include "platform/wipe.hpp"
#include "primitives/evp_aead.hpp"
#include "primitives/hkdf.hpp"
#include "primitives/sha3.hpp"
#include "primitives/x25519.hpp"

namespace velora::hpke {

namespace {

using primitives::ByteView;
using primitives::HashAlgorithm;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kSecretBytes = 32;  // Nsecret of every KEM here
constexpr std::size_t kNonceBytes = 12;   // Nn of every AEAD here
constexpr std::size_t kTagBytes = 16;     // Nt
constexpr std::uint8_t kModeBase = 0x00;


std::array<std::uint8_t, 2> i2osp2(std::size_t v) {
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// A byte buffer for secrets and labeled inputs: wiped when it goes.
struct Buffer {
    Bytes bytes;
    explicit Buffer(std::size_t n = 0) : bytes(n) {}
    Buffer(std::initializer_list<ByteView> parts) {
        for (ByteView p : parts) bytes.insert(bytes.end(), p.begin(), p.end());
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { secure_zero(bytes.data(), bytes.size()); }
    std::span<std::uint8_t> span() { return bytes; }
};

HashAlgorithm hash_of(Kdf kdf) {
    switch (kdf) {
        case Kdf::HkdfSha256: return HashAlgorithm::Sha256;
        case Kdf::HkdfSha384: return HashAlgorithm::Sha384;
        case Kdf::HkdfSha512: return HashAlgorithm::Sha512;
    }
    return HashAlgorithm::Sha256;
}

// The suite_id and hash of a Labeled* call: "KEM" || kem_id inside the KEM
// (DHKEM's own KDF is HKDF-SHA256), "HPKE" || kem || kdf || aead outside it.
struct Labels {
    HashAlgorithm hash;
    std::array<std::uint8_t, 10> id{};
    std::size_t id_len;
    ByteView suite_id() const { return std::span(id).first(id_len); }
};

Labels kem_labels(Kem kem) {
    const auto k = i2osp2(static_cast<std::uint16_t>(kem));
    return {HashAlgorithm::Sha256, {'K', 'E', 'M', k[0], k[1]}, 5};
}

Labels suite_labels(Suite s) {
    const auto k = i2osp2(static_cast<std::uint16_t>(s.kem));
    const auto f = i2osp2(static_cast<std::uint16_t>(s.kdf));
    const auto a = i2osp2(static_cast<std::uint16_t>(s.aead));
    return {hash_of(s.kdf), {'H', 'P', 'K', 'E', k[0], k[1], f[0], f[1], a[0], a[1]}, 10};
}

constexpr std::string_view kVersionLabel = "HPKE-v1";

// LabeledExtract(salt, label, ikm) = Extract(salt, "HPKE-v1" || suite_id || label || ikm).
bool labeled_extract(const Labels& l, ByteView salt, std::string_view label, ByteView ikm, std::span<std::uint8_t> prk) {
    Buffer labeled_ikm{bytes_of(kVersionLabel), l.suite_id(), bytes_of(label), ikm};
    return primitives::hkdf_extract(l.hash, salt, labeled_ikm.bytes, prk);
}

// LabeledExpand(prk, label, info, L) = Expand(prk, I2OSP(L, 2) || "HPKE-v1" || suite_id || label || info, L).
bool labeled_expand(const Labels& l, ByteView prk, std::string_view label, ByteView info, std::span<std::uint8_t> out) {
    const auto len = i2osp2(out.size());
    Buffer labeled_info{len, bytes_of(kVersionLabel), l.suite_id(), bytes_of(label), info};
    return primitives::hkdf_expand(l.hash, prk, labeled_info.bytes, out);
}

// SHAKE256.LabeledDerive(ikm, label, context, L) = SHAKE256(ikm || "HPKE-v1" ||
// suite_id || I2OSP(len(label), 2) || label || I2OSP(L, 2) || context, L).
void labeled_derive(Kem kem, ByteView ikm, std::string_view label, ByteView context, std::span<std::uint8_t> out) {
    const Labels l = kem_labels(kem);
    const auto label_len = i2osp2(label.size());
    const auto out_len = i2osp2(out.size());
    primitives::shake256({ikm, bytes_of(kVersionLabel), l.suite_id(), label_len, bytes_of(label), out_len, context}, out);
}

std::size_t nk(Aead aead) {
    switch (aead) {
        case Aead::Aes128Gcm: return 16;
        case Aead::Aes256Gcm:
        case Aead::ChaCha20Poly1305: return 32;
        case Aead::ExportOnly: return 0;
    }
    return 0;
}

primitives::AeadAlgorithm aead_algorithm(Aead aead) {
    switch (aead) {
        case Aead::Aes128Gcm: return primitives::AeadAlgorithm::Aes128Gcm;
        case Aead::Aes256Gcm: return primitives::AeadAlgorithm::Aes256Gcm;
        default: return primitives::AeadAlgorithm::ChaCha20Poly1305;
    }
}

KemSizes sizes_of(Kem kem) {
    switch (kem) {
        case Kem::DhKemX25519: return {32, 32, 32, 32, 0};
        case Kem::MlKem768: return {32, 1088, 1184, 64, 32};
        case Kem::MlKem1024: return {32, 1568, 1568, 64, 32};
        case Kem::XWing: return {32, xwing::kCiphertextBytes, xwing::kPublicKeyBytes, xwing::kSeedBytes, 64};
    }
    return {};
}

mlkem::LevelIndex mlkem_level(Kem kem) { return kem == Kem::MlKem768 ? 1 : 2; }

// ML-KEM private keys are the 64-byte seed d || z (draft-ietf-hpke-pq Section 3).
mlkem::KeyPairBytes mlkem_expand(Kem kem, ByteView seed) {
    return mlkem::ml_kem_keygen(seed.first<32>(), seed.subspan<32, 32>(), mlkem_level(kem));
}

// ---- DHKEM(X25519, HKDF-SHA256), RFC 9180 Section 4.1 ----------------------

bool dh_derive_private(ByteView ikm, std::span<std::uint8_t, 32> sk) {
    const Labels l = kem_labels(Kem::DhKemX25519);
    SecretBytes<32> dkp_prk;
    return labeled_extract(l, {}, "dkp_prk", ikm, dkp_prk.span()) && labeled_expand(l, dkp_prk.span(), "sk", {}, sk);
}

// ExtractAndExpand(dh, kem_context) with kem_context = enc || pkRm.
bool dh_shared_secret(std::span<const std::uint8_t, 32> dh, ByteView enc, ByteView pk_r,
                      std::span<std::uint8_t, kSecretBytes> ss) {
    const Labels l = kem_labels(Kem::DhKemX25519);
    SecretBytes<32> eae_prk;
    Buffer kem_context{enc, pk_r};
    return labeled_extract(l, {}, "eae_prk", dh, eae_prk.span()) &&
           labeled_expand(l, eae_prk.span(), "shared_secret", kem_context.bytes, ss);
}

Result<Bytes> encap(Kem kem, ByteView pk_r, ByteView ikm_e, std::span<std::uint8_t, kSecretBytes> ss) {
    const KemSizes sz = sizes_of(kem);
    if (pk_r.size() != sz.n_pk) return fail(VeloraError::InvalidParameter(kPublicKeySize));
    if (!ikm_e.empty() && sz.n_random != 0 && ikm_e.size() != sz.n_random) {
        return fail(VeloraError::InvalidParameter(kIkmESize));
    }
    switch (kem) {
        case Kem::DhKemX25519: {
            SecretBytes<32> sk_e;
            if (ikm_e.empty()) {
                if (!platform::fill_random(sk_e.span())) return fail(VeloraError::Rng());
                ct::mark_secret(sk_e.data(), sk_e.size());
            } else if (!dh_derive_private(ikm_e, sk_e.span())) {
                return fail(VeloraError::InvalidParameter(kKdfFailed));
            }
            Bytes enc(32);
            SecretBytes<32> dh;
            if (!primitives::x25519_public_key(sk_e.span(), std::span(enc).first<32>())) {
                return fail(VeloraError::InvalidParameter(kEncapError));
            }
            ct::declassify(enc.data(), enc.size());  // enc is published
            if (!primitives::x25519(sk_e.span(), pk_r.first<32>(), dh.span())) {
                return fail(VeloraError::InvalidParameter(kEncapError));
            }
            if (!dh_shared_secret(dh.span(), enc, pk_r, ss)) return fail(VeloraError::InvalidParameter(kKdfFailed));
            return enc;
        }
        case Kem::MlKem768:
        case Kem::MlKem1024: {
            const mlkem::LevelIndex level = mlkem_level(kem);
            if (!fips203::ek_modulus_check(pk_r, level)) {
                return fail(VeloraError::InvalidParameter(kEncapError));
            }
            if (ikm_e.empty()) {
                auto r = mlkem::ml_kem_encaps(pk_r, level);
                if (!r) return fail(r.error());
                std::copy(r->shared_secret.begin(), r->shared_secret.end(), ss.begin());
                secure_wipe(r->shared_secret);
                return std::move(r->capsule);
            }
            auto r = mlkem::ml_kem_encaps_deterministic(pk_r, ikm_e.first<32>(), level);
            if (!r) return fail(r.error());
            std::copy(r->shared_secret.begin(), r->shared_secret.end(), ss.begin());
            secure_wipe(r->shared_secret);
            secure_wipe(r->m);
            return std::move(r->capsule);
        }
        case Kem::XWing: {
            auto r = ikm_e.empty() ? xwing::encapsulate(pk_r) : xwing::encapsulate_derand(pk_r, ikm_e);
            if (!r) return fail(r.error());
            std::copy(r->shared_secret.begin(), r->shared_secret.end(), ss.begin());
            secure_wipe(r->shared_secret);
            return std::move(r->ciphertext);
        }
    }
    return fail(VeloraError::InvalidParameter(kUnknownKem));
}

Result<void> decap(Kem kem, ByteView enc, ByteView sk_r, std::span<std::uint8_t, kSecretBytes> ss) {
    const KemSizes sz = sizes_of(kem);
    if (sk_r.size() != sz.n_sk) return fail(VeloraError::InvalidParameter(kPrivateKeySize));
    if (enc.size() != sz.n_enc) return fail(VeloraError::InvalidParameter(kEncSize));
    switch (kem) {
        case Kem::DhKemX25519: {
            SecretBytes<32> dh;
            std::array<std::uint8_t, 32> pk_r{};
            if (!primitives::x25519_public_key(sk_r.first<32>(), pk_r)) {
                return fail(VeloraError::Decapsulation(kDecapError));
            }
            ct::declassify(pk_r.data(), pk_r.size());  // the recipient's public key
            if (!primitives::x25519(sk_r.first<32>(), enc.first<32>(), dh.span())) {
                return fail(VeloraError::Decapsulation(kDecapError));
            }
            if (!dh_shared_secret(dh.span(), enc, pk_r, ss)) return fail(VeloraError::Decapsulation(kKdfFailed));
            return {};
        }
        case Kem::MlKem768:
        case Kem::MlKem1024: {
            mlkem::KeyPairBytes keys = mlkem_expand(kem, sk_r);
            auto k = mlkem::ml_kem_decaps(enc, keys.dk, mlkem_level(kem));
            secure_zero(keys.dk.data(), keys.dk.size());
            if (!k) return fail(k.error());
            std::copy(k->begin(), k->end(), ss.begin());
            secure_wipe(*k);
            return {};
        }
        case Kem::XWing: {
            auto k = xwing::decapsulate(enc, sk_r);
            if (!k) return fail(k.error());
            std::copy(k->begin(), k->end(), ss.begin());
            secure_wipe(*k);
            return {};
        }
    }
    return fail(VeloraError::InvalidParameter(kUnknownKem));
}

Result<void> check_export_length(Kdf kdf, std::size_t length) {
    if (length == 0 || length > 255 * primitives::hash_bytes(hash_of(kdf))) {
        return fail(VeloraError::InvalidParameter(kExportLength));
    }
    return {};
}

Result<Bytes> export_secret(Suite suite, const Context& ctx, ByteView exporter_context, std::size_t length) {
    Bytes out(length);
    if (!labeled_expand(suite_labels(suite), ctx.exporter_secret, "sec", exporter_context, out)) {
        return fail(VeloraError::InvalidParameter(kKdfFailed));
    }
    return out;
}

}  // namespace

Context::~Context() {
    secure_zero(key.data(), key.size());
    secure_zero(base_nonce.data(), base_nonce.size());
    secure_zero(exporter_secret.data(), exporter_secret.size());
}

Result<Suite> make_suite(std::uint16_t kem_id, std::uint16_t kdf_id, std::uint16_t aead_id) {
    if (!kem_sizes(kem_id)) return fail(VeloraError::InvalidParameter(kUnknownKem));
    if (kdf_id < 1 || kdf_id > 3) return fail(VeloraError::InvalidParameter(kUnknownKdf));
    if (!((aead_id >= 1 && aead_id <= 3) || aead_id == 0xFFFF)) return fail(VeloraError::InvalidParameter(kUnknownAead));
    return Suite{static_cast<Kem>(kem_id), static_cast<Kdf>(kdf_id), static_cast<Aead>(aead_id)};
}

Result<KemSizes> kem_sizes(std::uint16_t kem_id) {
    switch (static_cast<Kem>(kem_id)) {
        case Kem::DhKemX25519:
        case Kem::MlKem768:
        case Kem::MlKem1024:
        case Kem::XWing: return sizes_of(static_cast<Kem>(kem_id));
    }
    return fail(VeloraError::InvalidParameter(kUnknownKem));
}

Result<std::vector<std::uint8_t>> public_key_of(Kem kem, std::span<const std::uint8_t> private_key) {
    if (private_key.size() != sizes_of(kem).n_sk) return fail(VeloraError::InvalidParameter(kPrivateKeySize));
    switch (kem) {
        case Kem::DhKemX25519: {
            Bytes pk(32);
            if (!primitives::x25519_public_key(private_key.first<32>(), std::span(pk).first<32>())) {
                return fail(VeloraError::InvalidParameter(kPrivateKeySize));
            }
            return pk;
        }
        case Kem::MlKem768:
        case Kem::MlKem1024: {
            mlkem::KeyPairBytes keys = mlkem_expand(kem, private_key);
            secure_zero(keys.dk.data(), keys.dk.size());
            return std::move(keys.ek);
        }
        case Kem::XWing: return xwing::public_key(private_key);
    }
    return fail(VeloraError::InvalidParameter(kUnknownKem));
}

Result<KeyPair> derive_key_pair(Kem kem, std::span<const std::uint8_t> ikm) {
    KeyPair out;
    out.private_key.resize(sizes_of(kem).n_sk);
    if (kem == Kem::DhKemX25519) {
        if (!dh_derive_private(ikm, std::span(out.private_key).first<32>())) {
            return fail(VeloraError::InvalidParameter(kKdfFailed));
        }
    } else {
        labeled_derive(kem, ikm, "DeriveKeyPair", {}, out.private_key);
    }
    auto pk = public_key_of(kem, out.private_key);
    if (!pk) return fail(pk.error());
    out.public_key = std::move(*pk);
    return out;
}

Result<KeyPair> generate_key_pair(Kem kem) {
    KeyPair out;
    out.private_key.resize(sizes_of(kem).n_sk);
    if (!platform::fill_random(out.private_key)) return fail(VeloraError::Rng());
    auto pk = public_key_of(kem, out.private_key);
    if (!pk) return fail(pk.error());
    out.public_key = std::move(*pk);
    return out;
}

Result<Context> key_schedule(Suite suite, std::span<const std::uint8_t> shared_secret,
                             std::span<const std::uint8_t> info) {
    const Labels l = suite_labels(suite);
    const std::size_t nh = primitives::hash_bytes(l.hash);
    // key_schedule_context = mode || psk_id_hash || info_hash (psk and psk_id empty).
    Buffer context(1 + 2 * nh);
    context.bytes[0] = kModeBase;
    Buffer secret(nh);
    Context out;
    out.key.resize(nk(suite.aead));
    out.base_nonce.resize(suite.aead == Aead::ExportOnly ? 0 : kNonceBytes);
    out.exporter_secret.resize(nh);
    const bool ok = labeled_extract(l, {}, "psk_id_hash", {}, context.span().subspan(1, nh)) &&
                    labeled_extract(l, {}, "info_hash", info, context.span().subspan(1 + nh, nh)) &&
                    labeled_extract(l, shared_secret, "secret", {}, secret.span()) &&
                    (out.key.empty() || labeled_expand(l, secret.bytes, "key", context.bytes, out.key)) &&
                    (out.base_nonce.empty() ||
                     labeled_expand(l, secret.bytes, "base_nonce", context.bytes, out.base_nonce)) &&
                    labeled_expand(l, secret.bytes, "exp", context.bytes, out.exporter_secret);
    if (!ok) return fail(VeloraError::InvalidParameter(kKdfFailed));
    return out;
}

Result<Sealed> seal(Suite suite, std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> info,
                    std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext,
                    std::span<const std::uint8_t> ikm_e) {
    if (suite.aead == Aead::ExportOnly) return fail(VeloraError::InvalidParameter(kExportOnly));
    SecretBytes<kSecretBytes> ss;
    auto enc = encap(suite.kem, public_key, ikm_e, ss.span());
    if (!enc) return fail(enc.error());
    auto ctx = key_schedule(suite, ss.span(), info);
    if (!ctx) return fail(ctx.error());
    auto aead = primitives::EvpAead::create(aead_algorithm(suite.aead), ctx->key);
    Sealed out{std::move(*enc), Bytes(plaintext.size() + kTagBytes)};
    const std::span<std::uint8_t> ct(out.ciphertext);
    // Single-shot: sequence number 0, so the nonce is base_nonce itself.
    if (!aead || !aead->seal(std::span(ctx->base_nonce).first<kNonceBytes>(), aad, plaintext,
                             ct.first(plaintext.size()), ct.last<kTagBytes>())) {
        return fail(VeloraError::InvalidParameter("HPKE: AEAD seal failed in libcrypto"));
    }
    return out;
}

Result<std::vector<std::uint8_t>> open(Suite suite, std::span<const std::uint8_t> private_key,
                                       std::span<const std::uint8_t> enc, std::span<const std::uint8_t> info,
                                       std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ciphertext) {
    if (suite.aead == Aead::ExportOnly) return fail(VeloraError::InvalidParameter(kExportOnly));
    if (ciphertext.size() < kTagBytes) return fail(VeloraError::InvalidParameter(kCiphertextShort));
    SecretBytes<kSecretBytes> ss;
    if (auto r = decap(suite.kem, enc, private_key, ss.span()); !r) return fail(r.error());
    auto ctx = key_schedule(suite, ss.span(), info);
    if (!ctx) return fail(ctx.error());
    auto aead = primitives::EvpAead::create(aead_algorithm(suite.aead), ctx->key);
    const std::size_t n = ciphertext.size() - kTagBytes;
    Bytes pt(n);
    if (!aead || !aead->open(std::span(ctx->base_nonce).first<kNonceBytes>(), aad, ciphertext.first(n),
                             ciphertext.last<kTagBytes>(), pt)) {
        return fail(VeloraError::Decryption());
    }
    return pt;
}

Result<Exported> send_export(Suite suite, std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> info,
                             std::span<const std::uint8_t> exporter_context, std::size_t length,
                             std::span<const std::uint8_t> ikm_e) {
    if (auto r = check_export_length(suite.kdf, length); !r) return fail(r.error());
    SecretBytes<kSecretBytes> ss;
    auto enc = encap(suite.kem, public_key, ikm_e, ss.span());
    if (!enc) return fail(enc.error());
    auto ctx = key_schedule(suite, ss.span(), info);
    if (!ctx) return fail(ctx.error());
    auto secret = export_secret(suite, *ctx, exporter_context, length);
    if (!secret) return fail(secret.error());
    return Exported{std::move(*enc), std::move(*secret)};
}

Result<std::vector<std::uint8_t>> receive_export(Suite suite, std::span<const std::uint8_t> private_key,
                                                 std::span<const std::uint8_t> enc, std::span<const std::uint8_t> info,
                                                 std::span<const std::uint8_t> exporter_context, std::size_t length) {
    if (auto r = check_export_length(suite.kdf, length); !r) return fail(r.error());
    SecretBytes<kSecretBytes> ss;
    if (auto r = decap(suite.kem, enc, private_key, ss.span()); !r) return fail(r.error());
    auto ctx = key_schedule(suite, ss.span(), info);
    if (!ctx) return fail(ctx.error());
    return export_secret(suite, *ctx, exporter_context, length);
}

}  // namespace velora::hpke
