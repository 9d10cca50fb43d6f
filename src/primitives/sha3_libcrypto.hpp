// The SHA-3 functions through libcrypto's EVP interface: the "libcrypto"
// Keccak path (see sha3.hpp), kept as the reference the engine's own Keccak
// is tested and measured against.
#pragma once

#include <cstddef>
#include <span>

#include "primitives/sha3.hpp"

namespace velora::primitives::libcrypto_sha3 {

// out = the function of the concatenation of the parts (SHA3: out.size() is
// the digest length; SHAKE: any length). A libcrypto failure can only mean
// allocation failure or a broken installation, and aborts.
void hash(Sha3 function, std::span<const ByteView> parts, std::span<std::uint8_t> out) noexcept;

}  // namespace velora::primitives::libcrypto_sha3
