// AES-256-GCM over libcrypto's EVP interface.
//
// The key schedule (and GHASH table) is computed once into a keyed context
// that is never used for an operation itself. Each seal/open copies it into a
// fresh working context (a memory copy, no key schedule), so seal and open
// touch no shared mutable state. libcrypto clears a context's key material
// when the context is freed.
#include <openssl/evp.h>

#include <algorithm>

#include "primitives/aes_gcm_backend.hpp"
#include "primitives/evp_detail.hpp"

namespace velora::primitives::detail {
namespace {

using CtxPtr = evp::CipherCtxPtr;
using Nonce = std::span<const std::uint8_t, Aes256Gcm::kNonceBytes>;

constexpr int kTagLen = static_cast<int>(Aes256Gcm::kTagBytes);

const EVP_CIPHER* aes_256_gcm() noexcept {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return cipher;
}

class OpenSslGcm final : public GcmEngine {
public:
    explicit OpenSslGcm(CtxPtr keyed) noexcept : keyed_(std::move(keyed)) {}

    bool seal(Nonce nonce, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> pt,
              std::span<std::uint8_t> ct, std::span<std::uint8_t, Aes256Gcm::kTagBytes> tag) const noexcept override {
        CtxPtr ctx = start(nonce, 1);
        std::uint8_t none[Aes256Gcm::kTagBytes];  // GCM's final step writes no data
        int len = 0;
        return ctx && evp::cipher_add_aad(ctx.get(), aad) && evp::cipher_transform(ctx.get(), pt, ct) &&
               EVP_EncryptFinal_ex(ctx.get(), none, &len) == 1 && len == 0 &&
               EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagLen, tag.data()) == 1;
    }

    bool open(Nonce nonce, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ct,
              std::span<const std::uint8_t, Aes256Gcm::kTagBytes> tag,
              std::span<std::uint8_t> pt) const noexcept override {
        CtxPtr ctx = start(nonce, 0);
        std::uint8_t none[Aes256Gcm::kTagBytes];
        int len = 0;
        // The tag is checked in EVP_DecryptFinal_ex, in constant time.
        return ctx && evp::cipher_add_aad(ctx.get(), aad) && evp::cipher_transform(ctx.get(), ct, pt) &&
               EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagLen, const_cast<std::uint8_t*>(tag.data())) ==
                   1 &&
               EVP_DecryptFinal_ex(ctx.get(), none, &len) == 1 && len == 0;
    }

private:
    // A working context: a copy of the keyed one, set to the direction and nonce.
    CtxPtr start(Nonce nonce, int encrypt) const noexcept {
        CtxPtr ctx(EVP_CIPHER_CTX_new());
        if (!ctx || EVP_CIPHER_CTX_copy(ctx.get(), keyed_.get()) != 1 ||
            EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce.data(), encrypt) != 1) {
            return nullptr;
        }
        return ctx;
    }

    CtxPtr keyed_;
};

}  // namespace

std::unique_ptr<GcmEngine> make_openssl_gcm(std::span<const std::uint8_t, Aes256Gcm::kKeyBytes> key) noexcept {
    const EVP_CIPHER* cipher = aes_256_gcm();
    if (cipher == nullptr) return nullptr;
    CtxPtr ctx(EVP_CIPHER_CTX_new());
    // 12 bytes is GCM's default IV length in libcrypto, so no IV-length control is needed.
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_get_iv_length(ctx.get()) != static_cast<int>(Aes256Gcm::kNonceBytes)) {
        return nullptr;
    }
    return std::make_unique<OpenSslGcm>(std::move(ctx));
}

}  // namespace velora::primitives::detail
