#include "primitives/pkix.hpp"

#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <memory>

#include "primitives/asn1_detail.hpp"

// OneAsymmetricKey (RFC 5958):
//   SEQUENCE { version INTEGER, privateKeyAlgorithm AlgorithmIdentifier,
//              privateKey OCTET STRING, attributes [0] IMPLICIT SET OF Attribute OPTIONAL,
//              publicKey [1] IMPLICIT BIT STRING OPTIONAL }
// libcrypto's PKCS8_PRIV_KEY_INFO (OpenSSL 3.0) stops at the attributes and
// refuses a v2 key with its publicKey, so the structure is declared here with
// libcrypto's own template macros; libcrypto does the encoding and decoding.
extern "C" {
struct VELORA_ONE_ASYMMETRIC_KEY {
    ASN1_INTEGER* version;
    X509_ALGOR* algorithm;
    ASN1_OCTET_STRING* private_key;
    STACK_OF(X509_ATTRIBUTE)* attributes;
    ASN1_BIT_STRING* public_key;
};
DECLARE_ASN1_FUNCTIONS(VELORA_ONE_ASYMMETRIC_KEY)
}

ASN1_SEQUENCE(VELORA_ONE_ASYMMETRIC_KEY) = {
    ASN1_SIMPLE(VELORA_ONE_ASYMMETRIC_KEY, version, ASN1_INTEGER),
    ASN1_SIMPLE(VELORA_ONE_ASYMMETRIC_KEY, algorithm, X509_ALGOR),
    ASN1_SIMPLE(VELORA_ONE_ASYMMETRIC_KEY, private_key, ASN1_OCTET_STRING),
    ASN1_IMP_SET_OF_OPT(VELORA_ONE_ASYMMETRIC_KEY, attributes, X509_ATTRIBUTE, 0),
    ASN1_IMP_OPT(VELORA_ONE_ASYMMETRIC_KEY, public_key, ASN1_BIT_STRING, 1),
} ASN1_SEQUENCE_END(VELORA_ONE_ASYMMETRIC_KEY)

IMPLEMENT_ASN1_FUNCTIONS(VELORA_ONE_ASYMMETRIC_KEY)

