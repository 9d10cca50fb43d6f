// The password-wrapped secret-key blob (key_wrap::unwrap_secret_key).
//
// Input: a password length byte n, n password bytes, then the blob. Checks:
// the header checks in their order (length, magic, version, level id), then
// only DecryptionError; an opened blob yields a key of its level's size,
// which wraps again and opens back to the same bytes.
#include <algorithm>

#include "core/key_wrap/key_wrap.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;
namespace kw = velora::key_wrap;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const ByteSpan password = in.take(in.byte());
    const ByteSpan blob = in.rest();

    auto opened = kw::unwrap_secret_key(blob, password);
    const auto expect = [&](const char* message) {
        FUZZ_CHECK(!opened && opened.error() == VeloraError::KeySerialization(message));
    };
    if (blob.size() < kw::kMinBlobBytes) return expect("wrapped blob is too short to contain a valid header"), 0;
    if (!std::equal(kw::kMagic.begin(), kw::kMagic.end(), blob.begin())) {
        return expect("invalid magic bytes in wrapped blob"), 0;
    }
    if (blob[4] != kw::kVersion) return expect("unsupported wrapped blob version"), 0;
    if (blob[5] > 2) return expect("unknown level_id in wrapped blob"), 0;
    if (!opened) {
        FUZZ_CHECK(opened.error() == VeloraError::Decryption());
        return 0;
    }
    FUZZ_CHECK(opened->level_id == blob[5]);
    FUZZ_CHECK(blob.size() == kw::blob_size(opened->level_id));
    FUZZ_CHECK(opened->secret_key.size() == kw::secret_key_size(opened->level_id));

    auto rewrapped = kw::wrap_secret_key_blob(opened->secret_key.span(), opened->level_id, password);
    FUZZ_CHECK(rewrapped && rewrapped->size() == blob.size());
    auto back = kw::unwrap_secret_key(*rewrapped, password);
    FUZZ_CHECK(back && std::ranges::equal(back->secret_key.span(), opened->secret_key.span()));
    return 0;
}
