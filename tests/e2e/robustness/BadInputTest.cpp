// Bad input through the link, from the genuine app itself: whatever bytes it
// hands over, the agent answers (nothing, for rules it cannot read), keeps
// the rules it held, and stays up.
#include <gtest/gtest.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "Guard/Rules/GuardRules.h"
#include "Robustness.h"

using namespace vorsel::e2e;

namespace {

nlohmann::json parsed(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, false);
}

}  // namespace

TEST(BadInput, AThousandMalformedPayloadsAreEachAnsweredWithNothingAndChangeNothing) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    const std::string rules =
        sessionRules(world, {"--close", "com.example.chat", "--minutes", "30"});
    ASSERT_FALSE(rules.empty());
    ASSERT_EQ(world.standin({"hold", "-"}, 60, {}, rules).status, 0);
    const pid_t agent = world.waitForAgent(5);
    ASSERT_GT(agent, 0);
    const std::string before = world.standin({"held"}).out;
    ASSERT_EQ(parsed(before), parsed(rules));

    const auto payloads = malformedPayloads(1000, 20261207);
    std::vector<std::string> args;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        // Our own generator must not slip readable rules in.
        ASSERT_FALSE(vorsel::GuardRules::read(payloads[i])) << "payload " << i << " reads";
        const std::string file = world.root() + "/bad" + std::to_string(i);
        ASSERT_TRUE(writeText(file, payloads[i]));
        args.insert(args.end(), {"hold", file});
    }
    args.push_back("held");
    const Outcome answered = world.standin(args, 240);
    ASSERT_EQ(answered.status, 0) << answered.err;

    const auto lines = linesOf(answered.out);
    ASSERT_EQ(lines.size(), payloads.size() + 1) << answered.err;
    int nothing = 0;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        nothing += lines[i] == "null";
        EXPECT_EQ(lines[i], "null") << "payload " << i << ": " << payloads[i].substr(0, 80);
    }
    EXPECT_EQ(nothing, 1000);
    // The rules held before are held still, in memory and on the link.
    EXPECT_EQ(parsed(lines.back()), parsed(rules));
    EXPECT_FALSE(processGone(agent));
    EXPECT_EQ(world.agentPids().size(), 1u) << "the agent was restarted";
    EXPECT_EQ(world.logCount(" Guard: error: rules it couldn't read were handed over\n"), 1000);
}

TEST(BadInput, A64MiBPayloadIsAnsweredAndTheAgentStaysSmall) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    const std::string rules =
        sessionRules(world, {"--close", "com.example.chat", "--minutes", "30", "--hardcore"});
    ASSERT_FALSE(rules.empty());
    ASSERT_EQ(world.standin({"hold", "-"}, 60, {}, rules).status, 0);
    const pid_t agent = world.waitForAgent(5);
    ASSERT_GT(agent, 0);

    // 64 MiB that start like rules: a list of apps that never closes.
    std::string huge = R"({"closing":"listed","closingEnds":600,"apps":[)";
    const std::string app = R"("com.example.aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",)";
    while (huge.size() + app.size() < (64u << 20)) huge += app;
    huge.resize(64u << 20, ' ');
    const auto before = residentKiB(agent);
    ASSERT_TRUE(before);
    const std::string file = world.root() + "/huge.json";
    ASSERT_TRUE(writeText(file, huge));

    // From a caller already judged: a first call this large would have to
    // wait for its verdict, which is more than may wait (Load.AFlood...).
    const Outcome answered = world.standin({"version", "then", "hold", file, "held"}, 120);
    EXPECT_EQ(answered.status, 0) << answered.err;
    const auto lines = linesOf(answered.out);
    ASSERT_EQ(lines.size(), 3u) << answered.out << answered.err;
    EXPECT_EQ(lines[1], "null");
    EXPECT_EQ(parsed(lines[2]), parsed(rules));
    EXPECT_EQ(parsed(readText(world.memoryFile())), parsed(rules));
    EXPECT_FALSE(processGone(agent));
    // It still hears its callers: the message did not stop it reading.
    EXPECT_EQ(world.standin({"version"}).out, "1\n");
    // Receiving it takes memory for a moment, but does not keep it.
    const auto after = residentKiB(agent);
    ASSERT_TRUE(after);
    std::printf("agent resident before the 64 MiB hand-over %ld KiB, after %ld KiB\n", *before,
                *after);
    if (kMemoryMeasurable) {
        EXPECT_LT(*after, *before + 16 * 1024);
    }
}
