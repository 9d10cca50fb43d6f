// The payload of velora files, version 2 (docs/file-format.md): the plaintext
// in chunks of a size the header gives, each sealed with AES-256-GCM under the
// payload key, nonce BE88(index) || last flag, no associated data. The header
// (recipient entries, MAC, key derivation) is built and parsed by the package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/error.hpp"

namespace velora::vfile {

inline constexpr std::size_t kTagBytes = 16;
inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kMinChunkBytes = 32;
inline constexpr std::size_t kMaxChunkBytes = std::size_t{4} << 20;

inline constexpr std::string_view kChunkSize = "velora file: chunk size out of range";
inline constexpr std::string_view kPayloadLayout = "velora file: payload chunks are not laid out as the call requires";
inline constexpr std::string_view kOutputSize = "velora file: output buffer has the wrong size";
inline constexpr std::string_view kLibraryFailure = "velora file: AES-GCM library failure";

// The size of `plaintext_bytes` sealed as chunks of `chunk_bytes`: one tag per
// started chunk, and one for the empty last chunk of an empty payload.
constexpr std::size_t sealed_size(std::size_t chunk_bytes, std::size_t plaintext_bytes, bool final) noexcept {
    std::size_t chunks = (plaintext_bytes + chunk_bytes - 1) / chunk_bytes;
    if (final && chunks == 0) chunks = 1;
    return plaintext_bytes + chunks * kTagBytes;
}

// Room for the plaintext of `ciphertext_bytes` of chunks.
constexpr std::size_t opened_size(std::size_t chunk_bytes, std::size_t ciphertext_bytes) noexcept {
    const std::size_t sealed = chunk_bytes + kTagBytes;
    const std::size_t rest = ciphertext_bytes % sealed;
    return ciphertext_bytes / sealed * chunk_bytes + (rest > kTagBytes ? rest - kTagBytes : 0);
}

// Seals `plaintext` as the chunks numbered counter, counter + 1, ... into out
// (exactly sealed_size bytes). Without `final` the plaintext is a whole number
// of chunks; with it the last chunk (1 to chunk_bytes, or empty only as chunk
// 0) carries the last flag.
Result<void> seal_chunks(std::span<const std::uint8_t, kKeyBytes> key, std::size_t chunk_bytes,
                         std::uint64_t counter, std::span<const std::uint8_t> plaintext, bool final,
                         std::span<std::uint8_t> out);

struct Opened {
    std::size_t written = 0;  // plaintext released, in order, up to the first failure
    bool finished = false;    // a chunk with the last flag opened
    bool ok = false;          // false: a chunk failed, data follows the last chunk, or the end came without it
};

// Opens the sealed chunks numbered counter, ... of `ciphertext` into out (at
// least opened_size bytes). `at_end`: the payload ends with this data;
// otherwise it is a whole number of sealed chunks and more follows. A full
// chunk opens as a middle chunk or, failing that, as the last one; a shorter
// one only as the last; an empty one only as chunk 0. Nothing past `written`
// is left in out.
Result<Opened> open_chunks(std::span<const std::uint8_t, kKeyBytes> key, std::size_t chunk_bytes,
                           std::uint64_t counter, std::span<const std::uint8_t> ciphertext, bool at_end,
                           std::span<std::uint8_t> out);

}  // namespace velora::vfile
