// The random source: the fill contract on every mechanism, the retry and
// short-read rules with scripted sources, and the one-time device opening.
#include "platform/random.hpp"
#include "platform/random_detail.hpp"

#include <gtest/gtest.h>
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vpl = velora::platform;
namespace detail = velora::platform::detail;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Fill = std::function<bool(std::span<std::uint8_t>)>;

struct Mechanism {
    const char* name;
    Fill fill;  // empty when not available on this machine
};

std::vector<Mechanism> mechanisms() {
    std::vector<Mechanism> m = {
        {"fill_random", [](std::span<std::uint8_t> s) { return vpl::fill_random(s); }},
        {"device", [](std::span<std::uint8_t> s) { return detail::fill_from_device(s); }},
        {"getrandom", nullptr},
    };
    if (detail::GetrandomFn fn = detail::usable_getrandom())
        m[2].fill = [fn](std::span<std::uint8_t> s) { return detail::fill_with_getrandom(fn, s); };
    return m;
}

class RandomFill : public ::testing::TestWithParam<std::size_t> {
protected:
    static Mechanism get(std::size_t i) { return mechanisms()[i]; }
};

constexpr std::uint8_t kSentinel = 0xA5;

// Exactly n bytes are written: the bytes after the span stay as they were,
// and the first and last 16 bytes of the span no longer hold the sentinel
// (a fill reported as complete but short would leave the tail untouched).
TEST_P(RandomFill, FillsExactlyTheRequestedBytes) {
    const Mechanism m = get(GetParam());
    if (!m.fill) GTEST_SKIP() << "getrandom not usable here";
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{12}, std::size_t{32}, std::size_t{256},
                          std::size_t{257}, std::size_t{4096}, std::size_t{1} << 20}) {
        SCOPED_TRACE(n);
        Bytes buf(n + 64, kSentinel);
        ASSERT_TRUE(m.fill(std::span(buf).first(n)));
        EXPECT_TRUE(std::all_of(buf.begin() + static_cast<std::ptrdiff_t>(n), buf.end(),
                                [](std::uint8_t b) { return b == kSentinel; }));
        if (n >= 16) {
            auto untouched = [](auto first, auto last) {
                return std::all_of(first, last, [](std::uint8_t b) { return b == kSentinel; });
            };
            const auto end = buf.begin() + static_cast<std::ptrdiff_t>(n);
            EXPECT_FALSE(untouched(buf.begin(), buf.begin() + 16));
            EXPECT_FALSE(untouched(end - 16, end));
        }
    }
}

TEST_P(RandomFill, SuccessiveCallsDiffer) {
    const Mechanism m = get(GetParam());
    if (!m.fill) GTEST_SKIP() << "getrandom not usable here";
    Bytes a(32), b(32);
    ASSERT_TRUE(m.fill(a));
    ASSERT_TRUE(m.fill(b));
    EXPECT_NE(a, b);
}

TEST_P(RandomFill, ManyThreadsAtOnce) {
    const Mechanism m = get(GetParam());
    if (!m.fill) GTEST_SKIP() << "getrandom not usable here";
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            Bytes buf(48);
            for (int i = 0; i < 200; ++i)
                if (!m.fill(buf)) ++failures;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, RandomFill, ::testing::Values(0, 1, 2),
                         [](const auto& p) { return std::string(mechanisms()[p.param].name); });

// ---------------------------------------------------------------- scripted getrandom

// One scripted result per call: a positive count fills that many bytes with
// the call's number (1, 2, ...), a negative value returns -1 with that errno
// (negated). Lengths beyond the request are returned as such.
struct Script {
    std::vector<long> results;
    std::size_t calls = 0;
};
Script g_script;

ssize_t scripted_getrandom(void* buf, std::size_t len, unsigned int flags) {
    EXPECT_EQ(flags, 0u);
    if (g_script.calls >= g_script.results.size()) {
        ADD_FAILURE() << "called more often than scripted";
        errno = EIO;
        return -1;
    }
    const long r = g_script.results[g_script.calls++];
    if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
    }
    std::memset(buf, static_cast<int>(g_script.calls), std::min(len, static_cast<std::size_t>(r)));
    return r;
}

struct ScriptCase {
    const char* name;
    std::size_t request;
    std::vector<long> results;
    bool ok;
    std::vector<std::uint8_t> expected;  // when ok: the bytes written
};

