// X25519 through EVP_PKEY: raw private and public keys, EVP_PKEY_derive.
// libcrypto cleanses the key objects when they are freed.
#include "primitives/x25519.hpp"

#include "primitives/evp_detail.hpp"

#include <openssl/evp.h>

#include "platform/wipe.hpp"

namespace velora::primitives {

namespace {

using evp::PkeyPtr;

PkeyPtr private_key_object(std::span<const std::uint8_t, kX25519Bytes> k) noexcept {
    return PkeyPtr(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, k.data(), k.size()));
}

// The derive call alone, in a function of its own: libcrypto branches inside
// it on whether the result is all zero (public: see x25519.hpp), and the
// constant-time check (tests/ct/libcrypto.supp) names this frame.
[[gnu::noinline]] bool x25519_derive_step(EVP_PKEY_CTX* ctx, std::span<std::uint8_t, kX25519Bytes> shared) noexcept {
    std::size_t len = shared.size();
    return EVP_PKEY_derive(ctx, shared.data(), &len) == 1 && len == kX25519Bytes;
}

}  // namespace

bool x25519_public_key(std::span<const std::uint8_t, kX25519Bytes> private_key,
                       std::span<std::uint8_t, kX25519Bytes> public_key) noexcept {
    const PkeyPtr key = private_key_object(private_key);
    std::size_t len = public_key.size();
    return key && EVP_PKEY_get_raw_public_key(key.get(), public_key.data(), &len) == 1 && len == kX25519Bytes;
}

bool x25519(std::span<const std::uint8_t, kX25519Bytes> private_key,
            std::span<const std::uint8_t, kX25519Bytes> peer_public_key,
            std::span<std::uint8_t, kX25519Bytes> shared) noexcept {
    const PkeyPtr key = private_key_object(private_key);
    const PkeyPtr peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_public_key.data(),
                                                   peer_public_key.size()));
    if (!key || !peer) return false;
    evp::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    // The derive step fails when the result is all zero.
    const bool ok = ctx && EVP_PKEY_derive_init(ctx.get()) == 1 && EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) == 1 &&
                    x25519_derive_step(ctx.get(), shared);
    if (!ok) secure_wipe(shared);
    return ok;
}

}  // namespace velora::primitives
