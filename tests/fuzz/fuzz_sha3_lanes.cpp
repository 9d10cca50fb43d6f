// The engine's multi-lane SHA-3 against libcrypto's, on arbitrary mixes of
// jobs: every function side by side in one run (different rates in one
// batch), inputs of any length in two parts, XOF outputs of any length (so
// lanes end, are refilled and the batch narrows at any point), on every
// Keccak path of the engine's own this CPU runs.
//
// Input: records until the input ends, at most 24: a function byte (mod 4),
// the input length (two bytes, mod 600), a split byte (the first part takes
// length * split / 255 bytes), the output length (two bytes, mod 1200;
// ignored for SHA3-256 and SHA3-512), then the input bytes (fewer where the
// fuzz input ends).
#include <algorithm>
#include <functional>

#include "fuzz_common.hpp"
#include "primitives/sha3.hpp"

using namespace velora;
using namespace velora::fuzz;
namespace vp = velora::primitives;

namespace {

struct Job {
    vp::Sha3 function;
    Bytes input;
    std::size_t split;
    std::size_t out_len;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    std::vector<Job> jobs;
    while (!in.empty() && jobs.size() < 24) {
        Job j;
        j.function = static_cast<vp::Sha3>(in.byte() % 4);
        const std::size_t len = ((std::size_t{in.byte()} << 8) | in.byte()) % 600;
        const std::size_t split_byte = in.byte();
        const std::size_t out = ((std::size_t{in.byte()} << 8) | in.byte()) % 1200;
        const ByteSpan bytes = in.take(len);
        j.input.assign(bytes.begin(), bytes.end());
        j.split = j.input.size() * split_byte / 255;
        j.out_len = vp::digest_bytes(j.function) != 0 ? vp::digest_bytes(j.function) : out;
        jobs.push_back(std::move(j));
    }

    std::vector<Bytes> want(jobs.size());
    for (std::size_t n = 0; n < jobs.size(); ++n) {
        want[n].resize(jobs[n].out_len);
        vp::hash_lanes(jobs[n].function, std::array{ByteSpan(jobs[n].input)}, std::array{std::span(want[n])},
                       vp::keccak::Path::Libcrypto);
    }

    for (vp::keccak::Path path : vp::keccak::kAllPaths) {
        if (path == vp::keccak::Path::Libcrypto || !vp::keccak::path_available(path)) continue;
        std::vector<Bytes> got(jobs.size());
        std::vector<std::function<bool(ByteSpan)>> sinks;
        std::vector<vp::SpongeJob> sponge_jobs;
        sinks.reserve(jobs.size());
        for (std::size_t n = 0; n < jobs.size(); ++n) {
            if (jobs[n].out_len == 0) continue;  // an XOF asked for nothing is not run
            sinks.emplace_back([&got, &jobs, n](ByteSpan block) {
                const std::size_t take = std::min(block.size(), jobs[n].out_len - got[n].size());
                got[n].insert(got[n].end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
                return got[n].size() < jobs[n].out_len;
            });
            const ByteSpan input(jobs[n].input);
            sponge_jobs.push_back(
                {jobs[n].function, {input.first(jobs[n].split), input.subspan(jobs[n].split)}, sinks.back(), 1});
        }
        vp::run_sponges(sponge_jobs, path);
        for (std::size_t n = 0; n < jobs.size(); ++n) FUZZ_CHECK(got[n] == want[n]);
    }
    return 0;
}