const ScriptCase kScripts[] = {
    {"one_call", 4, {4}, true, {1, 1, 1, 1}},
    {"short_reads_continue", 6, {1, 2, 3}, true, {1, 2, 2, 3, 3, 3}},
    {"eintr_is_retried", 3, {-EINTR, -EINTR, 3}, true, {3, 3, 3}},
    {"eintr_between_short_reads", 4, {2, -EINTR, 2}, true, {1, 1, 3, 3}},
    {"zero_length_request_makes_no_call", 0, {}, true, {}},
    {"zero_return_fails", 4, {2, 0}, false, {}},
    {"error_fails", 4, {-EIO}, false, {}},
    {"eagain_fails", 4, {-EAGAIN}, false, {}},
    {"error_after_short_read_fails", 4, {3, -EFAULT}, false, {}},
    {"more_than_asked_fails", 4, {5}, false, {}},
};

class ScriptedGetrandom : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptedGetrandom, FollowsRetryAndShortReadRules) {
    const ScriptCase& c = GetParam();
    g_script = Script{c.results, 0};
    Bytes buf(c.request + 8, 0);  // room for an over-long scripted result
    EXPECT_EQ(detail::fill_with_getrandom(scripted_getrandom, std::span(buf).first(c.request)), c.ok);
    EXPECT_EQ(g_script.calls, c.results.size());
    if (c.ok) {
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(c.request)), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptedGetrandom, ::testing::ValuesIn(kScripts),
                         [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- reading a descriptor

class PipeRead : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::pipe(fds_), 0); }
    void TearDown() override {
        for (int& fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    void write_bytes(std::uint8_t value, std::size_t n) {
        const Bytes b(n, value);
        ASSERT_EQ(::write(fds_[1], b.data(), n), static_cast<ssize_t>(n));
    }
    void close_writer() {
        ::close(fds_[1]);
        fds_[1] = -1;
    }
    int reader() const { return fds_[0]; }

private:
    int fds_[2] = {-1, -1};
};

TEST_F(PipeRead, ShortReadsContinueUntilFull) {
    Bytes buf(30, 0);
    write_bytes(1, 10);
    std::thread writer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        write_bytes(2, 15);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        write_bytes(3, 5);
    });
    const bool ok = detail::fill_from_fd(reader(), buf);
    writer.join();
    ASSERT_TRUE(ok);
    Bytes expected(10, 1);
    expected.insert(expected.end(), 15, 2);
    expected.insert(expected.end(), 5, 3);
    EXPECT_EQ(buf, expected);
}

TEST_F(PipeRead, EndOfFileFails) {
    write_bytes(1, 10);
    close_writer();
    Bytes buf(20);
    EXPECT_FALSE(detail::fill_from_fd(reader(), buf));
}

TEST(FdRead, BadDescriptorFails) {
    Bytes buf(8);
    EXPECT_FALSE(detail::fill_from_fd(-1, buf));
}

// A signal that interrupts the blocked read (handler without SA_RESTART) is
// retried rather than reported as a failure.
TEST_F(PipeRead, InterruptedReadIsRetried) {
    struct sigaction sa{}, old{};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

    Bytes buf(8, 0);
    std::atomic<bool> ok{false};
    std::thread reader_thread([&] { ok = detail::fill_from_fd(reader(), buf); });
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::pthread_kill(reader_thread.native_handle(), SIGUSR1);
    }
    write_bytes(7, 8);
    reader_thread.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(ok.load());
    EXPECT_EQ(buf, Bytes(8, 7));
}

// ---------------------------------------------------------------- device opening

std::size_t open_descriptors() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;
}

// Threads arriving together at first use share one /dev/urandom descriptor
// (none if an earlier test in this process opened it already); later calls
// open nothing more.
TEST(DeviceFallback, ConcurrentFirstUseOpensOneDescriptor) {
    const std::size_t before = open_descriptors();
    std::atomic<int> waiting{8}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            --waiting;
            while (waiting.load() > 0) std::this_thread::yield();
            Bytes buf(32);
            if (!detail::fill_from_device(buf)) ++failures;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    const std::size_t after = open_descriptors();
    EXPECT_LE(after, before + 1);

    Bytes buf(32);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(detail::fill_from_device(buf));
    EXPECT_EQ(open_descriptors(), after);
}

}  // namespace
