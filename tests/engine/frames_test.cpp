// Frames at any index (core/stream/frames): the same bytes as the stream
// encryptor's frames, opened at their indexes on one or several threads, and
// every layout or authentication failure releasing nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/stream/frames.hpp"
#include "core/stream/stream.hpp"

namespace {

using namespace velora;
using Bytes = std::vector<std::uint8_t>;

constexpr std::array<std::uint8_t, 32> kKey = {
    0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81,
    0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61, 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
constexpr stream::Nonce kBase = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};
constexpr std::uint32_t kChunk = 64;

Bytes plaintext(std::size_t n) {
    Bytes p(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return p;
}

// The stream encryptor's frames for `pt` in chunks of kChunk, and its EOF marker.
std::pair<Bytes, stream::EofMarker> stream_frames(const Bytes& pt) {
    auto key = kKey;
    auto state = stream::make_stream_state(key, kBase, kChunk);
    EXPECT_TRUE(state.has_value());
    stream::StreamEncryptor enc(std::move(*state));
    Bytes out;
    for (std::size_t at = 0; at < pt.size(); at += kChunk) {
        const std::size_t n = std::min<std::size_t>(kChunk, pt.size() - at);
        auto frame = enc.encrypt_chunk(std::span(pt).subspan(at, n));
        EXPECT_TRUE(frame.has_value());
        out.insert(out.end(), frame->begin(), frame->end());
    }
    auto eof = enc.finalize();
    EXPECT_TRUE(eof.has_value());
    return {out, *eof};
}

TEST(Frames, SealedBytesAreTheStreamEncryptorsAndOpenOnAnyThreadCount) {
    for (std::size_t size : {std::size_t{1}, std::size_t{kChunk}, std::size_t{kChunk + 1}, std::size_t{9 * kChunk + 5}}) {
        const Bytes pt = plaintext(size);
        const auto [expected, eof] = stream_frames(pt);
        const std::size_t frames = (size + kChunk - 1) / kChunk;
        for (unsigned threads : {1u, 3u}) {
            Bytes sealed(size + frames * stream::kFrameOverheadBytes);
            ASSERT_TRUE(frames::seal_frames(kKey, kBase, 0, kChunk, pt, sealed, threads).has_value());
            EXPECT_EQ(sealed, expected) << size;
            Bytes out(size + 5, 0xEE);
            auto n = frames::open_frames(kKey, kBase, 0, kChunk, expected, out, threads);
            ASSERT_TRUE(n.has_value());
            EXPECT_EQ(*n, size);
            EXPECT_TRUE(std::equal(pt.begin(), pt.end(), out.begin()));
        }
        auto marker = frames::end_marker(kKey, kBase, frames);
        ASSERT_TRUE(marker.has_value());
        EXPECT_EQ(*marker, eof);
        EXPECT_TRUE(frames::open_end_marker(kKey, kBase, frames, std::span(eof).subspan(4)).has_value());
        EXPECT_FALSE(frames::open_end_marker(kKey, kBase, frames + 1, std::span(eof).subspan(4)).has_value());
    }
}

TEST(Frames, ARunOpensOnlyAtItsOwnIndexes) {
    const Bytes pt = plaintext(6 * kChunk);
    const auto [all, eof] = stream_frames(pt);
    const std::size_t stride = kChunk + stream::kFrameOverheadBytes;
    const Bytes middle(all.begin() + 2 * stride, all.begin() + 4 * stride);  // frames 2 and 3
    Bytes out(2 * kChunk);
    auto n = frames::open_frames(kKey, kBase, 2, kChunk, middle, out, 2);
    ASSERT_TRUE(n.has_value());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), pt.begin() + 2 * kChunk));
    for (std::uint64_t wrong : {std::uint64_t{1}, std::uint64_t{3}}) {
        auto r = frames::open_frames(kKey, kBase, wrong, kChunk, middle, out, 2);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind, VeloraError::Kind::Decryption);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0; })) << "plaintext left";
    }
}

TEST(Frames, AFlippedByteFailsTheRunAndReleasesNothing) {
    const Bytes pt = plaintext(5 * kChunk + 9);
    const auto [all, eof] = stream_frames(pt);
    const std::size_t stride = kChunk + stream::kFrameOverheadBytes;
    for (std::size_t at : {std::size_t{4 + 10}, 3 * stride + 4 + kChunk + 3, all.size() - 1}) {  // ciphertext, a tag, the last tag
        Bytes bad = all;
        bad[at] ^= 0x01;
        Bytes out(pt.size(), 0xEE);
        auto r = frames::open_frames(kKey, kBase, 0, kChunk, bad, out, 4);
        ASSERT_FALSE(r.has_value()) << at;
        EXPECT_EQ(r.error().kind, VeloraError::Kind::Decryption);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0; })) << at;
    }
}

TEST(Frames, LayoutsNoWriterProducesAreRefusedBeforeAnyDecryption) {
    const Bytes pt = plaintext(3 * kChunk + 10);
    const auto [all, eof] = stream_frames(pt);
    const std::size_t stride = kChunk + stream::kFrameOverheadBytes;
    const Bytes short_first = stream_frames(plaintext(10)).first;
    Bytes short_then_full = short_first;
    short_then_full.insert(short_then_full.end(), all.begin(), all.begin() + stride);
    Bytes with_eof = all;
    with_eof.insert(with_eof.end(), eof.begin(), eof.end());
    const std::vector<Bytes> cases = {
        Bytes(all.begin(), all.end() - 1),    // cut inside the last frame
        Bytes(all.begin(), all.begin() + 5),  // a length field and one byte
        short_then_full,                      // a short frame before a full one
        with_eof,                             // an empty frame (the end marker) in the run
    };
    for (const Bytes& data : cases) {
        Bytes out(data.size());
        auto r = frames::open_frames(kKey, kBase, 0, kChunk, data, out, 1);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind, VeloraError::Kind::InvalidParameter);
    }
    Bytes small(10);
    auto r = frames::open_frames(kKey, kBase, 0, kChunk, all, small, 1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, frames::kOutputSize);
    EXPECT_FALSE(frames::open_frames(kKey, kBase, 0, kChunk / 2, all, small, 1).has_value());  // len > chunk size
}

TEST(Frames, TheCounterEndIsTheStreams) {
    const Bytes pt = plaintext(2 * kChunk);
    Bytes sealed(pt.size() + 2 * stream::kFrameOverheadBytes);
    // Data frames use indexes up to 2^32 - 2; only an end marker may use 2^32 - 1.
    EXPECT_TRUE(frames::seal_frames(kKey, kBase, stream::kLastIndex - 2, kChunk, pt, sealed, 1).has_value());
    EXPECT_FALSE(frames::seal_frames(kKey, kBase, stream::kLastIndex - 1, kChunk, pt, sealed, 1).has_value());
    EXPECT_TRUE(frames::end_marker(kKey, kBase, stream::kLastIndex).has_value());
    EXPECT_FALSE(frames::end_marker(kKey, kBase, stream::kLastIndex + 1).has_value());
    EXPECT_FALSE(frames::seal_frames(kKey, kBase, 0, kChunk, {}, sealed, 1).has_value());  // no empty data frame
}

}  // namespace
