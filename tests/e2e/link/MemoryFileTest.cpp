// The memory file under a reader: while the agent rewrites it in a loop, a
// reader in another process never sees a partial file.
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "tests/e2e/support/E2eWorld.h"

using namespace vorsel::e2e;

namespace {

// Hardcore rules closing `count` apps named after `prefix`, as the stand-in
// builds them (it names itself as the app to keep open).
std::string hardcoreRules(const E2eWorld& world, const std::string& prefix, int count) {
    std::vector<std::string> args{"session"};
    for (int i = 0; i < count; ++i) {
        args.push_back("--close");
        args.push_back("com.example." + prefix + std::to_string(i));
    }
    for (const char* more : {"--minutes", "10", "--hardcore", "--print"}) args.push_back(more);
    return world.standin(args).out;
}

}  // namespace

TEST(MemoryFile, AReaderNeverSeesAPartialFileWhileTheAgentRewritesIt) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    // Big enough that a torn write would be caught in the middle.
    const std::string first = hardcoreRules(world, "first", 500);
    const std::string second = hardcoreRules(world, "second", 350);
    ASSERT_GT(first.size(), 10000u);
    ASSERT_TRUE(writeText(world.root() + "/first.json", first));
    ASSERT_TRUE(writeText(world.root() + "/second.json", second));

    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::set<size_t> sizes;
    std::string example;
    std::thread reader([&] {
        while (!done) {
            auto content = readOnce(world.memoryFile());
            if (!content) continue;  // not written yet
            ++reads;
            const auto rules = nlohmann::json::parse(*content, nullptr, false);
            if (!rules.is_object() || !rules.contains("keepOpen")) {
                if (torn++ == 0) example = *content;
                continue;
            }
            sizes.insert(rules["apps"].size());
        }
    });

    std::vector<std::string> holds;
    for (int round = 0; round < 150; ++round) {
        for (const char* file : {"/first.json", "/second.json"}) {
            holds.push_back("hold");
            holds.push_back(world.root() + file);
        }
    }
    const Outcome handed = world.standin(holds, 120);
    done = true;
    reader.join();

    ASSERT_EQ(handed.status, 0) << handed.err;
    EXPECT_EQ(torn.load(), 0) << "a reader saw: " << example.substr(0, 200);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(sizes, (std::set<size_t>{350, 500})) << "both versions were seen on disk";
    // The file ends with the last rules handed over, as the agent holds them.
    const auto last = nlohmann::json::parse(readText(world.memoryFile()), nullptr, false);
    const auto held = nlohmann::json::parse(world.standin({"held"}).out, nullptr, false);
    EXPECT_EQ(last, held);
    EXPECT_EQ(last["apps"].size(), 350u);
}
