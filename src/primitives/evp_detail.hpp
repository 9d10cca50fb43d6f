// Internal to src/primitives: owning pointers for libcrypto's EVP objects and
// the few EVP call sequences that several primitives share.
#pragma once

#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace velora::primitives::evp {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const noexcept { Free(p); }
};

using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using KdfPtr = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF, EVP_KDF_free>>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;
using MacPtr = std::unique_ptr<EVP_MAC, Deleter<EVP_MAC, EVP_MAC_free>>;
using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX, EVP_MAC_CTX_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

// libcrypto takes non-const pointers for input octet strings it only reads;
// an empty string gets a valid pointer that is never written.
inline void* in(std::span<const std::uint8_t> s) noexcept {
    static std::uint8_t empty = 0;
    return s.empty() ? &empty : const_cast<std::uint8_t*>(s.data());
}

// One EVP_KDF derivation with its parameters: a fetched KDF per call.
inline bool kdf_derive(const char* name, const OSSL_PARAM* params, std::span<std::uint8_t> out) noexcept {
    KdfPtr kdf(EVP_KDF_fetch(nullptr, name, nullptr));
    if (!kdf) return false;
    KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) return false;
    return EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) == 1;
}

// The EVP update calls take int lengths; larger inputs go through in pieces.
inline constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

// The associated data of an AEAD operation.
inline bool cipher_add_aad(EVP_CIPHER_CTX* ctx, std::span<const std::uint8_t> aad) noexcept {
    while (!aad.empty()) {
        const std::size_t n = std::min(aad.size(), kMaxPiece);
        int len = 0;
        if (EVP_CipherUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(n)) != 1) return false;
        aad = aad.subspan(n);
    }
    return true;
}

// The data of a stream-mode AEAD (GCM, ChaCha20-Poly1305): every update
// writes exactly as many bytes as it reads.
inline bool cipher_transform(EVP_CIPHER_CTX* ctx, std::span<const std::uint8_t> in,
                             std::span<std::uint8_t> out) noexcept {
    for (std::size_t done = 0; done < in.size();) {
        const std::size_t n = std::min(in.size() - done, kMaxPiece);
        int len = 0;
        if (EVP_CipherUpdate(ctx, out.data() + done, &len, in.data() + done, static_cast<int>(n)) != 1 ||
            static_cast<std::size_t>(len) != n) {
            return false;
        }
        done += n;
    }
    return true;
}

}  // namespace velora::primitives::evp
