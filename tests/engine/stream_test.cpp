// Stream engine: the nonce rule, frame layout, the counter's upper end and
// the "a failure changes nothing" rule of both state machines.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/mlkem/keygen.hpp"
#include "core/stream/stream.hpp"
#include "primitives/aes_gcm.hpp"

namespace {

using namespace velora;
using stream::StreamDecryptor;
using stream::StreamEncryptor;

using Bytes = std::vector<std::uint8_t>;

constexpr std::array<std::uint8_t, 32> kKey = {
    0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81,
    0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61, 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
constexpr stream::Nonce kBase = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};

stream::StreamState state_at(std::uint64_t index, std::uint32_t chunk_size = 64) {
    auto key = kKey;
    auto s = stream::make_stream_state(key, kBase, chunk_size);
    EXPECT_TRUE(s.has_value());
    EXPECT_TRUE(std::all_of(key.begin(), key.end(), [](std::uint8_t b) { return b == 0; })) << "key not wiped";
    s->chunk_index = index;
    return std::move(*s);
}

// Opens a frame with the bare primitive, the nonce and AAD written out by
// hand from the rule: BE32(i) || base[4..12), AAD BE32(i).
bool opens_at(const Bytes& frame, std::uint32_t i, Bytes* plaintext) {
    const std::uint8_t be[4] = {std::uint8_t(i >> 24), std::uint8_t(i >> 16), std::uint8_t(i >> 8), std::uint8_t(i)};
    std::array<std::uint8_t, 12> nonce = {be[0], be[1], be[2], be[3], 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};
    const std::size_t len = (std::size_t{frame[0]} << 24) | (std::size_t{frame[1]} << 16) |
                            (std::size_t{frame[2]} << 8) | frame[3];
    if (frame.size() != len + 20) return false;
    auto gcm = primitives::Aes256Gcm::create(kKey);
    plaintext->assign(len, 0);
    std::span<const std::uint8_t> f(frame);
    return gcm->open(nonce, std::span<const std::uint8_t>(be, 4), f.subspan(4, len), f.subspan(4 + len).first<16>(),
                     *plaintext);
}

TEST(StreamNonce, WorkedExample) {
    const stream::Nonce expected = {0x00, 0x00, 0x00, 0x05, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};
    EXPECT_EQ(stream::chunk_nonce(kBase, 5), expected);
    EXPECT_EQ(stream::chunk_aad(5), (std::array<std::uint8_t, 4>{0x00, 0x00, 0x00, 0x05}));
    // Bytes 0..3 are replaced, not XORed.
    const stream::Nonce high = {0xDE, 0xAD, 0xBE, 0xEF, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};
    EXPECT_EQ(stream::chunk_nonce(kBase, 0xDEADBEEF), high);
}

TEST(StreamEncryptor, FramesFollowTheNonceRuleAndLayout) {
    StreamEncryptor enc(state_at(0));
    const Bytes chunks[] = {Bytes(64, 0x41), Bytes{0}, Bytes{1, 2, 3}};
    for (std::uint32_t i = 0; i < 3; ++i) {
        auto frame = enc.encrypt_chunk(chunks[i]);
        ASSERT_TRUE(frame.has_value());
        Bytes pt;
        ASSERT_TRUE(opens_at(*frame, i, &pt)) << "frame " << i;
        EXPECT_EQ(pt, chunks[i]);
        EXPECT_FALSE(opens_at(*frame, i + 1, &pt)) << "frame " << i << " opened at the wrong index";
        EXPECT_EQ(enc.chunk_index(), i + 1);
    }
    auto eof = enc.finalize();
    ASSERT_TRUE(eof.has_value());
    const Bytes marker(eof->begin(), eof->end());
    EXPECT_EQ(Bytes(marker.begin(), marker.begin() + 4), Bytes(4, 0));
    Bytes pt;
    EXPECT_TRUE(opens_at(marker, 3, &pt));
    EXPECT_FALSE(enc.is_open());
    EXPECT_EQ(enc.base_nonce(), stream::Nonce{});
    EXPECT_EQ(enc.chunk_size(), 0u);
    EXPECT_EQ(enc.chunk_index(), 0u);
}

TEST(StreamEncryptor, OversizedChunkChangesNothing) {
    StreamEncryptor enc(state_at(7, 16));
    auto r = enc.encrypt_chunk(Bytes(17, 0));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), VeloraError::InvalidParameter(stream::kPlaintextTooLong));
    EXPECT_EQ(enc.chunk_index(), 7u);
    auto ok = enc.encrypt_chunk(Bytes(16, 0));
    ASSERT_TRUE(ok.has_value());
    Bytes pt;
    EXPECT_TRUE(opens_at(*ok, 7, &pt));
}

