#include "core/key_wrap/key_wrap.hpp"

#include <algorithm>
#include <utility>

#include "platform/random.hpp"
#include "platform/wipe.hpp"
#include "primitives/aes_gcm.hpp"
#include "primitives/hmac_sha3.hpp"

namespace velora::key_wrap {

using primitives::Aes256Gcm;

static_assert(kKeyBytes == primitives::kHmacSha3TagBytes && kNonceBytes == Aes256Gcm::kNonceBytes &&
              kTagBytes == Aes256Gcm::kTagBytes);
static_assert(blob_size(0) == 1682 && blob_size(1) == 2450 && blob_size(2) == 3218);

namespace {

constexpr auto kEncryptFailed = "AES-GCM encrypt failed";

}  // namespace

Result<std::vector<std::uint8_t>> wrap_secret_key_blob(std::span<const std::uint8_t> secret_key,
                                                       std::uint8_t level_id,
                                                       std::span<const std::uint8_t> password) {
    std::array<std::uint8_t, kSaltBytes> salt;
    std::array<std::uint8_t, kNonceBytes> nonce;
    if (!platform::fill_random(salt) || !platform::fill_random(nonce)) return fail(VeloraError::Rng());

    if (level_id > 2 || secret_key.size() != secret_key_size(level_id)) {
        return fail(VeloraError::InvalidParameter("secret key size does not match the specified security level"));
    }

    SecretBytes<kKeyBytes> wrapping_key;
    primitives::hkdf_sha3_256(password, salt, kHkdfInfo, wrapping_key.span());
    auto cipher = Aes256Gcm::create(wrapping_key.span());
    if (!cipher) return fail(VeloraError::KeySerialization(kEncryptFailed));

    std::vector<std::uint8_t> blob(secret_key.size() + kMinBlobBytes);
    std::ranges::copy(kMagic, blob.begin());
    blob[4] = kVersion;
    blob[5] = level_id;
    std::ranges::copy(salt, blob.begin() + kSaltOffset);
    std::ranges::copy(nonce, blob.begin() + kNonceOffset);
    const std::span<std::uint8_t> ciphertext(blob.data() + kHeaderBytes, secret_key.size());
    const std::span<std::uint8_t, kTagBytes> tag(blob.data() + kHeaderBytes + secret_key.size(), kTagBytes);
    if (!cipher->seal(nonce, {}, secret_key, ciphertext, tag)) {
        return fail(VeloraError::KeySerialization(kEncryptFailed));
    }
    return blob;  // wrapping_key is wiped by its destructor
}

Result<UnwrappedSecretKey> unwrap_secret_key(std::span<const std::uint8_t> blob,
                                             std::span<const std::uint8_t> password) {
    if (blob.size() < kMinBlobBytes) {
        return fail(VeloraError::KeySerialization("wrapped blob is too short to contain a valid header"));
    }
    if (!std::ranges::equal(blob.first(4), kMagic)) {
        return fail(VeloraError::KeySerialization("invalid magic bytes in wrapped blob"));
    }
    if (blob[4] != kVersion) return fail(VeloraError::KeySerialization("unsupported wrapped blob version"));
    const std::uint8_t level_id = blob[5];
    if (level_id > 2) return fail(VeloraError::KeySerialization("unknown level_id in wrapped blob"));

    const auto salt = blob.subspan<kSaltOffset, kSaltBytes>();
    const auto nonce = blob.subspan<kNonceOffset, kNonceBytes>();
    const auto ciphertext = blob.subspan(kHeaderBytes, blob.size() - kMinBlobBytes);
    const std::span<const std::uint8_t, kTagBytes> tag(blob.data() + blob.size() - kTagBytes, kTagBytes);

    SecretBytes<kKeyBytes> wrapping_key;
    primitives::hkdf_sha3_256(password, salt, kHkdfInfo, wrapping_key.span());
    auto cipher = Aes256Gcm::create(wrapping_key.span());
    if (!cipher) return fail(VeloraError::Decryption());

    SecretBuffer plaintext(ciphertext.size());
    if (!cipher->open(nonce, {}, ciphertext, tag, plaintext.span())) return fail(VeloraError::Decryption());
    // The level id is not authenticated; a changed one shows up here as a
    // plaintext of another level's size, reported like a failed tag.
    if (plaintext.size() != secret_key_size(level_id)) return fail(VeloraError::Decryption());
    return UnwrappedSecretKey{std::move(plaintext), level_id};
}

}  // namespace velora::key_wrap
