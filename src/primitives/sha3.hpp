// FIPS 202 hash functions: SHA3-256, SHA3-512, SHAKE128 and SHAKE256, over
// the engine's own Keccak-f[1600] (keccak.hpp), or over libcrypto when the
// Keccak path is "libcrypto" (test builds, VELORA_KECCAK=libcrypto).
//
// Every function takes the path to use as its last argument, defaulting to
// the one chosen for this process; tests pass each path in turn.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "primitives/keccak.hpp"

namespace velora::primitives {

using ByteView = std::span<const std::uint8_t>;
using keccak::Path;

enum class Sha3 : std::uint8_t { Sha3_256, Sha3_512, Shake128, Shake256 };

inline constexpr std::size_t kShake128BlockBytes = 168;
inline constexpr std::size_t kShake256BlockBytes = 136;

// Bytes absorbed and squeezed per permutation (the rate r / 8).
constexpr std::size_t rate_bytes(Sha3 f) noexcept {
    switch (f) {
        case Sha3::Sha3_256: return 136;
        case Sha3::Sha3_512: return 72;
        case Sha3::Shake128: return kShake128BlockBytes;
        case Sha3::Shake256: return kShake256BlockBytes;
    }
    return 0;
}

// The digest length of SHA3-256 / SHA3-512; 0 for the XOFs.
constexpr std::size_t digest_bytes(Sha3 f) noexcept {
    return f == Sha3::Sha3_256 ? 32 : f == Sha3::Sha3_512 ? 64 : 0;
}

// One-shot functions over the concatenation of the parts. Each call starts
// from a fresh sponge; the XOFs produce out.size() bytes.
void sha3_256(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 32> out,
              Path path = keccak::active_path()) noexcept;
void sha3_512(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 64> out,
              Path path = keccak::active_path()) noexcept;
void shake128(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out,
              Path path = keccak::active_path()) noexcept;
void shake256(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out,
              Path path = keccak::active_path()) noexcept;

// The name of the Keccak path in use: "avx512", "avx2", "scalar" or "libcrypto".
const char* keccak_backend_name() noexcept;

// ---- several sponges at once

// A non-owning reference to a callable bool(ByteView); the callable must
// outlive every call through it.
class BlockSink {
public:
    // A sink that wants nothing.
    BlockSink() noexcept : object_(nullptr), call_([](const void*, ByteView) { return false; }) {}

    template <class F>
    BlockSink(F& f) noexcept  // NOLINT(google-explicit-constructor): meant to wrap lambdas in place
        : object_(&f), call_([](const void* o, ByteView block) {
              return (*static_cast<F*>(const_cast<void*>(o)))(block);
          }) {}

    bool operator()(ByteView block) const { return call_(object_, block); }

private:
    const void* object_;
    bool (*call_)(const void*, ByteView);
};

// One sponge of a multi-lane run: the function, the input (the concatenation
// of input[0] and input[1]) and the receiver of its output. The receiver
// gets the output in blocks and returns whether it wants the next one: for
// the XOFs each block is the next rate_bytes(function) bytes of the stream;
// SHA3-256 and SHA3-512 deliver their digest as one block, and the return
// value is ignored.
struct SpongeJob {
    Sha3 function = Sha3::Shake128;
    std::array<ByteView, 2> input{};
    BlockSink sink;
    // The libcrypto path produces this many XOF blocks in its first pass and
    // regenerates the stream, longer, if the receiver wants more (libcrypto
    // 3.0 finalises an XOF once). The engine's own Keccak ignores it.
    std::size_t expected_blocks = 1;
};

// Runs the jobs side by side, up to eight at once on the widest kernels of
// the path: a lane that finishes takes the next queued job, and as lanes run
// out the rest moves to narrower kernels (four states, then one). Each job's
// output blocks reach its receiver in order; the receivers of different jobs
// are called in no particular order. Put the jobs that need the most
// permutations first.
void run_sponges(std::span<const SpongeJob> jobs, Path path = keccak::active_path());

// out[j] = the function of in[j], for any number of lanes (SHA3: out[j] of
// exactly the digest length; SHAKE: any length).
void hash_lanes(Sha3 function, std::span<const ByteView> in, std::span<const std::span<std::uint8_t>> out,
                Path path = keccak::active_path());

}  // namespace velora::primitives