TEST(StreamEncryptor, LastIndexIsKeptForTheEofMarker) {
    StreamEncryptor enc(state_at(stream::kLastIndex - 1));
    auto last_data = enc.encrypt_chunk(Bytes{9});
    ASSERT_TRUE(last_data.has_value());
    Bytes pt;
    EXPECT_TRUE(opens_at(*last_data, 0xFFFFFFFE, &pt));
    EXPECT_EQ(enc.chunk_index(), stream::kLastIndex);

    for (const Bytes& chunk : {Bytes{9}, Bytes(16, 7)}) {
        auto refused = enc.encrypt_chunk(chunk);
        ASSERT_FALSE(refused.has_value());
        // The literal text: Python cannot reach this state (2^32 - 1 frames), so
        // no other test reads the message.
        EXPECT_EQ(refused.error(), VeloraError::InvalidParameter(
                                       "stream chunk counter exhausted: at most 4294967295 data chunks per stream"));
        EXPECT_EQ(enc.chunk_index(), stream::kLastIndex);
    }
    auto eof = enc.finalize();
    ASSERT_TRUE(eof.has_value());
    EXPECT_TRUE(opens_at(Bytes(eof->begin(), eof->end()), 0xFFFFFFFF, &pt));
}

TEST(StreamEncryptor, EmptyChunkIsRefusedAndLeavesTheCounter) {
    // Its frame would be exactly the EOF marker at the same index.
    StreamEncryptor enc(state_at(5));
    auto refused = enc.encrypt_chunk(Bytes{});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), VeloraError::InvalidParameter(stream::kEmptyPlaintext));
    EXPECT_EQ(enc.chunk_index(), 5u);
    auto frame = enc.encrypt_chunk(Bytes{1});
    ASSERT_TRUE(frame.has_value());
    Bytes pt;
    EXPECT_TRUE(opens_at(*frame, 5, &pt));
}

TEST(StreamDecryptor, LastIndexAcceptsOnlyTheEofMarkerAndNeverWraps) {
    StreamEncryptor enc(state_at(stream::kLastIndex - 1));
    StreamDecryptor dec(state_at(stream::kLastIndex - 1));
    auto frame = enc.encrypt_chunk(Bytes{1, 2});
    auto eof = enc.finalize();
    ASSERT_TRUE(frame.has_value() && eof.has_value());

    std::span<const std::uint8_t> f(*frame);
    auto pt = dec.decrypt_chunk(f.subspan(4, 2), f.subspan(6));
    ASSERT_TRUE(pt.has_value());
    EXPECT_EQ(*pt, (Bytes{1, 2}));
    EXPECT_EQ(dec.chunk_index(), stream::kLastIndex);

    // The EOF marker's tag as an empty data chunk at the last index: refused.
    std::span<const std::uint8_t> eof_tag = std::span<const std::uint8_t>(*eof).subspan(4);
    auto data_at_last = dec.decrypt_chunk({}, eof_tag);
    ASSERT_FALSE(data_at_last.has_value());
    EXPECT_EQ(data_at_last.error(), VeloraError::Decryption());
    EXPECT_EQ(dec.chunk_index(), stream::kLastIndex);

    ASSERT_TRUE(dec.process_eof(eof_tag).has_value());
    EXPECT_TRUE(dec.eof_seen());
    EXPECT_EQ(dec.chunk_index(), stream::kLastIndex + 1);  // counted, not wrapped to 0

    EXPECT_EQ(dec.decrypt_chunk({}, eof_tag).error(), VeloraError::Decryption());
    EXPECT_EQ(dec.process_eof(eof_tag).error(), VeloraError::Decryption());
    EXPECT_EQ(dec.chunk_index(), stream::kLastIndex + 1);
}

