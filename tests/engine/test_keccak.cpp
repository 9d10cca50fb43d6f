// The engine's own Keccak against libcrypto's SHA-3 (the "libcrypto" path,
// EVP): every Keccak path this CPU runs, every lane count up to past two full
// batches, random inputs of every length 0..600 split into two parts at
// random, and output lengths on both sides of the block boundaries. Also the
// kernels one by one, and the choice of the path.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "hex.hpp"
#include "primitives/keccak.hpp"
#include "primitives/sha3.hpp"

namespace velora::primitives {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Path> own_paths() {
    std::vector<Path> paths;
    for (Path p : keccak::kAllPaths) {
        if (p != Path::Libcrypto && keccak::path_available(p)) paths.push_back(p);
    }
    return paths;
}

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

constexpr std::array<Sha3, 4> kFunctions = {Sha3::Sha3_256, Sha3::Sha3_512, Sha3::Shake128, Sha3::Shake256};

const char* name(Sha3 f) {
    switch (f) {
        case Sha3::Sha3_256: return "SHA3-256";
        case Sha3::Sha3_512: return "SHA3-512";
        case Sha3::Shake128: return "SHAKE128";
        case Sha3::Shake256: return "SHAKE256";
    }
    return "?";
}

// Output lengths around the block boundaries of an XOF of rate r.
std::vector<std::size_t> xof_lengths(std::size_t r) {
    return {0, 1, 31, 32, 33, r - 1, r, r + 1, 2 * r - 8, 2 * r, 2 * r + 3, 3 * r, 3 * r + 1, 5 * r + 17};
}

// ---------------------------------------------------------------- kernels

// Keccak-f[1600] of the all-zero state: the first two words of the known answer.
TEST(Keccak, PermutationOfTheZeroState) {
    for (Path p : own_paths()) {
        std::uint64_t s[keccak::kWords] = {};
        keccak::kernels(p).x1(s);
        EXPECT_EQ(s[0], 0xF1258F7940E1DDE7u) << keccak::path_name(p);
        EXPECT_EQ(s[1], 0x84D5CCF933C0478Au) << keccak::path_name(p);
    }
}

// The 4- and 8-state kernels give each state what the 1-state kernel gives it.
TEST(Keccak, WideKernelsPermuteEachStateLikeTheSingleOne) {
    std::mt19937_64 rng(1600);
    for (Path p : own_paths()) {
        const keccak::Kernels& k = keccak::kernels(p);
        for (std::size_t width : {std::size_t{4}, std::size_t{8}}) {
            const keccak::Kernel wide = width == 4 ? k.x4 : k.x8;
            if (wide == nullptr) continue;
            SCOPED_TRACE(std::string(keccak::path_name(p)) + " x" + std::to_string(width));
            for (int round = 0; round < 20; ++round) {
                std::vector<std::uint64_t> batch(keccak::kWords * width);
                for (auto& w : batch) w = rng();
                std::vector<std::uint64_t> want = batch;
                for (std::size_t lane = 0; lane < width; ++lane) {
                    std::uint64_t one[keccak::kWords];
                    for (std::size_t w = 0; w < keccak::kWords; ++w) one[w] = want[width * w + lane];
                    k.x1(one);
                    for (std::size_t w = 0; w < keccak::kWords; ++w) want[width * w + lane] = one[w];
                }
                wide(batch.data());
                ASSERT_EQ(batch, want);
            }
        }
    }
}

// The paths offer the kernels the dispatcher promises.
TEST(Keccak, PathsHaveTheirKernels) {
    EXPECT_EQ(keccak::kernels(Path::Scalar).widest(), 1u);
    if (keccak::path_available(Path::Avx2)) {
        EXPECT_EQ(keccak::kernels(Path::Avx2).widest(), 4u);
    }
    if (keccak::path_available(Path::Avx512)) {
        EXPECT_EQ(keccak::kernels(Path::Avx512).widest(), 8u);
        EXPECT_NE(keccak::kernels(Path::Avx512).x4, nullptr);
    }
    for (Path p : own_paths()) {
        const keccak::Kernels& k = keccak::kernels(p);
        EXPECT_EQ(k.width_for(1), 1u);
        EXPECT_EQ(k.width_for(k.widest()), k.widest());
        if (k.x4 != nullptr) {
            EXPECT_EQ(k.width_for(3), 4u);
        }
    }
}

// ---------------------------------------------------------------- hashes

// Every function, path and lane count against libcrypto: lane j of a call
// gets a fresh random input of length (L + 37 j) mod 601 for L = 0 .. 600,
// so that every length meets every lane position, and the XOFs a length
// from xof_lengths in turn.
TEST(Sha3Lanes, EqualLibcryptoForEveryLengthLaneCountAndPath) {
    std::mt19937 rng(202);
    const std::size_t lane_counts[] = {1, 2, 3, 4, 5, 8, 9, 13, 17};
    for (Path p : own_paths()) {
        for (Sha3 f : kFunctions) {
            const std::size_t digest = digest_bytes(f);
            const std::vector<std::size_t> out_lengths = xof_lengths(rate_bytes(f));
            for (std::size_t lanes : lane_counts) {
                SCOPED_TRACE(std::string(keccak::path_name(p)) + " " + name(f) + " lanes " + std::to_string(lanes));
                for (std::size_t length = 0; length <= 600; ++length) {
                    std::vector<Bytes> in(lanes), got(lanes), want(lanes);
                    std::vector<ByteView> views;
                    std::vector<std::span<std::uint8_t>> got_spans, want_spans;
                    for (std::size_t j = 0; j < lanes; ++j) {
                        in[j] = random_bytes(rng, (length + 37 * j) % 601);
                        const std::size_t n = digest != 0 ? digest : out_lengths[(length + j) % out_lengths.size()];
                        got[j].assign(n, 0xEE);
                        want[j].assign(n, 0);
                        views.emplace_back(in[j]);
                    }
                    for (std::size_t j = 0; j < lanes; ++j) {
                        got_spans.emplace_back(got[j]);
                        want_spans.emplace_back(want[j]);
                    }
                    hash_lanes(f, views, want_spans, Path::Libcrypto);
                    hash_lanes(f, views, got_spans, p);
                    ASSERT_EQ(got, want) << "input length " << length;
                }
            }
        }
    }
}

// Inputs in two parts, split anywhere (the multi-lane runs absorb the
// concatenation; the one-shot functions any number of parts).
TEST(Sha3Lanes, TwoPartInputsEqualTheirConcatenation) {
    std::mt19937 rng(34);
    for (Path p : own_paths()) {
        SCOPED_TRACE(keccak::path_name(p));
        for (std::size_t length : {0u, 1u, 33u, 71u, 72u, 135u, 136u, 137u, 168u, 169u, 300u, 600u}) {
            const Bytes msg = random_bytes(rng, length);
            for (std::size_t cut = 0; cut <= length; cut += std::max<std::size_t>(1, length / 7)) {
                const ByteView a(msg.data(), cut), b(msg.data() + cut, length - cut);
                // Six lanes, so the batch is wider than one state on every vector path.
                for (Sha3 f : kFunctions) {
                    const std::size_t n = digest_bytes(f) != 0 ? digest_bytes(f) : 2 * rate_bytes(f) + 1;
                    Bytes want(n);
                    std::vector<Bytes> got(6, Bytes(n));
                    hash_lanes(f, std::array{ByteView(msg)}, std::array{std::span<std::uint8_t>(want)},
                               Path::Libcrypto);
                    std::vector<SpongeJob> jobs;
                    std::vector<std::size_t> done(6, 0);
                    std::vector<std::function<bool(ByteView)>> sinks;
                    sinks.reserve(6);
                    for (std::size_t j = 0; j < 6; ++j) {
                        sinks.emplace_back([&, j](ByteView block) {
                            const std::size_t take = std::min(block.size(), n - done[j]);
                            std::copy(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take),
                                      got[j].begin() + static_cast<std::ptrdiff_t>(done[j]));
                            done[j] += take;
                            return done[j] < n;
                        });
                        jobs.push_back(SpongeJob{f, {a, b}, sinks[j], 1});
                    }
                    run_sponges(jobs, p);
                    for (std::size_t j = 0; j < 6; ++j) ASSERT_EQ(got[j], want) << name(f) << " cut " << cut;
                }
                // The one-shot functions with three parts.
                std::array<std::uint8_t, 32> d256{}, w256{};
                sha3_256({a, ByteView(), b}, d256, p);
                sha3_256({ByteView(msg)}, w256, Path::Libcrypto);
                ASSERT_EQ(d256, w256);
                Bytes x(500), wx(500);
                shake128({a, b, ByteView()}, x, p);
                shake128({ByteView(msg)}, wx, Path::Libcrypto);
                ASSERT_EQ(x, wx);
            }
        }
    }
}

