// Callers of the link: many genuine ones at once, each getting its replies
// complete and in order; and calls the genuine app never made, or made
// while running foreign code, each refused.
#include <gtest/gtest.h>

#include <filesystem>
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

namespace {

// The rules an attacker hands over: close an app of the user's for an hour.
std::string attackerRules(const E2eWorld& world) {
    const std::string file = world.root() + "/attacker.json";
    const Outcome printed =
        world.standin({"session", "--close", "com.example.victim", "--minutes", "60", "--print"});
    writeText(file, printed.out);
    return file;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

const std::string kDenied = "org.freedesktop.DBus.Error.AccessDenied";

// A preload list with `library`: behind the sanitizer runtime this test runs
// with, if any, which refuses to start a program where it does not come first.
std::string preloading(const std::string& library) {
    std::istringstream maps(readText("/proc/self/maps"));
    for (std::string line; std::getline(maps, line);)
        if (contains(line, "/libasan.so")) return line.substr(line.find('/')) + " " + library;
    return library;
}

}  // namespace

// Each attack a process of the user could make on calls the genuine app
// never made, with the genuine app itself in the middle; each is refused,
// nothing it handed over is held, and the genuine app is still served.
TEST(LinkCallers, CallsTheGenuineAppNeverMadeAreRefused) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    ASSERT_EQ(world.standin({"version"}).out, "1\n");
    const std::string rules = attackerRules(world);
    const std::vector<std::string> target{world.busAddress(), world.busName(),
                                          world.ordwynExecutable(), rules};
    auto attack = [&](const std::string& program, std::vector<std::string> args) {
        args.insert(args.begin(), program);
        return run(args, world.environment(), 120);
    };

    // Connected, forked, and the parent became the genuine app: the child's
    // calls on the shared connection are the child's.
    std::vector<std::string> args = target;
    const Outcome forked = attack(ATTACK_FORK_AFTER_CONNECT, args);
    EXPECT_TRUE(contains(forked.out, "shared connection: " + kDenied)) << forked.out << forked.err;
    EXPECT_TRUE(contains(forked.out, "1\n1\n")) << "the app itself is served: " << forked.out;

    // The connecting process gone and the genuine app on its pid.
    const Outcome recycled = attack(ATTACK_RECYCLED_PID, target);
    if (recycled.status == 77)
        std::printf("recycled pid not tried: %s", recycled.out.c_str());
    else
        EXPECT_TRUE(contains(recycled.out, "recycled pid: " + kDenied))
            << recycled.out << recycled.err;

    // The genuine app's connection, taken after its first call.
    const Outcome stolen = attack(ATTACK_STOLEN_CONNECTION, target);
    if (stolen.status == 77) {
        std::printf("stolen connection not tried: %s", stolen.out.c_str());
    } else {
        EXPECT_TRUE(contains(stolen.out, "app: 1\nstolen connection: " + kDenied + ": "))
            << stolen.out << stolen.err;
        EXPECT_FALSE(contains(stolen.out, "com.example.victim")) << stolen.out;
    }

    // A tracer attached to the genuine app after its first call.
    const Outcome traced = attack(ATTACK_TRACER, {world.ordwynExecutable()});
    if (traced.status == 77)
        std::printf("tracing not tried: %s", traced.out.c_str());
    else
        EXPECT_EQ(traced.out, "app: 1\napp: {\"error\":\"" + kDenied + "\"}\n") << traced.err;

    const Outcome held = world.standin({"held"});
    EXPECT_FALSE(contains(held.out, "com.example.victim")) << held.out;
    EXPECT_EQ(world.logCount(" Guard: holding: "), 0) << world.agentLog();
    EXPECT_EQ(world.agentPids().size(), 1u) << world.agentLog();
}

// Foreign code put into the genuine app through the loader's variables:
// refused for what the app maps, not for what its environment says.
TEST(LinkCallers, TheGenuineAppRunningForeignCodeIsRefused) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    // Where the app's D-Bus library comes from, seen in the running app.
    std::string library;
    {
        auto app = world.startStandin();
        ASSERT_TRUE(app);
        ASSERT_TRUE(waitUntil(
            [&] {
                std::istringstream maps(readText("/proc/" + std::to_string(app->pid()) + "/maps"));
                for (std::string line; std::getline(maps, line);)
                    if (contains(line, "/libQt6DBus.so")) library = line.substr(line.find('/'));
                return !library.empty();
            },
            10));
    }
    // A copy the user wrote, first on the search path: same bytes, anyone's.
    const std::string trojans = world.root() + "/trojans";
    std::filesystem::create_directories(trojans);
    std::filesystem::copy_file(library, trojans + "/libQt6DBus.so.6");
    Environment searched = world.environment();
    searched["LD_LIBRARY_PATH"] = trojans;
    const Outcome trojan = run({world.ordwynExecutable(), "version"}, searched, 60);
    EXPECT_EQ(trojan.out, "{\"error\":\"" + kDenied + "\"}\n") << trojan.err;

    // Preloaded, and erased from the live environment before the first call.
    const std::string injected = world.root() + "/inject.so";
    std::filesystem::copy_file(ATTACK_ERASING_PRELOAD, injected);
    Environment preloaded = world.environment();
    preloaded["LD_PRELOAD"] = preloading(injected);
    const Outcome erased = run({world.ordwynExecutable(), "version"}, preloaded, 60);
    EXPECT_TRUE(contains(erased.err, "preload: erased")) << erased.err;
    EXPECT_EQ(erased.out, "{\"error\":\"" + kDenied + "\"}\n") << erased.err;

    // The signed stand-in started plainly is the app.
    EXPECT_EQ(world.standin({"version"}).out, "1\n");
}

