// AES-256-GCM backends behind Aes256Gcm. Internal to the primitives layer and
// its tests and benchmarks; the rest of the system uses Aes256Gcm::create().
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "primitives/aes_gcm.hpp"

namespace velora::primitives {

enum class AesGcmBackend : std::uint8_t {
    OpenSsl,  // libcrypto EVP
    IpsecMb,  // Intel ipsec-mb direct GCM API
};

// Whether the backend can be used in this process: ipsec-mb must have been
// found at build time and its manager must initialise on this CPU.
bool aes_gcm_backend_available(AesGcmBackend backend) noexcept;

// The backend Aes256Gcm::create() uses: ipsec-mb where it is available and
// runs its VAES + VPCLMULQDQ (AVX-512) code path, libcrypto otherwise.
// Decided once per process.
AesGcmBackend aes_gcm_default_backend() noexcept;

// "openssl" or "ipsec-mb".
const char* aes_gcm_backend_name(AesGcmBackend backend) noexcept;

// Aes256Gcm::create() with a given backend. Empty when the backend is not
// available or its key setup fails.
std::optional<Aes256Gcm> create_with(AesGcmBackend backend, std::span<const std::uint8_t, Aes256Gcm::kKeyBytes> key) noexcept;

namespace detail {

// One keyed AES-256-GCM instance. Aes256Gcm has checked the lengths before
// either call (ct.size() == pt.size() <= kMaxPlaintextBytes) and zeroes pt
// when open fails, so an engine only computes. Both calls must be safe from
// any number of threads on one object.
class GcmEngine {
public:
    virtual ~GcmEngine() = default;

    virtual bool seal(std::span<const std::uint8_t, Aes256Gcm::kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                      std::span<const std::uint8_t> pt, std::span<std::uint8_t> ct,
                      std::span<std::uint8_t, Aes256Gcm::kTagBytes> tag) const noexcept = 0;

    // True when the tag verifies; pt may hold unverified plaintext otherwise.
    virtual bool open(std::span<const std::uint8_t, Aes256Gcm::kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                      std::span<const std::uint8_t> ct, std::span<const std::uint8_t, Aes256Gcm::kTagBytes> tag,
                      std::span<std::uint8_t> pt) const noexcept = 0;
};

// nullptr on a library failure.
std::unique_ptr<GcmEngine> make_openssl_gcm(std::span<const std::uint8_t, Aes256Gcm::kKeyBytes> key) noexcept;

// ipsec-mb, compiled in only where the library was found at build time.
const char* ipsecmb_version() noexcept;  // nullptr: not built in
bool ipsecmb_gcm_available() noexcept;
bool ipsecmb_gcm_fast_path() noexcept;  // VAES + VPCLMULQDQ on AVX-512
std::unique_ptr<GcmEngine> make_ipsecmb_gcm(std::span<const std::uint8_t, Aes256Gcm::kKeyBytes> key) noexcept;

}  // namespace detail

}  // namespace velora::primitives
