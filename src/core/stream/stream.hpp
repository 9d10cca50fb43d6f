// Chunked stream encryption under one ML-KEM encapsulation.
//
// Header:     capsule (c) || base_nonce (12) || chunk_size (u32 big-endian)
// Frame:      len (u32 big-endian) || ciphertext (len) || tag (16)
// EOF marker: a frame with len 0: 00 00 00 00 || tag of the empty plaintext
//
// Chunk i (data frame or EOF marker) is sealed under
//   nonce = BE32(i) || base_nonce[4..12)      (bytes 0..3 replaced, not XORed)
//   aad   = BE32(i)
// so a frame authenticates only at its own position in its own stream.
//
// The classes here are plain single-owner state machines; callers that share
// a handle between threads must serialise access themselves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/mlkem/params.hpp"
#include "platform/error.hpp"
#include "primitives/aes_gcm.hpp"

namespace velora::stream {

using mlkem::LevelIndex;

inline constexpr std::size_t kBaseNonceBytes = 12;
inline constexpr std::size_t kTagBytes = 16;
inline constexpr std::size_t kLengthBytes = 4;
inline constexpr std::size_t kFrameOverheadBytes = kLengthBytes + kTagBytes;  // 20
inline constexpr std::size_t kHeaderTailBytes = kBaseNonceBytes + 4;         // 16
inline constexpr std::uint32_t kMaxChunkSize = 16u * 1024u * 1024u;          // inclusive
// Highest chunk index. Data frames use 0 .. kLastIndex - 1; only the EOF
// marker may use kLastIndex, so the 32-bit nonce prefix never repeats.
inline constexpr std::uint64_t kLastIndex = 0xFFFFFFFFu;

inline constexpr std::string_view kHeaderTooShort = "stream header too short for the given security level";
inline constexpr std::string_view kChunkSizeZero = "chunk_size must be at least 1 byte";
inline constexpr std::string_view kChunkSizeAboveCap = "chunk_size exceeds the 16 MiB safety cap";
inline constexpr std::string_view kHeaderChunkSizeRange = "chunk_size must be 1..=16 MiB";
inline constexpr std::string_view kEncryptorFinalized = "encryptor already finalized";
inline constexpr std::string_view kPlaintextTooLong = "plaintext exceeds configured chunk_size";
// An empty data frame would be byte-for-byte the EOF marker at its index, so
// whoever drops the frames after it could pass the stream off as complete.
inline constexpr std::string_view kEmptyPlaintext =
    "empty plaintext chunk refused: its frame would be indistinguishable from the EOF marker";
inline constexpr std::string_view kEncryptorCounterExhausted =
    "stream chunk counter exhausted: at most 4294967295 data chunks per stream";
inline constexpr std::string_view kDecryptorFinalized = "decryptor already finalized";
inline constexpr std::string_view kAlreadyFinalized = "already finalized";
inline constexpr std::string_view kTagSize = "AES-GCM tag must be 16 bytes";
inline constexpr std::string_view kCiphertextTooLong = "ciphertext exceeds configured chunk_size";

using Nonce = std::array<std::uint8_t, kBaseNonceBytes>;
using Tag = std::array<std::uint8_t, kTagBytes>;
using EofMarker = std::array<std::uint8_t, kFrameOverheadBytes>;

// c + 16: 784, 1104, 1584 bytes.
constexpr std::size_t header_size(LevelIndex level) noexcept {
    return mlkem::capsule_size(level) + kHeaderTailBytes;
}

// The per-chunk nonce and associated data for chunk index i.
Nonce chunk_nonce(const Nonce& base_nonce, std::uint32_t i) noexcept;
std::array<std::uint8_t, 4> chunk_aad(std::uint32_t i) noexcept;

// What both handles hold while the stream is open. The raw shared secret is
// not kept: only the keyed cipher (key schedule computed once per stream).
struct StreamState {
    primitives::Aes256Gcm cipher;
    Nonce base_nonce{};
    // Chunks processed so far. Up to kLastIndex for the encryptor; the
    // decryptor's count includes an EOF marker and so may reach kLastIndex + 1.
    std::uint64_t chunk_index = 0;
    std::uint32_t chunk_size = 0;
    bool eof_seen = false;  // decryptor only
};

// Keys the cipher with shared_secret and wipes shared_secret, whether or not
// keying succeeds. chunk_index starts at 0.
Result<StreamState> make_stream_state(std::span<std::uint8_t, 32> shared_secret, const Nonce& base_nonce,
                                      std::uint32_t chunk_size);

class StreamEncryptor {
public:
    explicit StreamEncryptor(StreamState state) noexcept;

