// AEADs with a 12-byte nonce and a 16-byte tag over libcrypto's EVP
// interface: ChaCha20-Poly1305 (RFC 8439), AES-128-GCM and AES-256-GCM
// (SP 800-38D). The engine's AES-256-GCM with its ipsec-mb backend is
// primitives/aes_gcm.hpp; this one serves the protocols that choose their
// AEAD by identifier (HPKE) and age's ChaCha20-Poly1305.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

struct evp_cipher_ctx_st;  // libcrypto's EVP_CIPHER_CTX

namespace velora::primitives {

enum class AeadAlgorithm : std::uint8_t { Aes128Gcm, Aes256Gcm, ChaCha20Poly1305 };

constexpr std::size_t aead_key_bytes(AeadAlgorithm a) noexcept { return a == AeadAlgorithm::Aes128Gcm ? 16 : 32; }

// seal and open copy a keyed context into a working one, so one object may be
// used from any number of threads at once.
class EvpAead {
public:
    static constexpr std::size_t kNonceBytes = 12;
    static constexpr std::size_t kTagBytes = 16;

    // key.size() must be aead_key_bytes(algorithm). Empty on a wrong key size
    // or a library failure.
    static std::optional<EvpAead> create(AeadAlgorithm algorithm, std::span<const std::uint8_t> key) noexcept;

    // ct.size() == pt.size(); ct may alias pt exactly.
    [[nodiscard]] bool seal(std::span<const std::uint8_t, kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                            std::span<const std::uint8_t> pt, std::span<std::uint8_t> ct,
                            std::span<std::uint8_t, kTagBytes> tag) const noexcept;

    // pt.size() == ct.size(); pt may alias ct exactly. false when the tag does
    // not verify (checked in constant time by libcrypto); pt is then zeroed.
    [[nodiscard]] bool open(std::span<const std::uint8_t, kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                            std::span<const std::uint8_t> ct, std::span<const std::uint8_t, kTagBytes> tag,
                            std::span<std::uint8_t> pt) const noexcept;

private:
    struct CtxDeleter {
        void operator()(evp_cipher_ctx_st* c) const noexcept;
    };
    using CtxPtr = std::unique_ptr<evp_cipher_ctx_st, CtxDeleter>;

    explicit EvpAead(CtxPtr keyed) noexcept : keyed_(std::move(keyed)) {}
    CtxPtr start(std::span<const std::uint8_t, kNonceBytes> nonce, int encrypt) const noexcept;
    CtxPtr keyed_;
};

}  // namespace velora::primitives
