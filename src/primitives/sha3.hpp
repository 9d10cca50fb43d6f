// FIPS 202 hash functions over the system libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

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
class Shake128 {
public:
    static constexpr std::size_t kBlockBytes = kShake128BlockBytes;

    explicit Shake128(std::initializer_list<ByteView> parts);
    ~Shake128();
    Shake128(const Shake128&) = delete;
    Shake128& operator=(const Shake128&) = delete;

    // out.size() must be a multiple of kBlockBytes.
    void squeeze_blocks(std::span<std::uint8_t> out);

private:
    struct State;
    std::unique_ptr<State> state_;
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
