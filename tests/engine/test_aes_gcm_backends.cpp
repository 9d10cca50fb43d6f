// The two AES-256-GCM backends (libcrypto, ipsec-mb) behind Aes256Gcm: each
// matches the McGrew-Viega vectors, both give identical bytes on random
// inputs and open each other's output, and both refuse altered messages with
// a zeroed output. A backend this build or CPU lacks is skipped, not faked.
#include "primitives/aes_gcm_backend.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "hex.hpp"
#include "reserved_memory.hpp"

namespace vp = velora::primitives;
using vp::AesGcmBackend;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Key = std::array<std::uint8_t, vp::Aes256Gcm::kKeyBytes>;
using Nonce = std::array<std::uint8_t, vp::Aes256Gcm::kNonceBytes>;
using Tag = std::array<std::uint8_t, vp::Aes256Gcm::kTagBytes>;

constexpr AesGcmBackend kBackends[] = {AesGcmBackend::OpenSsl, AesGcmBackend::IpsecMb};

using velora::testing::all_zero;
using velora::testing::array_from_hex;
using velora::testing::from_hex;

Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

template <class A>
A random_array(std::mt19937_64& rng) {
    A a{};
    for (auto& x : a) x = static_cast<std::uint8_t>(rng());
    return a;
}

std::string backend_label(const ::testing::TestParamInfo<AesGcmBackend>& info) {
    return info.param == AesGcmBackend::IpsecMb ? "IpsecMb" : "OpenSsl";
}

void skip_if_unavailable(AesGcmBackend b) {
    if (!vp::aes_gcm_backend_available(b))
        GTEST_SKIP() << vp::aes_gcm_backend_name(b) << " is not available in this build or on this CPU";
}

// ---------------------------------------------------------------- per backend

class GcmBackend : public ::testing::TestWithParam<AesGcmBackend> {
protected:
    void SetUp() override { skip_if_unavailable(GetParam()); }
    std::optional<vp::Aes256Gcm> make(const Key& key) const { return vp::create_with(GetParam(), key); }
};

// McGrew-Viega test cases 15 (no aad, 64 bytes) and 16 (20-byte aad, 60 bytes):
// out of place and in place.
TEST_P(GcmBackend, KnownAnswers) {
    const Key key =
        array_from_hex<vp::Aes256Gcm::kKeyBytes>("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
    const Nonce nonce = array_from_hex<vp::Aes256Gcm::kNonceBytes>("cafebabefacedbaddecaf888");
    const Bytes pt = from_hex(
        "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255");
    const Bytes ct = from_hex(
        "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad");
    struct Case {
        Bytes aad;
        std::size_t len;
        std::string_view tag;
    };
    const Case cases[] = {{{}, 64, "b094dac5d93471bdec1a502270e3cc6c"},
                          {from_hex("feedfacedeadbeeffeedfacedeadbeefabaddad2"), 60, "76fc6ece0f4e1768cddf8853bb2d551b"}};
    const auto gcm = make(key);
    ASSERT_TRUE(gcm);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.len);
        const Bytes p(pt.begin(), pt.begin() + static_cast<std::ptrdiff_t>(c.len));
        const Bytes want(ct.begin(), ct.begin() + static_cast<std::ptrdiff_t>(c.len));
        const Tag want_tag = array_from_hex<vp::Aes256Gcm::kTagBytes>(c.tag);

        Bytes out(c.len);
        Tag tag{};
        ASSERT_TRUE(gcm->seal(nonce, c.aad, p, out, tag));
        EXPECT_EQ(out, want);
        EXPECT_EQ(tag, want_tag);

        Bytes buf = p;  // in place
        Tag tag2{};
        ASSERT_TRUE(gcm->seal(nonce, c.aad, buf, buf, tag2));
        EXPECT_EQ(buf, want);
        EXPECT_EQ(tag2, want_tag);
        ASSERT_TRUE(gcm->open(nonce, c.aad, buf, tag2, buf));
        EXPECT_EQ(buf, p);
    }
}

