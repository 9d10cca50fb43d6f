// age v1 cryptography: stanza bodies, header MAC and the STREAM payload.
#include "core/age/age.hpp"

#include <algorithm>
#include <atomic>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "core/hpke/hpke.hpp"
#include "core/xwing/xwing.hpp"
#include "platform/bytes.hpp"
#include "platform/ct.hpp"
#include "platform/random.hpp"
#include "platform/wipe.hpp"
#include "primitives/evp_aead.hpp"
#include "primitives/hkdf.hpp"
#include "primitives/password_kdf.hpp"
#include "primitives/x25519.hpp"

namespace velora::age {

namespace {

using primitives::AeadAlgorithm;
using primitives::EvpAead;
using primitives::HashAlgorithm;
using ByteView = std::span<const std::uint8_t>;

constexpr std::string_view kX25519Label = "age-encryption.org/v1/X25519";
constexpr std::string_view kScryptLabel = "age-encryption.org/v1/scrypt";
constexpr std::string_view kHybridInfo = "age-encryption.org/mlkem768x25519";
constexpr std::string_view kHeaderInfo = "header";
constexpr std::string_view kPayloadInfo = "payload";

constexpr hpke::Suite kHybridSuite{hpke::Kem::XWing, hpke::Kdf::HkdfSha256, hpke::Aead::ChaCha20Poly1305};


// Stanza bodies are ChaCha20-Poly1305 under a one-time wrap key with the
// all-zero nonce.
constexpr std::array<std::uint8_t, EvpAead::kNonceBytes> kZeroNonce{};

Result<std::array<std::uint8_t, kBodyBytes>> seal_body(std::span<const std::uint8_t, 32> wrap_key, ByteView file_key) {
    std::array<std::uint8_t, kBodyBytes> body{};
    auto aead = EvpAead::create(AeadAlgorithm::ChaCha20Poly1305, wrap_key);
    if (!aead || !aead->seal(kZeroNonce, {}, file_key, std::span(body).first<kFileKeyBytes>(),
                             std::span(body).last<kTagBytes>())) {
        return fail(VeloraError::InvalidParameter(kLibraryFailure));
    }
    return body;
}

Result<Unwrapped> open_body(std::span<const std::uint8_t, 32> wrap_key, ByteView body) {
    Unwrapped out;
    auto aead = EvpAead::create(AeadAlgorithm::ChaCha20Poly1305, wrap_key);
    if (!aead) return fail(VeloraError::InvalidParameter(kLibraryFailure));
    out.matched = aead->open(kZeroNonce, {}, body.first<kFileKeyBytes>(), body.subspan<kFileKeyBytes, kTagBytes>(),
                             out.file_key);
    return out;
}

Result<void> check_file_key(ByteView file_key) {
    if (file_key.size() != kFileKeyBytes) return fail(VeloraError::InvalidParameter(kFileKeySize));
    return {};
}

// The X25519 wrap key: HKDF-SHA-256(shared, share || recipient, label).
bool x25519_wrap_key(std::span<const std::uint8_t, 32> shared, ByteView share, ByteView recipient,
                     std::span<std::uint8_t, 32> wrap_key) {
    std::array<std::uint8_t, 2 * kX25519Bytes> salt{};
    std::copy(share.begin(), share.end(), salt.begin());
    std::copy(recipient.begin(), recipient.end(), salt.begin() + kX25519Bytes);
    return primitives::hkdf(HashAlgorithm::Sha256, salt, shared, bytes_of(kX25519Label), wrap_key);
}

Result<void> scrypt_wrap_key(ByteView passphrase, ByteView salt, unsigned log_n, std::span<std::uint8_t, 32> wrap_key) {
    if (log_n < 1 || log_n > kMaxScryptLogN) return fail(VeloraError::InvalidParameter(kScryptWorkFactor));
    std::array<std::uint8_t, kScryptLabel.size() + kScryptSaltBytes> full_salt{};
    std::copy(kScryptLabel.begin(), kScryptLabel.end(), full_salt.begin());
    std::copy(salt.begin(), salt.end(), full_salt.begin() + kScryptLabel.size());
    if (!primitives::scrypt(passphrase, full_salt, std::uint64_t{1} << log_n, 8, 1, wrap_key)) {
        return fail(VeloraError::InvalidParameter(kScryptFailed));
    }
    return {};
}

// The STREAM nonce: an 11-byte big-endian counter, then the final flag.
std::array<std::uint8_t, EvpAead::kNonceBytes> chunk_nonce(std::uint64_t counter, bool last) {
    std::array<std::uint8_t, EvpAead::kNonceBytes> n{};
    for (std::size_t i = 0; i < 8; ++i) n[10 - i] = static_cast<std::uint8_t>(counter >> (8 * i));
    n[11] = last ? 1 : 0;
    return n;
}

}  // namespace

Unwrapped::~Unwrapped() { secure_wipe(file_key); }

Result<std::array<std::uint8_t, kMacBytes>> header_mac(std::span<const std::uint8_t> file_key,
                                                       std::span<const std::uint8_t> header) {
    if (auto r = check_file_key(file_key); !r) return fail(r.error());
    SecretBytes<32> hmac_key;
    std::array<std::uint8_t, kMacBytes> mac{};
    if (!primitives::hkdf(HashAlgorithm::Sha256, {}, file_key, bytes_of(kHeaderInfo), hmac_key.span()) ||
        !primitives::hmac(HashAlgorithm::Sha256, hmac_key.span(), header, mac)) {
        return fail(VeloraError::InvalidParameter(kLibraryFailure));
    }
    return mac;
}

Result<Stanza> wrap_x25519(std::span<const std::uint8_t> file_key, std::span<const std::uint8_t> recipient) {
    if (auto r = check_file_key(file_key); !r) return fail(r.error());
    if (recipient.size() != kX25519Bytes) return fail(VeloraError::InvalidParameter(kStanzaSize));
    SecretBytes<32> ephemeral, shared, wrap_key;
    if (!platform::fill_random(ephemeral.span())) return fail(VeloraError::Rng());
    ct::mark_secret(ephemeral.data(), ephemeral.size());
    Stanza out;
    out.argument.resize(kX25519Bytes);
    const std::span<std::uint8_t, 32> share = std::span(out.argument).first<32>();
    if (!primitives::x25519_public_key(ephemeral.span(), share)) {
        return fail(VeloraError::InvalidParameter(kLibraryFailure));
    }
    ct::declassify(share.data(), share.size());  // the share is published
    if (!primitives::x25519(ephemeral.span(), recipient.first<32>(), shared.span())) {
        return fail(VeloraError::InvalidParameter(kX25519ZeroSecret));
    }
    if (!x25519_wrap_key(shared.span(), share, recipient, wrap_key.span())) {
        return fail(VeloraError::InvalidParameter(kLibraryFailure));
    }
    auto body = seal_body(wrap_key.span(), file_key);
    if (!body) return fail(body.error());
    out.body = *body;
    return out;
}

Result<Unwrapped> unwrap_x25519(std::span<const std::uint8_t> identity, std::span<const std::uint8_t> share,
                                std::span<const std::uint8_t> body) {
    if (identity.size() != kX25519Bytes || share.size() != kX25519Bytes || body.size() != kBodyBytes) {
        return fail(VeloraError::InvalidParameter(kStanzaSize));
    }
    return unwrap_x25519_many(identity, share, body, 1);
}

Result<Stanza> wrap_scrypt(std::span<const std::uint8_t> file_key, std::span<const std::uint8_t> passphrase,
                           unsigned log_n) {
    if (auto r = check_file_key(file_key); !r) return fail(r.error());
    Stanza out;
    out.argument.resize(kScryptSaltBytes);
    if (!platform::fill_random(out.argument)) return fail(VeloraError::Rng());
    SecretBytes<32> wrap_key;
    if (auto r = scrypt_wrap_key(passphrase, out.argument, log_n, wrap_key.span()); !r) return fail(r.error());
    auto body = seal_body(wrap_key.span(), file_key);
    if (!body) return fail(body.error());
    out.body = *body;
    return out;
}

Result<Unwrapped> unwrap_scrypt(std::span<const std::uint8_t> passphrase, std::span<const std::uint8_t> salt,
                                unsigned log_n, std::span<const std::uint8_t> body) {
    if (salt.size() != kScryptSaltBytes || body.size() != kBodyBytes) {
        return fail(VeloraError::InvalidParameter(kStanzaSize));
    }
    SecretBytes<32> wrap_key;
    if (auto r = scrypt_wrap_key(passphrase, salt, log_n, wrap_key.span()); !r) return fail(r.error());
    return open_body(wrap_key.span(), body);
}

Result<Stanza> wrap_hybrid(std::span<const std::uint8_t> file_key, std::span<const std::uint8_t> recipient) {
    if (auto r = check_file_key(file_key); !r) return fail(r.error());
    if (recipient.size() != kHybridRecipientBytes) return fail(VeloraError::InvalidParameter(kStanzaSize));
    auto sealed = hpke::seal(kHybridSuite, recipient, bytes_of(kHybridInfo), {}, file_key);
    if (!sealed) return fail(sealed.error());
    Stanza out;
    out.argument = std::move(sealed->enc);
    std::copy(sealed->ciphertext.begin(), sealed->ciphertext.end(), out.body.begin());
    return out;
}

Result<Unwrapped> unwrap_hybrid(std::span<const std::uint8_t> identity, std::span<const std::uint8_t> enc,
                                std::span<const std::uint8_t> body) {
    if (identity.size() != kHybridIdentityBytes || enc.size() != kHybridEncBytes || body.size() != kBodyBytes) {
        return fail(VeloraError::InvalidParameter(kStanzaSize));
    }
    auto opened = hpke::open(kHybridSuite, identity, enc, bytes_of(kHybridInfo), {}, body);
    Unwrapped out;
    if (!opened) {
        if (opened.error() == VeloraError::Decryption()) return out;  // no match
        if (opened.error() == VeloraError::Decapsulation(xwing::kX25519Zero)) {
            return fail(VeloraError::Decapsulation(kHybridZeroSecret));
        }
        return fail(opened.error());
    }
    std::copy(opened->begin(), opened->end(), out.file_key.begin());
    secure_zero(opened->data(), opened->size());
    out.matched = true;
    return out;
}

Result<PayloadKey> payload_key(std::span<const std::uint8_t> file_key, std::span<const std::uint8_t> nonce) {
    if (auto r = check_file_key(file_key); !r) return fail(r.error());
    if (nonce.size() != kPayloadNonceBytes) return fail(VeloraError::InvalidParameter(kPayloadLayout));
    PayloadKey key{};
    if (!primitives::hkdf(HashAlgorithm::Sha256, nonce, file_key, bytes_of(kPayloadInfo), key)) {
        return fail(VeloraError::InvalidParameter(kLibraryFailure));
    }
    return key;
}

namespace {

// Calls fn(i) for every i in [0, count), spread over up to `threads` threads
// (the calling one and threads started here; inline should one not start).
// Indices are handed out one at a time, so a thread slowed down by other
// work on the machine holds up the call by one chunk at most.
template <class Fn>
void parallel_for(std::size_t count, unsigned threads, Fn&& fn) {
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) fn(i);
    };
    std::vector<std::jthread> others;
    const std::size_t extra = std::min<std::size_t>(threads, count) > 1 ? std::min<std::size_t>(threads, count) - 1 : 0;
    try {
        for (std::size_t t = 0; t < extra; ++t) others.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads: the ones running and this one share the chunks.
    }
    work();
}

