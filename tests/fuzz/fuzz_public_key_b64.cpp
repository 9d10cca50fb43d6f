// Public key from URL-safe Base64 text (key_text::public_key_from_b64) at every level.
//
// Input: any bytes, used as the text. A key that decodes must have the
// level's size and re-encode to exactly the text without its surrounding
// white space and trailing "=" (the decoder accepts canonical encodings
// only); a failure must be one of the two documented errors.
#include <string>

#include "core/keys/key_text.hpp"
#include "core/keys/white_space.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string_view body = velora::text::trim_white_space(text);
    FUZZ_CHECK(body.size() <= text.size());
    while (!body.empty() && body.back() == '=') body.remove_suffix(1);

    for (LevelIndex level = 0; level < 3; ++level) {
        auto key = key_text::public_key_from_b64(text, level);
        if (key) {
            FUZZ_CHECK(key->size() == mlkem::ek_size(level));
            FUZZ_CHECK(key_text::public_key_to_b64(*key) == body);
        } else {
            FUZZ_CHECK(is_one_of(key.error(),
                                 {VeloraError::Base64("invalid base64 URL-safe string"),
                                  VeloraError::InvalidParameter(
                                      "decoded public key has incorrect size for the specified security level")}));
        }
    }
    return 0;
}
