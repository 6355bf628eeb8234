// The world of the enforcement stories: the built agent on a private bus
// (E2eWorld), and throwaway app bundles inside the world's folder, each a copy
// of the waiter program, started as children of the test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "TestApps.h"
#include "tests/e2e/support/E2eWorld.h"

namespace vorsel::e2e {

class EnforcementTest : public ::testing::Test {
  protected:
    EnforcementTest() = default;
    explicit EnforcementTest(E2eWorld::Options options) : world(options) {}
    void SetUp() override;

    // A bundle in the world's "apps" folder.
    std::string bundle(const testing::BundleSpec& spec);
    // Starts `program` on the world's environment plus `extra` and waits
    // until it runs that program.
    std::unique_ptr<Process> start(const std::vector<std::string>& argv,
                                   const Environment& extra = {});
    std::unique_ptr<Process> startApp(const std::string& bundlePath,
                                      const std::vector<std::string>& args = {},
                                      const Environment& extra = {});
    // Hands rules to the agent through the signed stand-in's "session".
    void session(const std::vector<std::string>& options);
    // Lines in a waiter's SIGTERM log.
    int termsIn(const std::string& log) const;
    // Installs a desktop entry that handles https links into the world's
    // $XDG_DATA_HOME; returns its path.
    std::string installBrowserEntry(const std::string& id);
    // Under "every app but…" the agent quits every app of its user, so those
    // stories only run as the throwaway test user.
    bool mayCloseEverything() const;

    E2eWorld world;
    std::string waiter;  // the waiter copied into the world, outside any bundle
};

double secondsSince(std::chrono::steady_clock::time_point start);

}  // namespace vorsel::e2e
