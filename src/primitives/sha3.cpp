// FIPS 202 over libcrypto.
//
// libcrypto stays the Keccak implementation; what is trimmed is the cost
// around each call, which for the one-block hashes of ML-KEM is a third of
// the permutation itself. OpenSSL 3.0's EVP_DigestInit_ex frees and
// reallocates the provider context on every call and EVP_DigestFinalXOF
// builds a parameter list each time. So, once per process and algorithm,
// the digest is fetched and the provider's own digest functions (the
// dispatch table of provider-digest(7), the functions EVP itself calls) are
// looked up; each thread keeps one provider context per algorithm, and a
// call is init, update per part, (for an XOF, when it changed) the output
// length, final. A one-time self-test compares that path with EVP_Digest*
// on a fixed input; should the functions be missing or disagree, every call
// goes through EVP instead (with one reused EVP_MD_CTX per thread and
// algorithm). Test builds (VELORA_TEST_SWITCHES) take the EVP path when
// VELORA_SHA3_VIA_EVP=1, so that both are tested.
//
// A libcrypto failure here can only mean allocation failure or a broken
// installation; there is no sound digest to return then, so the process
// aborts instead of handing back wrong bytes.
#include "primitives/sha3.hpp"

#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace velora::primitives {
namespace {

[[noreturn]] void libcrypto_failure() noexcept { std::abort(); }

enum Algorithm : std::size_t { kSha3_256, kSha3_512, kShake128, kShake256, kAlgorithms };

struct AlgorithmInfo {
    const char* name;
    std::size_t rate;    // bytes absorbed or squeezed per Keccak-f[1600] permutation
    std::size_t length;  // digest length; 0 for the XOFs
};

constexpr std::array<AlgorithmInfo, kAlgorithms> kInfo = {{
    {"SHA3-256", 136, 32},
    {"SHA3-512", 72, 64},
    {"SHAKE128", 168, 0},
    {"SHAKE256", 136, 0},
}};

#if defined(VELORA_COUNT_KECCAK) && VELORA_COUNT_KECCAK
thread_local std::uint64_t t_permutations = 0;
// Absorbing permutes once per full block; the padded last block and every
// further output block take one more each.
void count(Algorithm a, std::size_t in_bytes, std::size_t out_bytes) noexcept {
    const std::size_t rate = kInfo[a].rate;
    t_permutations += in_bytes / rate + (out_bytes + rate - 1) / rate;
}
#else
constexpr void count(Algorithm, std::size_t, std::size_t) noexcept {}
#endif

// The provider's digest functions for one algorithm.
struct ProviderFunctions {
    void* provctx = nullptr;
    OSSL_FUNC_digest_newctx_fn* newctx = nullptr;
    OSSL_FUNC_digest_freectx_fn* freectx = nullptr;
    OSSL_FUNC_digest_init_fn* init = nullptr;
    OSSL_FUNC_digest_update_fn* update = nullptr;
    OSSL_FUNC_digest_final_fn* final = nullptr;
    OSSL_FUNC_digest_set_ctx_params_fn* set_ctx_params = nullptr;

