#include "primitives/hmac_sha3.hpp"

#include <array>

#include "platform/ct.hpp"
#include "primitives/sha3.hpp"

namespace velora::primitives {

namespace {

// HMAC(key, first || second).
void hmac(ByteView key, ByteView first, ByteView second, std::span<std::uint8_t, kHmacSha3TagBytes> tag) noexcept {
    // K0: the key followed by zeros up to the block size. A key longer than
    // the block is replaced by its digest first.
    std::array<std::uint8_t, kHmacSha3BlockBytes> k0{};
    if (key.size() <= kHmacSha3BlockBytes) {
        for (std::size_t i = 0; i < key.size(); ++i) k0[i] = key[i];
    } else {
        sha3_256({key}, std::span<std::uint8_t, 32>(k0.data(), 32));
    }

    std::array<std::uint8_t, kHmacSha3BlockBytes> ipad;
    std::array<std::uint8_t, kHmacSha3BlockBytes> opad;
    for (std::size_t i = 0; i < kHmacSha3BlockBytes; ++i) {
        ipad[i] = static_cast<std::uint8_t>(k0[i] ^ 0x36);
        opad[i] = static_cast<std::uint8_t>(k0[i] ^ 0x5C);
    }

    std::array<std::uint8_t, kHmacSha3TagBytes> inner;
    sha3_256({ipad, first, second}, inner);  // H((K0 ^ ipad) || text)
    sha3_256({opad, inner}, tag);            // H((K0 ^ opad) || inner)

    // inner keys the outer hash as much as K0 does: wiped with the pads.
    secure_wipe(k0.data(), k0.size());
    secure_wipe(ipad.data(), ipad.size());
    secure_wipe(opad.data(), opad.size());
    secure_wipe(inner.data(), inner.size());
}

}  // namespace

void hmac_sha3_256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message,
                   std::span<std::uint8_t, kHmacSha3TagBytes> tag) noexcept {
    hmac(key, message, {}, tag);
}

void hkdf_sha3_256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                   std::span<const std::uint8_t> info, std::span<std::uint8_t, kHmacSha3TagBytes> okm) noexcept {
    // Extract: PRK = HMAC(salt, IKM).
    std::array<std::uint8_t, kHmacSha3TagBytes> prk;
    hmac(salt, ikm, {}, prk);

    // Expand to one block: T(1) = HMAC(PRK, T(0) || info || 0x01), T(0) empty.
    static constexpr std::array<std::uint8_t, 1> kCounter = {0x01};
    hmac(prk, info, kCounter, okm);

    secure_wipe(prk.data(), prk.size());
}

}  // namespace velora::primitives