// An altered nonce, aad, ciphertext or tag fails and leaves only zeros in
// the output, out of place and in place, at lengths around block boundaries.
TEST_P(GcmBackend, RefusesAlteredMessagesWithZeroedOutput) {
    std::mt19937_64 rng(0x7e57);
    const Key key = random_array<Key>(rng);
    const auto gcm = make(key);
    ASSERT_TRUE(gcm);
    enum What { NonceBit, AadBit, AadDropped, CtFirst, CtLast, TagFirst, TagLast };
    for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{16}, std::size_t{17}, std::size_t{4099}}) {
        const Nonce nonce = random_array<Nonce>(rng);
        const Bytes aad = random_bytes(rng, 13), pt = random_bytes(rng, len);
        Bytes ct(len);
        Tag tag{};
        ASSERT_TRUE(gcm->seal(nonce, aad, pt, ct, tag));
        for (What w : {NonceBit, AadBit, AadDropped, CtFirst, CtLast, TagFirst, TagLast}) {
            if ((w == CtFirst || w == CtLast) && len == 0) continue;
            SCOPED_TRACE(testing::Message() << "len " << len << " change " << w);
            Nonce n = nonce;
            Bytes a = aad, x = ct;
            Tag t = tag;
            switch (w) {
                case NonceBit: n[11] ^= 1; break;
                case AadBit: a[0] ^= 0x40; break;
                case AadDropped: a.pop_back(); break;
                case CtFirst: x[0] ^= 1; break;
                case CtLast: x[len - 1] ^= 0x80; break;
                case TagFirst: t[0] ^= 1; break;
                case TagLast: t[15] ^= 0x80; break;
            }
            Bytes out(len, 0xAA);
            EXPECT_FALSE(gcm->open(n, a, x, t, out));
            EXPECT_TRUE(all_zero(out));
            EXPECT_FALSE(gcm->open(n, a, x, t, x));  // in place
            EXPECT_TRUE(all_zero(x));
        }
        Bytes back(len, 0xAA);
        EXPECT_TRUE(gcm->open(nonce, aad, ct, tag, back));
        EXPECT_EQ(back, pt);
    }
}

// Beyond 2^36 - 32 bytes both calls fail before touching either buffer (the
// mapping is inaccessible, so any access would crash the test); mismatched
// lengths fail too.
TEST_P(GcmBackend, LengthContract) {
    const velora::testing::InaccessibleBytes reserved(vp::Aes256Gcm::kMaxPlaintextBytes + 1);
    ASSERT_TRUE(reserved.mapped());
    const std::span<std::uint8_t> huge = reserved.span();
    const auto gcm = make(Key{});
    ASSERT_TRUE(gcm);
    const Nonce nonce{};
    Tag tag{};
    EXPECT_FALSE(gcm->seal(nonce, {}, huge, huge, tag));
    EXPECT_FALSE(gcm->open(nonce, {}, huge, tag, huge));

    Bytes a(32), b(31);
    EXPECT_FALSE(gcm->seal(nonce, {}, a, b, tag));
    EXPECT_FALSE(gcm->open(nonce, {}, b, tag, a));
}

// One object, several threads, different messages at once.
TEST_P(GcmBackend, ConcurrentUseOfOneObject) {
    std::mt19937_64 rng(42);
    const auto gcm = make(random_array<Key>(rng));
    ASSERT_TRUE(gcm);
    // Expected results computed on this thread first.
    struct Msg {
        Nonce nonce;
        Bytes aad, pt, ct;
        Tag tag;
    };
    std::vector<Msg> msgs(4);
    for (std::size_t i = 0; i < msgs.size(); ++i) {
        Msg& m = msgs[i];
        m.nonce = random_array<Nonce>(rng);
        m.aad = random_bytes(rng, i);
        m.pt = random_bytes(rng, 1000 + 517 * i);
        m.ct.resize(m.pt.size());
        ASSERT_TRUE(gcm->seal(m.nonce, m.aad, m.pt, m.ct, m.tag));
    }
    std::array<bool, 4> ok{};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < ok.size(); ++t) {
        threads.emplace_back([&, t] {
            const Msg& m = msgs[t];
            bool good = true;
            for (int i = 0; i < 500 && good; ++i) {
                Bytes ct(m.pt.size()), back(m.pt.size());
                Tag tag{};
                good = gcm->seal(m.nonce, m.aad, m.pt, ct, tag) && ct == m.ct && tag == m.tag &&
                       gcm->open(m.nonce, m.aad, ct, tag, back) && back == m.pt;
            }
            ok[t] = good;
        });
    }
    for (auto& th : threads) th.join();
    for (bool b : ok) EXPECT_TRUE(b);
}

INSTANTIATE_TEST_SUITE_P(Backends, GcmBackend, ::testing::ValuesIn(kBackends), backend_label);

// ---------------------------------------------------------------- across backends

class GcmAcrossBackends : public ::testing::Test {
protected:
    void SetUp() override {
        for (AesGcmBackend b : kBackends) skip_if_unavailable(b);
    }
};

