// FIPS 202 over libcrypto's EVP interface.
//
// The EVP_MD objects are fetched once per process and never freed. One-shot
// digests reuse one EVP_MD_CTX per thread, so a call costs no fetch and no
// context allocation. A libcrypto failure here can only mean allocation
// failure or a broken installation; there is no sound digest to return then,
// so the process aborts instead of handing back wrong bytes.
#include "primitives/sha3.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#if OPENSSL_VERSION_NUMBER >= 0x30300000L
#define VELORA_HAVE_DIGEST_SQUEEZE 1
#else
#define VELORA_HAVE_DIGEST_SQUEEZE 0
#endif

namespace velora::primitives {
namespace {

// Permutation count for benchmark builds; the calls compile away otherwise.
#if VELORA_COUNT_KECCAK
thread_local std::uint64_t g_permutations = 0;
void count_permutations(std::uint64_t n) noexcept { g_permutations += n; }
#else
constexpr void count_permutations(std::uint64_t) noexcept {}
#endif

// Keccak rates in bytes: one permutation per rate-sized block.
constexpr std::size_t kRateSha3_256 = 136, kRateSha3_512 = 72, kRateShake128 = 168, kRateShake256 = 136;

constexpr std::uint64_t blocks_for(std::size_t bytes, std::size_t rate) noexcept { return (bytes + rate - 1) / rate; }

[[noreturn]] void libcrypto_failure() noexcept { std::abort(); }

void check(int ok) noexcept {
    if (ok != 1) libcrypto_failure();
}

const EVP_MD* fetch(const char* name) noexcept {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr) libcrypto_failure();
    return md;
}

// Function-local statics: initialised exactly once, safe under concurrent first use.
const EVP_MD* md_sha3_256() noexcept {
    static const EVP_MD* const md = fetch("SHA3-256");
    return md;
}
const EVP_MD* md_sha3_512() noexcept {
    static const EVP_MD* const md = fetch("SHA3-512");
    return md;
}
const EVP_MD* md_shake128() noexcept {
    static const EVP_MD* const md = fetch("SHAKE128");
    return md;
}
const EVP_MD* md_shake256() noexcept {
    static const EVP_MD* const md = fetch("SHAKE256");
    return md;
}

EVP_MD_CTX* new_ctx() noexcept {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) libcrypto_failure();
    return ctx;
}

// One context per thread for the one-shot functions; freed at thread exit.
EVP_MD_CTX* thread_ctx() noexcept {
    struct Holder {
        EVP_MD_CTX* ctx = new_ctx();
        ~Holder() { EVP_MD_CTX_free(ctx); }
    };
    thread_local Holder holder;
    return holder.ctx;
}

// Absorbing permutes once per full block; the partial last block is
// permuted (with its padding) by the first output.
void absorb(EVP_MD_CTX* ctx, const EVP_MD* md, std::size_t rate, std::initializer_list<ByteView> parts) noexcept {
    check(EVP_DigestInit_ex(ctx, md, nullptr));
    std::size_t total = 0;
    for (ByteView part : parts) {
        if (!part.empty()) check(EVP_DigestUpdate(ctx, part.data(), part.size()));
        total += part.size();
    }
    count_permutations(total / rate);
}

// Digest outputs fit in one block: the padded final block is the only
// permutation after absorbing.
void fixed_digest(const EVP_MD* md, std::size_t rate, std::initializer_list<ByteView> parts,
                  std::span<std::uint8_t> out) noexcept {
    EVP_MD_CTX* ctx = thread_ctx();
    absorb(ctx, md, rate, parts);
    unsigned int len = 0;
    check(EVP_DigestFinal_ex(ctx, out.data(), &len));
    if (len != out.size()) libcrypto_failure();
    count_permutations(1);
}

}  // namespace

void sha3_256(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 32> out) noexcept {
    fixed_digest(md_sha3_256(), kRateSha3_256, parts, out);
}

void sha3_512(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 64> out) noexcept {
    fixed_digest(md_sha3_512(), kRateSha3_512, parts, out);
}

void shake256(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out) noexcept {
    if (out.empty()) return;
    EVP_MD_CTX* ctx = thread_ctx();
    absorb(ctx, md_shake256(), kRateShake256, parts);
    check(EVP_DigestFinalXOF(ctx, out.data(), out.size()));
    count_permutations(blocks_for(out.size(), kRateShake256));
}

// SHAKE128 with a continuing output stream.
//
// With EVP_DigestSqueeze (OpenSSL 3.3+) the context squeezes block after block.
// Without it, a context can be finalised only once, so the absorbed context is
// kept untouched: a copy of it is finalised to a longer output whenever the
// caller reads past what has been produced, and the produced bytes are kept.
// The first output is at least three blocks (ML-KEM's SampleNTT reads more
// than three blocks less than once in a hundred), later ones double, so the
// number of regenerations stays logarithmic in the output length.
struct Shake128::State {
    EVP_MD_CTX* absorbed = new_ctx();
#if !VELORA_HAVE_DIGEST_SQUEEZE
    std::vector<std::uint8_t> produced;  // the first produced.size() bytes of the output stream
    std::size_t position = 0;            // bytes handed out so far
#endif
    ~State() { EVP_MD_CTX_free(absorbed); }
};

Shake128::Shake128(std::initializer_list<ByteView> parts) noexcept : state_(std::make_unique<State>()) {
    absorb(state_->absorbed, md_shake128(), kRateShake128, parts);
}

Shake128::~Shake128() = default;

void Shake128::squeeze_blocks(std::span<std::uint8_t> out) noexcept {
    if (out.size() % kBlockBytes != 0) libcrypto_failure();  // caller contract
    if (out.empty()) return;
    State& s = *state_;
#if VELORA_HAVE_DIGEST_SQUEEZE
    check(EVP_DigestSqueeze(s.absorbed, out.data(), out.size()));
    count_permutations(out.size() / kBlockBytes);
#else
    const std::size_t needed = s.position + out.size();
    if (needed > s.produced.size()) {
        constexpr std::size_t kFirstBytes = 3 * kBlockBytes;
        const std::size_t length = std::max(needed, s.produced.empty() ? kFirstBytes : 2 * s.produced.size());
        s.produced.resize(length);
        EVP_MD_CTX* copy = new_ctx();
        check(EVP_MD_CTX_copy_ex(copy, s.absorbed));
        check(EVP_DigestFinalXOF(copy, s.produced.data(), s.produced.size()));
        count_permutations(blocks_for(s.produced.size(), kRateShake128));  // the whole output again
        EVP_MD_CTX_free(copy);
    }
    std::memcpy(out.data(), s.produced.data() + s.position, out.size());
    s.position = needed;
#endif
}

#if VELORA_COUNT_KECCAK
std::uint64_t keccak_permutations() noexcept { return g_permutations; }
#endif

}  // namespace velora::primitives