enum class ChunkOutcome : std::uint8_t { Failed, NonFinal, Final };

}  // namespace

namespace {

// One stanza of unwrap_x25519_many: no match (nullopt) or its decisive outcome.
std::optional<Result<Unwrapped>> unwrap_one_x25519(const primitives::X25519Scalar& scalar,
                                                   std::span<const std::uint8_t, kX25519Bytes> recipient,
                                                   std::span<const std::uint8_t, kX25519Bytes> share, ByteView body) {
    SecretBytes<32> shared, wrap_key;
    if (!scalar.derive(share, shared.span())) return fail(VeloraError::Decapsulation(kX25519ZeroSecret));
    if (!x25519_wrap_key(shared.span(), share, recipient, wrap_key.span())) {
        return fail(VeloraError::InvalidParameter(kLibraryFailure));
    }
    auto opened = open_body(wrap_key.span(), body);
    if (opened && !opened->matched) return std::nullopt;
    return opened;
}

constexpr std::size_t kStanzasPerTask = 64;

}  // namespace

Result<Unwrapped> unwrap_x25519_many(std::span<const std::uint8_t> identity, std::span<const std::uint8_t> shares,
                                     std::span<const std::uint8_t> bodies, unsigned threads) {
    if (identity.size() != kX25519Bytes || shares.size() % kX25519Bytes != 0 ||
        bodies.size() != shares.size() / kX25519Bytes * kBodyBytes) {
        return fail(VeloraError::InvalidParameter(kStanzaSize));
    }
    const primitives::X25519Scalar scalar(identity.first<32>());
    std::array<std::uint8_t, kX25519Bytes> recipient{};
    if (!scalar.valid() || !scalar.public_key(recipient)) {
        return fail(VeloraError::InvalidParameter(kLibraryFailure));
    }
    ct::declassify(recipient.data(), recipient.size());  // the identity's public key
    // Tasks of 64 stanzas, handed out in order; each stops at its first decisive
    // stanza (a match or an error), and none starts past the lowest one found.
    // The outcome is that of the lowest decisive stanza: as if tried one by one.
    const std::size_t count = shares.size() / kX25519Bytes;
    const std::size_t tasks = (count + kStanzasPerTask - 1) / kStanzasPerTask;
    std::vector<std::optional<Result<Unwrapped>>> outcome(tasks);
    std::vector<std::size_t> at(tasks, count);
    std::atomic<std::size_t> lowest{count};
    parallel_for(tasks, threads, [&](std::size_t t) {
        for (std::size_t i = t * kStanzasPerTask; i < std::min(count, (t + 1) * kStanzasPerTask); ++i) {
            if (i > lowest.load(std::memory_order_relaxed)) return;
            auto one = unwrap_one_x25519(scalar, recipient, shares.subspan(i * kX25519Bytes).first<kX25519Bytes>(),
                                         bodies.subspan(i * kBodyBytes, kBodyBytes));
            if (!one) continue;
            outcome[t] = std::move(one);
            at[t] = i;
            for (std::size_t seen = lowest.load(); i < seen && !lowest.compare_exchange_weak(seen, i);) {
            }
            return;
        }
    });
    for (std::size_t t = 0; t < tasks; ++t) {
        if (at[t] < count) return std::move(*outcome[t]);
    }
    return Unwrapped{};
}