// Random keys, nonces, aad and plaintexts: both backends produce the same
// ciphertext and tag, each opens the other's output, and sealing in place
// gives the same bytes as out of place.
TEST_F(GcmAcrossBackends, IdenticalOutputAndMutualOpening) {
    std::mt19937_64 rng(20240611);
    const std::size_t lengths[] = {0, 1, 15, 16, 17, 63, 64, 255, 256, 257, 4096 + 3, 65536 + 1, std::size_t{1} << 20};
    const std::size_t aad_lengths[] = {0, 1, 4, 16, 17, 100};
    std::size_t round = 0;
    for (std::size_t len : lengths) {
        for (int rep = 0; rep < 2; ++rep, ++round) {
            const std::size_t aad_len = aad_lengths[round % std::size(aad_lengths)];
            SCOPED_TRACE(testing::Message() << "len " << len << " aad " << aad_len);
            const Key key = random_array<Key>(rng);
            const Nonce nonce = random_array<Nonce>(rng);
            const Bytes aad = random_bytes(rng, aad_len), pt = random_bytes(rng, len);
            const auto ossl = vp::create_with(AesGcmBackend::OpenSsl, key);
            const auto imb = vp::create_with(AesGcmBackend::IpsecMb, key);
            ASSERT_TRUE(ossl && imb);

            Bytes ct_ossl(len), ct_imb(len);
            Tag tag_ossl{}, tag_imb{};
            ASSERT_TRUE(ossl->seal(nonce, aad, pt, ct_ossl, tag_ossl));
            ASSERT_TRUE(imb->seal(nonce, aad, pt, ct_imb, tag_imb));
            ASSERT_EQ(ct_imb, ct_ossl);
            ASSERT_EQ(tag_imb, tag_ossl);
            if (len > 0) {
                EXPECT_NE(ct_imb, pt);
            }

            Bytes buf = pt;
            Tag tag_in_place{};
            ASSERT_TRUE(imb->seal(nonce, aad, buf, buf, tag_in_place));
            EXPECT_EQ(buf, ct_ossl);
            EXPECT_EQ(tag_in_place, tag_ossl);

            Bytes back(len, 0xAA);
            ASSERT_TRUE(ossl->open(nonce, aad, ct_imb, tag_imb, back));
            EXPECT_EQ(back, pt);
            ASSERT_TRUE(imb->open(nonce, aad, buf, tag_ossl, buf));  // in place
            EXPECT_EQ(buf, pt);
        }
    }
}

// The same forgery is refused by both, with the same zeroed output.
TEST_F(GcmAcrossBackends, BothRefuseTheOthersForgedTag) {
    std::mt19937_64 rng(99);
    const Key key = random_array<Key>(rng);
    const Nonce nonce = random_array<Nonce>(rng);
    const Bytes pt = random_bytes(rng, 4096 + 3), aad = random_bytes(rng, 4);
    const auto ossl = vp::create_with(AesGcmBackend::OpenSsl, key);
    const auto imb = vp::create_with(AesGcmBackend::IpsecMb, key);
    ASSERT_TRUE(ossl && imb);
    Bytes ct(pt.size());
    Tag tag{};
    ASSERT_TRUE(ossl->seal(nonce, aad, pt, ct, tag));
    for (std::size_t bit = 0; bit < 128; bit += 9) {
        Tag bad = tag;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        for (const auto* gcm : {&*ossl, &*imb}) {
            Bytes out(pt.size(), 0x5C);
            EXPECT_FALSE(gcm->open(nonce, aad, ct, bad, out));
            EXPECT_TRUE(all_zero(out));
        }
    }
}

TEST(GcmDefaultBackend, IsAvailableAndNamed) {
    const AesGcmBackend b = vp::aes_gcm_default_backend();
    EXPECT_TRUE(vp::aes_gcm_backend_available(b));
    // Unavailable backends are refused, never replaced by another one.
    for (AesGcmBackend x : kBackends) {
        EXPECT_EQ(vp::create_with(x, Key{}).has_value(), vp::aes_gcm_backend_available(x))
            << vp::aes_gcm_backend_name(x);
    }
    EXPECT_STREQ(vp::aes_gcm_backend_name(AesGcmBackend::IpsecMb), "ipsec-mb");
    EXPECT_STREQ(vp::aes_gcm_backend_name(AesGcmBackend::OpenSsl), "openssl");
}

}  // namespace
