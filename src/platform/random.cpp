// The operating system's random source: getrandom, or /dev/urandom once the
// kernel's pool is initialised.
#include "platform/random.hpp"

#include "platform/random_detail.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>

namespace velora::platform {
namespace detail {
namespace {

int open_retrying(const char* path) noexcept {
    for (;;) {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

// Blocks until /dev/random is readable, i.e. the kernel's pool is initialised.
bool wait_for_entropy() noexcept {
    const int fd = open_retrying("/dev/random");
    if (fd < 0) return false;
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    int r;
    do {
        r = ::poll(&p, 1, -1);
    } while (r < 0 && errno == EINTR);
    ::close(fd);
    return r == 1 && (p.revents & POLLIN) != 0;
}

// The /dev/urandom descriptor, kept open for the life of the process. A failed
// opening leaves it unset, so a later call tries again.
std::atomic<int> g_device_fd{-1};
std::mutex g_device_open;

int device_fd() noexcept {
    int fd = g_device_fd.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    std::lock_guard lock(g_device_open);  // one thread opens; the others wait here
    fd = g_device_fd.load(std::memory_order_relaxed);
    if (fd < 0 && wait_for_entropy()) {
        fd = open_retrying("/dev/urandom");
        if (fd >= 0) g_device_fd.store(fd, std::memory_order_release);
    }
    return fd;
}

}  // namespace

GetrandomFn usable_getrandom() noexcept {
    auto fn = reinterpret_cast<GetrandomFn>(::dlsym(RTLD_DEFAULT, "getrandom"));
    if (fn == nullptr) return nullptr;
    std::uint8_t probe = 0;
    if (fn(&probe, 0, 0) < 0 && (errno == ENOSYS || errno == EPERM)) return nullptr;
    return fn;
}

bool fill_with_getrandom(GetrandomFn fn, std::span<std::uint8_t> out) noexcept {
    while (!out.empty()) {
        const ssize_t r = fn(out.data(), out.size(), 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || static_cast<std::size_t>(r) > out.size()) return false;
        out = out.subspan(static_cast<std::size_t>(r));
    }
    return true;
}

bool fill_from_fd(int fd, std::span<std::uint8_t> out) noexcept {
    while (!out.empty()) {
        const std::size_t want = std::min<std::size_t>(out.size(), SSIZE_MAX);
        const ssize_t r = ::read(fd, out.data(), want);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || static_cast<std::size_t>(r) > want) return false;
        out = out.subspan(static_cast<std::size_t>(r));
    }
    return true;
}

bool fill_from_device(std::span<std::uint8_t> out) noexcept {
    const int fd = device_fd();
    return fd >= 0 && fill_from_fd(fd, out);
}

}  // namespace detail

bool fill_random(std::span<std::uint8_t> out) noexcept {
    // Chosen on first use, once per process (thread-safe static initialisation).
    static const detail::GetrandomFn getrandom_fn = detail::usable_getrandom();
    return getrandom_fn != nullptr ? detail::fill_with_getrandom(getrandom_fn, out) : detail::fill_from_device(out);
}

}  // namespace velora::platform
