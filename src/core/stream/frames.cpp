// Frames of a velora stream at any index (core/frames.hpp).
#include "core/stream/frames.hpp"

#include <atomic>
#include <vector>

#include "platform/parallel.hpp"
#include "platform/ct.hpp"
#include "primitives/aes_gcm.hpp"

namespace velora::frames {

namespace {

using primitives::Aes256Gcm;
using ByteView = std::span<const std::uint8_t>;
using stream::kFrameOverheadBytes;
using stream::kLengthBytes;
using stream::kTagBytes;

std::uint32_t load_be32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

bool chunk_size_ok(std::uint32_t chunk_size) { return chunk_size >= 1 && chunk_size <= stream::kMaxChunkSize; }

// Data frames use indexes up to kLastIndex - 1 (core/stream.hpp).
bool data_indexes_ok(std::uint64_t first, std::size_t count) {
    return first <= stream::kLastIndex && count <= stream::kLastIndex - first;
}

Result<Aes256Gcm> cipher_for(std::span<const std::uint8_t, 32> key) {
    auto cipher = Aes256Gcm::create(key);
    if (!cipher) return fail(VeloraError::InvalidParameter(kKeySetup));
    return std::move(*cipher);
}

}  // namespace

Result<std::size_t> frames_plaintext_size(ByteView data, std::uint32_t chunk_size) {
    if (!chunk_size_ok(chunk_size)) return fail(VeloraError::InvalidParameter(kChunkSize));
    const std::size_t stride = std::size_t{chunk_size} + kFrameOverheadBytes;
    std::size_t at = 0, plaintext = 0;
    while (at < data.size()) {
        if (data.size() - at < kFrameOverheadBytes) return fail(VeloraError::InvalidParameter(kLayout));
        const std::uint32_t len = load_be32(data.data() + at);
        const std::size_t frame = std::size_t{len} + kFrameOverheadBytes;
        const bool last = data.size() - at == frame;
        // A full frame anywhere; a shorter, non-empty one only at the end.
        if (len == 0 || len > chunk_size || (!last && frame != stride) || data.size() - at < frame) {
            return fail(VeloraError::InvalidParameter(kLayout));
        }
        plaintext += len;
        at += frame;
    }
    return plaintext;
}

Result<std::size_t> open_frames(std::span<const std::uint8_t, 32> key, const stream::Nonce& base_nonce,
                                std::uint64_t first, std::uint32_t chunk_size, ByteView data,
                                std::span<std::uint8_t> out, unsigned threads) {
    auto size = frames_plaintext_size(data, chunk_size);
    if (!size) return fail(size.error());
    if (out.size() < *size) return fail(VeloraError::InvalidParameter(kOutputSize));
    const std::size_t stride = std::size_t{chunk_size} + kFrameOverheadBytes;
    const std::size_t count = (data.size() + stride - 1) / stride;
    if (!data_indexes_ok(first, count)) return fail(VeloraError::InvalidParameter(kIndexRange));
    auto cipher = cipher_for(key);
    if (!cipher) return fail(cipher.error());
    std::atomic<bool> failed{false};
    parallel_for(count, threads, [&](std::size_t i) {
        const std::size_t at = i * stride;
        const std::size_t len = load_be32(data.data() + at);
        const auto index = static_cast<std::uint32_t>(first + i);
        const auto nonce = stream::chunk_nonce(base_nonce, index);
        const auto aad = stream::chunk_aad(index);
        const ByteView ct = data.subspan(at + kLengthBytes, len);
        const auto tag = data.subspan(at + kLengthBytes + len).first<kTagBytes>();
        if (!cipher->open(nonce, aad, ct, tag, out.subspan(i * std::size_t{chunk_size}, len))) {
            failed.store(true, std::memory_order_relaxed);
        }
    });
    if (failed.load()) {
        secure_zero(out.data(), *size);  // no frame's plaintext is released when one fails
        return fail(VeloraError::Decryption());
    }
    return *size;
}

Result<void> seal_frames(std::span<const std::uint8_t, 32> key, const stream::Nonce& base_nonce,
                         std::uint64_t first, std::uint32_t chunk_size, ByteView plaintext,
                         std::span<std::uint8_t> out, unsigned threads) {
    if (!chunk_size_ok(chunk_size)) return fail(VeloraError::InvalidParameter(kChunkSize));
    if (plaintext.empty()) return fail(VeloraError::InvalidParameter(stream::kEmptyPlaintext));
    const std::size_t count = (plaintext.size() + chunk_size - 1) / chunk_size;
    if (out.size() != plaintext.size() + count * kFrameOverheadBytes) {
        return fail(VeloraError::InvalidParameter(kOutputSize));
    }
    if (!data_indexes_ok(first, count)) return fail(VeloraError::InvalidParameter(kIndexRange));
    auto cipher = cipher_for(key);
    if (!cipher) return fail(cipher.error());
    const std::size_t stride = std::size_t{chunk_size} + kFrameOverheadBytes;
    std::atomic<bool> failed{false};
    parallel_for(count, threads, [&](std::size_t i) {
        const std::size_t in = i * std::size_t{chunk_size}, at = i * stride;
        const std::size_t len = std::min<std::size_t>(chunk_size, plaintext.size() - in);
        const auto index = static_cast<std::uint32_t>(first + i);
        store_be32(out.data() + at, static_cast<std::uint32_t>(len));
        const auto nonce = stream::chunk_nonce(base_nonce, index);
        const auto aad = stream::chunk_aad(index);
        if (!cipher->seal(nonce, aad, plaintext.subspan(in, len), out.subspan(at + kLengthBytes, len),
                          out.subspan(at + kLengthBytes + len).first<kTagBytes>())) {
            failed.store(true, std::memory_order_relaxed);
        }
    });
    if (failed.load()) return fail(VeloraError::InvalidParameter(kKeySetup));
    return {};
}

Result<stream::EofMarker> end_marker(std::span<const std::uint8_t, 32> key, const stream::Nonce& base_nonce,
                                     std::uint64_t index) {
    if (index > stream::kLastIndex) return fail(VeloraError::InvalidParameter(kIndexRange));
    auto cipher = cipher_for(key);
    if (!cipher) return fail(cipher.error());
    stream::EofMarker marker{};
    const auto i = static_cast<std::uint32_t>(index);
    if (!cipher->seal(stream::chunk_nonce(base_nonce, i), stream::chunk_aad(i), {}, {},
                      std::span(marker).subspan<kLengthBytes, kTagBytes>())) {
        return fail(VeloraError::InvalidParameter(kKeySetup));
    }
    return marker;
}

Result<void> open_end_marker(std::span<const std::uint8_t, 32> key, const stream::Nonce& base_nonce,
                             std::uint64_t index, ByteView tag) {
    if (index > stream::kLastIndex) return fail(VeloraError::InvalidParameter(kIndexRange));
    if (tag.size() != kTagBytes) return fail(VeloraError::InvalidParameter(stream::kTagSize));
    auto cipher = cipher_for(key);
    if (!cipher) return fail(cipher.error());
    const auto i = static_cast<std::uint32_t>(index);
    if (!cipher->open(stream::chunk_nonce(base_nonce, i), stream::chunk_aad(i), {}, tag.first<kTagBytes>(), {})) {
        return fail(VeloraError::Decryption());
    }
    return {};
}

}  // namespace velora::frames