    bool complete(bool xof) const noexcept {
        return newctx && freectx && init && update && final && (!xof || set_ctx_params);
    }
};

// Whether the colon-separated list `names` holds `name` (ASCII, any case).
bool names_contain(std::string_view names, std::string_view name) noexcept {
    while (!names.empty()) {
        const std::size_t colon = names.find(':');
        const std::string_view one = names.substr(0, colon);
        if (one.size() == name.size()) {
            bool same = true;
            for (std::size_t i = 0; i < one.size() && same; ++i) {
                const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
                same = lower(one[i]) == lower(name[i]);
            }
            if (same) return true;
        }
        if (colon == std::string_view::npos) break;
        names.remove_prefix(colon + 1);
    }
    return false;
}

ProviderFunctions find_functions(const EVP_MD* md, const char* name) noexcept {
    ProviderFunctions f;
    const OSSL_PROVIDER* prov = EVP_MD_get0_provider(md);
    if (prov == nullptr) return f;
    int no_cache = 0;
    const OSSL_ALGORITHM* algs = OSSL_PROVIDER_query_operation(prov, OSSL_OP_DIGEST, &no_cache);
    if (algs == nullptr) return f;
    for (const OSSL_ALGORITHM* a = algs; a->algorithm_names != nullptr; ++a) {
        if (!names_contain(a->algorithm_names, name)) continue;
        for (const OSSL_DISPATCH* fn = a->implementation; fn->function_id != 0; ++fn) {
            switch (fn->function_id) {
                case OSSL_FUNC_DIGEST_NEWCTX: f.newctx = OSSL_FUNC_digest_newctx(fn); break;
                case OSSL_FUNC_DIGEST_FREECTX: f.freectx = OSSL_FUNC_digest_freectx(fn); break;
                case OSSL_FUNC_DIGEST_INIT: f.init = OSSL_FUNC_digest_init(fn); break;
                case OSSL_FUNC_DIGEST_UPDATE: f.update = OSSL_FUNC_digest_update(fn); break;
                case OSSL_FUNC_DIGEST_FINAL: f.final = OSSL_FUNC_digest_final(fn); break;
                case OSSL_FUNC_DIGEST_SET_CTX_PARAMS: f.set_ctx_params = OSSL_FUNC_digest_set_ctx_params(fn); break;
                default: break;
            }
        }
        break;
    }
    OSSL_PROVIDER_unquery_operation(prov, OSSL_OP_DIGEST, algs);
    f.provctx = OSSL_PROVIDER_get0_provider_ctx(prov);
    return f;
}

// One pass through a provider context; for an XOF the output length is
// set when set_length is true (else the context still holds out.size()).
bool run_provider(const ProviderFunctions& f, void* ctx, bool set_length, std::initializer_list<ByteView> parts,
                  std::span<std::uint8_t> out) noexcept {
    if (f.init(ctx, nullptr) != 1) return false;
    for (ByteView part : parts) {
        if (!part.empty() && f.update(ctx, part.data(), part.size()) != 1) return false;
    }
    if (set_length) {
        std::size_t length = out.size();
        const OSSL_PARAM params[2] = {OSSL_PARAM_construct_size_t(OSSL_DIGEST_PARAM_XOFLEN, &length),
                                      OSSL_PARAM_construct_end()};
        if (f.set_ctx_params(ctx, params) != 1) return false;
    }
    std::size_t written = 0;
    return f.final(ctx, out.data(), &written, out.size()) == 1 && written == out.size();
}

// One pass through an EVP context.
bool run_evp(EVP_MD_CTX* ctx, const EVP_MD* md, bool xof, std::initializer_list<ByteView> parts,
             std::span<std::uint8_t> out) noexcept {
    if (EVP_DigestInit_ex(ctx, md, nullptr) != 1) return false;
    for (ByteView part : parts) {
        if (!part.empty() && EVP_DigestUpdate(ctx, part.data(), part.size()) != 1) return false;
    }
    if (xof) return EVP_DigestFinalXOF(ctx, out.data(), out.size()) == 1;
    unsigned int written = 0;
    return EVP_DigestFinal_ex(ctx, out.data(), &written) == 1 && written == out.size();
}

struct SelfTest {
    bool direct = false;          // the provider functions reproduce EVP
    bool length_persists = false;  // an XOF context keeps its output length across init
};

// The direct path must reproduce EVP exactly: a two-part input spanning
// more than one block, and (for the XOFs) more than one output block. For
// an XOF, a second pass without setting the length again shows whether the
// context keeps it (OpenSSL's init resets the sponge, not the length); only
// then may calls with an unchanged length skip setting it.
SelfTest self_test(const EVP_MD* md, const ProviderFunctions& f, const AlgorithmInfo& info) noexcept {
    SelfTest result;
    const bool xof = info.length == 0;
    if (!f.complete(xof)) return result;
    std::array<std::uint8_t, 300> input{};
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::size_t n = xof ? 2 * info.rate + 5 : info.length;
    // The second pass gets room to spare: a context that lost the length
    // would write its default length, whatever out.size() says.
    std::vector<std::uint8_t> direct(n), again(n + 4096), evp(n);
    const ByteView a(input.data(), 13), b(input.data() + 13, input.size() - 13);
    void* ctx = f.newctx(f.provctx);
    if (ctx == nullptr) return result;
    const bool ran = run_provider(f, ctx, xof, {a, b}, direct);
    const bool ran_again = xof && run_provider(f, ctx, false, {a, b}, std::span(again).first(n));
    f.freectx(ctx);
    EVP_MD_CTX* e = EVP_MD_CTX_new();
    if (e == nullptr) libcrypto_failure();
    const bool ran_evp = run_evp(e, md, xof, {a, b}, evp);
    EVP_MD_CTX_free(e);
    result.direct = ran && ran_evp && direct == evp;
    result.length_persists = result.direct && ran_again && std::equal(evp.begin(), evp.end(), again.begin());
    return result;
}

struct Digest {
    const EVP_MD* md = nullptr;  // fetched once, never freed
    ProviderFunctions functions;
    SelfTest checked;
};

struct Digests {
    std::array<Digest, kAlgorithms> of;
    bool all_direct = true;
};

const Digests& digests() noexcept {
    // Function-local static: initialised exactly once, safe under concurrent first use.
    static const Digests table = [] {
        bool allow_direct = true;
#if defined(VELORA_TEST_SWITCHES) && VELORA_TEST_SWITCHES
        const char* via_evp = std::getenv("VELORA_SHA3_VIA_EVP");
        allow_direct = via_evp == nullptr || std::strcmp(via_evp, "1") != 0;
#endif
        Digests t;
        for (std::size_t a = 0; a < kAlgorithms; ++a) {
            Digest& d = t.of[a];
            EVP_MD* md = EVP_MD_fetch(nullptr, kInfo[a].name, nullptr);
            if (md == nullptr) libcrypto_failure();
            d.md = md;
            if (allow_direct) {
                d.functions = find_functions(md, kInfo[a].name);
                d.checked = self_test(md, d.functions, kInfo[a]);
            }
            t.all_direct = t.all_direct && d.checked.direct;
        }
        return t;
    }();
    return table;
}

// Per-thread contexts, one per algorithm, created on first use and freed
// at thread exit.
struct ThreadContexts {
    std::array<void*, kAlgorithms> provider{};
    std::array<std::size_t, kAlgorithms> xof_length{};  // output length set in provider[a]; 0 = none yet
    std::array<EVP_MD_CTX*, kAlgorithms> evp{};

