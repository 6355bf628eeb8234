// Load: the genuine app holding as fast as it can from 8 callers at once.
// Every reply is the caller's own rules, the agent stays up, and its
// resident memory stays flat. VORSEL_LOAD_SECONDS sets the length (default
// 10; the benchmark run uses 60).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "Robustness.h"

using namespace vorsel::e2e;
using SteadyClock = std::chrono::steady_clock;

TEST(Load, EightCallersHoldingAsFastAsTheyCanAllGetTheirOwnRulesBackAndMemoryStaysFlat) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    const char* given = std::getenv("VORSEL_LOAD_SECONDS");
    const double seconds = given ? std::max(1.0, std::atof(given)) : 10.0;
    constexpr int kCallers = 8;
    constexpr int kPerRun = 250;  // holds per stand-in run, sent without waiting

    std::vector<nlohmann::json> expected;
    std::vector<std::vector<std::string>> args(kCallers);
    for (int caller = 0; caller < kCallers; ++caller) {
        const std::string rules = sessionRules(
            world, {"--close", "com.example.load" + std::to_string(caller), "--minutes", "30"});
        ASSERT_FALSE(rules.empty());
        expected.push_back(nlohmann::json::parse(rules));
        const std::string file = world.root() + "/load" + std::to_string(caller) + ".json";
        ASSERT_TRUE(writeText(file, rules));
        for (int i = 0; i < kPerRun; ++i) args[caller].insert(args[caller].end(), {"hold", file});
    }
    ASSERT_EQ(world.standin({"version"}).out, "1\n");
    const pid_t agent = world.waitForAgent(5);
    ASSERT_GT(agent, 0);

    std::atomic<long> replies{0}, wrong{0};
    std::atomic<int> failedRuns{0};
    std::mutex mutex;
    std::string firstWrong;
    const auto end = SteadyClock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> callers;
    for (int caller = 0; caller < kCallers; ++caller) {
        callers.emplace_back([&, caller] {
            while (SteadyClock::now() < end) {
                const Outcome outcome = world.standin(args[caller], 120);
                if (outcome.status != 0) ++failedRuns;
                const auto lines = linesOf(outcome.out);
                if (lines.size() != kPerRun) ++failedRuns;
                for (const std::string& line : lines) {
                    ++replies;
                    if (nlohmann::json::parse(line, nullptr, false) != expected[caller]) {
                        std::lock_guard lock(mutex);
                        if (wrong++ == 0) firstWrong = line + " " + outcome.err.substr(0, 300);
                    }
                }
            }
        });
    }
    // Resident memory once a second while the callers run.
    std::vector<long> samples;
    while (SteadyClock::now() < end) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (auto resident = residentKiB(agent)) samples.push_back(*resident);
    }
    for (auto& thread : callers) thread.join();

    EXPECT_EQ(failedRuns.load(), 0) << world.agentLog().substr(0, 2000);
    EXPECT_EQ(wrong.load(), 0) << "e.g. " << firstWrong;
    EXPECT_GT(replies.load(), 0);
    EXPECT_FALSE(processGone(agent));
    EXPECT_EQ(world.agentPids().size(), 1u);

    ASSERT_GE(samples.size(), 3u);
    // Flat: the last third of the run holds no more than the first third
    // after its warm-up, give or take allocator slack.
    const auto third = samples.size() / 3;
    const long early = *std::max_element(samples.begin(), samples.begin() + third + 1);
    const long late = *std::max_element(samples.end() - third - 1, samples.end());
    std::printf(
        "%ld hand-overs in %.0f s from %d callers (%.0f/s); resident KiB first %ld, "
        "early max %ld, late max %ld, last %ld\n",
        replies.load(), seconds, kCallers, replies.load() / seconds, samples.front(), early, late,
        samples.back());
    if (kMemoryMeasurable) {
        EXPECT_LE(late, early + early / 5 + 2048) << "resident memory grew";
    }
}
