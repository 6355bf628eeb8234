// Skipping a test for want of something the machine lacks (a display server,
// the desktop apps). Where the project's setup has run (CI sets
// VORSEL_SETUP_REQUIRED=1), that lack is a broken setup, not a machine that
// cannot run the test, and a skip there would report a story that never ran
// as passed: it fails instead.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vorsel::testing {

inline bool setupRequired() {
    const char* value = std::getenv("VORSEL_SETUP_REQUIRED");
    return value != nullptr && std::string_view(value) == "1";
}

// The first of `programs` (paths) that this machine cannot run, said as the
// reason to skip; empty when it can run them all.
inline std::string missingProgram(std::initializer_list<const char*> programs) {
    for (const char* program : programs) {
        if (::access(program, X_OK) != 0)
            return std::string(program) + " is not installed (scripts/setup.sh installs it)";
    }
    return {};
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
