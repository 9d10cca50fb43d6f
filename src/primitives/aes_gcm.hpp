// AES-256-GCM (SP 800-38D): 32-byte key, 12-byte nonce, 16-byte tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace velora::primitives {

enum class AesGcmBackend : std::uint8_t;  // primitives/aes_gcm_backend.hpp
namespace detail {
class GcmEngine;
}

// seal and open keep no per-call state in the object, so one object may be
// used from any number of threads at once.
//
// Two backends implement it: Intel's ipsec-mb (VAES/AVX-512 code paths),
// used where the library was found at build time and the CPU has those
// features, and libcrypto otherwise. Both give the same bytes.
class Aes256Gcm {
public:
    static constexpr std::size_t kKeyBytes = 32;
    static constexpr std::size_t kNonceBytes = 12;
    static constexpr std::size_t kTagBytes = 16;

    // The key schedule is computed once here. Empty on a library failure.
    static std::optional<Aes256Gcm> create(std::span<const std::uint8_t, kKeyBytes> key) noexcept;

    Aes256Gcm(Aes256Gcm&&) noexcept;
    Aes256Gcm& operator=(Aes256Gcm&&) noexcept;
    ~Aes256Gcm();

    // ct.size() == pt.size(); ct may alias pt exactly. False on a library failure
    // (including a plaintext beyond GCM's length limit).
    [[nodiscard]] bool seal(std::span<const std::uint8_t, kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                            std::span<const std::uint8_t> pt, std::span<std::uint8_t> ct,
                            std::span<std::uint8_t, kTagBytes> tag) const noexcept;

    // pt.size() == ct.size(); pt may alias ct exactly. False when the tag does
    // not verify; pt is then zeroed, so no plaintext is released. Mismatched
    // lengths or an over-long input fail before pt is written.
    [[nodiscard]] bool open(std::span<const std::uint8_t, kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                            std::span<const std::uint8_t> ct, std::span<const std::uint8_t, kTagBytes> tag,
                            std::span<std::uint8_t> pt) const noexcept;

    // Largest plaintext GCM accepts under one nonce: 2^36 - 32 bytes.
    static constexpr std::uint64_t kMaxPlaintextBytes = (std::uint64_t{1} << 36) - 32;

private:
    friend std::optional<Aes256Gcm> create_with(AesGcmBackend, std::span<const std::uint8_t, kKeyBytes>) noexcept;
    explicit Aes256Gcm(std::unique_ptr<detail::GcmEngine> engine) noexcept;
    std::unique_ptr<detail::GcmEngine> engine_;
};

}  // namespace velora::primitives