Result<void> seal_chunks(std::span<const std::uint8_t, 32> key, std::uint64_t counter,
                         std::span<const std::uint8_t> plaintext, bool final, std::span<std::uint8_t> out,
                         unsigned threads) {
    if (!final && plaintext.size() % kChunkBytes != 0) return fail(VeloraError::InvalidParameter(kPayloadLayout));
    if (final && plaintext.empty() && counter != 0) return fail(VeloraError::InvalidParameter(kPayloadLayout));
    if (out.size() != sealed_size(plaintext.size(), final)) return fail(VeloraError::InvalidParameter(kOutputSize));
    auto aead = EvpAead::create(AeadAlgorithm::ChaCha20Poly1305, key);
    if (!aead) return fail(VeloraError::InvalidParameter(kLibraryFailure));
    // Every started chunk, and the one empty final chunk of an empty payload.
    const std::size_t chunks = (out.size() - plaintext.size()) / kTagBytes;
    std::atomic<bool> failed{false};
    parallel_for(chunks, threads, [&](std::size_t i) {
        const std::size_t in_pos = i * kChunkBytes, out_pos = i * kEncryptedChunkBytes;
        const std::size_t n = std::min(kChunkBytes, plaintext.size() - in_pos);
        const auto nonce = chunk_nonce(counter + i, final && i + 1 == chunks);
        if (!aead->seal(nonce, {}, plaintext.subspan(in_pos, n), out.subspan(out_pos, n),
                        out.subspan(out_pos + n).first<kTagBytes>())) {
            failed.store(true, std::memory_order_relaxed);
        }
    });
    if (failed.load()) return fail(VeloraError::InvalidParameter(kLibraryFailure));
    return {};
}

