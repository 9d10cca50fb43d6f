// EVP AEADs: a keyed context is set up once; each seal/open works on a copy
// (a memory copy, no key schedule) with its own nonce. libcrypto clears a
// context's key material when the context is freed.
#include "primitives/evp_aead.hpp"

#include <openssl/evp.h>

#include "platform/wipe.hpp"
#include "primitives/evp_detail.hpp"

namespace velora::primitives {

namespace {

constexpr int kTagLen = static_cast<int>(EvpAead::kTagBytes);

// Fetched once per process; the algorithm objects are immutable.
const EVP_CIPHER* cipher_for(AeadAlgorithm a) noexcept {
    static EVP_CIPHER* const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    static EVP_CIPHER* const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    static EVP_CIPHER* const chacha = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    switch (a) {
        case AeadAlgorithm::Aes128Gcm: return aes128;
        case AeadAlgorithm::Aes256Gcm: return aes256;
        case AeadAlgorithm::ChaCha20Poly1305: return chacha;
    }
    return nullptr;
}

}  // namespace

void EvpAead::CtxDeleter::operator()(evp_cipher_ctx_st* c) const noexcept { EVP_CIPHER_CTX_free(c); }

std::optional<EvpAead> EvpAead::create(AeadAlgorithm algorithm, std::span<const std::uint8_t> key) noexcept {
    const EVP_CIPHER* cipher = cipher_for(algorithm);
    if (cipher == nullptr || key.size() != aead_key_bytes(algorithm)) return std::nullopt;
    CtxPtr ctx(EVP_CIPHER_CTX_new());
    // 12 bytes is the default IV length of all three ciphers in libcrypto.
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_get_iv_length(ctx.get()) != static_cast<int>(kNonceBytes)) {
        return std::nullopt;
    }
    return EvpAead(std::move(ctx));
}

EvpAead::CtxPtr EvpAead::start(std::span<const std::uint8_t, kNonceBytes> nonce, int encrypt) const noexcept {
    CtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CIPHER_CTX_copy(ctx.get(), keyed_.get()) != 1 ||
        EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce.data(), encrypt) != 1) {
        return nullptr;
    }
    return ctx;
}

bool EvpAead::seal(std::span<const std::uint8_t, kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                   std::span<const std::uint8_t> pt, std::span<std::uint8_t> ct,
                   std::span<std::uint8_t, kTagBytes> tag) const noexcept {
    if (ct.size() != pt.size()) return false;
    CtxPtr ctx = start(nonce, 1);
    std::uint8_t none[kTagBytes];  // the final step writes no data
    int len = 0;
    return ctx && evp::cipher_add_aad(ctx.get(), aad) && evp::cipher_transform(ctx.get(), pt, ct) &&
           EVP_EncryptFinal_ex(ctx.get(), none, &len) == 1 && len == 0 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, kTagLen, tag.data()) == 1;
}

bool EvpAead::open(std::span<const std::uint8_t, kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                   std::span<const std::uint8_t> ct, std::span<const std::uint8_t, kTagBytes> tag,
                   std::span<std::uint8_t> pt) const noexcept {
    if (pt.size() != ct.size()) return false;
    CtxPtr ctx = start(nonce, 0);
    std::uint8_t none[kTagBytes];
    int len = 0;
    const bool ok = ctx && evp::cipher_add_aad(ctx.get(), aad) && evp::cipher_transform(ctx.get(), ct, pt) &&
                    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kTagLen,
                                        const_cast<std::uint8_t*>(tag.data())) == 1 &&
                    EVP_DecryptFinal_ex(ctx.get(), none, &len) == 1 && len == 0;
    if (!ok) secure_zero(pt.data(), pt.size());
    return ok;
}

}  // namespace velora::primitives
