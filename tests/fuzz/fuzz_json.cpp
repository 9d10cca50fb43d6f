// One-line JSON public keys: the field scanner (key_text::extract_json_string)
// and the loader on top of it (key_text::public_key_from_json).
//
// Input: any bytes, used as the text. Checks: a scanned value is the text
// right after the first `"field":`, white space and an opening quote, and
// holds no double quote; a loaded key has its level's size and exports to a
// JSON text that loads back to the same key and level; every failure is one
// of the documented errors.
#include "core/keys/key_text.hpp"
#include "core/mlkem/params.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;
namespace kt = velora::key_text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);

    for (std::string_view field : {"algorithm", "level", "public_key"}) {
        auto value = kt::extract_json_string(json, field);
        const std::string needle = "\"" + std::string(field) + "\":";
        const std::size_t at = json.find(needle);
        if (at == std::string_view::npos) {
            FUZZ_CHECK(!value && value.error() == VeloraError::KeySerialization("missing JSON field"));
            continue;
        }
        if (!value) {
            FUZZ_CHECK(is_one_of(value.error(), {VeloraError::KeySerialization("JSON field value is not a string"),
                                                 VeloraError::KeySerialization("unterminated JSON string value")}));
            continue;
        }
        const std::size_t open = static_cast<std::size_t>(value->data() - json.data());
        FUZZ_CHECK(open > at + needle.size() && open <= json.size());
        FUZZ_CHECK(json[open - 1] == '"');
        FUZZ_CHECK(value->find('"') == std::string_view::npos);
        FUZZ_CHECK(open + value->size() < json.size() && json[open + value->size()] == '"');
    }

    auto key = kt::public_key_from_json(json);
    if (!key) {
        FUZZ_CHECK(is_one_of(
            key.error(),
            {VeloraError::KeySerialization("missing JSON field"),
             VeloraError::KeySerialization("JSON field value is not a string"),
             VeloraError::KeySerialization("unterminated JSON string value"),
             VeloraError::KeySerialization("unsupported algorithm (expected 'ML-KEM')"),
             VeloraError::KeySerialization("unsupported level in JSON (expected ML_KEM_512/768/1024)"),
             VeloraError::Base64("invalid base64 URL-safe string"),
             VeloraError::InvalidParameter("decoded public key has incorrect size for the specified security level")}));
        return 0;
    }
    FUZZ_CHECK(key->level <= 2);
    FUZZ_CHECK(key->public_key.size() == mlkem::ek_size(key->level));
    auto again = kt::public_key_from_json(kt::public_key_to_json(key->public_key, key->level));
    FUZZ_CHECK(again && again->public_key == key->public_key && again->level == key->level);
    return 0;
}
