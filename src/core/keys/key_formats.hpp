// ML-KEM keys in the IETF formats (RFC 9935): the public key as an X.509
// SubjectPublicKeyInfo, the private key as a PKCS#8 OneAsymmetricKey whose
// privateKey holds the seed / expandedKey / both CHOICE (mlkem_private_key.hpp),
// the private key encrypted as a PKCS#8 EncryptedPrivateKeyInfo with PBES2
// (scrypt or PBKDF2-HMAC-SHA256, AES-256-CBC), and the RFC 7468 PEM text of
// each ("PUBLIC KEY", "PRIVATE KEY", "ENCRYPTED PRIVATE KEY").
//
// The outer structures are encoded and decoded by libcrypto (primitives/pkix,
// primitives/pkcs8_pbes2); this file holds the ML-KEM rules: the OIDs, the
// absent parameters, the sizes by level, the form of the private key, the
// import checks, and the cost limits for reading encrypted keys.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/keys/key_material.hpp"
#include "core/keys/mlkem_private_key.hpp"
#include "platform/error.hpp"

namespace velora::key_formats {

using keys::PrivateKeyMaterial;

// id-alg-ml-kem-512 / -768 / -1024.
std::string_view oid_for(mlkem::LevelIndex level) noexcept;

// ---- public keys --------------------------------------------------------------

std::vector<std::uint8_t> spki_encode(std::span<const std::uint8_t> ek, mlkem::LevelIndex level);

struct PublicKeyBytes {
    std::vector<std::uint8_t> ek;
    mlkem::LevelIndex level;
};
// The level comes from the OID; parameters must be absent, the BIT STRING
// whole bytes, the key the level's size; with `check`, the modulus check.
Result<PublicKeyBytes> spki_decode(std::span<const std::uint8_t> der, bool check);

// ---- private keys ---------------------------------------------------------------

// PKCS#8 v1 in `form`. InvalidParameter when the form needs the seed and
// the key has none.
Result<SecretBuffer> pkcs8_encode(const PrivateKeyMaterial& key, mlkem_key::Form form);

// Version 0 (v1) or 1 (v2); a publicKey only with v2, and then it must match
// the key; attributes are allowed and ignored. `both` is always checked for
// consistency; an expandedKey alone is checked (modulus, hash, pairwise)
// when `check` is set.
Result<PrivateKeyMaterial> pkcs8_decode(std::span<const std::uint8_t> der, bool check);

// ---- encrypted private keys ---------------------------------------------------

enum class Kdf : std::uint8_t { Scrypt, Pbkdf2HmacSha256 };

// What is written. The defaults: scrypt N = 2^17, r = 8, p = 1 (128 MiB,
// about 0.3 s here), a 16-byte salt and IV from the random source, AES-256-CBC.
struct EncryptionSettings {
    Kdf kdf = Kdf::Scrypt;
    std::uint64_t scrypt_n = std::uint64_t{1} << 17;
    std::uint32_t scrypt_r = 8;
    std::uint32_t scrypt_p = 1;
    std::uint32_t pbkdf2_iterations = 600'000;
};

// What is accepted when reading (a file cannot ask for more), and written:
// scrypt memory, all that scrypt allocates (scrypt_memory), at most 260 MiB
// (so N = 2^18 with r = 8, 256 MiB and some KiB, is read); work N * r * p
// at most 2^22 (4 times the default) and r * p at most 2^16 (B, the p blocks
// of 128 * r bytes, costs a PBKDF2 block per 32 bytes whatever N is: with
// N = 2 and r = 1, p = 2^21 takes about 25 s); PBKDF2 at most 10,000,000
// iterations; salts at most 1 KiB.
struct ReadLimits {
    std::uint64_t max_scrypt_memory = std::uint64_t{260} << 20;
    std::uint64_t max_scrypt_work = std::uint64_t{1} << 22;
    std::uint64_t max_scrypt_blocks = std::uint64_t{1} << 16;
    std::uint64_t max_pbkdf2_iterations = 10'000'000;
};

// The bytes libcrypto's scrypt allocates for N, r, p: its V array of N
// blocks and two scratch blocks, 128 * r * (N + 2), B, p blocks of 128 * r
// bytes, and a copy of B (the salt of the final PBKDF2), i.e.
// 128 * r * (N + 2p + 2); 2^64 - 1 when that does not fit 64 bits.
std::uint64_t scrypt_memory(std::uint64_t n, std::uint64_t r, std::uint64_t p) noexcept;

// Checks the settings (InvalidParameter naming the bound; KeySerialization
// for N >= 2^(16*r), which RFC 7914 forbids), draws salt and
// IV (Rng), derives the key, encrypts `private_key_info` (a PKCS#8 DER).
Result<std::vector<std::uint8_t>> pkcs8_encrypt(std::span<const std::uint8_t> private_key_info,
                                                std::span<const std::uint8_t> password,
                                                const EncryptionSettings& settings);

// The PKCS#8 DER inside an EncryptedPrivateKeyInfo. Structure and cost
// errors are KeySerialization; once the cost is accepted, every failure
// (padding, and a plaintext that is not a PrivateKeyInfo) is Decryption:
// the two cannot be told from a wrong password.
Result<SecretBuffer> pkcs8_decrypt(std::span<const std::uint8_t> der, std::span<const std::uint8_t> password,
                                   const ReadLimits& limits);

// pkcs8_decrypt, then pkcs8_decode of the plaintext; a plaintext that is not
// a PrivateKeyInfo is Decryption (a wrong password), the checks of the key
// inside report as in pkcs8_decode.
Result<PrivateKeyMaterial> pkcs8_decrypt_and_decode(std::span<const std::uint8_t> der,
                                                    std::span<const std::uint8_t> password,
                                                    const ReadLimits& limits, bool check);

// Whether `der` is shaped as an EncryptedPrivateKeyInfo (any scheme) rather
// than a PrivateKeyInfo, from its first headers only.
bool is_encrypted_private_key_info(std::span<const std::uint8_t> der);

// ---- PEM (RFC 7468) -------------------------------------------------------------

enum class PemLabel : std::uint8_t { PublicKey, PrivateKey, EncryptedPrivateKey };

// "-----BEGIN <label>-----" LF, standard Base64 in 64-character lines, LF,
// "-----END <label>-----" LF. The intermediate copies are wiped.
std::string pem_encode(PemLabel label, std::span<const std::uint8_t> der);

// The DER of the first <label> block of `text`: text around the block is
// ignored, white space inside it removed, the Base64 must be canonical.
// KeySerialization naming the label when the block is missing or broken.
Result<SecretBuffer> pem_decode(std::string_view text, PemLabel label);

// The label of the first PEM block in `text`, if it is one of the three.
std::optional<PemLabel> pem_first_label(std::string_view text) noexcept;

}  // namespace velora::key_formats
