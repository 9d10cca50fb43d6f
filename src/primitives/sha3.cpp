// The FIPS 202 sponge (Algorithm 8) over Keccak-f[1600], with SHA-3's and
// SHAKE's padding (sections 6.1, 6.2 and B.2): the message is followed by
// the domain bits (01 for SHA-3, 1111 for SHAKE) and pad10*1, which on a
// byte-aligned message is the byte 0x06 or 0x1F after the message and 0x80
// in the last byte of the block (XORed, so both can share one byte).
//
// Several sponges run side by side in one batch of states (keccak.hpp's
// layout: word w of lane j at width * w + j). Each lane advances one
// permutation per step: it absorbs its next block (or its padded last one),
// the batch is permuted, and each lane past its last input block hands the
// first rate bytes of its state to its receiver. A lane whose job ends takes
// the next queued job; when no job is left the remaining lanes move to a
// narrower batch as soon as one fits.
#include "primitives/sha3.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/ct.hpp"
#include "primitives/sha3_libcrypto.hpp"

namespace velora::primitives {
namespace {

using keccak::kWords;

constexpr std::size_t kMaxRate = kShake128BlockBytes;

// The domain bits and the first padding bit, as one byte (see the top).
constexpr std::uint8_t domain_byte(Sha3 f) noexcept { return digest_bytes(f) != 0 ? 0x06 : 0x1F; }

// State words are the little-endian reading of 8 bytes (FIPS 202 B.1).
inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

inline void store_le64(std::uint8_t* p, std::uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    std::memcpy(p, &v, 8);
}

// Copies n bytes from offset on of the concatenation of the parts.
void gather(std::span<const ByteView> parts, std::size_t offset, std::size_t n, std::uint8_t* dst) noexcept {
    for (ByteView part : parts) {
        if (n == 0) break;
        if (offset >= part.size()) {
            offset -= part.size();
            continue;
        }
        const std::size_t take = std::min(n, part.size() - offset);
        std::memcpy(dst, part.data() + offset, take);
        dst += take;
        n -= take;
        offset = 0;
    }
}

std::size_t total_size(std::span<const ByteView> parts) noexcept {
    std::size_t n = 0;
    for (ByteView p : parts) n += p.size();
    return n;
}

// Word access to lane `slot` of a batch W states wide (W is 1, 4 or 8, a
// constant, so that the strided loops compile to fixed offsets).
// XORs n bytes (a multiple of 8) into the state.
template <std::size_t W>
void xor_block(std::uint64_t* states, std::size_t slot, const std::uint8_t* block, std::size_t n) noexcept {
    for (std::size_t w = 0; w < n / 8; ++w) states[W * w + slot] ^= load_le64(block + 8 * w);
}

// The first block of a lane (n bytes, a multiple of 8): the state is the
// block followed by zeros.
template <std::size_t W>
void set_block(std::uint64_t* states, std::size_t slot, const std::uint8_t* block, std::size_t n) noexcept {
    std::size_t w = 0;
    for (; w < n / 8; ++w) states[W * w + slot] = load_le64(block + 8 * w);
    for (; w < kWords; ++w) states[W * w + slot] = 0;
}

template <std::size_t W>
void extract(const std::uint64_t* states, std::size_t slot, std::uint8_t* out, std::size_t n) noexcept {
    std::size_t w = 0;
    for (; 8 * w + 8 <= n; ++w) store_le64(out + 8 * w, states[W * w + slot]);
    if (8 * w < n) {
        std::uint8_t last[8];
        store_le64(last, states[W * w + slot]);
        std::memcpy(out + 8 * w, last, n - 8 * w);
    }
}

// Calls f(std::integral_constant<size_t, W>) for the batch width W = width.
template <class F>
void with_width(std::size_t width, F&& f) {
    switch (width) {
        case 8: f(std::integral_constant<std::size_t, 8>{}); break;
        case 4: f(std::integral_constant<std::size_t, 4>{}); break;
        default: f(std::integral_constant<std::size_t, 1>{}); break;
    }
}

// Absorbs the padded last block into lane `slot`: the first `fill` bytes of
// block (fewer than rate) are the end of the message; then come the domain
// byte, zeros, and 0x80 in the last byte of the block. Only the words that
// hold message or domain bits, and the last word, change the state (the
// zeros do nothing); with `first` the state is set to the block instead
// (the lane's only block). block has room for a whole block.
template <std::size_t W>
void absorb_last(std::uint64_t* states, std::size_t slot, std::uint8_t* block, std::size_t fill, Sha3 f,
                 bool first) noexcept {
    const std::size_t words = fill / 8 + 1;  // at most rate / 8, since fill < rate and 8 divides rate
    std::memset(block + fill, 0, 8 * words - fill);
    block[fill] = domain_byte(f);
    if (first) {
        set_block<W>(states, slot, block, 8 * words);
    } else {
        xor_block<W>(states, slot, block, 8 * words);
    }
    states[W * (rate_bytes(f) / 8 - 1) + slot] ^= std::uint64_t{0x80} << 56;
}

// ---- one sponge: the one-shot functions

void own_hash(Sha3 f, std::span<const ByteView> parts, std::span<std::uint8_t> out,
              const keccak::Kernels& k) noexcept {
    const std::size_t rate = rate_bytes(f);
    std::uint64_t s[kWords] = {};
    std::uint8_t block[kMaxRate];
    std::size_t fill = 0;  // bytes of a block begun in `block`
    for (ByteView part : parts) {
        const std::uint8_t* p = part.data();
        std::size_t n = part.size();
        if (fill > 0 && n > 0) {
            const std::size_t take = std::min(rate - fill, n);
            std::memcpy(block + fill, p, take);
            fill += take;
            p += take;
            n -= take;
            if (fill < rate) continue;
            xor_block<1>(s, 0, block, rate);
            keccak::permute(k, 1, s);
            fill = 0;
        }
        for (; n >= rate; p += rate, n -= rate) {
            xor_block<1>(s, 0, p, rate);
            keccak::permute(k, 1, s);
        }
        if (n > 0) {
            std::memcpy(block, p, n);
            fill = n;
        }
    }
    absorb_last<1>(s, 0, block, fill, f, false);
    keccak::permute(k, 1, s);
    for (std::size_t done = 0;;) {
        const std::size_t take = std::min(rate, out.size() - done);
        extract<1>(s, 0, out.data() + done, take);
        done += take;
        if (done == out.size()) break;
        keccak::permute(k, 1, s);
    }
    secure_zero(s, sizeof s);
    secure_zero(block, sizeof block);
}

void hash(Sha3 f, std::span<const ByteView> parts, std::span<std::uint8_t> out, Path path) noexcept {
    if (out.empty()) return;
    if (path == Path::Libcrypto) return libcrypto_sha3::hash(f, parts, out);
    own_hash(f, parts, out, keccak::kernels(path));
}

// ---- several sponges side by side

struct Lane {
    const SpongeJob* job = nullptr;  // null: the slot is free
    std::size_t offset = 0;          // input bytes absorbed
    bool squeezing = false;          // the padded block is in: output follows each permutation
};

class Batch {
public:
    explicit Batch(const keccak::Kernels& k) noexcept : kernels_(k) {}
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch() {
        secure_zero(states_, sizeof(std::uint64_t) * kWords * widest_used_);
        secure_zero(block_, sizeof block_);
    }

