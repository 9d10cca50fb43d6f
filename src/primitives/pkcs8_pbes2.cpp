#include "primitives/pkcs8_pbes2.hpp"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <new>

#include "primitives/asn1_detail.hpp"
#include "primitives/evp_detail.hpp"
#include "primitives/pkix.hpp"

namespace velora::primitives::pbes2 {

namespace {

template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, evp::Deleter<T, Free>>;

using SigPtr = Owned<X509_SIG, X509_SIG_free>;
using Pbe2Ptr = Owned<PBE2PARAM, PBE2PARAM_free>;
using ScryptPtr = Owned<SCRYPT_PARAMS, SCRYPT_PARAMS_free>;
using Pbkdf2Ptr = Owned<PBKDF2PARAM, PBKDF2PARAM_free>;
using AlgPtr = Owned<X509_ALGOR, X509_ALGOR_free>;

constexpr pkix::DerMessages kEpki = {
    "EncryptedPrivateKeyInfo: empty input",
    "EncryptedPrivateKeyInfo: truncated (its DER length runs past the end of the input)",
    "EncryptedPrivateKeyInfo: trailing data after the structure",
    "EncryptedPrivateKeyInfo: malformed (expected SEQUENCE { AlgorithmIdentifier, OCTET STRING })",
    "EncryptedPrivateKeyInfo: not DER (BER or non-minimal encoding)",
};

VeloraError bad(std::string_view m) { return VeloraError::KeySerialization(m); }

void check_alloc(bool ok) {
    if (!ok) throw std::bad_alloc();
}

// Packs `value` of `item` as the SEQUENCE parameter of `alg` with `nid`.
void set_sequence_param(X509_ALGOR* alg, int nid, const void* value, const ASN1_ITEM* item) {
    ASN1_STRING* packed = ASN1_item_pack(const_cast<void*>(value), item, nullptr);
    check_alloc(packed != nullptr);
    if (X509_ALGOR_set0(alg, OBJ_nid2obj(nid), V_ASN1_SEQUENCE, packed) != 1) {
        ASN1_STRING_free(packed);
        throw std::bad_alloc();
    }
}

// The parameter of `alg` decoded as `item`, strictly: a SEQUENCE whose
// encoding libcrypto re-creates byte for byte (X509_ALGOR keeps a SEQUENCE
// parameter as raw bytes, so the outer round trip does not cover it).
void* unpack_strict(const X509_ALGOR* alg, const ASN1_ITEM* item) {
    int type = V_ASN1_UNDEF;
    const void* value = nullptr;
    X509_ALGOR_get0(nullptr, &type, &value, alg);
    if (type != V_ASN1_SEQUENCE || value == nullptr) return nullptr;
    const auto* raw = static_cast<const ASN1_STRING*>(value);
    const unsigned char* p = ASN1_STRING_get0_data(raw);
    const long n = ASN1_STRING_length(raw);
    void* decoded = ASN1_item_d2i(nullptr, &p, n, item);
    ERR_clear_error();
    if (decoded == nullptr) return nullptr;
    unsigned char* again = nullptr;
    const int m = ASN1_item_i2d(static_cast<ASN1_VALUE*>(decoded), &again, item);
    const bool same = p == ASN1_STRING_get0_data(raw) + n && m == n &&
                      std::equal(again, again + m, ASN1_STRING_get0_data(raw));
    OPENSSL_free(again);
    if (!same) {
        ASN1_item_free(static_cast<ASN1_VALUE*>(decoded), item);
        return nullptr;
    }
    return decoded;
}

// A non-negative INTEGER that fits 64 bits.
bool get_u64(const ASN1_INTEGER* v, std::uint64_t* out) {
    const bool ok = v != nullptr && ASN1_INTEGER_get_uint64(out, v) == 1;
    ERR_clear_error();
    return ok;
}

int nid_of(const X509_ALGOR* alg) {
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    return OBJ_obj2nid(obj);
}

Result<void> read_scrypt(const X509_ALGOR* keyfunc, Params& out) {
    ScryptPtr sp(static_cast<SCRYPT_PARAMS*>(unpack_strict(keyfunc, ASN1_ITEM_rptr(SCRYPT_PARAMS))));
    if (!sp) return fail(bad("PBES2: malformed scrypt parameters (expected SEQUENCE { salt OCTET STRING, N, r, p, "
                             "keyLength OPTIONAL } in DER)"));
    out.kdf = Kdf::Scrypt;
    out.salt.assign(sp->salt->data, sp->salt->data + sp->salt->length);
    if (!get_u64(sp->costParameter, &out.scrypt_n) || !get_u64(sp->blockSize, &out.scrypt_r) ||
        !get_u64(sp->parallelizationParameter, &out.scrypt_p)) {
        return fail(bad("PBES2: scrypt N, r and p must be non-negative integers below 2^64"));
    }
    if (sp->keyLength != nullptr) {
        std::uint64_t len = 0;
        if (!get_u64(sp->keyLength, &len)) return fail(bad("PBES2: the scrypt keyLength is not a valid integer"));
        out.key_length = len;
    }
    return {};
}

Result<void> read_pbkdf2(const X509_ALGOR* keyfunc, Params& out) {
    Pbkdf2Ptr pp(static_cast<PBKDF2PARAM*>(unpack_strict(keyfunc, ASN1_ITEM_rptr(PBKDF2PARAM))));
    if (!pp) return fail(bad("PBES2: malformed PBKDF2 parameters (expected SEQUENCE { salt, iterationCount, "
                             "keyLength OPTIONAL, prf OPTIONAL } in DER)"));
    out.kdf = Kdf::Pbkdf2HmacSha256;
    if (pp->salt == nullptr || pp->salt->type != V_ASN1_OCTET_STRING) {
        return fail(bad("PBES2: the PBKDF2 salt must be specified as an OCTET STRING"));
    }
    const ASN1_OCTET_STRING* salt = pp->salt->value.octet_string;
    out.salt.assign(salt->data, salt->data + salt->length);
    if (!get_u64(pp->iter, &out.iterations)) return fail(bad("PBES2: the PBKDF2 iteration count is not a valid integer"));
    if (pp->keylength != nullptr) {
        std::uint64_t len = 0;
        if (!get_u64(pp->keylength, &len)) return fail(bad("PBES2: the PBKDF2 keyLength is not a valid integer"));
        out.key_length = len;
    }
    // The PRF defaults to hmacWithSHA1, which is not accepted.
    if (pp->prf == nullptr || nid_of(pp->prf) != NID_hmacWithSHA256) {
        return fail(bad("PBES2: unsupported PBKDF2 PRF (expected hmacWithSHA256)"));
    }
    int prf_param = V_ASN1_UNDEF;
    X509_ALGOR_get0(nullptr, &prf_param, nullptr, pp->prf);
    if (prf_param != V_ASN1_UNDEF && prf_param != V_ASN1_NULL) {
        return fail(bad("PBES2: hmacWithSHA256 takes NULL or absent parameters"));
    }
    return {};
}

}  // namespace

std::vector<std::uint8_t> encode_encrypted_private_key_info(const Params& params,
                                                            std::span<const std::uint8_t> ciphertext) {
    AlgPtr keyfunc(X509_ALGOR_new());
    check_alloc(keyfunc != nullptr);
    if (params.kdf == Kdf::Scrypt) {
        ScryptPtr sp(SCRYPT_PARAMS_new());
        check_alloc(sp != nullptr &&
                    ASN1_OCTET_STRING_set(sp->salt, params.salt.data(), static_cast<int>(params.salt.size())) == 1 &&
                    ASN1_INTEGER_set_uint64(sp->costParameter, params.scrypt_n) == 1 &&
                    ASN1_INTEGER_set_uint64(sp->blockSize, params.scrypt_r) == 1 &&
                    ASN1_INTEGER_set_uint64(sp->parallelizationParameter, params.scrypt_p) == 1);
        set_sequence_param(keyfunc.get(), NID_id_scrypt, sp.get(), ASN1_ITEM_rptr(SCRYPT_PARAMS));
    } else {
        Pbkdf2Ptr pp(PBKDF2PARAM_new());
        check_alloc(pp != nullptr);
        ASN1_OCTET_STRING* salt = ASN1_OCTET_STRING_new();
        check_alloc(salt != nullptr);
        if (ASN1_OCTET_STRING_set(salt, params.salt.data(), static_cast<int>(params.salt.size())) != 1) {
            ASN1_OCTET_STRING_free(salt);
            throw std::bad_alloc();
        }
        ASN1_TYPE_set(pp->salt, V_ASN1_OCTET_STRING, salt);
        pp->prf = X509_ALGOR_new();
        check_alloc(pp->prf != nullptr && ASN1_INTEGER_set_uint64(pp->iter, params.iterations) == 1 &&
                    X509_ALGOR_set0(pp->prf, OBJ_nid2obj(NID_hmacWithSHA256), V_ASN1_NULL, nullptr) == 1);
        set_sequence_param(keyfunc.get(), NID_id_pbkdf2, pp.get(), ASN1_ITEM_rptr(PBKDF2PARAM));
    }

    Pbe2Ptr pbe2(PBE2PARAM_new());
    check_alloc(pbe2 != nullptr);
    X509_ALGOR_free(pbe2->keyfunc);
    pbe2->keyfunc = keyfunc.release();
    ASN1_OCTET_STRING* iv = ASN1_OCTET_STRING_new();
    check_alloc(iv != nullptr);
    if (ASN1_OCTET_STRING_set(iv, params.iv.data(), static_cast<int>(params.iv.size())) != 1 ||
        X509_ALGOR_set0(pbe2->encryption, OBJ_nid2obj(NID_aes_256_cbc), V_ASN1_OCTET_STRING, iv) != 1) {
        ASN1_OCTET_STRING_free(iv);
        throw std::bad_alloc();
    }

    SigPtr sig(X509_SIG_new());
    check_alloc(sig != nullptr);
    X509_ALGOR* alg = nullptr;
    ASN1_OCTET_STRING* data = nullptr;
    X509_SIG_getm(sig.get(), &alg, &data);
    set_sequence_param(alg, NID_pbes2, pbe2.get(), ASN1_ITEM_rptr(PBE2PARAM));
    check_alloc(ASN1_OCTET_STRING_set(data, ciphertext.data(), static_cast<int>(ciphertext.size())) == 1);

    return asn1::encode_der<std::vector<std::uint8_t>>(sig.get(), i2d_X509_SIG);
}

Result<Encrypted> decode_encrypted_private_key_info(std::span<const std::uint8_t> der) {
    auto sig = asn1::decode_strict<SigPtr>(der, kEpki, d2i_X509_SIG, i2d_X509_SIG);
    if (!sig) return fail(sig.error());
    const X509_ALGOR* alg = nullptr;
    const ASN1_OCTET_STRING* data = nullptr;
    X509_SIG_get0(sig->get(), &alg, &data);
    if (nid_of(alg) != NID_pbes2) {
        return fail(bad("EncryptedPrivateKeyInfo: unsupported encryption scheme (expected PBES2, "
                        "1.2.840.113549.1.5.13)"));
    }
    Pbe2Ptr pbe2(static_cast<PBE2PARAM*>(unpack_strict(alg, ASN1_ITEM_rptr(PBE2PARAM))));
    if (!pbe2) return fail(bad("PBES2: malformed parameters (expected SEQUENCE { keyDerivationFunc, "
                               "encryptionScheme } in DER)"));
    Encrypted out;
    switch (nid_of(pbe2->keyfunc)) {
        case NID_id_scrypt:
            if (auto r = read_scrypt(pbe2->keyfunc, out.params); !r) return fail(r.error());
            break;
        case NID_id_pbkdf2:
            if (auto r = read_pbkdf2(pbe2->keyfunc, out.params); !r) return fail(r.error());
            break;
        default:
            return fail(bad("PBES2: unsupported key derivation function (expected scrypt or PBKDF2)"));
    }
    if (nid_of(pbe2->encryption) != NID_aes_256_cbc) {
        return fail(bad("PBES2: unsupported encryption scheme (expected aes256-CBC, 2.16.840.1.101.3.4.1.42)"));
    }
    int iv_type = V_ASN1_UNDEF;
    const void* iv_value = nullptr;
    X509_ALGOR_get0(nullptr, &iv_type, &iv_value, pbe2->encryption);
    const auto* iv = static_cast<const ASN1_OCTET_STRING*>(iv_value);
    if (iv_type != V_ASN1_OCTET_STRING || iv == nullptr || iv->length != static_cast<int>(kIvBytes)) {
        return fail(bad("PBES2: the aes256-CBC IV must be a 16-byte OCTET STRING"));
    }
    std::copy_n(iv->data, kIvBytes, out.params.iv.begin());
    out.ciphertext.assign(data->data, data->data + data->length);
    return out;
}

std::vector<std::uint8_t> aes256_cbc_encrypt(std::span<const std::uint8_t, kKeyBytes> key,
                                             std::span<const std::uint8_t, kIvBytes> iv,
                                             std::span<const std::uint8_t> plaintext) {
    evp::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    std::vector<std::uint8_t> out((plaintext.size() / kBlockBytes + 1) * kBlockBytes);
    int n1 = 0, n2 = 0;
    check_alloc(ctx != nullptr &&
                EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data()) == 1 &&
                EVP_EncryptUpdate(ctx.get(), out.data(), &n1, plaintext.data(), static_cast<int>(plaintext.size())) == 1 &&
                EVP_EncryptFinal_ex(ctx.get(), out.data() + n1, &n2) == 1 &&
                static_cast<std::size_t>(n1 + n2) == out.size());
    return out;
}

bool aes256_cbc_decrypt_blocks(std::span<const std::uint8_t, kKeyBytes> key,
                               std::span<const std::uint8_t, kIvBytes> iv, std::span<const std::uint8_t> ct,
                               std::span<std::uint8_t> out) noexcept {
    if (ct.size() % kBlockBytes != 0 || out.size() != ct.size() || ct.size() > (1u << 30)) return false;
    evp::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int n1 = 0, n2 = 0;
    return ctx != nullptr && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data()) == 1 &&
           EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
           EVP_DecryptUpdate(ctx.get(), out.data(), &n1, ct.data(), static_cast<int>(ct.size())) == 1 &&
           EVP_DecryptFinal_ex(ctx.get(), out.data() + n1, &n2) == 1 && static_cast<std::size_t>(n1 + n2) == ct.size();
}

}  // namespace velora::primitives::pbes2