namespace velora::primitives::pkix {

namespace {

struct PubkeyFree {
    void operator()(X509_PUBKEY* p) const noexcept { X509_PUBKEY_free(p); }
};
struct OakFree {
    void operator()(VELORA_ONE_ASYMMETRIC_KEY* k) const noexcept {
        if (k != nullptr && k->private_key != nullptr) {
            OPENSSL_cleanse(k->private_key->data, static_cast<std::size_t>(k->private_key->length));
        }
        VELORA_ONE_ASYMMETRIC_KEY_free(k);
    }
};

constexpr DerMessages kSpki = {
    "SubjectPublicKeyInfo: empty input",
    "SubjectPublicKeyInfo: truncated (its DER length runs past the end of the input)",
    "SubjectPublicKeyInfo: trailing data after the structure",
    "SubjectPublicKeyInfo: malformed (expected SEQUENCE { AlgorithmIdentifier, BIT STRING })",
    "SubjectPublicKeyInfo: not DER (BER or non-minimal encoding)",
};

constexpr DerMessages kPki = {
    "PKCS#8 PrivateKeyInfo: empty input",
    "PKCS#8 PrivateKeyInfo: truncated (its DER length runs past the end of the input)",
    "PKCS#8 PrivateKeyInfo: trailing data after the structure",
    "PKCS#8 PrivateKeyInfo: malformed (expected SEQUENCE { version, AlgorithmIdentifier, OCTET STRING, "
    "[0] attributes, [1] publicKey })",
    "PKCS#8 PrivateKeyInfo: not DER (BER or non-minimal encoding)",
};

ASN1_OBJECT* make_oid(std::string_view oid) {
    const std::string text(oid);
    return OBJ_txt2obj(text.c_str(), 1);
}

int unused_bits(const ASN1_BIT_STRING* s) noexcept {
    return (s->flags & ASN1_STRING_FLAG_BITS_LEFT) != 0 ? static_cast<int>(s->flags & 0x07) : 0;
}

// The dotted text of an OBJECT IDENTIFIER; empty when it cannot be printed.
std::string oid_text(const ASN1_OBJECT* obj) {
    std::array<char, 128> buf{};
    const int n = OBJ_obj2txt(buf.data(), static_cast<int>(buf.size()), obj, 1);
    if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return {};
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

}  // namespace

Result<void> check_outer_tlv(std::span<const std::uint8_t> der, const DerMessages& m) {
    if (der.empty()) return fail(VeloraError::KeySerialization(m.empty));
    const unsigned char* p = der.data();
    long len = 0;
    int tag = 0, cls = 0;
    const long max = static_cast<long>(std::min<std::size_t>(der.size(), 1u << 30));
    const int flags = ASN1_get_object(&p, &len, &tag, &cls, max);
    const bool error = (flags & 0x80) != 0;
    ERR_clear_error();
    if (error) {
        // libcrypto flags both a header that does not parse and contents that
        // run past the input; a complete header tells the two apart.
        return fail(VeloraError::KeySerialization(p > der.data() ? m.truncated : m.malformed));
    }
    if (flags == 0x21) return fail(VeloraError::KeySerialization(m.not_der));  // indefinite length
    const std::size_t used = static_cast<std::size_t>(p - der.data()) + static_cast<std::size_t>(len);
    if (used > der.size()) return fail(VeloraError::KeySerialization(m.truncated));
    if (used < der.size()) return fail(VeloraError::KeySerialization(m.trailing));
    return {};
}

std::vector<std::uint8_t> encode_spki(std::string_view oid, std::span<const std::uint8_t> key) {
    std::unique_ptr<X509_PUBKEY, PubkeyFree> pub(X509_PUBKEY_new());
    ASN1_OBJECT* obj = make_oid(oid);
    auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(key.size()));
    if (!pub || obj == nullptr || copy == nullptr) {
        ASN1_OBJECT_free(obj);
        OPENSSL_free(copy);
        throw std::bad_alloc();
    }
    std::copy(key.begin(), key.end(), copy);
    // Takes both; sets the BIT STRING's unused bits to 0.
    if (X509_PUBKEY_set0_param(pub.get(), obj, V_ASN1_UNDEF, nullptr, copy, static_cast<int>(key.size())) != 1) {
        ASN1_OBJECT_free(obj);
        OPENSSL_free(copy);
        throw std::bad_alloc();
    }
    return asn1::encode_der<std::vector<std::uint8_t>>(pub.get(), i2d_X509_PUBKEY);
}

Result<Spki> decode_spki(std::span<const std::uint8_t> der) {
    auto pub = asn1::decode_strict<std::unique_ptr<X509_PUBKEY, PubkeyFree>>(der, kSpki, d2i_X509_PUBKEY,
                                                                             i2d_X509_PUBKEY);
    if (!pub) return fail(pub.error());

    ASN1_OBJECT* obj = nullptr;
    const unsigned char* key = nullptr;
    int key_len = 0;
    X509_ALGOR* alg = nullptr;
    if (X509_PUBKEY_get0_param(&obj, &key, &key_len, &alg, pub->get()) != 1) {
        return fail(VeloraError::KeySerialization(kSpki.malformed));
    }
    int param_type = V_ASN1_UNDEF;
    X509_ALGOR_get0(nullptr, &param_type, nullptr, alg);
    Spki out;
    out.oid = oid_text(obj);
    out.has_parameters = param_type != V_ASN1_UNDEF;
    // The BIT STRING closes the structure, and the input is its exact DER:
    // its unused-bits octet sits right before the key bytes.
    out.unused_bits = der[der.size() - static_cast<std::size_t>(key_len) - 1];
    out.key.assign(key, key + key_len);
    return out;
}

SecretBuffer encode_private_key_info(std::string_view oid, std::span<const std::uint8_t> private_key) {
    std::unique_ptr<VELORA_ONE_ASYMMETRIC_KEY, OakFree> k(VELORA_ONE_ASYMMETRIC_KEY_new());
    if (!k) throw std::bad_alloc();
    ASN1_OBJECT* obj = make_oid(oid);
    if (obj == nullptr || ASN1_INTEGER_set(k->version, 0) != 1 ||
        X509_ALGOR_set0(k->algorithm, obj, V_ASN1_UNDEF, nullptr) != 1 ||
        ASN1_OCTET_STRING_set(k->private_key, private_key.data(), static_cast<int>(private_key.size())) != 1) {
        throw std::bad_alloc();
    }
    return asn1::encode_der<SecretBuffer>(k.get(), i2d_VELORA_ONE_ASYMMETRIC_KEY);
}

Result<PrivateKeyInfo> decode_private_key_info(std::span<const std::uint8_t> der) {
    auto decoded = asn1::decode_strict<std::unique_ptr<VELORA_ONE_ASYMMETRIC_KEY, OakFree>>(
        der, kPki, d2i_VELORA_ONE_ASYMMETRIC_KEY, i2d_VELORA_ONE_ASYMMETRIC_KEY);
    if (!decoded) return fail(decoded.error());
    const auto& k = *decoded;
    PrivateKeyInfo out;
    out.version = ASN1_INTEGER_get(k->version);
    ERR_clear_error();
    const ASN1_OBJECT* obj = nullptr;
    int param_type = V_ASN1_UNDEF;
    X509_ALGOR_get0(&obj, &param_type, nullptr, k->algorithm);
    out.oid = oid_text(obj);
    out.has_parameters = param_type != V_ASN1_UNDEF;
    out.has_attributes = k->attributes != nullptr;
    out.private_key = SecretBuffer(static_cast<std::size_t>(k->private_key->length));
    std::copy_n(k->private_key->data, out.private_key.size(), out.private_key.data());
    if (k->public_key != nullptr) {
        out.public_key.emplace(k->public_key->data, k->public_key->data + k->public_key->length);
        out.public_key_unused_bits = unused_bits(k->public_key);
    }
    return out;
}

}  // namespace velora::primitives::pkix
