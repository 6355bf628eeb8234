// Many genuine callers at once: each one's replies come back complete, in the
// order of its calls, and each hand-over is answered with the rules that this
// very hand-over left in place.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/e2e/support/E2eWorld.h"

using namespace vorsel::e2e;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace

TEST(LinkCallers, AHundredCallersEachGetTheirRepliesInOrder) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    // Start the agent first, so that the crowd meets a running one.
    ASSERT_EQ(world.standin({"version"}).out, "1\n");

    constexpr int kCallers = 100;
    std::vector<Outcome> outcomes(kCallers);
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&world, &outcomes, i] {
            outcomes[i] = world.standin(
                {"version", "held", "session", "--close", "com.example.app" + std::to_string(i),
                 "--minutes", "10", "version", "held", "version"},
                120);
        });
    }
    for (auto& caller : callers) caller.join();

    for (int i = 0; i < kCallers; ++i) {
        SCOPED_TRACE("caller " + std::to_string(i));
        ASSERT_EQ(outcomes[i].status, 0) << outcomes[i].err;
        const auto replies = lines(outcomes[i].out);
        ASSERT_EQ(replies.size(), 6u) << outcomes[i].out;
        EXPECT_EQ(replies[0], "1");
        EXPECT_EQ(replies[3], "1");
        EXPECT_EQ(replies[5], "1");
        EXPECT_TRUE(nlohmann::json::parse(replies[1], nullptr, false).is_object()) << replies[1];
        // The hand-over's reply is exactly its own rules.
        const auto held = nlohmann::json::parse(replies[2], nullptr, false);
        ASSERT_TRUE(held.is_object()) << replies[2];
        EXPECT_EQ(held.value("closing", ""), "listed");
        EXPECT_EQ(held["apps"], nlohmann::json::array({"com.example.app" + std::to_string(i)}));
        EXPECT_TRUE(nlohmann::json::parse(replies[4], nullptr, false).is_object()) << replies[4];
    }
    // One agent served them all.
    EXPECT_EQ(world.agentPids().size(), 1u);
    EXPECT_EQ(world.logCount(" Guard: listening as "), 1);
}
