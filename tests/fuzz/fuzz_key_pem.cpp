// RFC 7468 PEM of the key formats (key_formats::pem_first_label, pem_decode).
//
// Checks: only KeySerialization errors; a decoded block encodes back to a
// text that decodes to the same bytes; the label found is one of the three.
#include <algorithm>
#include <string_view>

#include "core/keys/key_formats.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;
namespace kf = velora::key_formats;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)kf::pem_first_label(text);
    for (auto label : {kf::PemLabel::PublicKey, kf::PemLabel::PrivateKey, kf::PemLabel::EncryptedPrivateKey}) {
        auto der = kf::pem_decode(text, label);
        if (!der) {
            FUZZ_CHECK(der.error().kind == VeloraError::Kind::KeySerialization);
            continue;
        }
        const std::string again = kf::pem_encode(label, der->span());
        FUZZ_CHECK(kf::pem_first_label(again) == label);
        auto back = kf::pem_decode(again, label);
        FUZZ_CHECK(back && std::ranges::equal(back->span(), der->span()));
    }
    return 0;
}
