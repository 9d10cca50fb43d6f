// Aes256Gcm: the length contract and the backend choice; the cipher work is
// done by a GcmEngine (aes_gcm_openssl.cpp, aes_gcm_ipsecmb.cpp).
#include "primitives/aes_gcm.hpp"

#include <openssl/crypto.h>

#include "primitives/aes_gcm_backend.hpp"

namespace velora::primitives {

bool aes_gcm_backend_available(AesGcmBackend backend) noexcept {
    switch (backend) {
        case AesGcmBackend::OpenSsl: return true;
        case AesGcmBackend::IpsecMb: return detail::ipsecmb_gcm_available();
    }
    return false;
}

AesGcmBackend aes_gcm_default_backend() noexcept {
    static const AesGcmBackend chosen = detail::ipsecmb_gcm_available() && detail::ipsecmb_gcm_fast_path()
                                            ? AesGcmBackend::IpsecMb
                                            : AesGcmBackend::OpenSsl;
    return chosen;
}

const char* aes_gcm_backend_name(AesGcmBackend backend) noexcept {
    return backend == AesGcmBackend::IpsecMb ? "ipsec-mb" : "openssl";
}

std::optional<Aes256Gcm> create_with(AesGcmBackend backend,
                                     std::span<const std::uint8_t, Aes256Gcm::kKeyBytes> key) noexcept {
    std::unique_ptr<detail::GcmEngine> engine;
    switch (backend) {
        case AesGcmBackend::OpenSsl: engine = detail::make_openssl_gcm(key); break;
        case AesGcmBackend::IpsecMb: engine = detail::make_ipsecmb_gcm(key); break;
    }
    if (!engine) return std::nullopt;
    return Aes256Gcm(std::move(engine));
}

Aes256Gcm::Aes256Gcm(std::unique_ptr<detail::GcmEngine> engine) noexcept : engine_(std::move(engine)) {}
Aes256Gcm::Aes256Gcm(Aes256Gcm&&) noexcept = default;
Aes256Gcm& Aes256Gcm::operator=(Aes256Gcm&&) noexcept = default;
Aes256Gcm::~Aes256Gcm() = default;

std::optional<Aes256Gcm> Aes256Gcm::create(std::span<const std::uint8_t, kKeyBytes> key) noexcept {
    return create_with(aes_gcm_default_backend(), key);
}

bool Aes256Gcm::seal(std::span<const std::uint8_t, kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                     std::span<const std::uint8_t> pt, std::span<std::uint8_t> ct,
                     std::span<std::uint8_t, kTagBytes> tag) const noexcept {
    if (!engine_ || ct.size() != pt.size() || pt.size() > kMaxPlaintextBytes) return false;
    return engine_->seal(nonce, aad, pt, ct, tag);
}

bool Aes256Gcm::open(std::span<const std::uint8_t, kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                     std::span<const std::uint8_t> ct, std::span<const std::uint8_t, kTagBytes> tag,
                     std::span<std::uint8_t> pt) const noexcept {
    // Nothing has been decrypted into pt before these checks pass.
    if (!engine_ || pt.size() != ct.size() || ct.size() > kMaxPlaintextBytes) return false;
    const bool ok = engine_->open(nonce, aad, ct, tag, pt);
    if (!ok) OPENSSL_cleanse(pt.data(), pt.size());
    return ok;
}

}  // namespace velora::primitives