// A proof made before an exec, made twice on one socket, made for another
// connection, or carrying rules too large to hold: none is served, and the
// genuine app still is.
TEST(LinkCallers, AProofServesOnlyTheCallOfTheImageThatMadeIt) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    ASSERT_EQ(world.standin({"version"}).out, "1\n");
    const std::string rules = attackerRules(world);
    for (const std::string mode : {"parent", "inherited"}) {
        const Outcome exec = run({ATTACK_EXEC_AFTER_PROOF, world.busAddress(), world.busName(),
                                  world.ordwynExecutable(), rules, mode},
                                 world.environment(), 120);
        EXPECT_TRUE(contains(exec.out, mode + ": " + kDenied + ": the call proves no sender: "))
            << exec.out << exec.err;
    }
    // The same from inside the genuine app: a preloaded trojan proves, then
    // executes the app again clean.
    const std::string trojan = world.root() + "/trojan.so";
    std::filesystem::copy_file(ATTACK_PROVING_TROJAN, trojan);
    const Outcome inside = run({ATTACK_EXEC_AFTER_PROOF, world.busAddress(), world.busName(),
                                world.ordwynExecutable(), rules, "trojan", preloading(trojan)},
                               world.environment(), 120);
    EXPECT_TRUE(contains(inside.out, "trojan: " + kDenied + ": the call proves no sender: "))
        << inside.out << inside.err;
    const Outcome misuse =
        run({ATTACK_PROOF_MISUSE, world.busAddress(), world.busName()}, world.environment(), 120);
    EXPECT_TRUE(contains(misuse.out, "two packets: " + kDenied +
                                         ": the call proves no sender: the proof socket carries "
                                         "more than one proof\n"))
        << misuse.out << misuse.err;
    EXPECT_TRUE(contains(misuse.out, "two packets again: " + kDenied)) << misuse.out;
    EXPECT_TRUE(contains(misuse.out, "other connection: " + kDenied +
                                         ": the call proves no sender: its proof names another "
                                         "connection\n"))
        << misuse.out;
    EXPECT_TRUE(contains(misuse.out, "large: " + kDenied + ": only the genuine app")) << misuse.out;

    // The genuine app's own hand-overs, captured on a bus that another
    // process runs and brought here from a connection with the name the app
    // had there: one while the app still waits for it (its proof names the
    // other bus), one once the app has moved on (it no longer waits to
    // answer for it).
    PrivateBus other(world.root() + "/other-bus", world.root() + "/other-bus/services",
                     world.environment());
    ASSERT_TRUE(other.ready()) << other.problem();
    const Outcome replay = run({ATTACK_LATE_REPLAY, world.busAddress(), world.busName(),
                                world.ordwynExecutable(), rules, other.address()},
                               world.environment(), 120);
    EXPECT_TRUE(contains(replay.out, "names: same\n")) << replay.out << replay.err;
    EXPECT_TRUE(contains(replay.out, "live relay: " + kDenied +
                                         ": the call proves no sender: its proof names another "
                                         "bus\n"))
        << replay.out << replay.err;
    EXPECT_TRUE(contains(replay.out, "late replay: " + kDenied +
                                         ": the call proves no sender: the caller no longer "
                                         "waits for its call"))
        << replay.out << replay.err;

    EXPECT_EQ(world.standin({"version"}).out, "1\n");
    EXPECT_EQ(world.logCount(" Guard: holding: "), 0) << world.agentLog();
}

// The Python example of docs/link.md, with standard modules only: its proof
// is read and its sender judged (an interpreter is not the app).
TEST(LinkCallers, APythonCallerSpeaksTheLink) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    const Outcome python = run({"/usr/bin/python3", VORSEL_PYTHON_EXAMPLE, world.busName(), "held"},
                               world.environment(), 60);
    EXPECT_EQ(python.status, 1) << python.out << python.err;
    EXPECT_EQ(python.err, kDenied + ": only the genuine app may call the guard\n") << python.out;
}