    void run(std::span<const SpongeJob> jobs) {
        std::size_t next = 0, live = 0;
        const std::size_t widest = kernels_.widest();
        for (;;) {
            const std::size_t want = std::min(widest, live + (jobs.size() - next));
            if (want == 0) break;
            const std::size_t width = kernels_.width_for(want);
            if (width != width_) relayout(width);
            with_width(width_, [&](auto w) {
                constexpr std::size_t W = decltype(w)::value;
                for (std::size_t slot = 0; slot < W; ++slot) {
                    Lane& lane = lanes_[slot];
                    if (lane.job == nullptr && next < jobs.size()) {
                        lane = Lane{&jobs[next++], 0, false};
                        ++live;
                    }
                    if (lane.job != nullptr && !lane.squeezing) absorb<W>(slot);
                }
                keccak::permute(kernels_, W, states_);
                for (std::size_t slot = 0; slot < W; ++slot) {
                    if (lanes_[slot].job != nullptr && lanes_[slot].squeezing && !deliver<W>(slot)) {
                        lanes_[slot] = Lane{};
                        --live;
                    }
                }
            });
        }
    }

private:
    // The lane's next input block, or its padded last block.
    template <std::size_t W>
    void absorb(std::size_t slot) noexcept {
        Lane& lane = lanes_[slot];
        const Sha3 f = lane.job->function;
        const std::size_t rate = rate_bytes(f);
        const std::span<const ByteView> parts(lane.job->input);
        const std::size_t rest = total_size(parts) - lane.offset;
        const bool first = lane.offset == 0;
        if (rest >= rate) {
            gather(parts, lane.offset, rate, block_);
            lane.offset += rate;
            if (first) {
                set_block<W>(states_, slot, block_, rate);
            } else {
                xor_block<W>(states_, slot, block_, rate);
            }
        } else {
            gather(parts, lane.offset, rest, block_);
            lane.offset += rest;
            lane.squeezing = true;
            absorb_last<W>(states_, slot, block_, rest, f, first);
        }
    }

    // Hands the lane's output block to its receiver; whether the job goes on.
    template <std::size_t W>
    bool deliver(std::size_t slot) {
        const SpongeJob& job = *lanes_[slot].job;
        const std::size_t digest = digest_bytes(job.function);
        const std::size_t n = digest != 0 ? digest : rate_bytes(job.function);
        extract<W>(states_, slot, block_, n);
        const bool more = job.sink(ByteView(block_, n));
        return digest == 0 && more;
    }

