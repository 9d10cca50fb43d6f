// The frames of a velora stream opened and sealed at any index, given the
// stream's key: random access into a file and whole files on many threads.
//
// A frame is len (u32 big-endian) || ciphertext (len) || tag (16), sealed
// with AES-256-GCM under chunk_nonce(base_nonce, i) and chunk_aad(i)
// (core/stream.hpp). The stream handles of core/stream.hpp do the same one
// frame after the other; these functions take the index from the caller, so
// the caller places the frames (the file format fixes where frame i starts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/error.hpp"
#include "core/stream/stream.hpp"

namespace velora::frames {

inline constexpr std::string_view kLayout =
    "frames: the data is not whole frames of the chunk size (the last one 1 to chunk size bytes)";
inline constexpr std::string_view kOutputSize = "frames: output buffer has the wrong size";
inline constexpr std::string_view kIndexRange = "frames: frame index beyond the stream's 32-bit counter";
inline constexpr std::string_view kChunkSize = "frames: chunk size must be 1 to 16 MiB";
inline constexpr std::string_view kKeySetup = "frames: AES-256-GCM key setup failed";

// The plaintext size of `data` if it is a run of frames as open_frames takes
// them: every frame but the last carries exactly chunk_size bytes, the last
// 1 to chunk_size (no empty frame: that is the end marker).
Result<std::size_t> frames_plaintext_size(std::span<const std::uint8_t> data, std::uint32_t chunk_size);

// Opens the frames in `data` as frames first, first + 1, ... on up to
// `threads` threads and writes their plaintexts one after the other into
// out[0 .. frames_plaintext_size). A frame that does not authenticate fails
// the whole call with Decryption, and out then holds no plaintext (zeroed).
Result<std::size_t> open_frames(std::span<const std::uint8_t, 32> key, const stream::Nonce& base_nonce,
                                std::uint64_t first, std::uint32_t chunk_size, std::span<const std::uint8_t> data,
                                std::span<std::uint8_t> out, unsigned threads);

// Seals `plaintext`, cut in chunk_size pieces (the last 1 to chunk_size), as
// frames first, first + 1, ... into out, which must be exactly
// plaintext + 20 bytes per frame long. An empty plaintext is refused.
Result<void> seal_frames(std::span<const std::uint8_t, 32> key, const stream::Nonce& base_nonce,
                         std::uint64_t first, std::uint32_t chunk_size, std::span<const std::uint8_t> plaintext,
                         std::span<std::uint8_t> out, unsigned threads);

// The end marker at `index`: 00 00 00 00 || the tag of the empty plaintext.
Result<stream::EofMarker> end_marker(std::span<const std::uint8_t, 32> key, const stream::Nonce& base_nonce,
                                     std::uint64_t index);

// Checks the tag of an end marker at `index`; Decryption when it is not.
Result<void> open_end_marker(std::span<const std::uint8_t, 32> key, const stream::Nonce& base_nonce,
                             std::uint64_t index, std::span<const std::uint8_t> tag);

}  // namespace velora::frames
