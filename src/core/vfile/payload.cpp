// AES-256-GCM chunks of the version 2 velora file payload.
#include "core/vfile/payload.hpp"

#include <algorithm>
#include <array>

#include "platform/ct.hpp"
#include "primitives/aes_gcm.hpp"

namespace velora::vfile {

namespace {

using primitives::Aes256Gcm;

std::array<std::uint8_t, Aes256Gcm::kNonceBytes> chunk_nonce(std::uint64_t index, bool last) noexcept {
    std::array<std::uint8_t, Aes256Gcm::kNonceBytes> n{};
    for (std::size_t i = 0; i < 8; ++i) n[10 - i] = static_cast<std::uint8_t>(index >> (8 * i));
    n[11] = last ? 1 : 0;
    return n;
}

bool chunk_size_ok(std::size_t chunk_bytes) noexcept {
    return chunk_bytes >= kMinChunkBytes && chunk_bytes <= kMaxChunkBytes;
}

}  // namespace

Result<void> seal_chunks(std::span<const std::uint8_t, kKeyBytes> key, std::size_t chunk_bytes,
                         std::uint64_t counter, std::span<const std::uint8_t> plaintext, bool final,
                         std::span<std::uint8_t> out) {
    if (!chunk_size_ok(chunk_bytes)) return fail(VeloraError::InvalidParameter(kChunkSize));
    if (!final && plaintext.size() % chunk_bytes != 0) return fail(VeloraError::InvalidParameter(kPayloadLayout));
    if (final && plaintext.empty() && counter != 0) return fail(VeloraError::InvalidParameter(kPayloadLayout));
    if (out.size() != sealed_size(chunk_bytes, plaintext.size(), final)) {
        return fail(VeloraError::InvalidParameter(kOutputSize));
    }
    auto aead = Aes256Gcm::create(key);
    if (!aead) return fail(VeloraError::InvalidParameter(kLibraryFailure));
    const std::size_t chunks = (out.size() - plaintext.size()) / kTagBytes;
    for (std::size_t i = 0; i < chunks; ++i) {
        const std::size_t in_pos = i * chunk_bytes, out_pos = i * (chunk_bytes + kTagBytes);
        const std::size_t n = std::min(chunk_bytes, plaintext.size() - in_pos);
        const auto nonce = chunk_nonce(counter + i, final && i + 1 == chunks);
        if (!aead->seal(nonce, {}, plaintext.subspan(in_pos, n), out.subspan(out_pos, n),
                        out.subspan(out_pos + n).first<kTagBytes>())) {
            return fail(VeloraError::InvalidParameter(kLibraryFailure));
        }
    }
    return {};
}

Result<Opened> open_chunks(std::span<const std::uint8_t, kKeyBytes> key, std::size_t chunk_bytes,
                           std::uint64_t counter, std::span<const std::uint8_t> ciphertext, bool at_end,
                           std::span<std::uint8_t> out) {
    if (!chunk_size_ok(chunk_bytes)) return fail(VeloraError::InvalidParameter(kChunkSize));
    const std::size_t sealed = chunk_bytes + kTagBytes;
    if (!at_end && ciphertext.size() % sealed != 0) return fail(VeloraError::InvalidParameter(kPayloadLayout));
    if (out.size() < opened_size(chunk_bytes, ciphertext.size())) {
        return fail(VeloraError::InvalidParameter(kOutputSize));
    }
    auto aead = Aes256Gcm::create(key);
    if (!aead) return fail(VeloraError::InvalidParameter(kLibraryFailure));
    const std::size_t chunks = (ciphertext.size() + sealed - 1) / sealed;
    Opened result;
    result.ok = !at_end;  // at the end, the data must not stop without the last chunk
    for (std::size_t i = 0; i < chunks; ++i) {
        const std::size_t in_pos = i * sealed;
        const std::size_t n = std::min(sealed, ciphertext.size() - in_pos);
        if (n < kTagBytes || (n == kTagBytes && counter + i != 0)) {
            result.ok = false;
            break;
        }
        const std::size_t m = n - kTagBytes;
        const auto ct = ciphertext.subspan(in_pos, m);
        const std::span<const std::uint8_t, kTagBytes> tag = ciphertext.subspan(in_pos + m).first<kTagBytes>();
        const std::span<std::uint8_t> pt = out.subspan(i * chunk_bytes, m);
        bool last = false;
        if (n == sealed && aead->open(chunk_nonce(counter + i, false), {}, ct, tag, pt)) {
            last = false;
        } else if (aead->open(chunk_nonce(counter + i, true), {}, ct, tag, pt)) {
            last = true;
        } else {
            result.ok = false;
            break;
        }
        result.written += m;
        if (last) {
            result.finished = true;
            result.ok = at_end && i + 1 == chunks;  // nothing may follow the last chunk
            break;
        }
    }
    secure_zero(out.data() + result.written, out.size() - result.written);
    return result;
}

}  // namespace velora::vfile
