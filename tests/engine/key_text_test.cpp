// PEM armour helpers and the JSON field scanner.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/keys/key_text.hpp"
#include "core/keys/pem.hpp"
#include "platform/error.hpp"

namespace {

using velora::VeloraError;
using velora::key_text::extract_json_string;
using velora::pem::extract_pem_body;
using velora::pem::unwrap_pem_body;
using velora::pem::wrap_pem_lines;

TEST(WrapPemLines, BreaksBeforeEveryMultipleOf64) {
    EXPECT_EQ(wrap_pem_lines(""), "");
    EXPECT_EQ(wrap_pem_lines(std::string(64, 'A')), std::string(64, 'A'));
    EXPECT_EQ(wrap_pem_lines(std::string(65, 'A')), std::string(64, 'A') + "\n" + "A");
    EXPECT_EQ(wrap_pem_lines(std::string(128, 'B')), std::string(64, 'B') + "\n" + std::string(64, 'B'));
    std::string text;
    for (int i = 0; i < 200; ++i) text.push_back(static_cast<char>('a' + i % 26));
    const std::string wrapped = wrap_pem_lines(text);
    EXPECT_EQ(wrapped, text.substr(0, 64) + "\n" + text.substr(64, 64) + "\n" + text.substr(128, 64) + "\n" +
                           text.substr(192));
}

TEST(ExtractPemBody, FirstHeaderThenFirstFooterAfterIt) {
    const auto body = extract_pem_body("prose HDR one FTR two FTR", "HDR", "FTR");
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, " one ");

    const auto empty = extract_pem_body("HDRFTR", "HDR", "FTR");
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, "");

    EXPECT_EQ(extract_pem_body("no markers FTR", "HDR", "FTR").error(),
              VeloraError::KeySerialization("PEM header not found"));
    // A footer only before the header does not count.
    EXPECT_EQ(extract_pem_body("FTR HDR body", "HDR", "FTR").error(),
              VeloraError::KeySerialization("PEM footer not found"));
    // The footer search starts after the whole header, not inside it.
    EXPECT_EQ(extract_pem_body("ABAB", "ABA", "BA").error(), VeloraError::KeySerialization("PEM footer not found"));
}

TEST(UnwrapPemBody, RemovesEveryUnicodeWhiteSpace) {
    // ASCII controls, space, and the multi-byte White_Space characters in UTF-8:
    // U+0085, U+00A0, U+1680, U+2000, U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
    const std::string text =
        "\tA\nB\vC\fD\rE F"
        "\xC2\x85G\xC2\xA0H\xE1\x9A\x80I\xE2\x80\x80J\xE2\x80\x8AK\xE2\x80\xA8L\xE2\x80\xA9M"
        "\xE2\x80\xAFN\xE2\x81\x9FO\xE3\x80\x80P";
    EXPECT_EQ(unwrap_pem_body(text), "ABCDEFGHIJKLMNOP");
    // Look-alikes that are not White_Space stay: U+200B (zero-width space),
    // U+180E, U+FEFF, and a lone 0xC2 lead byte.
    const std::string kept = "\xE2\x80\x8B|\xE1\xA0\x8E|\xEF\xBB\xBF|\xC2";
    EXPECT_EQ(unwrap_pem_body(kept), kept);
}

struct ScanCase {
    const char* name;
    std::string_view json;
    std::string_view field;
    bool ok;
    std::string_view expected;  // value, or error message
};

class JsonScanner : public ::testing::TestWithParam<ScanCase> {};

TEST_P(JsonScanner, Extracts) {
    const auto& c = GetParam();
    const auto r = extract_json_string(c.json, c.field);
    if (c.ok) {
        ASSERT_TRUE(r) << r.error().message;
        EXPECT_EQ(*r, c.expected);
    } else {
        ASSERT_FALSE(r) << *r;
        EXPECT_EQ(r.error(), VeloraError::KeySerialization(c.expected));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonScanner,
    ::testing::Values(
        ScanCase{"plain", R"({"level":"ML_KEM_768"})", "level", true, "ML_KEM_768"},
        ScanCase{"white_space_after_colon", "{\"level\": \n\t\xE3\x80\x80\"x\"}", "level", true, "x"},
        ScanCase{"empty_value", R"({"level":""})", "level", true, ""},
        ScanCase{"first_occurrence_wins", R"({"meta":{"level":"a"},"level":"b"})", "level", true, "a"},
        ScanCase{"backslash_is_ordinary", R"({"level":"a\"b"})", "level", true, "a\\"},
        ScanCase{"space_before_colon", R"({"level" :"x"})", "level", false, "missing JSON field"},
        ScanCase{"absent", R"({"algorithm":"ML-KEM"})", "level", false, "missing JSON field"},
        ScanCase{"number", R"({"level":768})", "level", false, "JSON field value is not a string"},
        ScanCase{"null", R"({"level":null})", "level", false, "JSON field value is not a string"},
        ScanCase{"object", R"({"level":{"v":"x"}})", "level", false, "JSON field value is not a string"},
        ScanCase{"ends_after_colon", R"({"level":)", "level", false, "JSON field value is not a string"},
        ScanCase{"ends_in_white_space", "{\"level\":  ", "level", false, "JSON field value is not a string"},
        ScanCase{"unterminated", R"({"level":"ML_KEM_768)", "level", false, "unterminated JSON string value"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
