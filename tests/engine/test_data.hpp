// Test data that lives outside the repository: the published vectors beside
// the checkout (../shared/vectors, only CI has it) and the files of installed
// packages. Where such data is missing, a test is skipped with the reason;
// under CI=true, where it must be present, the test fails instead.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace velora::testing {

// CI=true: missing test data is a failure, not a skip.
inline bool test_data_required() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string_view(ci) == "true";
}

}  // namespace velora::testing

// In SetUp() or a test body: skips the test (fails it under CI=true) unless
// `found` holds. `reason` is streamed into the message.
#define VELORA_REQUIRE_TEST_DATA(found, reason)                                  \
    do {                                                                         \
        if (!(found)) {                                                          \
            if (::velora::testing::test_data_required()) {                       \
                FAIL() << reason << " (required under CI=true)";                 \
            }                                                                    \
            GTEST_SKIP() << reason;                                              \
        }                                                                        \
    } while (false)
