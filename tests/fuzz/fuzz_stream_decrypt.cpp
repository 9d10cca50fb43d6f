// Stream decryption: header parsing, then data chunks, the EOF marker and
// finalize in any order (stream::stream_decryptor_from_header and
// StreamDecryptor), with the fixed key pair's secret key.
//
// Input: a level byte, a byte n (0..15 extra header bytes, which are ignored),
// the header (header_size(level) + n bytes, possibly cut short), then records
//   op (1) | tag length (1, 0..31) | len (u32 big-endian, capped by the input) | ciphertext | tag
// with op % 3: 0 decrypt_chunk, 1 process_eof (ciphertext ignored), 2 finalize.
// Every call is checked against a model of the handle's states: the
// documented errors in their order, the counter advancing by one exactly on
// success, nothing accepted after the EOF marker, no plaintext on failure.
#include "core/stream/stream.hpp"
#include "fuzz_common.hpp"

using namespace velora;
using namespace velora::fuzz;
namespace st = velora::stream;

namespace {

std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const LevelIndex level = level_from(in.byte());
    const std::size_t extra = in.byte() % 16;
    const ByteSpan header = in.take(st::header_size(level) + extra);
    const auto& keys = fixed_keys(level);

    auto dec = st::stream_decryptor_from_header(header, keys.dk, level);
    if (header.size() < st::header_size(level)) {
        FUZZ_CHECK(!dec && dec.error() == VeloraError::InvalidParameter(st::kHeaderTooShort));
        return 0;
    }
    const std::uint32_t chunk_size = load_be32(header.data() + mlkem::capsule_size(level) + 12);
    if (chunk_size == 0 || chunk_size > st::kMaxChunkSize) {
        FUZZ_CHECK(!dec && dec.error() == VeloraError::InvalidParameter(st::kHeaderChunkSizeRange));
        return 0;
    }
    FUZZ_CHECK(dec.has_value());
    FUZZ_CHECK(dec->chunk_size() == chunk_size && dec->chunk_index() == 0 && !dec->eof_seen());

    bool closed = false, eof = false;
    std::uint64_t index = 0;
    while (!in.empty()) {
        const std::uint8_t op = in.byte() % 3;
        const std::size_t tag_len = in.byte() % 32;
        const ByteSpan ciphertext = in.take(in.be32());
        const ByteSpan tag = in.take(tag_len);

        if (op == 2) {
            auto r = dec->finalize();
            FUZZ_CHECK(closed ? (!r && r.error() == VeloraError::InvalidParameter(st::kAlreadyFinalized))
                              : r.has_value());
            closed = true;
        } else if (op == 1) {
            auto r = dec->process_eof(tag);
            if (closed) {
                FUZZ_CHECK(!r && r.error() == VeloraError::InvalidParameter(st::kDecryptorFinalized));
            } else if (tag.size() != st::kTagBytes) {
                FUZZ_CHECK(!r && r.error() == VeloraError::InvalidParameter(st::kTagSize));
            } else if (eof) {
                FUZZ_CHECK(!r && r.error() == VeloraError::Decryption());
            } else if (r) {
                eof = true;
                ++index;
            } else {
                FUZZ_CHECK(r.error() == VeloraError::Decryption());
            }
        } else {
            Bytes out(ciphertext.size(), 0x5A);
            auto r = dec->decrypt_chunk_into(ciphertext, tag, out);
            if (closed) {
                FUZZ_CHECK(!r && r.error() == VeloraError::InvalidParameter(st::kDecryptorFinalized));
            } else if (tag.size() != st::kTagBytes) {
                FUZZ_CHECK(!r && r.error() == VeloraError::InvalidParameter(st::kTagSize));
            } else if (ciphertext.size() > chunk_size) {
                FUZZ_CHECK(!r && r.error() == VeloraError::InvalidParameter(st::kCiphertextTooLong));
            } else if (eof) {
                FUZZ_CHECK(!r && r.error() == VeloraError::Decryption());
            } else if (r) {
                ++index;
            } else {
                FUZZ_CHECK(r.error() == VeloraError::Decryption());
                FUZZ_CHECK(all_zero(out));
            }
        }
        FUZZ_CHECK(dec->is_open() == !closed);
        FUZZ_CHECK(dec->chunk_index() == (closed ? 0 : index));
        FUZZ_CHECK(dec->eof_seen() == (!closed && eof));
        FUZZ_CHECK(dec->chunk_size() == (closed ? 0 : chunk_size));
    }
    return 0;
}