// A run of more jobs than lanes, whose receivers stop after different
// numbers of blocks: each stream is the prefix of one long stream, in order,
// whatever its neighbours do (lanes refill and the batch narrows meanwhile).
TEST(Sha3Lanes, ReceiversStoppingAtDifferentBlocksGetTheirOwnStreams) {
    std::mt19937 rng(7);
    for (Path p : own_paths()) {
        SCOPED_TRACE(keccak::path_name(p));
        for (int trial = 0; trial < 20; ++trial) {
            const std::size_t jobs_n = 1 + rng() % 24;
            std::vector<Bytes> in(jobs_n), got(jobs_n);
            std::vector<std::size_t> blocks(jobs_n);
            std::vector<std::function<bool(ByteView)>> sinks;
            sinks.reserve(jobs_n);
            std::vector<SpongeJob> jobs;
            for (std::size_t j = 0; j < jobs_n; ++j) {
                in[j] = random_bytes(rng, rng() % 400);
                blocks[j] = 1 + rng() % 7;
                sinks.emplace_back([&, j](ByteView block) {
                    got[j].insert(got[j].end(), block.begin(), block.end());
                    return got[j].size() < blocks[j] * kShake128BlockBytes;
                });
                jobs.push_back(SpongeJob{Sha3::Shake128, {ByteView(in[j]), ByteView()}, sinks[j], 1});
            }
            run_sponges(jobs, p);
            for (std::size_t j = 0; j < jobs_n; ++j) {
                Bytes want(blocks[j] * kShake128BlockBytes);
                shake128({ByteView(in[j])}, want, Path::Libcrypto);
                ASSERT_EQ(got[j], want) << "job " << j << " of " << jobs_n;
            }
        }
    }
}

