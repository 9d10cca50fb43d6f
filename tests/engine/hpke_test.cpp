// HPKE base mode against the published vectors the cryptography-vectors
// package ships (every clone has it through requirements-dev.txt):
// HPKE/test-vectors.json (RFC 9180) and HPKE/hpke-pq-test-vectors.json
// (draft-ietf-hpke-pq). Every base-mode case of a suite built here is run:
// DeriveKeyPair, the key schedule, the first encryption (sealed with its ikmE
// and opened) and every export; the other cases are counted as not built.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "core/hpke/hpke.hpp"
#include "hex.hpp"
#include "json.hpp"
#include "vectors.hpp"

namespace velora::hpke {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Json;

Bytes h(const Json& v) { return testing::from_hex(v.string); }
std::uint16_t id(const Json& v) { return static_cast<std::uint16_t>(v.number); }

Json load(const std::filesystem::path& file) { return testing::JsonParser(testing::read_vector_file(file)).parse(); }

// Runs every base-mode case whose suite make_suite accepts; `run` counts them.
void run_cases(const Json& cases, std::size_t& run) {
    for (const Json& v : cases.array) {
        if (v["mode"].number != 0) continue;
        const auto suite = make_suite(id(v["kem_id"]), id(v["kdf_id"]), id(v["aead_id"]));
        if (!suite) continue;  // a KEM, KDF or AEAD not built here
        ++run;
        SCOPED_TRACE("kem " + std::to_string(id(v["kem_id"])) + " kdf " + std::to_string(id(v["kdf_id"])) +
                     " aead " + std::to_string(id(v["aead_id"])));
        const Bytes info = h(v["info"]), pk = h(v["pkRm"]), sk = h(v["skRm"]), enc = h(v["enc"]);

        const auto pair = derive_key_pair(suite->kem, h(v["ikmR"]));
        ASSERT_TRUE(pair.has_value());
        EXPECT_EQ(pair->public_key, pk);
        EXPECT_EQ(pair->private_key, sk);
        const auto pub = public_key_of(suite->kem, sk);
        ASSERT_TRUE(pub.has_value());
        EXPECT_EQ(*pub, pk);

        const auto ctx = key_schedule(*suite, h(v["shared_secret"]), info);
        ASSERT_TRUE(ctx.has_value());
        EXPECT_EQ(ctx->exporter_secret, h(v["exporter_secret"]));
        if (suite->aead != Aead::ExportOnly) {
            EXPECT_EQ(ctx->key, h(v["key"]));
            EXPECT_EQ(ctx->base_nonce, h(v["base_nonce"]));
            // The single-shot API is the first encryption (sequence number 0).
            const Json& first = v["encryptions"].array.at(0);
            const Bytes aad = h(first["aad"]), pt = h(first["pt"]), ct = h(first["ct"]);
            const auto sealed = seal(*suite, pk, info, aad, pt, h(v["ikmE"]));
            ASSERT_TRUE(sealed.has_value());
            EXPECT_EQ(sealed->enc, enc);
            EXPECT_EQ(sealed->ciphertext, ct);
            const auto opened = open(*suite, sk, enc, info, aad, ct);
            ASSERT_TRUE(opened.has_value());
            EXPECT_EQ(*opened, pt);
            // One flipped bit anywhere in ct || tag, in the enc, the info or
            // the aad: refused.
            Bytes bad = ct;
            bad.back() ^= 0x01;
            EXPECT_FALSE(open(*suite, sk, enc, info, aad, bad).has_value());
            bad = ct;
            bad.front() ^= 0x80;
            EXPECT_FALSE(open(*suite, sk, enc, info, aad, bad).has_value());
            Bytes other_info = info;
            other_info.push_back(0);
            EXPECT_FALSE(open(*suite, sk, enc, other_info, aad, ct).has_value());
            Bytes other_aad = aad;
            other_aad.push_back(0);
            EXPECT_FALSE(open(*suite, sk, enc, info, other_aad, ct).has_value());
        } else {
            const auto sealed = seal(*suite, pk, info, {}, Bytes{1});
            ASSERT_FALSE(sealed.has_value());
            EXPECT_EQ(sealed.error().message, kExportOnly);
        }
        for (const Json& e : v["exports"].array) {
            const Bytes context = h(e["exporter_context"]), value = h(e["exported_value"]);
            const auto length = static_cast<std::size_t>(e["L"].number);
            const auto received = receive_export(*suite, sk, enc, info, context, length);
            ASSERT_TRUE(received.has_value());
            EXPECT_EQ(*received, value);
            const auto sent = send_export(*suite, pk, info, context, length, h(v["ikmE"]));
            ASSERT_TRUE(sent.has_value());
            EXPECT_EQ(sent->enc, enc);
            EXPECT_EQ(sent->secret, value);
        }
    }
}

struct VectorFile {
    const char* label;
    const char* name;
    std::size_t suites;  // base-mode cases of suites built here
};

class HpkeVectors : public ::testing::TestWithParam<VectorFile> {};

TEST_P(HpkeVectors, BaseMode) {
    VELORA_NEED_VECTORS(dir, testing::cryptography_vectors(),
                        "the cryptography-vectors package in .venv (requirements-dev.txt)");
    std::size_t run = 0;
    run_cases(load(dir / "HPKE" / GetParam().name), run);
    EXPECT_EQ(run, GetParam().suites);
}

// RFC 9180: DHKEM(X25519) with HKDF-SHA256 and HKDF-SHA512, each with the
// three AEADs and export-only. draft-ietf-hpke-pq: ML-KEM-768 / HKDF-SHA256 /
// AES-128-GCM, ML-KEM-1024 / HKDF-SHA384 / AES-256-GCM and X-Wing /
// HKDF-SHA256 / ChaCha20-Poly1305.
INSTANTIATE_TEST_SUITE_P(Files, HpkeVectors,
                         ::testing::Values(VectorFile{"Rfc9180", "test-vectors.json", 8},
                                           VectorFile{"PostQuantum", "hpke-pq-test-vectors.json", 3}),
                         [](const auto& p) { return std::string(p.param.label); });

// Sizes a hostile caller chooses are refused with the named error before any
// KEM or AEAD work.
TEST(Hpke, RefusesWrongSizesAndBounds) {
    const auto suite = make_suite(0x0020, 0x0001, 0x0003);
    ASSERT_TRUE(suite.has_value());
    const auto pair = derive_key_pair(Kem::DhKemX25519, Bytes(32, 7));
    ASSERT_TRUE(pair.has_value());
    const Bytes& pk = pair->public_key;
    const Bytes& sk = pair->private_key;
    const auto sealed = seal(*suite, pk, {}, {}, Bytes{1, 2, 3});
    ASSERT_TRUE(sealed.has_value());

    struct Case {
        const char* name;
        Result<std::vector<std::uint8_t>> got;
        std::string_view message;
    };
    Bytes short_pk(pk.begin(), pk.end() - 1), long_enc = sealed->enc;
    long_enc.push_back(0);
    const Case cases[] = {
        {"enc one byte long", open(*suite, sk, long_enc, {}, {}, sealed->ciphertext), kEncSize},
        {"private key one byte short", open(*suite, Bytes(sk.begin(), sk.end() - 1), sealed->enc, {}, {},
                                            sealed->ciphertext),
         kPrivateKeySize},
        {"ciphertext shorter than the tag", open(*suite, sk, sealed->enc, {}, {}, Bytes(15)), kCiphertextShort},
        {"export of 0 bytes", receive_export(*suite, sk, sealed->enc, {}, {}, 0), kExportLength},
        // 255 * Nh is the largest: one more is refused.
        {"export of 255 * 32 + 1 bytes", receive_export(*suite, sk, sealed->enc, {}, {}, 255 * 32 + 1),
         kExportLength},
    };
    for (const Case& c : cases) {
        ASSERT_FALSE(c.got.has_value()) << c.name;
        EXPECT_EQ(c.got.error().message, c.message) << c.name;
    }
    const auto largest = receive_export(*suite, sk, sealed->enc, {}, {}, 255 * 32);
    ASSERT_TRUE(largest.has_value());
    EXPECT_EQ(largest->size(), 255u * 32);
    const auto bad_pk = seal(*suite, short_pk, {}, {}, Bytes{1});
    ASSERT_FALSE(bad_pk.has_value());
    EXPECT_EQ(bad_pk.error().message, kPublicKeySize);
    for (const auto& [kem, kdf, aead, message] :
         {std::tuple{0x0021, 1, 1, kUnknownKem}, {0x0020, 4, 1, kUnknownKdf}, {0x0020, 1, 4, kUnknownAead}}) {
        const auto s = make_suite(static_cast<std::uint16_t>(kem), static_cast<std::uint16_t>(kdf),
                                  static_cast<std::uint16_t>(aead));
        ASSERT_FALSE(s.has_value());
        EXPECT_EQ(s.error().message, message);
    }
}

}  // namespace
}  // namespace velora::hpke
