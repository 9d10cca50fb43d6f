#include "core/stream/stream.hpp"

#include <cstring>
#include <utility>

#include "core/mlkem/decaps.hpp"
#include "core/mlkem/encaps.hpp"
#include "platform/random.hpp"
#include "platform/wipe.hpp"

namespace velora::stream {

namespace {

constexpr std::string_view kKeySetupFailed = "AES-256-GCM key setup failed";
constexpr std::string_view kSealFailed = "AES-256-GCM encryption failed";
constexpr std::string_view kOutputSize = "output buffer has incorrect size";

void store_be32(std::uint8_t* out, std::uint32_t v) noexcept {
    out[0] = static_cast<std::uint8_t>(v >> 24);
    out[1] = static_cast<std::uint8_t>(v >> 16);
    out[2] = static_cast<std::uint8_t>(v >> 8);
    out[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t load_be32(const std::uint8_t* in) noexcept {
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
           std::uint32_t{in[3]};
}

// Seals plaintext as chunk i into ciphertext and tag.
bool seal_chunk(const StreamState& s, std::uint32_t i, std::span<const std::uint8_t> plaintext,
                std::span<std::uint8_t> ciphertext, std::span<std::uint8_t, kTagBytes> tag) noexcept {
    const Nonce nonce = chunk_nonce(s.base_nonce, i);
    const auto aad = chunk_aad(i);
    return s.cipher.seal(nonce, aad, plaintext, ciphertext, tag);
}

// Opens chunk i; false when the tag does not verify (out is then zeroed).
bool open_chunk(const StreamState& s, std::uint32_t i, std::span<const std::uint8_t> ciphertext,
                std::span<const std::uint8_t, kTagBytes> tag, std::span<std::uint8_t> out) noexcept {
    const Nonce nonce = chunk_nonce(s.base_nonce, i);
    const auto aad = chunk_aad(i);
    return s.cipher.open(nonce, aad, ciphertext, tag, out);
}

}  // namespace

Nonce chunk_nonce(const Nonce& base_nonce, std::uint32_t i) noexcept {
    Nonce nonce = base_nonce;
    store_be32(nonce.data(), i);  // replaces base_nonce[0..4)
    return nonce;
}

std::array<std::uint8_t, 4> chunk_aad(std::uint32_t i) noexcept {
    std::array<std::uint8_t, 4> aad{};
    store_be32(aad.data(), i);
    return aad;
}

Result<StreamState> make_stream_state(std::span<std::uint8_t, 32> shared_secret, const Nonce& base_nonce,
                                      std::uint32_t chunk_size) {
    auto cipher = primitives::Aes256Gcm::create(shared_secret);
    secure_wipe(shared_secret);
    if (!cipher) return fail(VeloraError::InvalidParameter(kKeySetupFailed));
    return StreamState{std::move(*cipher), base_nonce, 0, chunk_size, false};
}

// ---- setup ------------------------------------------------------------------

Result<EncryptorSetup> stream_encryptor_new(std::span<const std::uint8_t> ek, std::uint32_t chunk_size,
                                            LevelIndex level) {
    // The shared secret is a fixed 32-byte array, so the "not 32 bytes" case
    // cannot arise here.
    auto encaps = mlkem::ml_kem_encaps(ek, level);
    if (!encaps) return fail(encaps.error());
    auto& k = encaps->shared_secret;
    WipeOnExit wipe_k{k};

    Nonce base_nonce{};
    if (!platform::fill_random(base_nonce)) return fail(VeloraError::Rng());

    std::vector<std::uint8_t> header;
    header.reserve(header_size(level));
    header.insert(header.end(), encaps->capsule.begin(), encaps->capsule.end());
    header.insert(header.end(), base_nonce.begin(), base_nonce.end());
    std::uint8_t size_be[4];
    store_be32(size_be, chunk_size);
    header.insert(header.end(), size_be, size_be + 4);

    // After the key and the nonce: a bad key or randomness is reported first.
    if (chunk_size == 0) return fail(VeloraError::InvalidParameter(kChunkSizeZero));
    if (chunk_size > kMaxChunkSize) return fail(VeloraError::InvalidParameter(kChunkSizeAboveCap));

    auto state = make_stream_state(k, base_nonce, chunk_size);
    if (!state) return fail(state.error());
    return EncryptorSetup{std::move(header), StreamEncryptor(std::move(*state))};
}

Result<StreamDecryptor> stream_decryptor_from_header(std::span<const std::uint8_t> header,
                                                     std::span<const std::uint8_t> dk, LevelIndex level) {
    const std::size_t c = mlkem::capsule_size(level);
    if (header.size() < header_size(level)) return fail(VeloraError::InvalidParameter(kHeaderTooShort));
    const std::uint32_t chunk_size = load_be32(header.data() + c + kBaseNonceBytes);

    auto k = mlkem::ml_kem_decaps(header.first(c), dk, level);
    if (!k) return fail(k.error());
    WipeOnExit wipe_k{*k};

    if (chunk_size == 0 || chunk_size > kMaxChunkSize)
        return fail(VeloraError::InvalidParameter(kHeaderChunkSizeRange));

    Nonce base_nonce{};
    std::memcpy(base_nonce.data(), header.data() + c, kBaseNonceBytes);
    auto state = make_stream_state(*k, base_nonce, chunk_size);
    if (!state) return fail(state.error());
    return StreamDecryptor(std::move(*state));
}

// ---- encryptor --------------------------------------------------------------

StreamEncryptor::StreamEncryptor(StreamState state) noexcept : state_(std::move(state)) {}

Result<std::size_t> StreamEncryptor::frame_size(std::size_t plaintext_len) const {
    if (!state_) return fail(VeloraError::InvalidParameter(kEncryptorFinalized));
    if (plaintext_len > state_->chunk_size) return fail(VeloraError::InvalidParameter(kPlaintextTooLong));
    if (plaintext_len == 0) return fail(VeloraError::InvalidParameter(kEmptyPlaintext));
    // Index kLastIndex is reserved for the EOF marker.
    if (state_->chunk_index >= kLastIndex) return fail(VeloraError::InvalidParameter(kEncryptorCounterExhausted));
    return plaintext_len + kFrameOverheadBytes;
}

Result<void> StreamEncryptor::encrypt_chunk_into(std::span<const std::uint8_t> plaintext,
                                                 std::span<std::uint8_t> frame) {
    auto size = frame_size(plaintext.size());
    if (!size) return fail(size.error());
    if (frame.size() != *size) return fail(VeloraError::InvalidParameter(kOutputSize));

    const auto i = static_cast<std::uint32_t>(state_->chunk_index);
    const std::size_t len = plaintext.size();
    store_be32(frame.data(), static_cast<std::uint32_t>(len));  // len <= 16 MiB
    auto ciphertext = frame.subspan(kLengthBytes, len);
    auto tag = frame.subspan(kLengthBytes + len).first<kTagBytes>();
    if (!seal_chunk(*state_, i, plaintext, ciphertext, tag)) {
        secure_wipe(frame);
        return fail(VeloraError::InvalidParameter(kSealFailed));
    }
    state_->chunk_index = std::uint64_t{i} + 1;  // only after success
    return {};
}

Result<std::vector<std::uint8_t>> StreamEncryptor::encrypt_chunk(std::span<const std::uint8_t> plaintext) {
    auto size = frame_size(plaintext.size());
    if (!size) return fail(size.error());
    std::vector<std::uint8_t> frame(*size);
    auto done = encrypt_chunk_into(plaintext, frame);
    if (!done) return fail(done.error());
    return frame;
}

Result<EofMarker> StreamEncryptor::finalize() {
    if (!state_) return fail(VeloraError::InvalidParameter(kEncryptorFinalized));
    // Take the state out first: the encryptor is closed whatever follows.
    StreamState s = std::move(*state_);
    state_.reset();

    EofMarker marker{};  // len = 00 00 00 00
    auto tag = std::span<std::uint8_t>(marker).subspan(kLengthBytes).first<kTagBytes>();
    // chunk_index <= kLastIndex here: encrypt_chunk never moves it past that.
    if (!seal_chunk(s, static_cast<std::uint32_t>(s.chunk_index), {}, {}, tag))
        return fail(VeloraError::InvalidParameter(kSealFailed));
    return marker;
}

Nonce StreamEncryptor::base_nonce() const noexcept { return state_ ? state_->base_nonce : Nonce{}; }
std::uint32_t StreamEncryptor::chunk_size() const noexcept { return state_ ? state_->chunk_size : 0; }
std::uint64_t StreamEncryptor::chunk_index() const noexcept { return state_ ? state_->chunk_index : 0; }

// ---- decryptor --------------------------------------------------------------

StreamDecryptor::StreamDecryptor(StreamState state) noexcept : state_(std::move(state)) {}

Result<void> StreamDecryptor::check_chunk(std::size_t ciphertext_len, std::size_t tag_len) const {
    if (!state_) return fail(VeloraError::InvalidParameter(kDecryptorFinalized));
    if (tag_len != kTagBytes) return fail(VeloraError::InvalidParameter(kTagSize));
    if (ciphertext_len > state_->chunk_size) return fail(VeloraError::InvalidParameter(kCiphertextTooLong));
    // Nothing authenticates after the EOF marker.
    if (state_->eof_seen) return fail(VeloraError::Decryption());
    // No sender emits a data frame at kLastIndex (it is kept for the EOF
    // marker); refusing one here also keeps the counter from wrapping.
    if (state_->chunk_index >= kLastIndex) return fail(VeloraError::Decryption());
    return {};
}

Result<void> StreamDecryptor::decrypt_chunk_into(std::span<const std::uint8_t> ciphertext,
                                                 std::span<const std::uint8_t> tag, std::span<std::uint8_t> out) {
    auto ok = check_chunk(ciphertext.size(), tag.size());
    if (!ok) return ok;
    if (out.size() != ciphertext.size()) return fail(VeloraError::InvalidParameter(kOutputSize));

    const auto i = static_cast<std::uint32_t>(state_->chunk_index);
    if (!open_chunk(*state_, i, ciphertext, tag.first<kTagBytes>(), out)) return fail(VeloraError::Decryption());
    state_->chunk_index = std::uint64_t{i} + 1;
    return {};
}

Result<std::vector<std::uint8_t>> StreamDecryptor::decrypt_chunk(std::span<const std::uint8_t> ciphertext,
                                                                 std::span<const std::uint8_t> tag) {
    auto ok = check_chunk(ciphertext.size(), tag.size());
    if (!ok) return fail(ok.error());
    std::vector<std::uint8_t> plaintext(ciphertext.size());
    auto done = decrypt_chunk_into(ciphertext, tag, plaintext);
    if (!done) return fail(done.error());
    return plaintext;
}

Result<void> StreamDecryptor::process_eof(std::span<const std::uint8_t> tag) {
    if (!state_) return fail(VeloraError::InvalidParameter(kDecryptorFinalized));
    if (tag.size() != kTagBytes) return fail(VeloraError::InvalidParameter(kTagSize));
    if (state_->eof_seen) return fail(VeloraError::Decryption());

    // Without an EOF marker seen the counter is at most kLastIndex
    // (check_chunk stops data there), so it still fits the nonce prefix.
    const auto i = static_cast<std::uint32_t>(state_->chunk_index);
    if (!open_chunk(*state_, i, {}, tag.first<kTagBytes>(), {})) return fail(VeloraError::Decryption());
    state_->eof_seen = true;
    state_->chunk_index = std::uint64_t{i} + 1;
    return {};
}

Result<void> StreamDecryptor::finalize() {
    if (!state_) return fail(VeloraError::InvalidParameter(kAlreadyFinalized));
    state_.reset();
    return {};
}

bool StreamDecryptor::eof_seen() const noexcept { return state_ && state_->eof_seen; }
std::uint32_t StreamDecryptor::chunk_size() const noexcept { return state_ ? state_->chunk_size : 0; }
std::uint64_t StreamDecryptor::chunk_index() const noexcept { return state_ ? state_->chunk_index : 0; }

}  // namespace velora::stream
