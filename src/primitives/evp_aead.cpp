// EVP AEADs: a keyed context is set up once; each seal/open works on a copy
// (a memory copy, no key schedule) with its own nonce. libcrypto clears a
// context's key material when the context is freed.
#include "primitives/evp_aead.hpp"

#include <openssl/evp.h>

#include <algorithm>

#include "core/wipe.hpp"

namespace velora::primitives {

namespace {

constexpr int kTagLen = static_cast<int>(EvpAead::kTagBytes);

// The EVP update calls take int lengths; larger inputs go through in pieces.
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

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

bool add_aad(EVP_CIPHER_CTX* ctx, std::span<const std::uint8_t> aad) noexcept {
    while (!aad.empty()) {
        const std::size_t n = std::min(aad.size(), kMaxPiece);
        int len = 0;
        if (EVP_CipherUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(n)) != 1) return false;
        aad = aad.subspan(n);
    }
    return true;
}

// Both AEADs are stream modes: every update writes as many bytes as it reads.
bool transform(EVP_CIPHER_CTX* ctx, std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept {
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
    return ctx && add_aad(ctx.get(), aad) && transform(ctx.get(), pt, ct) &&
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
    const bool ok = ctx && add_aad(ctx.get(), aad) && transform(ctx.get(), ct, pt) &&
                    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kTagLen,
                                        const_cast<std::uint8_t*>(tag.data())) == 1 &&
                    EVP_DecryptFinal_ex(ctx.get(), none, &len) == 1 && len == 0;
    if (!ok) secure_zero(pt.data(), pt.size());
    return ok;
}

}  // namespace velora::primitives