// The libcrypto path regenerates a stream longer when a receiver reads past
// what it produced first, and goes on where the last block ended.
TEST(Sha3Lanes, LibcryptoStreamsGoOnPastTheirFirstPass) {
    const Bytes msg = {'a', 'b', 'c'};
    Bytes got;
    auto sink = [&](ByteView block) {
        got.insert(got.end(), block.begin(), block.end());
        return got.size() < 10 * kShake128BlockBytes;
    };
    const SpongeJob job{Sha3::Shake128, {ByteView(msg), ByteView()}, sink, 3};
    run_sponges(std::span(&job, 1), Path::Libcrypto);
    ASSERT_EQ(got.size(), 10 * kShake128BlockBytes);
    // hashlib.shake_128(b"abc").digest(1680)[-32:]
    EXPECT_EQ(testing::to_hex(std::span(got).last(32)),
              "a2e59b7d7c31d20d9ecd0fa864dcc1ccdec8b9502f86f90a3f1af599a14d8be1");
}

// ---------------------------------------------------------------- the path in use

// ctest runs the SHA-3 and ML-KEM tests once per Keccak path with
// VELORA_KECCAK=<path>; on a CPU without that path the run would only repeat
// the best path's, so every test of it is skipped instead, with the reason.
class RequestedKeccakPath : public ::testing::Environment {
public:
    void SetUp() override {
        if (keccak::requested_path_unavailable()) {
            GTEST_SKIP() << "VELORA_KECCAK=" << std::getenv("VELORA_KECCAK") << ": this CPU cannot run that path";
        }
    }
};
[[maybe_unused]] ::testing::Environment* const kRequestedKeccakPath =
    ::testing::AddGlobalTestEnvironment(new RequestedKeccakPath);

// The best path of the CPU, unless a test build's VELORA_KECCAK names another
// that the CPU runs (ctest runs the SHA-3 and ML-KEM tests on each).
TEST(KeccakPath, FollowsTheCpuAndTheTestSwitch) {
    const char* requested = std::getenv("VELORA_KECCAK");
    if (requested != nullptr) {
        EXPECT_STREQ(keccak_backend_name(), requested);
    } else {
        const Path best = keccak::path_available(Path::Avx512) ? Path::Avx512
                          : keccak::path_available(Path::Avx2)  ? Path::Avx2
                                                                 : Path::Scalar;
        EXPECT_EQ(keccak::active_path(), best);
    }
    EXPECT_STREQ(keccak_backend_name(), keccak::path_name(keccak::active_path()));
}

}  // namespace
}  // namespace velora::primitives