    // Moves the live lanes, in slot order, into a batch `width` states wide;
    // the slots left over are zeroed. Only a batch without live lanes grows,
    // so a word never moves to a higher index than it comes from, and moved
    // in increasing order of word, then slot, it never overwrites one still
    // to be moved: the move can be made in place.
    void relayout(std::size_t width) noexcept {
        std::size_t from[keccak::kMaxWidth];
        std::size_t live = 0;
        for (std::size_t slot = 0; slot < width_; ++slot) {
            if (lanes_[slot].job != nullptr) from[live++] = slot;
        }
        for (std::size_t w = 0; w < kWords; ++w) {
            for (std::size_t to = 0; to < live; ++to) states_[width * w + to] = states_[width_ * w + from[to]];
            for (std::size_t to = live; to < width; ++to) states_[width * w + to] = 0;
        }
        for (std::size_t to = 0; to < keccak::kMaxWidth; ++to) lanes_[to] = to < live ? lanes_[from[to]] : Lane{};
        width_ = width;
        widest_used_ = std::max(widest_used_, width);
    }

    const keccak::Kernels& kernels_;
    alignas(64) std::uint64_t states_[kWords * keccak::kMaxWidth];
    std::uint8_t block_[kMaxRate];  // one input or output block
    Lane lanes_[keccak::kMaxWidth];
    std::size_t width_ = 0;
    std::size_t widest_used_ = 0;
};

// The libcrypto path: one job after the other. An XOF's stream is produced
// for expected_blocks blocks, and produced again twice as long whenever the
// receiver reads past it.
void run_with_libcrypto(const SpongeJob& job) {
    const std::span<const ByteView> parts(job.input);
    const std::size_t digest = digest_bytes(job.function);
    if (digest != 0) {
        std::uint8_t d[64];
        libcrypto_sha3::hash(job.function, parts, std::span(d, digest));
        job.sink(ByteView(d, digest));
        secure_zero(d, sizeof d);
        return;
    }
    const std::size_t rate = rate_bytes(job.function);
    std::vector<std::uint8_t> stream(rate * std::max<std::size_t>(1, job.expected_blocks));
    libcrypto_sha3::hash(job.function, parts, stream);
    for (std::size_t at = 0;; at += rate) {
        if (at == stream.size()) {
            std::vector<std::uint8_t> longer(2 * stream.size());
            libcrypto_sha3::hash(job.function, parts, longer);
            secure_zero(stream.data(), stream.size());
            stream.swap(longer);
        }
        if (!job.sink(ByteView(stream.data() + at, rate))) break;
    }
    secure_zero(stream.data(), stream.size());
}

}  // namespace

void sha3_256(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 32> out, Path path) noexcept {
    hash(Sha3::Sha3_256, std::span(parts.begin(), parts.size()), out, path);
}

void sha3_512(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 64> out, Path path) noexcept {
    hash(Sha3::Sha3_512, std::span(parts.begin(), parts.size()), out, path);
}

void shake128(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out, Path path) noexcept {
    hash(Sha3::Shake128, std::span(parts.begin(), parts.size()), out, path);
}

void shake256(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out, Path path) noexcept {
    hash(Sha3::Shake256, std::span(parts.begin(), parts.size()), out, path);
}

const char* keccak_backend_name() noexcept { return keccak::path_name(keccak::active_path()); }

void run_sponges(std::span<const SpongeJob> jobs, Path path) {
    if (path == Path::Libcrypto) {
        for (const SpongeJob& job : jobs) run_with_libcrypto(job);
        return;
    }
    Batch(keccak::kernels(path)).run(jobs);
}

void hash_lanes(Sha3 function, std::span<const ByteView> in, std::span<const std::span<std::uint8_t>> out,
                Path path) {
    if (in.size() != out.size()) std::abort();  // caller contract
    const std::size_t digest = digest_bytes(function);
    const std::size_t rate = rate_bytes(function);
    struct Copy {
        std::span<std::uint8_t> out;
        std::size_t done = 0;
        bool operator()(ByteView block) {
            const std::size_t take = std::min(block.size(), out.size() - done);
            std::memcpy(out.data() + done, block.data(), take);
            done += take;
            return done < out.size();
        }
    };
    std::vector<Copy> copies;
    std::vector<SpongeJob> jobs;
    copies.reserve(in.size());
    jobs.reserve(in.size());
    for (std::size_t j = 0; j < in.size(); ++j) {
        if (digest != 0 ? out[j].size() != digest : out[j].empty()) {
            if (digest != 0) std::abort();  // a digest has exactly its length
            continue;                       // nothing to produce
        }
        copies.push_back(Copy{out[j]});
        jobs.push_back(SpongeJob{function, {in[j], ByteView()}, copies.back(), (out[j].size() + rate - 1) / rate});
    }
    run_sponges(jobs, path);
}

}  // namespace velora::primitives