Result<Opened> open_chunks(std::span<const std::uint8_t, 32> key, std::uint64_t counter,
                           std::span<const std::uint8_t> ciphertext, bool at_end, std::span<std::uint8_t> out,
                           unsigned threads) {
    if (!at_end && ciphertext.size() % kEncryptedChunkBytes != 0) {
        return fail(VeloraError::InvalidParameter(kPayloadLayout));
    }
    const std::size_t chunks = (ciphertext.size() + kEncryptedChunkBytes - 1) / kEncryptedChunkBytes;
    // Room for the plaintext of every chunk. (A last chunk shorter than its tag
    // holds none, but takes no room away from the whole chunks before it.)
    if (out.size() < opened_size(ciphertext.size())) return fail(VeloraError::InvalidParameter(kOutputSize));
    auto aead = EvpAead::create(AeadAlgorithm::ChaCha20Poly1305, key);
    if (!aead) return fail(VeloraError::InvalidParameter(kLibraryFailure));

    // Each chunk on its own (possibly at once), then released in order.
    std::vector<ChunkOutcome> outcome(chunks, ChunkOutcome::Failed);
    parallel_for(chunks, threads, [&](std::size_t i) {
        const std::size_t in_pos = i * kEncryptedChunkBytes;
        const std::size_t n = std::min(kEncryptedChunkBytes, ciphertext.size() - in_pos);
        // A chunk holds a tag; only the first chunk of a payload may be empty (as its final chunk).
        if (n < kTagBytes || (n == kTagBytes && counter + i != 0)) return;
        const std::size_t m = n - kTagBytes;
        const ByteView ct = ciphertext.subspan(in_pos, m);
        const std::span<const std::uint8_t, kTagBytes> tag = ciphertext.subspan(in_pos + m).first<kTagBytes>();
        const std::span<std::uint8_t> pt = out.subspan(i * kChunkBytes, m);
        // A full-size chunk is a non-final one or, failing that, the final one; a shorter one is final.
        if (n == kEncryptedChunkBytes && aead->open(chunk_nonce(counter + i, false), {}, ct, tag, pt)) {
            outcome[i] = ChunkOutcome::NonFinal;
        } else if (aead->open(chunk_nonce(counter + i, true), {}, ct, tag, pt)) {
            outcome[i] = ChunkOutcome::Final;
        }
    });

    Opened result;
    result.ok = !at_end;  // at the end, the data must not stop without a final chunk
    for (std::size_t i = 0; i < chunks; ++i) {
        if (outcome[i] == ChunkOutcome::Failed) {
            result.ok = false;
            break;
        }
        result.written += std::min(kEncryptedChunkBytes, ciphertext.size() - i * kEncryptedChunkBytes) - kTagBytes;
        if (outcome[i] == ChunkOutcome::Final) {
            result.finished = true;
            result.ok = at_end && i + 1 == chunks;  // nothing may follow the final chunk
            break;
        }
    }
    // Nothing past the released plaintext stays in out.
    secure_zero(out.data() + result.written, out.size() - result.written);
    return result;
}

}  // namespace velora::age
