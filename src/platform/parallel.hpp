// One loop body over indexes 0 .. count - 1 on up to `threads` threads (the
// calling one included). Indices are handed out one at a time, so a thread
// slowed down by other work on the machine holds up the call by one item at
// most. A failure to start a thread leaves fewer threads sharing the work.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace velora {

template <class Fn>
void parallel_for(std::size_t count, unsigned threads, Fn&& fn) {
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) fn(i);
    };
    std::vector<std::jthread> others;
    const std::size_t used = std::min<std::size_t>(threads, count);
    const std::size_t extra = used > 1 ? used - 1 : 0;
    try {
        for (std::size_t t = 0; t < extra; ++t) others.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads: the ones running and this one share the items.
    }
    work();
}

}  // namespace velora
