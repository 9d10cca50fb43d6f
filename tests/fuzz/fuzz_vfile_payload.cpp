// The payload reader of velora files, version 2 (vfile::open_chunks), with a fixed payload key.
//
// Input: a chunk-size byte (32 + 16 * (b % 8): 32 to 144 bytes, so that many chunks fit the input limit),
// a counter byte (0..3), a flags byte (bit 0: at_end; bits 1-2: how many genuine full chunks, sealed here,
// come before the rest), then the ciphertext. Checked: the layout error exactly when the call's layout is
// wrong; one byte less room than opened_size() is refused; no plaintext left past `written`; a result
// accepted whole is the sealing of its own plaintext (AES-GCM is deterministic here), so nothing forged gets
// through; the last chunk ends a successful call only at_end.
#include <algorithm>

#include "age_common.hpp"
#include "core/vfile/payload.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::size_t cs = 32 + 16 * (in.byte() % 8);
    const std::uint64_t counter = in.byte() % 4;
    const std::uint8_t flags = in.byte();
    const bool at_end = flags & 1;
    const std::size_t full = (flags >> 1) % 3;
    const std::size_t sealed = cs + vfile::kTagBytes;

    Bytes ciphertext(full * sealed);
    if (full > 0) {
        const Bytes plain(full * cs, 0xA5);
        FUZZ_CHECK(vfile::seal_chunks(kPayloadKey, cs, counter, plain, false, ciphertext).has_value());
    }
    const ByteSpan rest = in.rest();
    ciphertext.insert(ciphertext.end(), rest.begin(), rest.end());

    Bytes out(vfile::opened_size(cs, ciphertext.size()), 0x5A);
    auto r = vfile::open_chunks(kPayloadKey, cs, counter, ciphertext, at_end, out);
    if (!at_end && ciphertext.size() % sealed != 0) {
        FUZZ_CHECK(!r && r.error() == VeloraError::InvalidParameter(vfile::kPayloadLayout));
        return 0;
    }
    FUZZ_CHECK(r.has_value());
    if (!out.empty()) {
        Bytes short_out(out.size() - 1);
        auto refused = vfile::open_chunks(kPayloadKey, cs, counter, ciphertext, at_end, short_out);
        FUZZ_CHECK(!refused && refused.error() == VeloraError::InvalidParameter(vfile::kOutputSize));
    }
    FUZZ_CHECK(r->written <= ciphertext.size());
    FUZZ_CHECK(!r->ok || !r->finished || at_end);
    for (std::size_t i = r->written; i < out.size(); ++i) FUZZ_CHECK(out[i] == 0);
    if (r->ok) {
        const std::span<const std::uint8_t> pt(out.data(), r->written);
        Bytes again(vfile::sealed_size(cs, pt.size(), r->finished));
        FUZZ_CHECK(vfile::seal_chunks(kPayloadKey, cs, counter, pt, r->finished, again).has_value());
        FUZZ_CHECK(again == ciphertext);
    }
    return 0;
}
