// AES-256-GCM over libcrypto's EVP interface.
//
// create() computes the key schedule (and GHASH table) once into a keyed
// context that is never used for an operation itself. Each seal/open copies
// it into a fresh working context (a memory copy, no key schedule), so seal
// and open touch no shared mutable state: one object may be used from any
// number of threads at once. libcrypto clears a context's key material when
// the context is freed.
#include "primitives/aes_gcm.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>

namespace velora::primitives {
namespace {

struct CtxDeleter {
    void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxDeleter>;

// The EVP update calls take int lengths; larger inputs go through in pieces.
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

const EVP_CIPHER* aes_256_gcm() noexcept {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return cipher;
}

// A working context: a copy of the keyed one, set to the direction and nonce.
CtxPtr start(const EVP_CIPHER_CTX* keyed, std::span<const std::uint8_t, Aes256Gcm::kNonceBytes> nonce,
             int encrypt) noexcept {
    CtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CIPHER_CTX_copy(ctx.get(), keyed) != 1 ||
        EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce.data(), encrypt) != 1) {
        return nullptr;
    }
    return ctx;
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

// GCM is a stream mode: every update writes exactly as many bytes as it reads.
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

struct Aes256Gcm::State {
    CtxPtr keyed;
};

Aes256Gcm::Aes256Gcm(std::unique_ptr<State> s) noexcept : state_(std::move(s)) {}
Aes256Gcm::Aes256Gcm(Aes256Gcm&&) noexcept = default;
Aes256Gcm& Aes256Gcm::operator=(Aes256Gcm&&) noexcept = default;
Aes256Gcm::~Aes256Gcm() = default;

std::optional<Aes256Gcm> Aes256Gcm::create(std::span<const std::uint8_t, kKeyBytes> key) noexcept {
    const EVP_CIPHER* cipher = aes_256_gcm();
    if (cipher == nullptr) return std::nullopt;
    CtxPtr ctx(EVP_CIPHER_CTX_new());
    // 12 bytes is GCM's default IV length in libcrypto, so no IV-length control is needed.
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_get_iv_length(ctx.get()) != static_cast<int>(kNonceBytes)) {
        return std::nullopt;
    }
    auto state = std::make_unique<State>();
    state->keyed = std::move(ctx);
    return Aes256Gcm(std::move(state));
}

bool Aes256Gcm::seal(std::span<const std::uint8_t, kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                     std::span<const std::uint8_t> pt, std::span<std::uint8_t> ct,
                     std::span<std::uint8_t, kTagBytes> tag) const noexcept {
    if (!state_ || ct.size() != pt.size() || pt.size() > kMaxPlaintextBytes) return false;
    CtxPtr ctx = start(state_->keyed.get(), nonce, 1);
    std::uint8_t none[kTagBytes];  // GCM's final step writes no data
    int len = 0;
    return ctx && add_aad(ctx.get(), aad) && transform(ctx.get(), pt, ct) &&
           EVP_EncryptFinal_ex(ctx.get(), none, &len) == 1 && len == 0 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes), tag.data()) == 1;
}

bool Aes256Gcm::open(std::span<const std::uint8_t, kNonceBytes> nonce, std::span<const std::uint8_t> aad,
                     std::span<const std::uint8_t> ct, std::span<const std::uint8_t, kTagBytes> tag,
                     std::span<std::uint8_t> pt) const noexcept {
    // Nothing has been decrypted into pt before these checks pass.
    if (!state_ || pt.size() != ct.size() || ct.size() > kMaxPlaintextBytes) return false;
    CtxPtr ctx = start(state_->keyed.get(), nonce, 0);
    std::uint8_t none[kTagBytes];  // GCM's final step writes no data
    int len = 0;
    // The tag is checked in EVP_DecryptFinal_ex, in constant time.
    const bool ok =
        ctx && add_aad(ctx.get(), aad) && transform(ctx.get(), ct, pt) &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                            const_cast<std::uint8_t*>(tag.data())) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), none, &len) == 1 && len == 0;
    if (!ok) OPENSSL_cleanse(pt.data(), pt.size());
    return ok;
}

}  // namespace velora::primitives
