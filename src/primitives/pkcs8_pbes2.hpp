// PKCS#8 EncryptedPrivateKeyInfo (RFC 5958 section 3) with PBES2 (RFC 8018
// section 6.2): the structures through libcrypto's ASN.1 types (X509_SIG,
// X509_ALGOR, PBE2PARAM, SCRYPT_PARAMS, PBKDF2PARAM), and AES-256-CBC
// through EVP.
//
// libcrypto's PKCS8_encrypt / PKCS8_decrypt and PKCS5_pbe2_set_scrypt are not
// used: OpenSSL 3.0 runs scrypt there under its 32 MiB default memory cap and
// refuses N = 2^17, r = 8 ("memory limit exceeded"), the cost this library
// writes by default. The key is derived by the caller (password_kdf.hpp,
// EVP_KDF), which also bounds the cost it accepts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/error.hpp"

namespace velora::primitives::pbes2 {

enum class Kdf : std::uint8_t { Scrypt, Pbkdf2HmacSha256 };

inline constexpr std::size_t kKeyBytes = 32;  // AES-256
inline constexpr std::size_t kIvBytes = 16;
inline constexpr std::size_t kBlockBytes = 16;

struct Params {
    Kdf kdf = Kdf::Scrypt;
    std::vector<std::uint8_t> salt;
    std::uint64_t scrypt_n = 0, scrypt_r = 0, scrypt_p = 0;  // scrypt
    std::uint64_t iterations = 0;                            // PBKDF2
    std::optional<std::uint64_t> key_length;                 // as written in the file, if it is
    std::array<std::uint8_t, kIvBytes> iv{};
};

// SEQUENCE { AlgorithmIdentifier { PBES2, PBES2-params }, OCTET STRING ciphertext }.
// scrypt-params and PBKDF2-params are written without keyLength; PBKDF2's
// PRF is hmacWithSHA256 with NULL parameters, as cryptography writes it.
std::vector<std::uint8_t> encode_encrypted_private_key_info(const Params& params,
                                                            std::span<const std::uint8_t> ciphertext);

struct Encrypted {
    Params params;
    std::vector<std::uint8_t> ciphertext;
};

// Strict DER for every level (the nested parameters are re-encoded and
// compared too). KeySerialization errors name the structure and the fault.
// The ciphertext length is not checked here.
Result<Encrypted> decode_encrypted_private_key_info(std::span<const std::uint8_t> der);

// AES-256-CBC with PKCS#7 padding: 16 * (floor(n / 16) + 1) bytes.
std::vector<std::uint8_t> aes256_cbc_encrypt(std::span<const std::uint8_t, kKeyBytes> key,
                                             std::span<const std::uint8_t, kIvBytes> iv,
                                             std::span<const std::uint8_t> plaintext);

// AES-256-CBC decryption of whole blocks, padding left in place (the caller
// removes it in constant time). ct.size() is a multiple of 16 and
// out.size() == ct.size(). false on a library failure.
[[nodiscard]] bool aes256_cbc_decrypt_blocks(std::span<const std::uint8_t, kKeyBytes> key,
                                             std::span<const std::uint8_t, kIvBytes> iv,
                                             std::span<const std::uint8_t> ct, std::span<std::uint8_t> out) noexcept;

}  // namespace velora::primitives::pbes2
