// The cryptography of the age v1 file format (c2sp.org/age): the header MAC,
// the X25519, scrypt and mlkem768x25519 recipient stanza bodies, and the
// STREAM payload (64 KiB ChaCha20-Poly1305 chunks, last-chunk flag). The text
// of the header (stanza lines, base64, armour) is parsed by the package.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace velora::age {

inline constexpr std::size_t kFileKeyBytes = 16;
inline constexpr std::size_t kMacBytes = 32;
inline constexpr std::size_t kPayloadNonceBytes = 16;
inline constexpr std::size_t kChunkBytes = 64 * 1024;
inline constexpr std::size_t kTagBytes = 16;
inline constexpr std::size_t kEncryptedChunkBytes = kChunkBytes + kTagBytes;
inline constexpr std::size_t kBodyBytes = kFileKeyBytes + kTagBytes;  // every native stanza body
inline constexpr std::size_t kX25519Bytes = 32;
inline constexpr std::size_t kScryptSaltBytes = 16;
inline constexpr std::size_t kHybridEncBytes = 1120;
inline constexpr std::size_t kHybridRecipientBytes = 1216;
inline constexpr std::size_t kHybridIdentityBytes = 32;
inline constexpr unsigned kMaxScryptLogN = 40;  // what this engine computes at all; readers bound it lower

inline constexpr std::string_view kFileKeySize = "age: file key must be 16 bytes";
inline constexpr std::string_view kX25519ZeroSecret = "age: X25519 stanza gives an all-zero shared secret";
inline constexpr std::string_view kHybridZeroSecret = "age: mlkem768x25519 stanza gives an all-zero X25519 shared secret";
inline constexpr std::string_view kStanzaSize = "age: stanza argument or body has the wrong size";
inline constexpr std::string_view kScryptWorkFactor = "age: scrypt work factor out of range";
inline constexpr std::string_view kScryptFailed = "age: scrypt failed in libcrypto";
inline constexpr std::string_view kPayloadLayout = "age: payload chunks are not laid out as the call requires";
inline constexpr std::string_view kOutputSize = "age: output buffer has the wrong size";
inline constexpr std::string_view kLibraryFailure = "age: libcrypto failure";

using FileKey = std::array<std::uint8_t, kFileKeyBytes>;
using PayloadKey = std::array<std::uint8_t, 32>;

// HMAC-SHA-256(HKDF-SHA-256(file key, "", "header"), header), where header
// runs up to and including the "---" of the MAC line.
Result<std::array<std::uint8_t, kMacBytes>> header_mac(std::span<const std::uint8_t> file_key,
                                                       std::span<const std::uint8_t> header);

// One stanza's first data argument (share, salt or enc) and its 32-byte body.
struct Stanza {
    std::vector<std::uint8_t> argument;
    std::array<std::uint8_t, kBodyBytes> body{};
};

// Outcome of unwrapping one stanza: the file key, or no match (wrong key or
// passphrase: the body did not authenticate). Malformed stanzas and an
// all-zero X25519 result are errors (InvalidParameter, Decapsulation).
struct Unwrapped {
    bool matched = false;
    FileKey file_key{};
    ~Unwrapped();
};

// X25519 recipients: ephemeral share X25519(e, 9); wrap key HKDF-SHA-256(
// X25519(e, recipient), share || recipient, "age-encryption.org/v1/X25519").
Result<Stanza> wrap_x25519(std::span<const std::uint8_t> file_key, std::span<const std::uint8_t> recipient);
Result<Unwrapped> unwrap_x25519(std::span<const std::uint8_t> identity, std::span<const std::uint8_t> share,
                                std::span<const std::uint8_t> body);
// The same over n stanzas in order (shares and bodies: n 32-byte values
// each, concatenated): the first that opens, no match, or the error of the
// first all-zero X25519 result, exactly as if tried one by one. The
// identity's key object and public key are made once, so each stanza costs
// one X25519; up to `threads` threads share the stanzas.
Result<Unwrapped> unwrap_x25519_many(std::span<const std::uint8_t> identity, std::span<const std::uint8_t> shares,
                                     std::span<const std::uint8_t> bodies, unsigned threads);

