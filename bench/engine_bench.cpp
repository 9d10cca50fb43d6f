// Engine benchmark, run by bench/run.py. Prints one JSON object on stdout:
//
//   - time per ML-KEM operation (keygen, encaps, decaps and the deterministic
//     variants) at each level on the Keccak path in use, and the
//     Keccak-f[1600] permutations each one performs, per kind: one state
//     (x1), four (x4) or eight (x8) at once, or inside libcrypto (counted in
//     the primitives when built with VELORA_COUNT_KECCAK);
//   - the cost of one call of each kind: the kernels of the path in a loop,
//     and libcrypto's permutation as a long SHAKE256 output (time / blocks),
//     so that the sum over kinds of calls x cost is the operation's Keccak
//     floor;
//   - AES-256-GCM seal/open throughput for every available backend;
//   - ops/s of encaps and decaps with 1 and 2 threads, next to a pure
//     arithmetic loop as the machine's own scaling control.
//
// Measurements are interleaved: every round takes one sample of every item,
// and the reported figure is the median over the rounds.
//
// Usage: engine_bench [--rounds N] [--sample-ms MS] [--count 0|1] [--kinds K,...]
// (--count 0 skips the permutation counting, for repeated runs; --kinds
// limits the items to some of mlkem, keccak, aes_gcm, threads.) Built with
// the test switches, so that VELORA_KECCAK=libcrypto runs the same
// operations on libcrypto's SHA-3 for comparison.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/mlkem/decaps.hpp"
#include "core/mlkem/encaps.hpp"
#include "core/mlkem/keygen.hpp"
#include "core/mlkem/params.hpp"
#include "primitives/aes_gcm_backend.hpp"
#include "primitives/keccak.hpp"
#include "primitives/sha3.hpp"

#ifndef VELORA_COUNT_KECCAK
#define VELORA_COUNT_KECCAK 0
#endif

