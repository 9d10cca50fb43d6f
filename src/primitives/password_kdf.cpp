// scrypt and PBKDF2 through EVP_KDF: one fetched KDF per call, parameters as
// OSSL_PARAMs. libcrypto wipes its own working memory.
#include "primitives/password_kdf.hpp"

#include "primitives/evp_detail.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <array>

namespace velora::primitives {

using evp::in;

bool scrypt(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt, std::uint64_t n,
            std::uint32_t r, std::uint32_t p, std::span<std::uint8_t> out) noexcept {
    std::uint64_t cost = n;
    std::uint32_t block = r;
    std::uint32_t parallel = p;
    // libcrypto's own default cap (32 MiB) would refuse the costs files use;
    // callers bound N, r and p themselves, so the cap is what they imply.
    std::uint64_t maxmem = 0;
    if (r != 0 && n <= (UINT64_MAX / 128) / r) maxmem = 128ULL * r * n + 128ULL * r * (p + 2) + (1ULL << 20);
    const std::array<OSSL_PARAM, 7> params = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, in(password), password.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, in(salt), salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &cost),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &block),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &parallel),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem),
        OSSL_PARAM_construct_end(),
    };
    return evp::kdf_derive(OSSL_KDF_NAME_SCRYPT, params.data(), out);
}

bool pbkdf2_hmac_sha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                        std::uint32_t iterations, std::span<std::uint8_t> out) noexcept {
    char digest[] = "SHA256";
    // RFC 8018 allows any iteration count >= 1; libcrypto's SP 800-132 lower
    // bounds are for its FIPS provider and are switched off here.
    int pkcs5 = 1;
    const std::array<OSSL_PARAM, 6> params = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, in(password), password.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, in(salt), salt.size()),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_ITER, &iterations),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &pkcs5),
        OSSL_PARAM_construct_end(),
    };
    return evp::kdf_derive(OSSL_KDF_NAME_PBKDF2, params.data(), out);
}

}  // namespace velora::primitives