// scrypt passphrases: wrap key scrypt(N = 2^log_n, r = 8, p = 1, 32,
// "age-encryption.org/v1/scrypt" || salt, passphrase).
Result<Stanza> wrap_scrypt(std::span<const std::uint8_t> file_key, std::span<const std::uint8_t> passphrase,
                           unsigned log_n);
Result<Unwrapped> unwrap_scrypt(std::span<const std::uint8_t> passphrase, std::span<const std::uint8_t> salt,
                                unsigned log_n, std::span<const std::uint8_t> body);

// mlkem768x25519 recipients: HPKE SealBase with MLKEM768-X25519,
// HKDF-SHA256, ChaCha20Poly1305, info "age-encryption.org/mlkem768x25519".
Result<Stanza> wrap_hybrid(std::span<const std::uint8_t> file_key, std::span<const std::uint8_t> recipient);
Result<Unwrapped> unwrap_hybrid(std::span<const std::uint8_t> identity, std::span<const std::uint8_t> enc,
                                std::span<const std::uint8_t> body);

// HKDF-SHA-256(file key, nonce, "payload").
Result<PayloadKey> payload_key(std::span<const std::uint8_t> file_key, std::span<const std::uint8_t> nonce);

// The size of `plaintext_bytes` sealed as chunks: one tag per started chunk,
// and one for the empty final chunk of an empty payload.
constexpr std::size_t sealed_size(std::size_t plaintext_bytes, bool final) noexcept {
    std::size_t chunks = (plaintext_bytes + kChunkBytes - 1) / kChunkBytes;
    if (final && chunks == 0) chunks = 1;
    return plaintext_bytes + chunks * kTagBytes;
}

// Seals plaintext as the chunks numbered counter, counter + 1, ... into out
// (sealed_size bytes). Without `final` the plaintext is a whole number of
// chunks; with it the last chunk (shorter, or empty only as chunk 0) carries
// the final flag.
//
// `threads` > 1 spreads the chunks over that many threads (the calling one
// and threads - 1 started here); the bytes are the same.
Result<void> seal_chunks(std::span<const std::uint8_t, 32> key, std::uint64_t counter,
                         std::span<const std::uint8_t> plaintext, bool final, std::span<std::uint8_t> out,
                         unsigned threads = 1);

// Room for the plaintext of `ciphertext_bytes` of chunks: 64 KiB per whole
// chunk, and what a shorter last chunk holds beyond its tag (nothing when it
// is shorter than a tag).
constexpr std::size_t opened_size(std::size_t ciphertext_bytes) noexcept {
    const std::size_t rest = ciphertext_bytes % kEncryptedChunkBytes;
    return ciphertext_bytes / kEncryptedChunkBytes * kChunkBytes + (rest > kTagBytes ? rest - kTagBytes : 0);
}

// Opens the encrypted chunks numbered counter, counter + 1, ... of
// `ciphertext` into out (room for the plaintext: at least
// opened_size(ciphertext.size()) bytes). `at_end`: the
// payload ends with this data; otherwise it is a whole number of 64 KiB + 16
// chunks and more data follows it.
//
// A full-size chunk opens as a non-final chunk or, failing that, as the
// final one; a shorter chunk can only be the final one (and an empty one
// only as chunk 0, the whole payload). Opening stops at the first chunk that
// does not authenticate, and after a final chunk: `written` counts the
// plaintext released so far (nothing after it is left in out), `finished`
// says a final chunk opened, and `ok` is false when the payload is bad there:
// a chunk failed, data follows the final chunk, or the data ended without one.
struct Opened {
    std::size_t written = 0;
    bool finished = false;
    bool ok = false;
};
// `threads` as for seal_chunks: chunks open at once, and their plaintext is
// released in order, up to the first chunk that fails (out is wiped after
// `written`).
Result<Opened> open_chunks(std::span<const std::uint8_t, 32> key, std::uint64_t counter,
                           std::span<const std::uint8_t> ciphertext, bool at_end, std::span<std::uint8_t> out,
                           unsigned threads = 1);

}  // namespace velora::age
