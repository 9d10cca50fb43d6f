// Known-answer and contract tests of the SHA-3, AES-256-GCM and Base64 primitives.
// Digests: FIPS 202 examples and values computed with Python's hashlib.
// GCM: McGrew-Viega GCM test cases 13-16 (AES-256), also checked with the
// cryptography package's AESGCM. Base64: RFC 4648 section 10 and Python's base64.
#include "primitives/aes_gcm.hpp"
#include "primitives/base64.hpp"
#include "primitives/password_kdf.hpp"
#include "primitives/sha3.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "hex.hpp"
#include "reserved_memory.hpp"

namespace vp = velora::primitives;

namespace {

using Bytes = std::vector<std::uint8_t>;
using velora::testing::all_zero;
using velora::testing::array_from_hex;
using velora::testing::from_hex;
using velora::testing::InaccessibleBytes;
using velora::testing::to_hex;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// ================================================================ SHA-3

const std::string kLong = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

struct DigestCase {
    std::vector<std::string_view> parts;  // absorbed as their concatenation
    std::string_view sha3_256, sha3_512, shake128_64, shake256_64;
};

// The third message is kLong three times (168 bytes), split so that parts are
// empty and straddle the rates (136 bytes for SHA3-256/SHAKE256, 72 for SHA3-512).
const std::string kTriple = kLong + kLong + kLong;
const DigestCase kDigestCases[] = {
    {{""},
     "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a",
     "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a615b2123af1f5f94c11e3e9402c3ac558f500199d95b6d3e301758586281dcd26",
     "7f9c2ba4e88f827d616045507605853ed73b8093f6efbc88eb1a6eacfa66ef263cb1eea988004b93103cfb0aeefd2a686e01fa4a58e8a3639ca8a1e3f9ae57e2",
     "46b9dd2b0ba88d13233b3feb743eeb243fcd52ea62b81b82b50c27646ed5762fd75dc4ddd8c0f200cb05019d67b592f6fc821c49479ab48640292eacb3b7c4be"},
    {{"abc"},
     "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532",
     "b751850b1a57168a5693cd924b6b096e08f621827444f70d884f5d0240d2712e10e116e9192af3c91a7ec57647e3934057340b4cf408d5a56592f8274eec53f0",
     "5881092dd818bf5cf8a3ddb793fbcba74097d5c526a6d35f97b83351940f2cc844c50af32acd3f2cdd066568706f509bc1bdde58295dae3f891a9a0fca578378",
     "483366601360a8771c6863080cc4114d8db44530f8f1e1ee4f94ea37e78b5739d5a15bef186a5386c75744c0527e1faa9f8726e462a12a4feb06bd8801e751e4"},
    {{"a", "", "b", "c"},  // multi-part "abc"
     "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532",
     "b751850b1a57168a5693cd924b6b096e08f621827444f70d884f5d0240d2712e10e116e9192af3c91a7ec57647e3934057340b4cf408d5a56592f8274eec53f0",
     "5881092dd818bf5cf8a3ddb793fbcba74097d5c526a6d35f97b83351940f2cc844c50af32acd3f2cdd066568706f509bc1bdde58295dae3f891a9a0fca578378",
     "483366601360a8771c6863080cc4114d8db44530f8f1e1ee4f94ea37e78b5739d5a15bef186a5386c75744c0527e1faa9f8726e462a12a4feb06bd8801e751e4"},
    {{std::string_view(kTriple).substr(0, 5), std::string_view(kTriple).substr(5, 130), "",
      std::string_view(kTriple).substr(135)},
     "30e7724208ee5cae243e7586d0021c865d55ba0a99d46ddd1da55b528baffc40",
     "946729b1e315ec31a40467e16f9aa20ae7ef24702052369345587ec626dd8317db84e9099cdba1096f478a37d0f4f49145a31c311fdffa23f3a9bac1a8ff22a2",
     "0d2cf39b73f64cb2ca0dac40e21391b37ff4e1307094483e8bb431661cc94f8d7b9b7c298e06b0513f49918c8a5695cde7dfb9778100fbb5ef3c13af0f5bdcac",
     "eed95ef4a0f04bc253c16630f731464770ccddbc414b8b257ffb592693162abf7e63292d34defe4ec84944ca6b616f982a045e993acb48534f651994db216428"},
};

// Calls fn with the case's parts as an initializer_list of byte views (at most four).
template <class Fn>
void with_parts(const std::vector<std::string_view>& p, Fn fn) {
    auto v = [&](std::size_t i) { return vp::ByteView(reinterpret_cast<const std::uint8_t*>(p[i].data()), p[i].size()); };
    switch (p.size()) {
        case 1: fn({v(0)}); break;
        case 4: fn({v(0), v(1), v(2), v(3)}); break;
        default: FAIL() << "unsupported part count";
    }
}

TEST(Sha3, KnownAnswers) {
    for (const DigestCase& c : kDigestCases) {
        SCOPED_TRACE(c.sha3_256);
        std::array<std::uint8_t, 32> d256{};
        std::array<std::uint8_t, 64> d512{}, x256{};
        std::array<std::uint8_t, vp::kShake128BlockBytes> x128{};
        with_parts(c.parts, [&](std::initializer_list<vp::ByteView> parts) {
            vp::sha3_256(parts, d256);
            vp::sha3_512(parts, d512);
            vp::shake256(parts, x256);
            vp::shake128(parts, x128);
        });
        EXPECT_EQ(to_hex(d256), c.sha3_256);
        EXPECT_EQ(to_hex(d512), c.sha3_512);
        EXPECT_EQ(to_hex(std::span(x128).first(64)), c.shake128_64);
        EXPECT_EQ(to_hex(x256), c.shake256_64);
    }
}

// Every SHAKE256 output length is a prefix of the longer output stream.
TEST(Sha3, Shake256AnyLengthIsPrefixOfStream) {
    const Bytes abc = text("abc");
    Bytes full(200);
    vp::shake256({abc}, full);
    EXPECT_EQ(to_hex(std::span(full).first(64)), kDigestCases[1].shake256_64);
    EXPECT_EQ(to_hex(std::span(full).last(16)), "e6f3b5d710ed3b677513771af6bfe119");  // hashlib, 200 bytes
    for (std::size_t n : {0u, 1u, 32u, 135u, 136u, 137u, 199u}) {
        Bytes out(n + 1, 0xEE);
        vp::shake256({abc}, std::span(out).first(n));
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), full.begin())) << n;
        EXPECT_EQ(out[n], 0xEE) << "wrote past the requested length " << n;
    }
}

