// AES-256-GCM over Intel's ipsec-mb library (direct GCM API).
//
// One multi-buffer manager per process, initialised on first use with the
// library's own CPU detection (init_mb_mgr_auto) and never written again: it
// only supplies the GCM function pointers for the detected architecture, and
// it is kept (never freed) for the life of the process. The expanded key and
// GHASH powers live in each Aes256Gcm object and are only read by seal/open;
// the per-message GCM context is on the caller's stack. So one object may be
// used from any number of threads at once.
//
// The direct API takes 64-bit lengths, so a whole message (up to GCM's
// 2^36 - 32 bytes, checked by Aes256Gcm) is one call.
#include "primitives/aes_gcm_backend.hpp"

#if VELORA_HAVE_IPSEC_MB

#include <intel-ipsec-mb.h>
#include <openssl/crypto.h>

#include "platform/ct.hpp"

namespace velora::primitives::detail {
namespace {

using Nonce = std::span<const std::uint8_t, Aes256Gcm::kNonceBytes>;

struct GcmFunctions {
    // Kept for the life of the process, and reachable from here: a manager
    // dropped on the floor is a leak to every leak checker.
    IMB_MGR* manager = nullptr;
    aes_gcm_pre_t pre = nullptr;  // key expansion and GHASH powers
    aes_gcm_enc_dec_t enc = nullptr;
    aes_gcm_enc_dec_t dec = nullptr;
    bool fast_path = false;
};

GcmFunctions detect() noexcept {
    IMB_MGR* mgr = alloc_mb_mgr(0);
    if (mgr == nullptr) return {};
    IMB_ARCH arch = IMB_ARCH_NONE;
    init_mb_mgr_auto(mgr, &arch);
    GcmFunctions f;
    if (imb_get_errno(mgr) == 0 && arch != IMB_ARCH_NONE) {
        f.pre = mgr->gcm256_pre;
        f.enc = mgr->gcm256_enc;
        f.dec = mgr->gcm256_dec;
        constexpr std::uint64_t kVector = IMB_FEATURE_VAES | IMB_FEATURE_VPCLMULQDQ;
        f.fast_path = arch == IMB_ARCH_AVX512 && (mgr->features & kVector) == kVector;
    }
    if (f.pre == nullptr || f.enc == nullptr || f.dec == nullptr) {
        free_mb_mgr(mgr);  // unusable here: released at once
        return {};
    }
    f.manager = mgr;
    return f;
}

// Function-local static: detected exactly once, safe under concurrent first use.
const GcmFunctions& functions() noexcept {
    static const GcmFunctions f = detect();
    return f;
}

// The library refuses null pointers even for empty inputs.
const std::uint8_t* data_or_dummy(std::span<const std::uint8_t> s, const std::uint8_t* dummy) noexcept {
    return s.empty() ? dummy : s.data();
}

class IpsecMbGcm final : public GcmEngine {
public:
    IpsecMbGcm(const GcmFunctions& f, std::span<const std::uint8_t, Aes256Gcm::kKeyBytes> key) noexcept : f_(f) {
        f_.pre(key.data(), &key_);
    }
    ~IpsecMbGcm() override { OPENSSL_cleanse(&key_, sizeof key_); }
    IpsecMbGcm(const IpsecMbGcm&) = delete;
    IpsecMbGcm& operator=(const IpsecMbGcm&) = delete;

    bool seal(Nonce nonce, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> pt,
              std::span<std::uint8_t> ct, std::span<std::uint8_t, Aes256Gcm::kTagBytes> tag) const noexcept override {
        std::uint8_t dummy = 0;
        gcm_context_data ctx;
        f_.enc(&key_, &ctx, ct.empty() ? &dummy : ct.data(), data_or_dummy(pt, &dummy), pt.size(), nonce.data(),
               data_or_dummy(aad, &dummy), aad.size(), tag.data(), tag.size());
        OPENSSL_cleanse(&ctx, sizeof ctx);  // holds key stream of a partial block
        return true;
    }

    bool open(Nonce nonce, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ct,
              std::span<const std::uint8_t, Aes256Gcm::kTagBytes> tag,
              std::span<std::uint8_t> pt) const noexcept override {
        std::uint8_t dummy = 0;
        std::uint8_t expected[Aes256Gcm::kTagBytes];
        gcm_context_data ctx;
        f_.dec(&key_, &ctx, pt.empty() ? &dummy : pt.data(), data_or_dummy(ct, &dummy), ct.size(), nonce.data(),
               data_or_dummy(aad, &dummy), aad.size(), expected, sizeof expected);
        // Constant-time comparison: no early exit on the first differing byte.
        const bool ok = CRYPTO_memcmp(expected, tag.data(), sizeof expected) == 0;
        // Whether the tag verifies is public: the caller reports it.
        ct::declassify(&ok, sizeof ok);
        OPENSSL_cleanse(&ctx, sizeof ctx);
        OPENSSL_cleanse(expected, sizeof expected);
        return ok;
    }

private:
    const GcmFunctions& f_;
    gcm_key_data key_;  // 64-byte aligned by its declaration
};

}  // namespace

const char* ipsecmb_version() noexcept { return imb_get_version_str(); }
bool ipsecmb_gcm_available() noexcept { return functions().pre != nullptr; }
bool ipsecmb_gcm_fast_path() noexcept { return functions().fast_path; }

std::unique_ptr<GcmEngine> make_ipsecmb_gcm(std::span<const std::uint8_t, Aes256Gcm::kKeyBytes> key) noexcept {
    const GcmFunctions& f = functions();
    if (f.pre == nullptr) return nullptr;
    return std::make_unique<IpsecMbGcm>(f, key);
}

}  // namespace velora::primitives::detail

#else  // built without ipsec-mb

namespace velora::primitives::detail {

const char* ipsecmb_version() noexcept { return nullptr; }
bool ipsecmb_gcm_available() noexcept { return false; }
bool ipsecmb_gcm_fast_path() noexcept { return false; }
std::unique_ptr<GcmEngine> make_ipsecmb_gcm(std::span<const std::uint8_t, Aes256Gcm::kKeyBytes>) noexcept {
    return nullptr;
}

}  // namespace velora::primitives::detail

#endif
