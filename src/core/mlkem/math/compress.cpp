// Compression and the byte encodings ByteEncode_d / ByteDecode_d: the scalar
// loops and the entry points that pick them or the AVX2 kernels.
#include "core/mlkem/math/compress.hpp"

#include "core/mlkem/math/avx2.hpp"
#include "core/mlkem/math/kernels.hpp"
#include "core/mlkem/math/scalar.hpp"

namespace velora::mlkem {

namespace scalar {

void compress(const Poly& f, std::size_t d, Poly& out) noexcept {
    for (std::size_t i = 0; i < kN; ++i) out[i] = compress_d(f[i], d);
}

void decompress(const Poly& f, std::size_t d, Poly& out) noexcept {
    for (std::size_t i = 0; i < kN; ++i) out[i] = decompress_d(f[i], d);
}

namespace {

// ByteEncode_d (Algorithm 5): the low d bits of each coefficient (after
// Compress_d when compress is set), packed least significant bit first.
void pack(const Poly& f, std::size_t d, std::span<std::uint8_t> out, bool compress) noexcept {
    const std::uint32_t mask = (1u << d) - 1;
    std::uint32_t acc = 0;
    std::size_t bits = 0;
    std::size_t o = 0;
    for (std::size_t i = 0; i < kN; ++i) {
        const std::uint16_t x = compress ? compress_d(f[i], d) : f[i];
        acc |= (x & mask) << bits;
        bits += d;
        for (; bits >= 8; bits -= 8) {
            out[o++] = static_cast<std::uint8_t>(acc);
            acc >>= 8;
        }
    }
}

// ByteDecode_d (Algorithm 6): 256 fields of d bits, then reduced modulo q
// with one branch-free conditional subtraction (a d-bit field is below 2q),
// or decompressed when decompress is set.
void unpack(std::span<const std::uint8_t> in, std::size_t d, Poly& f, bool decompress) noexcept {
    const std::uint32_t mask = (1u << d) - 1;
    std::uint32_t acc = 0;
    std::size_t bits = 0;
    std::size_t n = 0;
    for (std::size_t b = 0; b < 32 * d; ++b) {
        acc |= static_cast<std::uint32_t>(in[b]) << bits;
        bits += 8;
        for (; bits >= d; bits -= d) {
            const auto field = static_cast<std::uint16_t>(acc & mask);
            f[n++] = decompress ? decompress_d(field, d) : detail::reduce_once(field);
            acc >>= d;
        }
    }
}

}  // namespace

void encode(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept { pack(f, d, out, false); }
void compress_encode(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept { pack(f, d, out, true); }
void decode(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept { unpack(in, d, out, false); }
void decode_decompress(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept {
    unpack(in, d, out, true);
}

}  // namespace scalar

Poly compress_d(const Poly& f, std::size_t d) noexcept {
    Poly r;
    if (run_native([&] { return avx2::compress(f, d, r); })) {
        check_bound(r, 1u << d, "avx2::compress");
        return r;
    }
    scalar::compress(f, d, r);
    return r;
}

Poly decompress_d(const Poly& f, std::size_t d) noexcept {
    Poly r;
    if (run_native([&] { return avx2::decompress(f, d, r); })) {
        check_bound(r, Q, "avx2::decompress");
        return r;
    }
    scalar::decompress(f, d, r);
    return r;
}

Poly byte_decode_d(std::span<const std::uint8_t> bytes, std::size_t d) noexcept {
    Poly f;
    byte_decode_d(bytes, d, f);
    return f;
}

void byte_encode_d(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept {
    if (run_native([&] { return avx2::encode(f, d, out); })) return;
    scalar::encode(f, d, out);
}

void compress_encode_d(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept {
    if (run_native([&] { return avx2::compress_encode(f, d, out); })) return;
    scalar::compress_encode(f, d, out);
}

void byte_decode_d(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept {
    if (run_native([&] { return avx2::decode(in, d, out); })) return check_bound(out, Q, "avx2::decode");
    scalar::decode(in, d, out);
}

void decode_decompress_d(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept {
    if (run_native([&] { return avx2::decode_decompress(in, d, out); })) {
        return check_bound(out, Q, "avx2::decode_decompress");
    }
    scalar::decode_decompress(in, d, out);
}

std::vector<std::uint8_t> Poly::encode_d(std::size_t d) const {
    std::vector<std::uint8_t> out(32 * d);
    if (d != 0) byte_encode_d(*this, d, out);
    return out;
}

// ByteEncode_12 of each polynomial: coefficients a = f[2m], b = f[2m + 1] go
// to bytes 3m .. 3m + 2 as a[7:0], a[11:8] | b[3:0] << 4, b[11:4].
void polys_to_bytes(std::span<const Poly> v, std::span<std::uint8_t> out) noexcept {
    for (std::size_t i = 0; i < v.size(); ++i) byte_encode_d(v[i], 12, out.subspan(384 * i, 384));
}

// ByteDecode_12 of consecutive 384-byte blocks. A 12-bit value of 3329 or
// more is reduced modulo q (4095 becomes 766), never rejected.
void polys_from_bytes(std::span<const std::uint8_t> in, std::span<Poly> out) noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) byte_decode_d(in.subspan(384 * i, 384), 12, out[i]);
}

std::vector<std::uint8_t> PolyVec::to_bytes(std::span<const Poly> v) {
    std::vector<std::uint8_t> out(384 * v.size());
    polys_to_bytes(v, out);
    return out;
}

PolyVec PolyVec::from_bytes(std::span<const std::uint8_t> bytes, std::size_t n) {
    PolyVec v = zero(n);
    polys_from_bytes(bytes, v.polys);
    return v;
}

}  // namespace velora::mlkem
