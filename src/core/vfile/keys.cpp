// HKDF, HMAC and the file-key wrap of version 2 velora files, over libcrypto.
#include "core/vfile/keys.hpp"

#include "platform/wipe.hpp"
#include "primitives/aes_gcm.hpp"
#include "primitives/hkdf.hpp"

namespace velora::vfile {

using primitives::Aes256Gcm;
using primitives::HashAlgorithm;

Unwrapped::~Unwrapped() { secure_wipe(file_key); }

Result<Key32> derive(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                     std::span<const std::uint8_t> info) {
    Key32 out{};
    static constexpr std::array<std::uint8_t, 32> kZeroSalt{};
    const std::span<const std::uint8_t> s = salt.empty() ? std::span<const std::uint8_t>(kZeroSalt) : salt;
    if (!primitives::hkdf(HashAlgorithm::Sha256, s, ikm, info, out)) {
        return fail(VeloraError::InvalidParameter(kKeyLibraryFailure));
    }
    return out;
}

Result<Key32> mac(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) {
    Key32 out{};
    if (!primitives::hmac(HashAlgorithm::Sha256, key, message, out)) {
        return fail(VeloraError::InvalidParameter(kKeyLibraryFailure));
    }
    return out;
}

Result<std::array<std::uint8_t, kWrappedBytes>> wrap(std::span<const std::uint8_t> wrap_key,
                                                     std::span<const std::uint8_t> aad,
                                                     std::span<const std::uint8_t> file_key) {
    if (wrap_key.size() != Aes256Gcm::kKeyBytes || file_key.size() != kFileKeyBytes) {
        return fail(VeloraError::InvalidParameter(kWrapSize));
    }
    auto aead = Aes256Gcm::create(wrap_key.first<Aes256Gcm::kKeyBytes>());
    if (!aead) return fail(VeloraError::InvalidParameter(kKeyLibraryFailure));
    std::array<std::uint8_t, kWrappedBytes> out{};
    static constexpr std::array<std::uint8_t, Aes256Gcm::kNonceBytes> kNonce{};
    if (!aead->seal(kNonce, aad, file_key, std::span(out).first<kFileKeyBytes>(),
                    std::span(out).subspan<kFileKeyBytes, Aes256Gcm::kTagBytes>())) {
        return fail(VeloraError::InvalidParameter(kKeyLibraryFailure));
    }
    return out;
}

Result<Unwrapped> unwrap(std::span<const std::uint8_t> wrap_key, std::span<const std::uint8_t> aad,
                         std::span<const std::uint8_t> wrapped) {
    if (wrap_key.size() != Aes256Gcm::kKeyBytes || wrapped.size() != kWrappedBytes) {
        return fail(VeloraError::InvalidParameter(kWrapSize));
    }
    auto aead = Aes256Gcm::create(wrap_key.first<Aes256Gcm::kKeyBytes>());
    if (!aead) return fail(VeloraError::InvalidParameter(kKeyLibraryFailure));
    static constexpr std::array<std::uint8_t, Aes256Gcm::kNonceBytes> kNonce{};
    Unwrapped result;
    result.matched = aead->open(kNonce, aad, wrapped.first<kFileKeyBytes>(),
                                wrapped.subspan<kFileKeyBytes, Aes256Gcm::kTagBytes>(), result.file_key);
    if (!result.matched) secure_wipe(result.file_key);
    return result;
}

}  // namespace velora::vfile
