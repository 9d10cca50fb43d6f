// Test-side reader for the Wycheproof ML-KEM files: a small JSON parser, hex
// decoding and the lookup of the vectors folder beside the repository.
#pragma once

#include <gtest/gtest.h>

#include "hex.hpp"
#include "test_data.hpp"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace velora::testing {

struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<Json> array;
    std::map<std::string, Json> object;

    const Json& operator[](const std::string& key) const {
        static const Json null;
        auto it = object.find(key);
        return it == object.end() ? null : it->second;
    }
};

class JsonParser {
public:
    explicit JsonParser(const std::string& text) : s_(text) {}

    Json parse() {
        Json v = value();
        ws();
        if (pos_ != s_.size()) fault("trailing data");
        return v;
    }

private:
    [[noreturn]] void fault(const char* what) {
        throw std::runtime_error(std::string("JSON: ") + what + " at offset " + std::to_string(pos_));
    }
    void ws() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t')) ++pos_;
    }
    char peek() {
        ws();
        if (pos_ >= s_.size()) fault("unexpected end");
        return s_[pos_];
    }
    void expect(char c) {
        if (peek() != c) fault("unexpected character");
        ++pos_;
    }
    bool literal(const char* word) {
        const std::string w(word);
        if (s_.compare(pos_, w.size(), w) != 0) return false;
        pos_ += w.size();
        return true;
    }
    std::string str() {
        expect('"');
        std::string out;
        while (true) {
            if (pos_ >= s_.size()) fault("unterminated string");
            const char c = s_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            const char e = s_[pos_++];
            switch (e) {
                case 'n': out.push_back('\n'); break;
                case 't': out.push_back('\t'); break;
                case 'r': out.push_back('\r'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'u': {
                    // Kept only as a marker; the fields read by the tests are ASCII.
                    pos_ += 4;
                    out.push_back('?');
                    break;
                }
                default: out.push_back(e);
            }
        }
    }
    Json value() {
        Json v;
        const char c = peek();
        if (c == '{') {
            v.type = Json::Type::Object;
            ++pos_;
            if (peek() == '}') { ++pos_; return v; }
            while (true) {
                std::string key = str();
                expect(':');
                v.object.emplace(std::move(key), value());
                if (peek() == ',') { ++pos_; continue; }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.type = Json::Type::Array;
            ++pos_;
            if (peek() == ']') { ++pos_; return v; }
            while (true) {
                v.array.push_back(value());
                if (peek() == ',') { ++pos_; continue; }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.type = Json::Type::String;
            v.string = str();
            return v;
        }
        if (literal("true")) { v.type = Json::Type::Bool; v.boolean = true; return v; }
        if (literal("false")) { v.type = Json::Type::Bool; return v; }
        if (literal("null")) return v;
        std::size_t used = 0;
        v.type = Json::Type::Number;
        v.number = std::stod(s_.substr(pos_, 32), &used);
        if (used == 0) fault("bad value");
        pos_ += used;
        return v;
    }

    const std::string& s_;
    std::size_t pos_ = 0;
};

// The folder shared/vectors/mlkem beside the repository root (or beside one
// of its parents, for a work tree nested one level deeper). Empty if absent.
inline std::filesystem::path find_mlkem_vectors() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::path dir = fs::path(VELORA_SOURCE_DIR).parent_path(); !dir.empty(); dir = dir.parent_path()) {
        const fs::path candidate = dir / "shared" / "vectors" / "mlkem";
        if (fs::is_directory(candidate, ec)) return candidate;
        if (dir == dir.root_path()) break;
    }
    return {};
}

// Loads one vector file; a missing file fails the calling test (a missing
// folder is the fixture's to skip, see VELORA_REQUIRE_MLKEM_VECTORS).
inline std::shared_ptr<const Json> load_mlkem_file(const std::string& name) {
    const std::filesystem::path dir = find_mlkem_vectors();
    std::ifstream in(dir / name, std::ios::binary);
    if (dir.empty() || !in) {
        ADD_FAILURE() << "cannot open " << (dir / name);
        return nullptr;
    }
    std::stringstream buf;
    buf << in.rdbuf();
    const std::string text = buf.str();
    return std::make_shared<const Json>(JsonParser(text).parse());
}

}  // namespace velora::testing

// In SetUp(): skips the test when ../shared/vectors/mlkem is not beside the
// checkout (a lone clone), fails it under CI=true.
#define VELORA_REQUIRE_MLKEM_VECTORS()                                                             \
    VELORA_REQUIRE_TEST_DATA(!::velora::testing::find_mlkem_vectors().empty(),                     \
                             "published vectors not found: ../shared/vectors/mlkem beside "        \
                                 << VELORA_SOURCE_DIR << " (only CI has it)")