namespace {

namespace mlkem = velora::mlkem;
namespace vp = velora::primitives;
using Clock = std::chrono::steady_clock;

volatile std::uint8_t g_sink = 0;  // keeps results observable

struct Item {
    std::string kind;  // "mlkem", "keccak", "aes_gcm"
    std::string op;
    std::string detail;  // level, or backend
    std::size_t bytes = 0;
    double units = 1;  // operations per call (permutations for the keccak item)
    std::function<void()> fn;
    std::size_t batch = 1;
    std::vector<double> ns_per_unit;
    // Permutation calls per operation by kind (x1, x4, x8, libcrypto); empty when not counted.
    std::vector<std::pair<std::string, double>> calls;
};

void add(std::vector<Item>& items, std::string kind, std::string op, std::string detail, std::size_t bytes,
         double units, std::function<void()> fn) {
    Item it;
    it.kind = std::move(kind);
    it.op = std::move(op);
    it.detail = std::move(detail);
    it.bytes = bytes;
    it.units = units;
    it.fn = std::move(fn);
    items.push_back(std::move(it));
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Calls per sample so that one sample lasts about sample_s.
std::size_t calibrate(const std::function<void()>& fn, double sample_s) {
    fn();  // warm-up
    std::size_t n = 1;
    for (;;) {
        const auto t0 = Clock::now();
        for (std::size_t i = 0; i < n; ++i) fn();
        const double t = seconds_since(t0);
        if (t >= sample_s / 4 || n >= (std::size_t{1} << 24)) {
            const double per = t / static_cast<double>(n);
            return std::max<std::size_t>(1, static_cast<std::size_t>(sample_s / per));
        }
        n *= 2;
    }
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

int level_bits(mlkem::LevelIndex l) { return l == 0 ? 512 : l == 1 ? 768 : 1024; }

template <class R>
void consume(const R& r) {
    if (!r) std::abort();  // every benchmarked call must succeed
}

// One level's fixed inputs: the key pair from seeds d and z, a capsule for
// it, and the message m of the deterministic encapsulation; with the
// encapsulation and decapsulation calls that both item sets time.
struct LevelFixture {
    mlkem::LevelIndex level;
    std::array<std::uint8_t, 32> d{}, z{}, m{};
    std::shared_ptr<const mlkem::KeyPairBytes> keys;
    std::shared_ptr<const std::vector<std::uint8_t>> capsule;

    explicit LevelFixture(mlkem::LevelIndex l) : level(l) {
        for (std::size_t i = 0; i < 32; ++i) {
            d[i] = static_cast<std::uint8_t>(i);
            z[i] = static_cast<std::uint8_t>(0x40 + i);
            m[i] = static_cast<std::uint8_t>(0x80 + i);
        }
        keys = std::make_shared<const mlkem::KeyPairBytes>(mlkem::ml_kem_keygen(d, z, level));
        auto enc = mlkem::ml_kem_encaps(keys->ek, level);
        consume(enc);
        capsule = std::make_shared<const std::vector<std::uint8_t>>(enc->capsule);
    }

    std::string bits() const { return std::to_string(level_bits(level)); }

    std::function<void()> encaps() const {
        return [lv = level, k = keys] {
            auto r = mlkem::ml_kem_encaps(k->ek, lv);
            consume(r);
            g_sink = r->capsule[0];
        };
    }
    std::function<void()> decaps() const {
        return [lv = level, k = keys, c = capsule] {
            auto r = mlkem::ml_kem_decaps(*c, k->dk, lv);
            consume(r);
            g_sink = (*r)[0];
        };
    }
};

void add_mlkem_items(std::vector<Item>& items) {
    for (mlkem::LevelIndex level = 0; level < 3; ++level) {
        const LevelFixture f(level);
        const std::string lv = f.bits();
        add(items, "mlkem", "keygen", lv, 0, 1, [level] {
                             auto r = mlkem::ml_kem_keygen_random(level);
                             consume(r);
                             g_sink = r->ek[0];
                         });
        add(items, "mlkem", "keygen_deterministic", lv, 0, 1, [level, d = f.d, z = f.z] {
                             auto r = mlkem::ml_kem_keygen(d, z, level);
                             g_sink = r.ek[0];
                         });
        add(items, "mlkem", "encaps", lv, 0, 1, f.encaps());
        add(items, "mlkem", "encaps_deterministic", lv, 0, 1, [level, keys = f.keys, m = f.m] {
                             auto r = mlkem::ml_kem_encaps_deterministic(keys->ek, m, level);
                             consume(r);
                             g_sink = r->capsule[0];
                         });
        add(items, "mlkem", "decaps", lv, 0, 1, f.decaps());
    }
}

// The cost of one call of each kind. The kernels of the path in use run on
// their own (time per call); libcrypto's permutation is timed as one long
// SHAKE256 output, whose permutation count is known exactly (one per
// 136-byte block) and whose per-call overhead is spread over all of them.
void add_keccak_items(std::vector<Item>& items) {
    const vp::keccak::Path path = vp::keccak::active_path();
    if (path != vp::keccak::Path::Libcrypto) {
        const vp::keccak::Kernels& k = vp::keccak::kernels(path);
        for (std::size_t width : {std::size_t{1}, std::size_t{4}, std::size_t{8}}) {
            if (width == 4 && k.x4 == nullptr) continue;
            if (width == 8 && k.x8 == nullptr) continue;
            auto states = std::make_shared<std::vector<std::uint64_t>>(vp::keccak::kWords * width, 1);
            add(items, "keccak", "x" + std::to_string(width), vp::keccak::path_name(path), 0, 1, [&k, width, states] {
                vp::keccak::permute(k, width, states->data());
                g_sink = static_cast<std::uint8_t>((*states)[0]);
            });
        }
    }
    constexpr std::size_t kBlocks = 2048;
    auto out = std::make_shared<std::vector<std::uint8_t>>(kBlocks * 136);
    add(items, "keccak", "libcrypto", "shake256", out->size(), static_cast<double>(kBlocks), [out] {
        vp::shake256({}, *out, vp::keccak::Path::Libcrypto);
        g_sink = (*out)[0];
    });
}

void add_aes_items(std::vector<Item>& items) {
    constexpr std::size_t kSizes[] = {1024, std::size_t{1} << 20, std::size_t{64} << 20};
    const std::size_t max = kSizes[std::size(kSizes) - 1];
    auto pt = std::make_shared<std::vector<std::uint8_t>>(max);
    auto ct = std::make_shared<std::vector<std::uint8_t>>(max);
    auto back = std::make_shared<std::vector<std::uint8_t>>(max);
    for (std::size_t i = 0; i < max; ++i) (*pt)[i] = static_cast<std::uint8_t>(i * 131 + 7);
    std::array<std::uint8_t, 32> key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(3 * i + 1);
    const std::array<std::uint8_t, 12> nonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

    for (vp::AesGcmBackend b : {vp::AesGcmBackend::OpenSsl, vp::AesGcmBackend::IpsecMb}) {
        if (!vp::aes_gcm_backend_available(b)) continue;
        auto gcm = std::make_shared<vp::Aes256Gcm>(std::move(*vp::create_with(b, key)));
        const std::string name = vp::aes_gcm_backend_name(b);
        for (std::size_t n : kSizes) {
            // Each size gets its own valid tag, so open always verifies.
            auto tag = std::make_shared<std::array<std::uint8_t, 16>>();
            if (!gcm->seal(nonce, {}, std::span(*pt).first(n), std::span(*ct).first(n), *tag)) std::abort();
            auto ct_n = std::make_shared<std::vector<std::uint8_t>>(ct->begin(), ct->begin() + static_cast<long>(n));
            add(items, "aes_gcm", "seal", name, n, 1, [gcm, pt, ct, n, nonce] {
                                 std::array<std::uint8_t, 16> t{};
                                 if (!gcm->seal(nonce, {}, std::span(*pt).first(n), std::span(*ct).first(n), t))
                                     std::abort();
                                 g_sink = t[0];
                             });
            add(items, "aes_gcm", "open", name, n, 1, [gcm, ct_n, back, tag, n, nonce] {
                                 if (!gcm->open(nonce, {}, *ct_n, *tag, std::span(*back).first(n))) std::abort();
                                 g_sink = (*back)[0];
                             });
        }
    }
}

// Runs fn calls_per_thread times in each of `threads` threads at once.
std::function<void()> in_threads(int threads, int calls_per_thread, std::function<void()> fn) {
    return [=] {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&] {
                for (int i = 0; i < calls_per_thread; ++i) fn();
            });
        for (auto& th : pool) th.join();
    };
}

void add_thread_items(std::vector<Item>& items) {
    constexpr int kCalls = 64;
    for (mlkem::LevelIndex level : {mlkem::LevelIndex{1}, mlkem::LevelIndex{2}}) {
        const LevelFixture f(level);
        for (int t : {1, 2}) {
            const std::string detail = f.bits() + "/" + std::to_string(t);
            add(items, "threads", "encaps", detail, 0, t * kCalls, in_threads(t, kCalls, f.encaps()));
            add(items, "threads", "decaps", detail, 0, t * kCalls, in_threads(t, kCalls, f.decaps()));
        }
    }
    // About as long as one encapsulation, touching no memory.
    auto spin = [] {
        std::uint64_t x = g_sink;
        for (int i = 0; i < 20000; ++i) x = x * 6364136223846793005u + 1442695040888963407u;
        g_sink = static_cast<std::uint8_t>(x);
    };
    for (int t : {1, 2}) add(items, "threads", "spin", "-/" + std::to_string(t), 0, t * kCalls, in_threads(t, kCalls, spin));
}

// Average permutation calls of each kind per call of an ML-KEM item (the
// random variants vary a little with SampleNTT's rejection sampling).
void count_permutations(Item& item) {
#if VELORA_COUNT_KECCAK
    constexpr int kCalls = 200;
    const vp::keccak::PermutationCounts before = vp::keccak::permutation_counts();
    for (int i = 0; i < kCalls; ++i) item.fn();
    const vp::keccak::PermutationCounts after = vp::keccak::permutation_counts();
    auto per_call = [](std::uint64_t a, std::uint64_t b) { return static_cast<double>(b - a) / kCalls; };
    item.calls = {{"x1", per_call(before.x1, after.x1)},
                  {"x4", per_call(before.x4, after.x4)},
                  {"x8", per_call(before.x8, after.x8)},
                  {"libcrypto", per_call(before.libcrypto, after.libcrypto)}};
#else
    (void)item;
#endif
}

void print_json(const std::vector<Item>& items, bool count, int rounds, double elapsed_s) {
    std::printf("{\n  \"keccak_counted\": %s,\n", VELORA_COUNT_KECCAK && count ? "true" : "false");
    std::printf("  \"keccak_path\": \"%s\",\n", vp::keccak_backend_name());
    std::printf("  \"aes_gcm_default_backend\": \"%s\",\n", vp::aes_gcm_backend_name(vp::aes_gcm_default_backend()));
    std::printf("  \"aes_gcm_backends\": [");
    bool first = true;
    for (vp::AesGcmBackend b : {vp::AesGcmBackend::OpenSsl, vp::AesGcmBackend::IpsecMb}) {
        if (!vp::aes_gcm_backend_available(b)) continue;
        std::printf("%s\"%s\"", first ? "" : ", ", vp::aes_gcm_backend_name(b));
        first = false;
    }
    std::printf("],\n  \"rounds\": %d,\n  \"elapsed_s\": %.2f,\n  \"items\": [\n", rounds, elapsed_s);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Item& it = items[i];
        std::printf("    {\"kind\": \"%s\", \"op\": \"%s\", \"detail\": \"%s\", \"bytes\": %zu, \"batch\": %zu, "
                    "\"ns\": %.3f, \"calls\": {",
                    it.kind.c_str(), it.op.c_str(), it.detail.c_str(), it.bytes, it.batch, median(it.ns_per_unit));
        for (std::size_t j = 0; j < it.calls.size(); ++j)
            std::printf("%s\"%s\": %.3f", j ? ", " : "", it.calls[j].first.c_str(), it.calls[j].second);
        std::printf("}, \"samples_ns\": [");
        for (std::size_t j = 0; j < it.ns_per_unit.size(); ++j)
            std::printf("%s%.3f", j ? ", " : "", it.ns_per_unit[j]);
        std::printf("]}%s\n", i + 1 < items.size() ? "," : "");
    }
    std::printf("  ]\n}\n");
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 9;
    double sample_ms = 15;
    bool count = true;
    std::string kinds = "mlkem,keccak,aes_gcm,threads";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--sample-ms") == 0) sample_ms = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--count") == 0) count = std::atoi(argv[i + 1]) != 0;
        if (std::strcmp(argv[i], "--kinds") == 0) kinds = argv[i + 1];
    }
    const auto start = Clock::now();
    auto wanted = [&kinds](const char* kind) {
        return ("," + kinds + ",").find(std::string(",") + kind + ",") != std::string::npos;
    };

    std::vector<Item> items;
    if (wanted("mlkem")) add_mlkem_items(items);
    if (wanted("keccak")) add_keccak_items(items);
    if (wanted("aes_gcm")) add_aes_items(items);
    if (wanted("threads")) add_thread_items(items);

    for (Item& it : items) {
        if (count && it.kind == "mlkem") count_permutations(it);
        it.batch = calibrate(it.fn, sample_ms / 1000);
    }
    for (int r = 0; r < rounds; ++r) {
        for (Item& it : items) {
            const auto t0 = Clock::now();
            for (std::size_t i = 0; i < it.batch; ++i) it.fn();
            const double ns = seconds_since(t0) * 1e9;
            it.ns_per_unit.push_back(ns / (static_cast<double>(it.batch) * it.units));
        }
    }
    print_json(items, count, rounds, seconds_since(start));
    return 0;
}