// One-shot SHAKE128 of any length in any order: each output is a prefix of
// one stream (a context reused with a new length, or the same length again).
TEST(Sha3, Shake128OneShotLengthsInAnyOrder) {
    const Bytes abc = text("abc");
    for (std::size_t n : {64u, 1680u, 64u, 64u, 168u, 1680u, 1u, 1680u}) {
        Bytes out(n + 1, 0xEE);
        vp::shake128({abc}, std::span(out).first(n));
        EXPECT_EQ(to_hex(std::span(out).first(std::min<std::size_t>(n, 64))),
                  kDigestCases[1].shake128_64.substr(0, 2 * std::min<std::size_t>(n, 64)))
            << n;
        if (n == 1680) {
            // hashlib.shake_128(b"abc").digest(1680)[-32:]
            EXPECT_EQ(to_hex(std::span(out).subspan(1680 - 32, 32)),
                      "a2e59b7d7c31d20d9ecd0fa864dcc1ccdec8b9502f86f90a3f1af599a14d8be1");
        }
        EXPECT_EQ(out[n], 0xEE) << "wrote past the requested length " << n;
    }
}

// The one-shot functions share no state across threads.
TEST(Sha3, ConcurrentDigestsAreIndependent) {
    std::vector<std::thread> threads;
    std::array<bool, 4> ok{};
    for (std::size_t t = 0; t < ok.size(); ++t) {
        threads.emplace_back([t, &ok] {
            const DigestCase& c = kDigestCases[t % 2];
            const Bytes m = text(c.parts[0]);
            bool good = true;
            for (int i = 0; i < 2000; ++i) {
                std::array<std::uint8_t, 32> d256{};
                std::array<std::uint8_t, 64> d512{};
                vp::sha3_256({m}, d256);
                vp::sha3_512({m}, d512);
                good = good && to_hex(d256) == c.sha3_256 && to_hex(d512) == c.sha3_512;
            }
            ok[t] = good;
        });
    }
    for (auto& th : threads) th.join();
    for (bool b : ok) EXPECT_TRUE(b);
}

