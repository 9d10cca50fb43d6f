// PEM-like armour: body extraction with both pairs of markers (public key,
// encrypted secret key), white-space removal, standard Base64 decoding, and
// the two loaders built on them (key_text::public_key_from_pem at every
// level, key_text::secret_key_blob_from_pem, then the blob opened).
//
// Input: any bytes, used as the text. Checks: an extracted body lies between
// the first header and the first footer after it and contains no footer; an
// unwrapped body has no white space left; a loaded key or blob re-armours and
// loads back to the same bytes; every failure is one of the documented errors.
#include "core/keys/key_text.hpp"
#include "core/key_wrap/key_wrap.hpp"
#include "core/mlkem/params.hpp"
#include "core/keys/pem.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;
namespace kt = velora::key_text;

namespace {

const VeloraError kNoHeader = VeloraError::KeySerialization("PEM header not found");
const VeloraError kNoFooter = VeloraError::KeySerialization("PEM footer not found");

void check_extract(std::string_view text, std::string_view header, std::string_view footer) {
    auto body = pem::extract_pem_body(text, header, footer);
    const std::size_t h = text.find(header);
    if (h == std::string_view::npos) {
        FUZZ_CHECK(!body && body.error() == kNoHeader);
        return;
    }
    if (!body) {
        FUZZ_CHECK(body.error() == kNoFooter);
        FUZZ_CHECK(text.substr(h + header.size()).find(footer) == std::string_view::npos);
        return;
    }
    // A view into text: right after the first header, up to a footer.
    FUZZ_CHECK(body->data() == text.data() + h + header.size());
    FUZZ_CHECK(body->find(footer) == std::string_view::npos);
    FUZZ_CHECK(text.substr(h + header.size() + body->size()).starts_with(footer));

    const std::string bare = pem::unwrap_pem_body(*body);
    FUZZ_CHECK(bare.size() <= body->size());
    for (char c : bare) FUZZ_CHECK(c != ' ' && c != '\n' && c != '\r' && c != '\t' && c != '\v' && c != '\f');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_extract(text, kt::kPublicKeyHeader, kt::kPublicKeyFooter);
    check_extract(text, kt::kEncryptedKeyHeader, kt::kEncryptedKeyFooter);

    for (LevelIndex level = 0; level < 3; ++level) {
        auto key = kt::public_key_from_pem(text, level);
        if (key) {
            FUZZ_CHECK(key->size() == mlkem::ek_size(level));
            auto again = kt::public_key_from_pem(kt::public_key_to_pem(*key), level);
            FUZZ_CHECK(again && *again == *key);
        } else {
            FUZZ_CHECK(is_one_of(key.error(),
                                 {kNoHeader, kNoFooter, VeloraError::KeySerialization("PEM body is not valid Base64 STANDARD"),
                                  VeloraError::InvalidParameter(
                                      "public key size does not match the specified security level")}));
        }
    }

    auto blob = kt::secret_key_blob_from_pem(text);
    if (!blob) {
        FUZZ_CHECK(is_one_of(blob.error(), {kNoHeader, kNoFooter,
                                            VeloraError::KeySerialization(
                                                "PEM ENCRYPTED body is not valid Base64 STANDARD")}));
        return 0;
    }
    auto again = kt::secret_key_blob_from_pem(kt::secret_key_blob_to_pem(*blob));
    FUZZ_CHECK(again && *again == *blob);
    static const std::uint8_t password[] = {'f', 'u', 'z', 'z'};
    auto opened = key_wrap::unwrap_secret_key(*blob, password);
    if (opened) FUZZ_CHECK(opened->secret_key.size() == key_wrap::secret_key_size(opened->level_id));
    return 0;
}
