#include "core/kdf.hpp"

#include <array>

#include "core/wipe.hpp"
#include "primitives/sha3.hpp"

namespace velora::kdf {

using primitives::sha3_256;

namespace {

// info || 0x01: the input of HKDF-Expand's single block. Public.
constexpr auto kExpandInput = [] {
    std::array<std::uint8_t, kKeyWrapLabel.size() + 1> in{};
    for (std::size_t i = 0; i < kKeyWrapLabel.size(); ++i) in[i] = static_cast<std::uint8_t>(kKeyWrapLabel[i]);
    in.back() = 0x01;
    return in;
}();

}  // namespace

void hmac_sha3_256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message,
                   std::span<std::uint8_t, kHmacTagBytes> tag) noexcept {
    // K0: the key followed by zeros up to the block size. A key longer than
    // the block is replaced by its digest first (never the case for our
    // callers, which pass 16- or 32-byte keys).
    std::array<std::uint8_t, kHmacBlockBytes> k0{};
    if (key.size() <= kHmacBlockBytes) {
        for (std::size_t i = 0; i < key.size(); ++i) k0[i] = key[i];
    } else {
        sha3_256({key}, std::span<std::uint8_t, 32>(k0.data(), 32));
    }

    std::array<std::uint8_t, kHmacBlockBytes> ipad;
    std::array<std::uint8_t, kHmacBlockBytes> opad;
    for (std::size_t i = 0; i < kHmacBlockBytes; ++i) {
        ipad[i] = static_cast<std::uint8_t>(k0[i] ^ 0x36);
        opad[i] = static_cast<std::uint8_t>(k0[i] ^ 0x5C);
    }

    std::array<std::uint8_t, kHmacTagBytes> inner;
    sha3_256({ipad, message}, inner);  // H((K0 ^ ipad) || text)
    sha3_256({opad, inner}, tag);      // H((K0 ^ opad) || inner)

    // inner keys the outer hash as much as K0 does: wiped with the pads.
    secure_wipe(k0.data(), k0.size());
    secure_wipe(ipad.data(), ipad.size());
    secure_wipe(opad.data(), opad.size());
    secure_wipe(inner.data(), inner.size());
}

void hkdf_sha3_256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t, kSaltBytes> salt,
                   std::span<std::uint8_t, kKeyBytes> okm) noexcept {
    // Extract: PRK = HMAC(salt, IKM).
    std::array<std::uint8_t, kHmacTagBytes> prk;
    hmac_sha3_256(salt, ikm, prk);

    // Expand to one block: T(1) = HMAC(PRK, T(0) || info || 0x01), T(0) empty.
    hmac_sha3_256(prk, kExpandInput, okm);

    secure_wipe(prk.data(), prk.size());
}

}  // namespace velora::kdf