// ================================================================ AES-256-GCM

using Nonce = std::array<std::uint8_t, vp::Aes256Gcm::kNonceBytes>;
using Tag = std::array<std::uint8_t, vp::Aes256Gcm::kTagBytes>;

struct GcmCase {
    const char* name;
    std::string_view key, nonce, aad, pt, ct, tag;
};

constexpr std::string_view kKey15 = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";
constexpr std::string_view kPt15 =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255";
constexpr std::string_view kCt15 =
    "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad";

const GcmCase kGcmCases[] = {
    {"TC13", std::string_view("0000000000000000000000000000000000000000000000000000000000000000"),
     "000000000000000000000000", "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"TC14", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "",
     "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"TC15", kKey15, "cafebabefacedbaddecaf888", "", kPt15, kCt15, "b094dac5d93471bdec1a502270e3cc6c"},
    {"TC16", kKey15, "cafebabefacedbaddecaf888", "feedfacedeadbeeffeedfacedeadbeefabaddad2", kPt15.substr(0, 120),
     kCt15.substr(0, 120), "76fc6ece0f4e1768cddf8853bb2d551b"},
};


std::optional<vp::Aes256Gcm> make_cipher(std::string_view key_hex) {
    return vp::Aes256Gcm::create(array_from_hex<vp::Aes256Gcm::kKeyBytes>(key_hex));
}

class GcmVectors : public ::testing::TestWithParam<GcmCase> {};

TEST_P(GcmVectors, SealAndOpen) {
    const GcmCase& c = GetParam();
    const auto gcm = make_cipher(c.key);
    ASSERT_TRUE(gcm);
    const Nonce nonce = array_from_hex<12>(c.nonce);
    const Bytes aad = from_hex(c.aad), pt = from_hex(c.pt);

    Bytes ct(pt.size());
    Tag tag{};
    ASSERT_TRUE(gcm->seal(nonce, aad, pt, ct, tag));
    EXPECT_EQ(to_hex(ct), c.ct);
    EXPECT_EQ(to_hex(tag), c.tag);

    Bytes back(ct.size(), 0xAA);
    ASSERT_TRUE(gcm->open(nonce, aad, ct, tag, back));
    EXPECT_EQ(back, pt);
}

TEST_P(GcmVectors, InPlace) {
    const GcmCase& c = GetParam();
    const auto gcm = make_cipher(c.key);
    ASSERT_TRUE(gcm);
    const Nonce nonce = array_from_hex<12>(c.nonce);
    const Bytes aad = from_hex(c.aad);

    Bytes buf = from_hex(c.pt);
    Tag tag{};
    ASSERT_TRUE(gcm->seal(nonce, aad, buf, buf, tag));
    EXPECT_EQ(to_hex(buf), c.ct);
    EXPECT_EQ(to_hex(tag), c.tag);
    ASSERT_TRUE(gcm->open(nonce, aad, buf, tag, buf));
    EXPECT_EQ(to_hex(buf), c.pt);
}

// Any change to key, nonce, aad, ciphertext or tag fails and releases no plaintext.
TEST_P(GcmVectors, TamperingFailsAndZeroesOutput) {
    const GcmCase& c = GetParam();
    const Nonce nonce = array_from_hex<12>(c.nonce);
    const Bytes aad = from_hex(c.aad), ct = from_hex(c.ct);
    const Tag tag = array_from_hex<16>(c.tag);

    enum What { Key, NonceBit, AadBit, AadExtra, CtBit, TagBit, TagLastBit };
    for (What w : {Key, NonceBit, AadBit, AadExtra, CtBit, TagBit, TagLastBit}) {
        if ((w == AadBit && aad.empty()) || (w == CtBit && ct.empty())) continue;
        SCOPED_TRACE(w);
        Nonce n = nonce;
        Bytes a = aad, x = ct;
        Tag t = tag;
        auto key = array_from_hex<32>(c.key);
        switch (w) {
            case Key: key[31] ^= 1; break;
            case NonceBit: n[0] ^= 0x80; break;
            case AadBit: a[a.size() / 2] ^= 4; break;
            case AadExtra: a.push_back(0); break;
            case CtBit: x[x.size() - 1] ^= 1; break;
            case TagBit: t[0] ^= 1; break;
            case TagLastBit: t[15] ^= 0x80; break;
        }
        const auto gcm = vp::Aes256Gcm::create(key);
        ASSERT_TRUE(gcm);
        Bytes out(x.size(), 0xAA);
        EXPECT_FALSE(gcm->open(n, a, x, t, out));
        EXPECT_TRUE(all_zero(out));
    }
}

INSTANTIATE_TEST_SUITE_P(McGrewViega, GcmVectors, ::testing::ValuesIn(kGcmCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Gcm, LengthMismatchAndMovedFromObjectFail) {
    auto gcm = make_cipher(kKey15);
    ASSERT_TRUE(gcm);
    const Nonce nonce{};
    Bytes pt(32), ct(31);
    Tag tag{};
    EXPECT_FALSE(gcm->seal(nonce, {}, pt, ct, tag));
    EXPECT_FALSE(gcm->open(nonce, {}, ct, tag, pt));

    const vp::Aes256Gcm moved = std::move(*gcm);
    Bytes ct2(32);
    EXPECT_TRUE(moved.seal(nonce, {}, pt, ct2, tag));
    EXPECT_FALSE(gcm->seal(nonce, {}, pt, ct2, tag));  // a moved-from object fails, it does not crash
}

// Beyond 2^36 - 32 bytes the call fails before touching either buffer: the
// mapping is inaccessible, so any access would crash the test.
TEST(Gcm, RejectsPlaintextBeyondLimit) {
    const InaccessibleBytes reserved(vp::Aes256Gcm::kMaxPlaintextBytes + 1);
    ASSERT_TRUE(reserved.mapped());
    const std::span<std::uint8_t> huge = reserved.span();
    const auto gcm = make_cipher(kKey15);
    ASSERT_TRUE(gcm);
    const Nonce nonce{};
    Tag tag{};
    EXPECT_FALSE(gcm->seal(nonce, {}, huge, huge, tag));
    EXPECT_FALSE(gcm->open(nonce, {}, huge, tag, huge));
}

// More than 2^31 bytes, in place: the int-sized library calls are fed in pieces
// and the counter runs on across the pieces.
TEST(Gcm, LargerThanTwoGibibytesInPlace) {
    constexpr std::size_t kLen = (std::size_t{1} << 31) + 100;
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    const auto gcm = make_cipher(kKey15);
    ASSERT_TRUE(gcm);
    const Nonce nonce = array_from_hex<12>("cafebabefacedbaddecaf888");
    const Bytes aad = text("large");

    Bytes buf(kLen);  // zeros, so the ciphertext is the key stream
    Tag tag{};
    ASSERT_TRUE(gcm->seal(nonce, aad, buf, buf, tag));

    Bytes head(64), head_ct(64);
    Tag head_tag{};
    ASSERT_TRUE(gcm->seal(nonce, aad, head, head_ct, head_tag));
    EXPECT_TRUE(std::equal(head_ct.begin(), head_ct.end(), buf.begin()));
    // A counter restarted at a piece boundary would repeat the key stream.
    EXPECT_FALSE(std::equal(head_ct.begin(), head_ct.end(), buf.begin() + kPiece));
    EXPECT_FALSE(std::equal(head_ct.begin(), head_ct.end(), buf.begin() + 2 * kPiece));
    EXPECT_FALSE(all_zero(std::span(buf).last(100)));

    ASSERT_TRUE(gcm->open(nonce, aad, buf, tag, buf));
    EXPECT_TRUE(all_zero(buf));
}

// seal/open are safe on one object from several threads at once.
TEST(Gcm, ConcurrentUseOfOneObject) {
    const GcmCase& c = kGcmCases[3];
    const auto gcm = make_cipher(c.key);
    ASSERT_TRUE(gcm);
    const Nonce nonce = array_from_hex<12>(c.nonce);
    const Bytes aad = from_hex(c.aad), pt = from_hex(c.pt);
    std::array<bool, 4> ok{};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < ok.size(); ++t) {
        threads.emplace_back([&, t] {
            bool good = true;
            for (int i = 0; i < 2000; ++i) {
                Bytes ct(pt.size()), back(pt.size());
                Tag tag{};
                good = good && gcm->seal(nonce, aad, pt, ct, tag) && to_hex(ct) == c.ct && to_hex(tag) == c.tag &&
                       gcm->open(nonce, aad, ct, tag, back) && back == pt;
            }
            ok[t] = good;
        });
    }
    for (auto& th : threads) th.join();
    for (bool b : ok) EXPECT_TRUE(b);
}

// ================================================================ Base64

using vp::Base64Alphabet;

std::string strip_padding(std::string s) {
    while (!s.empty() && s.back() == '=') s.pop_back();
    return s;
}

struct B64Case {
    std::string_view raw_hex, standard;
};

const B64Case kB64Cases[] = {
    // RFC 4648 section 10: "", "f", "fo", "foo", "foob", "fooba", "foobar"
    {"", ""},
    {"66", "Zg=="},
    {"666f", "Zm8="},
    {"666f6f", "Zm9v"},
    {"666f6f62", "Zm9vYg=="},
    {"666f6f6261", "Zm9vYmE="},
    {"666f6f626172", "Zm9vYmFy"},
    // Symbols 62 and 63 (Python's base64)
    {"fbffbffe", "+/+//g=="},
    {"0b30557a9fc4e90e33587da2c7ec11365b80a5caef14395e83a8cdf2173c6186abd0f51a3f6489aed3f81d42678cb1d6fb20",
     "CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYar0PUaP2SJrtP4HUJnjLHW+yA="},
};

std::string url_of(std::string_view standard) {
    std::string s = strip_padding(std::string(standard));
    std::ranges::replace(s, '+', '-');
    std::ranges::replace(s, '/', '_');
    return s;
}

TEST(Base64, KnownEncodingsBothAlphabets) {
    EXPECT_EQ(url_of("CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYar0PUaP2SJrtP4HUJnjLHW+yA="),
              "CzBVep_E6Q4zWH2ix-wRNluApcrvFDleg6jN8hc8YYar0PUaP2SJrtP4HUJnjLHW-yA");  // Python's urlsafe_b64encode
    for (const B64Case& c : kB64Cases) {
        SCOPED_TRACE(c.standard);
        const Bytes raw = from_hex(c.raw_hex);
        const std::string url = url_of(c.standard);
        EXPECT_EQ(vp::base64_encode(raw, Base64Alphabet::StandardPadded), c.standard);
        EXPECT_EQ(vp::base64_encode(raw, Base64Alphabet::UrlSafeNoPad), url);
        EXPECT_EQ(vp::base64_decode(c.standard, Base64Alphabet::StandardPadded), raw);
        EXPECT_EQ(vp::base64_decode(url, Base64Alphabet::UrlSafeNoPad), raw);
    }
}

struct Rejected {
    std::string_view text;
    Base64Alphabet alphabet;
    const char* why;
};

constexpr auto S = Base64Alphabet::StandardPadded;
constexpr auto U = Base64Alphabet::UrlSafeNoPad;
using namespace std::string_view_literals;

const Rejected kRejected[] = {
    {"Zm-v", S, "URL-safe symbol in standard text"},
    {"Zm_v", S, "URL-safe symbol in standard text"},
    {"Zm+v", U, "standard symbol in URL-safe text"},
    {"Zm/v", U, "standard symbol in URL-safe text"},
    {"Zm9v!A==", S, "foreign character"},
    {"Zm9\xc3\xa9", U, "non-ASCII bytes"},
    {"Zm\0v"sv, S, "NUL"},
    {" Zm9v", S, "leading space"},
    {"Zm9v\n", U, "trailing line feed"},
    {"Zm9v\r\n", S, "trailing CR LF"},
    {"Zm 9v", U, "inner space"},
    {"Zm\t9vYmFy", S, "inner tab"},
    {"Zg", S, "missing padding"},
    {"Zg=", S, "short padding"},
    {"Zm9vY", S, "length 5"},
    {"Zg===", S, "three pad characters"},
    {"Zm8==", S, "padding beyond a multiple of 4"},
    {"====", S, "only padding"},
    {"Z===", S, "one symbol and padding"},
    {"Zg=a", S, "symbol after padding"},
    {"Z=g=", S, "padding inside"},
    {"Zg==Zg==", S, "padding in the middle"},
    {"Zg==", U, "padding in URL-safe text"},
    {"Zm8=", U, "padding in URL-safe text"},
    {"Zg=", U, "padding in URL-safe text"},
    {"Z", U, "length 1 mod 4"},
    {"Zm9vY", U, "length 1 mod 4"},
    {"Zh==", S, "non-zero trailing bits (1 byte)"},
    {"Zk==", S, "non-zero trailing bits (1 byte, upper two)"},
    {"Zm9=", S, "non-zero trailing bits (2 bytes)"},
    {"Zm9vYh==", S, "non-zero trailing bits after a full group"},
    {"Zh", U, "non-zero trailing bits (1 byte)"},
    {"Zk", U, "non-zero trailing bits (1 byte, upper two)"},
    {"Zm9", U, "non-zero trailing bits (2 bytes)"},
    {"Zm9vZv", U, "non-zero trailing bits after a full group"},
};

TEST(Base64, RejectsNonCanonicalText) {
    for (const Rejected& r : kRejected) {
        EXPECT_EQ(vp::base64_decode(r.text, r.alphabet), std::nullopt)
            << r.why << ": \"" << r.text << "\" as " << (r.alphabet == S ? "standard" : "URL-safe");
    }
}

// Long inputs are fed to libcrypto in pieces; the seams must not show.
TEST(Base64, LongInputAcrossPieces) {
    constexpr std::size_t kLen = (std::size_t{3} << 24) + 5;  // one piece of 3 * 2^24 bytes, then 5
    Bytes raw(kLen);
    for (std::size_t i = 0; i < kLen; ++i) raw[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
    for (Base64Alphabet a : {S, U}) {
        const std::string enc = vp::base64_encode(raw, a);
        ASSERT_EQ(enc.size(), a == S ? (kLen + 2) / 3 * 4 : kLen / 3 * 4 + 3);
        const std::string tail = vp::base64_encode(std::span(raw).last(5), a);
        EXPECT_EQ(enc.substr(enc.size() - tail.size()), tail);
        const auto dec = vp::base64_decode(enc, a);
        ASSERT_TRUE(dec);
        EXPECT_TRUE(*dec == raw);
    }
}

}  // namespace

// ---- scrypt and PBKDF2-HMAC-SHA256: the published vectors of RFC 7914 -------

namespace {

std::vector<std::uint8_t> text_bytes(std::string_view s) { return {s.begin(), s.end()}; }

}  // namespace

TEST(PasswordKdf, ScryptKnownAnswers) {
    struct Case {
        const char* password;
        const char* salt;
        std::uint64_t n;
        std::uint32_t r, p;
        const char* expected;
    };
    const Case cases[] = {
        {"", "", 16, 1, 1,
         "77d6576238657b203b19ca42c18a0497f16b4844e3074ae8dfdffa3fede21442"
         "fcd0069ded0948f8326a753a0fc81f17e8d3e0fb2e0d3628cf35e20c38d18906"},
        {"password", "NaCl", 1024, 8, 16,
         "fdbabe1c9d3472007856e7190d01e9fe7c6ad7cbc8237830e77376634b373162"
         "2eaf30d92e22a3886ff109279d9830dac727afb94a83ee6d8360cbdfa2cc0640"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out(64);
        ASSERT_TRUE(velora::primitives::scrypt(text_bytes(c.password), text_bytes(c.salt), c.n, c.r, c.p, out));
        EXPECT_EQ(velora::testing::to_hex(out), c.expected) << c.password;
    }
}

TEST(PasswordKdf, ScryptRefusesACostThatIsNotAPowerOfTwo) {
    std::array<std::uint8_t, 32> out{};
    EXPECT_FALSE(velora::primitives::scrypt(text_bytes("pw"), text_bytes("salt"), 1000, 8, 1, out));
}

TEST(PasswordKdf, Pbkdf2HmacSha256KnownAnswers) {
    struct Case {
        const char* password;
        const char* salt;
        std::uint32_t iterations;
        const char* expected;
    };
    const Case cases[] = {
        {"passwd", "salt", 1,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
         "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
        {"Password", "NaCl", 80000,
         "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
         "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out(64);
        ASSERT_TRUE(velora::primitives::pbkdf2_hmac_sha256(text_bytes(c.password), text_bytes(c.salt), c.iterations, out));
        EXPECT_EQ(velora::testing::to_hex(out), c.expected) << c.password;
    }
}