    bool is_open() const noexcept { return state_.has_value(); }

    // The checks of encrypt_chunk, in order (closed, plaintext length, counter
    // end), without encrypting. Gives the frame length L + 20.
    Result<std::size_t> frame_size(std::size_t plaintext_len) const;

    // Writes the frame for the next index into frame, which must be exactly
    // frame_size(plaintext.size()) bytes, and advances the counter. A failed
    // call changes nothing.
    Result<void> encrypt_chunk_into(std::span<const std::uint8_t> plaintext, std::span<std::uint8_t> frame);
    Result<std::vector<std::uint8_t>> encrypt_chunk(std::span<const std::uint8_t> plaintext);

    // Closes the stream and returns the EOF marker for the current index
    // (which is not advanced).
    Result<EofMarker> finalize();

    // Zero values once closed.
    Nonce base_nonce() const noexcept;
    std::uint32_t chunk_size() const noexcept;
    std::uint64_t chunk_index() const noexcept;

private:
    std::optional<StreamState> state_;
};

class StreamDecryptor {
public:
    explicit StreamDecryptor(StreamState state) noexcept;

    bool is_open() const noexcept { return state_.has_value(); }

    // The checks of decrypt_chunk that come before any decryption, in order:
    // closed, tag length, ciphertext length, EOF already seen, counter end.
    Result<void> check_chunk(std::size_t ciphertext_len, std::size_t tag_len) const;

    // Authenticates ciphertext || tag at the current index and writes the
    // plaintext into out (exactly ciphertext.size() bytes), then advances the
    // counter. On any failure nothing changes and out holds no plaintext.
    Result<void> decrypt_chunk_into(std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> tag,
                                    std::span<std::uint8_t> out);
    Result<std::vector<std::uint8_t>> decrypt_chunk(std::span<const std::uint8_t> ciphertext,
                                                    std::span<const std::uint8_t> tag);

    // Checks, in order: closed, tag length, EOF already seen. Then
    // authenticates the EOF marker at the current index; on success eof_seen
    // becomes true and the counter advances. A failure changes nothing.
    Result<void> process_eof(std::span<const std::uint8_t> tag);

    // Closes the decryptor. Does not look at eof_seen.
    Result<void> finalize();

    // Zero values once closed.
    bool eof_seen() const noexcept;
    std::uint32_t chunk_size() const noexcept;
    std::uint64_t chunk_index() const noexcept;

private:
    std::optional<StreamState> state_;
};

struct EncryptorSetup {
    std::vector<std::uint8_t> header;  // header_size(level) bytes
    StreamEncryptor encryptor;
};

// Encapsulates to ek, draws the base nonce, builds the header, then checks
// chunk_size (so a bad key or a missing random source is reported first),
// keys the cipher and wipes the shared secret.
Result<EncryptorSetup> stream_encryptor_new(std::span<const std::uint8_t> ek, std::uint32_t chunk_size,
                                            LevelIndex level);

// Checks the header length, reads chunk_size, decapsulates the capsule with
// dk, checks the chunk_size range, keys the cipher and wipes the shared
// secret. Bytes after the first header_size(level) are ignored.
Result<StreamDecryptor> stream_decryptor_from_header(std::span<const std::uint8_t> header,
                                                     std::span<const std::uint8_t> dk, LevelIndex level);

}  // namespace velora::stream
