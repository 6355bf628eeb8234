// Skipping a test for want of something the machine lacks (a display server,
// the desktop apps). Where the project's setup has run (CI sets
// VORSEL_SETUP_REQUIRED=1), that lack is a broken setup, not a machine that
// cannot run the test, and a skip there would report a story that never ran
// as passed: it fails instead.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace vorsel::testing {

inline bool setupRequired() {
    const char* value = std::getenv("VORSEL_SETUP_REQUIRED");
    return value != nullptr && std::string_view(value) == "1";
}

}  // namespace vorsel::testing

// In a test body or SetUp(): skips with `why`, or fails with it where the
// setup is required.
#define VORSEL_SKIP_FOR_WANT_OF(why)                                   \
    do {                                                               \
        const std::string vorselWant_ = (why);                         \
        if (::vorsel::testing::setupRequired()) FAIL() << vorselWant_; \
        GTEST_SKIP() << vorselWant_;                                   \
    } while (false)
