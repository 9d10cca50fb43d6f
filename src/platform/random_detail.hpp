// The two mechanisms behind fill_random, exposed for the engine tests.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace velora::platform::detail {

// The signature of the C library's getrandom.
using GetrandomFn = ssize_t (*)(void* buf, std::size_t len, unsigned int flags);

// The C library's getrandom, looked up at run time and probed with a
// zero-length request; nullptr when it is absent or the probe fails with
// ENOSYS or EPERM.
GetrandomFn usable_getrandom() noexcept;

// Fills out through `fn` (flags 0): EINTR is retried, a short read continues,
// any other result (0, an error, more than asked) fails.
bool fill_with_getrandom(GetrandomFn fn, std::span<std::uint8_t> out) noexcept;

// Fills out by reading `fd`: EINTR is retried, a short read continues,
// end of file or an error fails.
bool fill_from_fd(int fd, std::span<std::uint8_t> out) noexcept;

// The device fallback: on first use waits until /dev/random is readable, then
// opens /dev/urandom once for the life of the process and reads it.
bool fill_from_device(std::span<std::uint8_t> out) noexcept;

}  // namespace velora::platform::detail