TEST(StreamDecryptor, FailedChunkChangesNothingAndReleasesNoPlaintext) {
    StreamEncryptor enc(state_at(0));
    StreamDecryptor dec(state_at(0));
    auto f0 = enc.encrypt_chunk(Bytes(32, 0x5A));
    auto f1 = enc.encrypt_chunk(Bytes(32, 0xA5));
    ASSERT_TRUE(f0.has_value() && f1.has_value());
    auto ct = [](const Bytes& f) { return std::span<const std::uint8_t>(f).subspan(4, f.size() - 20); };
    auto tag = [](const Bytes& f) { return std::span<const std::uint8_t>(f).last(16); };

    Bytes tampered = *f0;
    tampered[10] ^= 0x80;
    const Bytes* wrong[] = {&*f1, &tampered};  // out of order, then altered
    for (const Bytes* f : wrong) {
        Bytes out(32, 0xCC);
        auto r = dec.decrypt_chunk_into(ct(*f), tag(*f), out);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), VeloraError::Decryption());
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0; }));
        EXPECT_EQ(dec.chunk_index(), 0u);
        EXPECT_FALSE(dec.eof_seen());
    }
    // The EOF marker of a later index does not close the stream early.
    EXPECT_EQ(dec.process_eof(tag(*f0)).error(), VeloraError::Decryption());
    EXPECT_FALSE(dec.eof_seen());

    Bytes out(32);
    ASSERT_TRUE(dec.decrypt_chunk_into(ct(*f0), tag(*f0), out).has_value());
    EXPECT_EQ(out, Bytes(32, 0x5A));
    ASSERT_TRUE(dec.decrypt_chunk_into(ct(*f1), tag(*f1), out).has_value());
    EXPECT_EQ(out, Bytes(32, 0xA5));
    EXPECT_EQ(dec.chunk_index(), 2u);
}

TEST(StreamSetup, HeaderRoundTripAtEveryLevel) {
    for (mlkem::LevelIndex level = 0; level < 3; ++level) {
        SCOPED_TRACE(int(level));
        std::array<std::uint8_t, 32> d{}, z{};
        d.fill(level);
        const auto keys = mlkem::ml_kem_keygen(d, z, level);
        auto setup = stream::stream_encryptor_new(keys.ek, 0x00012345, level);
        ASSERT_TRUE(setup.has_value());
        const Bytes& header = setup->header;
        ASSERT_EQ(header.size(), stream::header_size(level));
        const std::size_t c = mlkem::capsule_size(level);
        EXPECT_EQ(Bytes(header.end() - 4, header.end()), (Bytes{0x00, 0x01, 0x23, 0x45}));
        const auto nonce = setup->encryptor.base_nonce();
        EXPECT_TRUE(std::equal(nonce.begin(), nonce.end(), header.begin() + static_cast<std::ptrdiff_t>(c)));

        auto frame = setup->encryptor.encrypt_chunk(Bytes{7, 7, 7});
        ASSERT_TRUE(frame.has_value());
        auto dec = stream::stream_decryptor_from_header(header, keys.dk, level);
        ASSERT_TRUE(dec.has_value());
        EXPECT_EQ(dec->chunk_size(), 0x00012345u);
        std::span<const std::uint8_t> f(*frame);
        auto pt = dec->decrypt_chunk(f.subspan(4, 3), f.subspan(7));
        ASSERT_TRUE(pt.has_value());
        EXPECT_EQ(*pt, (Bytes{7, 7, 7}));
    }
}

}  // namespace
