// X25519 through EVP_PKEY: raw private and public keys, EVP_PKEY_derive.
// libcrypto cleanses the key objects when they are freed.
#include "primitives/x25519.hpp"

#include "primitives/evp_detail.hpp"

#include <openssl/evp.h>

#include "platform/wipe.hpp"

namespace velora::primitives {

namespace {

using evp::PkeyPtr;

// The derive call alone, in a function of its own: libcrypto branches inside
// it on whether the result is all zero (public: see x25519.hpp), and the
// constant-time check (tests/ct/libcrypto.supp) names this frame.
[[gnu::noinline]] bool x25519_derive_step(EVP_PKEY_CTX* ctx, std::span<std::uint8_t, kX25519Bytes> shared) noexcept {
    std::size_t len = shared.size();
    return EVP_PKEY_derive(ctx, shared.data(), &len) == 1 && len == kX25519Bytes;
}

}  // namespace

X25519Scalar::X25519Scalar(std::span<const std::uint8_t, kX25519Bytes> private_key) noexcept
    : key_(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(), private_key.size())) {}

X25519Scalar::~X25519Scalar() { EVP_PKEY_free(key_); }

bool X25519Scalar::public_key(std::span<std::uint8_t, kX25519Bytes> out) const noexcept {
    std::size_t len = out.size();
    return key_ != nullptr && EVP_PKEY_get_raw_public_key(key_, out.data(), &len) == 1 && len == kX25519Bytes;
}

bool X25519Scalar::derive(std::span<const std::uint8_t, kX25519Bytes> peer_public_key,
                          std::span<std::uint8_t, kX25519Bytes> shared) const noexcept {
    const PkeyPtr peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_public_key.data(),
                                                   peer_public_key.size()));
    evp::PkeyCtxPtr ctx(key_ != nullptr && peer ? EVP_PKEY_CTX_new_from_pkey(nullptr, key_, nullptr) : nullptr);
    // The derive step fails when the result is all zero.
    const bool ok = ctx && EVP_PKEY_derive_init(ctx.get()) == 1 && EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) == 1 &&
                    x25519_derive_step(ctx.get(), shared);
    if (!ok) secure_wipe(shared);
    return ok;
}

bool x25519_public_key(std::span<const std::uint8_t, kX25519Bytes> private_key,
                       std::span<std::uint8_t, kX25519Bytes> public_key) noexcept {
    return X25519Scalar(private_key).public_key(public_key);
}

bool x25519(std::span<const std::uint8_t, kX25519Bytes> private_key,
            std::span<const std::uint8_t, kX25519Bytes> peer_public_key,
            std::span<std::uint8_t, kX25519Bytes> shared) noexcept {
    return X25519Scalar(private_key).derive(peer_public_key, shared);
}

}  // namespace velora::primitives
