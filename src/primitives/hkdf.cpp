// HMAC through EVP_MAC and HKDF through EVP_KDF (extract-only and
// expand-only modes), one fetched algorithm per call. libcrypto wipes its own
// working memory.
#include "primitives/hkdf.hpp"

#include "primitives/evp_detail.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <array>

namespace velora::primitives {

namespace {

char* digest_name(HashAlgorithm h) noexcept {
    static char sha256[] = "SHA256";
    static char sha384[] = "SHA384";
    static char sha512[] = "SHA512";
    return h == HashAlgorithm::Sha256 ? sha256 : h == HashAlgorithm::Sha384 ? sha384 : sha512;
}

using evp::in;

bool run_hkdf(HashAlgorithm h, int mode, std::span<const std::uint8_t> key, std::span<const std::uint8_t> salt,
              std::span<const std::uint8_t> info, std::span<std::uint8_t> out) noexcept {
    std::array<OSSL_PARAM, 6> params{};
    std::size_t n = 0;
    params[n++] = OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest_name(h), 0);
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, in(key), key.size());
    if (mode == EVP_KDF_HKDF_MODE_EXTRACT_ONLY) {
        params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, in(salt), salt.size());
    } else if (!info.empty()) {
        params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, in(info), info.size());
    }
    params[n] = OSSL_PARAM_construct_end();
    return evp::kdf_derive(OSSL_KDF_NAME_HKDF, params.data(), out);
}

}  // namespace

bool hmac(HashAlgorithm h, std::span<const std::uint8_t> key, std::span<const std::uint8_t> message,
          std::span<std::uint8_t> tag) noexcept {
    if (tag.size() != hash_bytes(h)) return false;
    evp::MacPtr mac(EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr));
    if (!mac) return false;
    evp::MacCtxPtr ctx(EVP_MAC_CTX_new(mac.get()));
    if (!ctx) return false;
    const std::array<OSSL_PARAM, 2> params = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name(h), 0),
        OSSL_PARAM_construct_end(),
    };
    std::size_t len = 0;
    return EVP_MAC_init(ctx.get(), static_cast<const unsigned char*>(in(key)), key.size(), params.data()) == 1 &&
           EVP_MAC_update(ctx.get(), message.data(), message.size()) == 1 &&
           EVP_MAC_final(ctx.get(), tag.data(), &len, tag.size()) == 1 && len == tag.size();
}

bool hkdf_extract(HashAlgorithm h, std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
                  std::span<std::uint8_t> prk) noexcept {
    if (prk.size() != hash_bytes(h)) return false;
    return run_hkdf(h, EVP_KDF_HKDF_MODE_EXTRACT_ONLY, ikm, salt, {}, prk);
}

bool hkdf_expand(HashAlgorithm h, std::span<const std::uint8_t> prk, std::span<const std::uint8_t> info,
                 std::span<std::uint8_t> okm) noexcept {
    if (okm.empty() || okm.size() > 255 * hash_bytes(h)) return false;
    return run_hkdf(h, EVP_KDF_HKDF_MODE_EXPAND_ONLY, prk, {}, info, okm);
}

bool hkdf(HashAlgorithm h, std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
          std::span<const std::uint8_t> info, std::span<std::uint8_t> okm) noexcept {
    std::array<std::uint8_t, 64> prk{};
    const std::span<std::uint8_t> p = std::span(prk).first(hash_bytes(h));
    const bool ok = hkdf_extract(h, salt, ikm, p) && hkdf_expand(h, p, info, okm);
    OPENSSL_cleanse(prk.data(), prk.size());
    return ok;
}

}  // namespace velora::primitives
