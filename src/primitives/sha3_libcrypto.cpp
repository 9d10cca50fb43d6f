// SHA-3 through libcrypto's EVP interface, with one reused EVP_MD_CTX per
// thread and function (the digests are fetched once per process).
#include "primitives/sha3_libcrypto.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstdlib>

namespace velora::primitives::libcrypto_sha3 {
namespace {

[[noreturn]] void libcrypto_failure() noexcept { std::abort(); }

constexpr std::array<const char*, 4> kNames = {"SHA3-256", "SHA3-512", "SHAKE128", "SHAKE256"};

const std::array<EVP_MD*, 4>& digests() noexcept {
    // Function-local static: initialised exactly once, safe under concurrent
    // first use; fetched once and never freed.
    static const std::array<EVP_MD*, 4> fetched = [] {
        std::array<EVP_MD*, 4> md{};
        for (std::size_t i = 0; i < md.size(); ++i) {
            md[i] = EVP_MD_fetch(nullptr, kNames[i], nullptr);
            if (md[i] == nullptr) libcrypto_failure();
        }
        return md;
    }();
    return fetched;
}

// Per-thread contexts, one per function, freed at thread exit.
struct ThreadContexts {
    std::array<EVP_MD_CTX*, 4> ctx{};

    ThreadContexts() = default;
    ThreadContexts(const ThreadContexts&) = delete;
    ThreadContexts& operator=(const ThreadContexts&) = delete;
    ~ThreadContexts() {
        for (EVP_MD_CTX* c : ctx) EVP_MD_CTX_free(c);
    }
};

#if defined(VELORA_COUNT_KECCAK) && VELORA_COUNT_KECCAK
// Absorbing permutes once per full block; the padded last block and every
// further output block take one more each.
void count(Sha3 f, std::span<const ByteView> parts, std::size_t out_bytes) noexcept {
    std::size_t in_bytes = 0;
    for (ByteView p : parts) in_bytes += p.size();
    const std::size_t rate = rate_bytes(f);
    keccak::permutation_counts().libcrypto += in_bytes / rate + (out_bytes + rate - 1) / rate;
}
#else
constexpr void count(Sha3, std::span<const ByteView>, std::size_t) noexcept {}
#endif

}  // namespace

void hash(Sha3 function, std::span<const ByteView> parts, std::span<std::uint8_t> out) noexcept {
    if (out.empty()) return;
    const auto index = static_cast<std::size_t>(function);
    thread_local ThreadContexts contexts;
    EVP_MD_CTX*& ctx = contexts.ctx[index];
    if (ctx == nullptr) ctx = EVP_MD_CTX_new();
    if (ctx == nullptr || EVP_DigestInit_ex(ctx, digests()[index], nullptr) != 1) libcrypto_failure();
    for (ByteView part : parts) {
        if (!part.empty() && EVP_DigestUpdate(ctx, part.data(), part.size()) != 1) libcrypto_failure();
    }
    if (digest_bytes(function) == 0) {
        if (EVP_DigestFinalXOF(ctx, out.data(), out.size()) != 1) libcrypto_failure();
    } else {
        unsigned int written = 0;
        if (EVP_DigestFinal_ex(ctx, out.data(), &written) != 1 || written != out.size()) libcrypto_failure();
    }
    count(function, parts, out.size());
}

}  // namespace velora::primitives::libcrypto_sha3
