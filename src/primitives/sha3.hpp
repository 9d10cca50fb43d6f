// FIPS 202 hash functions over the system libcrypto.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace velora::primitives {

using ByteView = std::span<const std::uint8_t>;

inline constexpr std::size_t kShake128BlockBytes = 168;

// One-shot digests over the concatenation of the given parts. Each call
// starts from a fresh sponge; the XOFs produce out.size() bytes.
void sha3_256(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 32> out) noexcept;
void sha3_512(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 64> out) noexcept;
void shake128(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out) noexcept;
void shake256(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out) noexcept;

// SHAKE128 as a continuing stream squeezed in 168-byte blocks: absorb once,
// then each squeeze_blocks call continues the output where the last ended.
// The first squeeze writes straight into the caller's buffer and nothing is
// allocated until a read goes past it (see sha3.cpp), so the object is meant
// to live on the stack.
class Shake128 {
public:
    static constexpr std::size_t kBlockBytes = kShake128BlockBytes;

    explicit Shake128(std::initializer_list<ByteView> parts);
    Shake128(const Shake128&) = delete;
    Shake128& operator=(const Shake128&) = delete;

    // out.size() must be a multiple of kBlockBytes.
    void squeeze_blocks(std::span<std::uint8_t> out);

private:
    static constexpr std::size_t kInlineInputBytes = 64;  // ML-KEM's XOF absorbs 34

    ByteView input() const noexcept;

    std::array<std::uint8_t, kInlineInputBytes> inline_input_{};
    std::vector<std::uint8_t> long_input_;  // the input, when it does not fit inline
    std::size_t input_bytes_ = 0;
    std::vector<std::uint8_t> produced_;  // the stream's first produced_.size() bytes, once regenerated
    std::size_t position_ = 0;            // bytes handed out so far
};

// Whether the one-shot functions call libcrypto's provider functions
// directly (true) or go through the EVP digest interface (see sha3.cpp).
bool sha3_uses_provider_functions() noexcept;

#if defined(VELORA_COUNT_KECCAK) && VELORA_COUNT_KECCAK
// Benchmark builds only: the Keccak-f[1600] permutations libcrypto has
// performed for the calling thread through the functions above (absorbed
// blocks, the padded final block and every further squeezed block).
std::uint64_t keccak_permutations() noexcept;
#endif

}  // namespace velora::primitives
