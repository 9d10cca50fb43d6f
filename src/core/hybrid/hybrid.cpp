#include "core/hybrid/hybrid.hpp"

#include <array>
#include <cstring>

#include "core/mlkem/decaps.hpp"
#include "core/mlkem/encaps.hpp"
#include "platform/random.hpp"
#include "platform/wipe.hpp"

namespace velora::hybrid {

namespace {

using primitives::Aes256Gcm;

constexpr std::string_view kOutputSize = "output buffer has incorrect size";
constexpr std::string_view kKeySetupFailed = "AES-256-GCM key setup failed";
constexpr std::string_view kSealFailed = "AES-256-GCM encryption failed";

}  // namespace

Result<void> seal_transit_package_into(std::span<const std::uint8_t> ek, std::span<const std::uint8_t> plaintext,
                                       LevelIndex level, std::span<std::uint8_t> out) {
    // 1. (K, c) = ML-KEM.Encaps(ek): size check and random message inside.
    auto encaps = mlkem::ml_kem_encaps(ek, level);
    if (!encaps) return fail(encaps.error());
    WipeOnExit wipe_k{encaps->shared_secret};
    const std::vector<std::uint8_t>& capsule = encaps->capsule;

    // 2. A fresh 12-byte nonce per package.
    std::array<std::uint8_t, kNonceBytes> nonce{};
    if (!platform::fill_random(nonce)) return fail(VeloraError::Rng());

    // 3. GCM refuses more than 2^36 - 32 bytes under one nonce.
    if (plaintext.size() > kMaxPlaintextBytes) return fail(VeloraError::InvalidParameter(kPlaintextTooLong));
    if (out.size() != package_size(level, plaintext.size())) return fail(VeloraError::InvalidParameter(kOutputSize));

    // 4. Key AES-256 with K itself; K is wiped on every exit from here on.
    auto cipher = Aes256Gcm::create(std::span<const std::uint8_t, 32>(encaps->shared_secret));
    if (!cipher) return fail(VeloraError::InvalidParameter(kKeySetupFailed));

    // 5. Lay the package out in place: capsule, nonce, then the tag written
    //    by GCM ahead of the ciphertext it produces.
    const std::size_t c = capsule.size();
    std::memcpy(out.data(), capsule.data(), c);
    std::memcpy(out.data() + c, nonce.data(), kNonceBytes);
    auto tag = out.subspan(c + kNonceBytes).first<kTagBytes>();
    auto ciphertext = out.subspan(c + kOverheadBytes);
    if (!cipher->seal(nonce, {}, plaintext, ciphertext, tag)) {
        secure_wipe(out);
        return fail(VeloraError::InvalidParameter(kSealFailed));
    }
    return {};
}

Result<std::vector<std::uint8_t>> seal_transit_package(std::span<const std::uint8_t> ek,
                                                       std::span<const std::uint8_t> plaintext, LevelIndex level) {
    std::vector<std::uint8_t> package;
    if (plaintext.size() <= kMaxPlaintextBytes) package.resize(package_size(level, plaintext.size()));
    auto sealed = seal_transit_package_into(ek, plaintext, level, package);
    if (!sealed) return fail(sealed.error());
    return package;
}

Result<std::size_t> plaintext_size(std::size_t package_len, LevelIndex level) {
    const std::size_t min = mlkem::capsule_size(level) + kOverheadBytes;
    if (package_len < min) return fail(VeloraError::InvalidParameter(kPackageTooSmall));
    return package_len - min;
}

Result<void> open_transit_package_into(std::span<const std::uint8_t> package, std::span<const std::uint8_t> dk,
                                       LevelIndex level, std::span<std::uint8_t> out) {
    // 1. Size first: a too-short package is reported before a bad key.
    auto n = plaintext_size(package.size(), level);
    if (!n) return fail(n.error());
    if (out.size() != *n) return fail(VeloraError::InvalidParameter(kOutputSize));

    // 2. Split capsule | nonce | tag | ciphertext.
    const std::size_t c = mlkem::capsule_size(level);
    auto capsule = package.first(c);
    auto nonce = package.subspan(c).first<kNonceBytes>();
    auto tag = package.subspan(c + kNonceBytes).first<kTagBytes>();
    auto ciphertext = package.subspan(c + kOverheadBytes);

    // 3. K = ML-KEM.Decaps(dk, c): key size checked inside; a wrong capsule
    //    yields an unrelated K (implicit rejection) and fails at the tag.
    auto k = mlkem::ml_kem_decaps(capsule, dk, level);
    if (!k) return fail(k.error());
    WipeOnExit wipe_k{*k};

    // 4. Authenticated decryption straight into out. The tag is verified
    //    before anything is released; on failure out is zeroed.
    auto cipher = Aes256Gcm::create(std::span<const std::uint8_t, 32>(*k));
    if (!cipher) {
        secure_wipe(out);
        return fail(VeloraError::InvalidParameter(kKeySetupFailed));
    }
    if (!cipher->open(nonce, {}, ciphertext, tag, out)) return fail(VeloraError::Decryption());
    return {};
}

Result<std::vector<std::uint8_t>> open_transit_package(std::span<const std::uint8_t> package,
                                                       std::span<const std::uint8_t> dk, LevelIndex level) {
    auto n = plaintext_size(package.size(), level);
    if (!n) return fail(n.error());
    std::vector<std::uint8_t> plaintext(*n);
    auto opened = open_transit_package_into(package, dk, level, plaintext);
    if (!opened) return fail(opened.error());
    return plaintext;
}

}  // namespace velora::hybrid