    ThreadContexts() = default;
    ThreadContexts(const ThreadContexts&) = delete;
    ThreadContexts& operator=(const ThreadContexts&) = delete;
    ~ThreadContexts() {
        const Digests& all = digests();
        for (std::size_t a = 0; a < kAlgorithms; ++a) {
            if (provider[a] != nullptr) all.of[a].functions.freectx(provider[a]);
            EVP_MD_CTX_free(evp[a]);
        }
    }
};

void run(Algorithm a, std::initializer_list<ByteView> parts, std::span<std::uint8_t> out) noexcept {
    const Digest& d = digests().of[a];
    const bool xof = kInfo[a].length == 0;
    thread_local ThreadContexts contexts;
    bool ok;
    if (d.checked.direct) {
        void*& ctx = contexts.provider[a];
        if (ctx == nullptr) ctx = d.functions.newctx(d.functions.provctx);
        if (ctx == nullptr) libcrypto_failure();
        std::size_t& length = contexts.xof_length[a];
        const bool set_length = xof && (!d.checked.length_persists || length != out.size());
        ok = run_provider(d.functions, ctx, set_length, parts, out);
        if (set_length) length = out.size();
    } else {
        EVP_MD_CTX*& ctx = contexts.evp[a];
        if (ctx == nullptr) ctx = EVP_MD_CTX_new();
        if (ctx == nullptr) libcrypto_failure();
        ok = run_evp(ctx, d.md, xof, parts, out);
    }
    if (!ok) libcrypto_failure();
    std::size_t in_bytes = 0;
    for (ByteView part : parts) in_bytes += part.size();
    count(a, in_bytes, out.size());
}

}  // namespace

void sha3_256(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 32> out) noexcept {
    run(kSha3_256, parts, out);
}

void sha3_512(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 64> out) noexcept {
    run(kSha3_512, parts, out);
}

void shake128(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out) noexcept {
    if (out.empty()) return;
    run(kShake128, parts, out);
}

void shake256(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out) noexcept {
    if (out.empty()) return;
    run(kShake256, parts, out);
}

bool sha3_uses_provider_functions() noexcept { return digests().all_direct; }

// SHAKE128 with a continuing output stream. libcrypto 3.0 finalises an XOF
// once, so the stream is regenerated from the kept input whenever a read
// goes past what has been produced: the first read goes straight into the
// caller's buffer, the first read past it regenerates just what is needed,
// and each further one twice as much as before (ML-KEM's SampleNTT reads
// past its first three blocks less than once in a hundred).
Shake128::Shake128(std::initializer_list<ByteView> parts) {
    for (ByteView part : parts) input_bytes_ += part.size();
    std::uint8_t* at = inline_input_.data();
    if (input_bytes_ > kInlineInputBytes) {
        long_input_.resize(input_bytes_);
        at = long_input_.data();
    }
    for (ByteView part : parts) {
        if (!part.empty()) std::memcpy(at, part.data(), part.size());
        at += part.size();
    }
}

ByteView Shake128::input() const noexcept {
    return input_bytes_ > kInlineInputBytes ? ByteView(long_input_) : ByteView(inline_input_).first(input_bytes_);
}

void Shake128::squeeze_blocks(std::span<std::uint8_t> out) {
    if (out.size() % kBlockBytes != 0) libcrypto_failure();  // caller contract
    if (out.empty()) return;
    const std::size_t needed = position_ + out.size();
    if (position_ == 0) {
        shake128({input()}, out);
    } else {
        if (needed > produced_.size()) {
            produced_.resize(std::max(needed, 2 * produced_.size()));
            shake128({input()}, produced_);
        }
        std::memcpy(out.data(), produced_.data() + position_, out.size());
    }
    position_ = needed;
}

#if defined(VELORA_COUNT_KECCAK) && VELORA_COUNT_KECCAK
std::uint64_t keccak_permutations() noexcept { return t_permutations; }
#endif

}  // namespace velora::primitives
