// HPKE (RFC 9180) base mode, single-shot: seal / open and the secret export
// interface, over the KEMs DHKEM(X25519, HKDF-SHA256), ML-KEM-768,
// ML-KEM-1024 and MLKEM768-X25519 (X-Wing) as draft-ietf-hpke-pq defines the
// post-quantum ones, the KDFs HKDF-SHA256/384/512 and the AEADs AES-128-GCM,
// AES-256-GCM, ChaCha20-Poly1305 and export-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace velora::hpke {

enum class Kem : std::uint16_t { DhKemX25519 = 0x0020, MlKem768 = 0x0041, MlKem1024 = 0x0042, XWing = 0x647a };
enum class Kdf : std::uint16_t { HkdfSha256 = 0x0001, HkdfSha384 = 0x0002, HkdfSha512 = 0x0003 };
enum class Aead : std::uint16_t { Aes128Gcm = 0x0001, Aes256Gcm = 0x0002, ChaCha20Poly1305 = 0x0003, ExportOnly = 0xFFFF };

struct Suite {
    Kem kem;
    Kdf kdf;
    Aead aead;
};

// The constants of a KEM (RFC 9180 Section 7.1, draft-ietf-hpke-pq Section 8).
struct KemSizes {
    std::size_t n_secret;
    std::size_t n_enc;
    std::size_t n_pk;
    std::size_t n_sk;
    std::size_t n_random;  // bytes of a derandomized encapsulation (ikmE): see encap
};

inline constexpr std::string_view kUnknownKem = "HPKE: unsupported KEM identifier";
inline constexpr std::string_view kUnknownKdf = "HPKE: unsupported KDF identifier";
inline constexpr std::string_view kUnknownAead = "HPKE: unsupported AEAD identifier";
inline constexpr std::string_view kPublicKeySize = "HPKE: public key has the wrong size for the KEM";
inline constexpr std::string_view kPrivateKeySize = "HPKE: private key has the wrong size for the KEM";
inline constexpr std::string_view kEncSize = "HPKE: encapsulated key has the wrong size for the KEM";
inline constexpr std::string_view kIkmESize = "HPKE: encapsulation randomness has the wrong size for the KEM";
inline constexpr std::string_view kEncapError = "HPKE: encapsulation failed (invalid public key)";
inline constexpr std::string_view kDecapError = "HPKE: decapsulation failed";
inline constexpr std::string_view kExportOnly = "HPKE: the export-only AEAD cannot seal or open";
inline constexpr std::string_view kCiphertextShort = "HPKE: ciphertext is shorter than the AEAD tag";
inline constexpr std::string_view kExportLength = "HPKE: export length must be from 1 to 255 * Nh";
inline constexpr std::string_view kKdfFailed = "HPKE: key derivation failed in libcrypto (input too long?)";

// Checks the three identifiers.
Result<Suite> make_suite(std::uint16_t kem_id, std::uint16_t kdf_id, std::uint16_t aead_id);
Result<KemSizes> kem_sizes(std::uint16_t kem_id);

struct KeyPair {
    std::vector<std::uint8_t> private_key;  // serialized (a seed for the ML-KEM and hybrid KEMs)
    std::vector<std::uint8_t> public_key;
};

// DeriveKeyPair(ikm) (RFC 9180 Section 7.1.3 for DHKEM; SHAKE256.LabeledDerive
// for the others), GenerateKeyPair(), and the public key of a private key.
Result<KeyPair> derive_key_pair(Kem kem, std::span<const std::uint8_t> ikm);
Result<KeyPair> generate_key_pair(Kem kem);
Result<std::vector<std::uint8_t>> public_key_of(Kem kem, std::span<const std::uint8_t> private_key);

struct Sealed {
    std::vector<std::uint8_t> enc;
    std::vector<std::uint8_t> ciphertext;  // ct || tag
};

struct Exported {
    std::vector<std::uint8_t> enc;
    std::vector<std::uint8_t> secret;
};

// Single-shot APIs (RFC 9180 Section 6). ikm_e empty: fresh randomness;
// otherwise the encapsulation is derandomized with it (for known answers):
// DHKEM: DeriveKeyPair(ikm_e) gives the ephemeral key (any length); ML-KEM:
// the 32-byte message m; X-Wing: the 64-byte eseed.
Result<Sealed> seal(Suite suite, std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> info,
                    std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext,
                    std::span<const std::uint8_t> ikm_e = {});
Result<std::vector<std::uint8_t>> open(Suite suite, std::span<const std::uint8_t> private_key,
                                       std::span<const std::uint8_t> enc, std::span<const std::uint8_t> info,
                                       std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ciphertext);
Result<Exported> send_export(Suite suite, std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> info,
                             std::span<const std::uint8_t> exporter_context, std::size_t length,
                             std::span<const std::uint8_t> ikm_e = {});
Result<std::vector<std::uint8_t>> receive_export(Suite suite, std::span<const std::uint8_t> private_key,
                                                 std::span<const std::uint8_t> enc, std::span<const std::uint8_t> info,
                                                 std::span<const std::uint8_t> exporter_context, std::size_t length);

// The key schedule (RFC 9180 Section 5.1, mode_base), exposed for the
// constant-time harness and the engine tests: key (Nk), base_nonce (Nn) and
// exporter_secret (Nh) from a KEM shared secret.
struct Context {
    std::vector<std::uint8_t> key;
    std::vector<std::uint8_t> base_nonce;
    std::vector<std::uint8_t> exporter_secret;
    Context() = default;
    Context(Context&&) = default;
    Context& operator=(Context&&) = default;
    ~Context();
};
Result<Context> key_schedule(Suite suite, std::span<const std::uint8_t> shared_secret,
                             std::span<const std::uint8_t> info);

}  // namespace velora::hpke
