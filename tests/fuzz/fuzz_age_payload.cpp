// The age STREAM payload reader (age::open_chunks) with a fixed payload key.
//
// Input: a counter byte (0..3), a flags byte (bit 0: at_end; bits 1-2: how
// many genuine full chunks, sealed here, come before the rest, so that the
// full-size paths are reached within the fuzzer's input limit; bits 3-4: 1 to
// 4 threads), then the ciphertext. The same call on one thread must give the
// same result and plaintext. Checked: the layout error exactly when the call's layout is
// wrong; out needs exactly opened_size() bytes (one less is refused); plaintext never
// released past `written`; a result accepted whole is
// the sealing of its own plaintext (the cipher is deterministic), so nothing
// forged gets through; the final chunk ends a successful call only at_end.
#include <algorithm>
#include <cstring>

#include "age_common.hpp"
#include "core/age/age.hpp"

using namespace velora;
using namespace velora::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::uint64_t counter = in.byte() % 4;
    const std::uint8_t flags = in.byte();
    const bool at_end = flags & 1;
    const std::size_t full = (flags >> 1) % 3;
    const unsigned threads = 1 + ((flags >> 3) & 3);

    Bytes ciphertext(full * age::kEncryptedChunkBytes);
    if (full > 0) {
        const Bytes plain(full * age::kChunkBytes, 0xA5);
        FUZZ_CHECK(age::seal_chunks(kPayloadKey, counter, plain, false, ciphertext).has_value());
    }
    const ByteSpan rest = in.rest();
    ciphertext.insert(ciphertext.end(), rest.begin(), rest.end());

    // Exactly the room the call asks for, so that a write past it is a sanitizer report.
    Bytes out(age::opened_size(ciphertext.size()), 0x5A);
    auto r = age::open_chunks(kPayloadKey, counter, ciphertext, at_end, out, threads);
    Bytes serial_out(out.size(), 0x5A);
    auto serial = age::open_chunks(kPayloadKey, counter, ciphertext, at_end, serial_out, 1);
    FUZZ_CHECK(r.has_value() == serial.has_value());
    if (r) {
        FUZZ_CHECK(r->written == serial->written && r->finished == serial->finished && r->ok == serial->ok);
        FUZZ_CHECK(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(r->written), serial_out.begin()));
    }
    if (!at_end && ciphertext.size() % age::kEncryptedChunkBytes != 0) {
        FUZZ_CHECK(!r && r.error() == VeloraError::InvalidParameter(age::kPayloadLayout));
        return 0;
    }
    FUZZ_CHECK(r.has_value());
    // One byte less room is refused, not overrun.
    if (!out.empty()) {
        Bytes short_out(out.size() - 1);
        auto refused = age::open_chunks(kPayloadKey, counter, ciphertext, at_end, short_out, 1);
        FUZZ_CHECK(!refused && refused.error() == VeloraError::InvalidParameter(age::kOutputSize));
    }
    FUZZ_CHECK(r->written <= ciphertext.size());
    FUZZ_CHECK(!r->ok || !r->finished || at_end);
    // Past the released plaintext: the wiped failing chunk (zeros) or untouched bytes.
    for (std::size_t i = r->written; i < out.size(); ++i) FUZZ_CHECK(out[i] == 0 || out[i] == 0x5A);
    if (r->ok) {
        const std::span<const std::uint8_t> pt(out.data(), r->written);
        Bytes again(age::sealed_size(pt.size(), r->finished));
        FUZZ_CHECK(age::seal_chunks(kPayloadKey, counter, pt, r->finished, again, threads).has_value());
        FUZZ_CHECK(again == ciphertext);
    }
    return 0;
}
