// FIPS 202 hash functions over the system libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

namespace velora::primitives {

using ByteView = std::span<const std::uint8_t>;

// One-shot digests over the concatenation of the given parts.
void sha3_256(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 32> out) noexcept;
void sha3_512(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 64> out) noexcept;
void shake256(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out) noexcept;

// SHAKE128 with incremental squeezing in 168-byte blocks: absorb once, then
// each squeeze_blocks call continues the output stream where the last ended.
class Shake128 {
public:
    static constexpr std::size_t kBlockBytes = 168;

    explicit Shake128(std::initializer_list<ByteView> parts) noexcept;
    ~Shake128();
    Shake128(const Shake128&) = delete;
    Shake128& operator=(const Shake128&) = delete;

    // out.size() must be a multiple of kBlockBytes.
    void squeeze_blocks(std::span<std::uint8_t> out) noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

#if VELORA_COUNT_KECCAK
// Benchmark builds only: the Keccak-f[1600] permutations libcrypto has
// performed for the calling thread through the functions above (absorbed
// blocks, the padded final block and every further squeezed block).
std::uint64_t keccak_permutations() noexcept;
#endif

}  // namespace velora::primitives
