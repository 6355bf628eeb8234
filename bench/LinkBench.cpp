// The agent on a private bus against the least a Qt D-Bus service can be
// (echo_service), both started by bus activation through the same kind of
// script, both called by the same program (link_caller) from a bundle signed
// as the main app. Prints figures and ratios; never fails on slowness.
//
//   link_bench [--rounds 2000] [--starts 10] [--launches 50] [--window 10]
//              [--smaps DIR]
//
// - hand-over: Hold() round trips, one call at a time, verdict cached, vs
//   the echo's Hold() (bare, and with proofs it reads and challenges as the
//   agent does);
// - the proof of a call's sender on its own: what the caller spends making
//   it, and what the agent spends on each call of a judged sender (reading
//   the proof, then looking at the sender's threads and mappings again),
//   against the hand-over;
// - cold start: activation to the first reply, vs the echo's;
// - footprint: resident memory vs the echo's; wake-ups (context switches)
//   per second idle and while watching; with --smaps, each process's
//   /proc/PID/smaps while holding is copied to DIR/{agent,echo}.smaps and a
//   summary by mapped file is printed;
// - launch to quit: a blocked app started 50 times, time until SIGTERM ends it;
// - desktop: on a throwaway X11 desktop, with DISPLAY handed to the agent as a
//   desktop does, the idle agent's resident memory, descriptors and wake-ups
//   before any session and after one that closed an app through its window
//   (the display connection must be gone again), and how long that close
//   took.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <sys/syscall.h>

#include "Platform/Linux/Link/Client/VorselLink.h"
#include "Platform/Linux/Link/DBusLinkJudge.h"
#include "Platform/Linux/Link/DBusLinkProof.h"
#include "TestApps.h"
#include "tests/e2e/support/E2eWorld.h"
#include "tests/support/VirtualDesktop.h"

namespace fs = std::filesystem;
using namespace vorsel::e2e;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr const char* kEchoName = "org.vorsel.bench.Echo";

struct Settings {
    int rounds = 2000;
    int starts = 10;
    int launches = 50;
    double window = 10;
    std::string smaps;  // folder for the per-mapping dumps; empty: none
};

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// "key value value" lines of link_caller's output.
std::map<std::string, std::vector<double>> figures(const std::string& out) {
    std::map<std::string, std::vector<double>> found;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        double value;
        while (words >> value) found[key].push_back(value);
    }
    return found;
}

long statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

long switches(pid_t pid) {
    // Every thread of the process: Qt's D-Bus thread wakes as well.
    long total = 0;
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

double wakeupsPerSecond(pid_t pid, double window) {
    const long before = switches(pid);
    pause(window);
    return (switches(pid) - before) / window;
}

long descriptors(pid_t pid) {
    long count = 0;
    std::error_code error;
    for ([[maybe_unused]] const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        ++count;
    return count;
}

// Whether `pid` has a file whose name holds `name` mapped.
bool maps(pid_t pid, const std::string& name) {
    std::ifstream lines("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(lines, line);)
        if (line.find(name) != std::string::npos) return true;
    return false;
}

pid_t lastPid(const std::string& file) {
    std::ifstream pids(file);
    long pid = 0, last = 0;
    while (pids >> pid) last = pid;
    return static_cast<pid_t>(last);
}

void stop(pid_t pid) {
    if (pid <= 0 || processGone(pid)) return;
    ::kill(pid, SIGKILL);
    waitUntil([pid] { return processGone(pid); }, 5, 0.005);
}

// Resident KiB by what is mapped ("[heap]", "[anon]", a library path...)
// from a /proc/PID/smaps text.
std::map<std::string, std::pair<long, long>> residentByMapping(const std::string& smaps) {
    std::map<std::string, std::pair<long, long>> totals;  // Rss, Pss
    std::istringstream lines(smaps);
    std::string line, current = "[anon]";
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < line.find(' ')) {
            // "start-end perms offset dev inode   path"
            std::istringstream words(line);
            std::string field;
            for (int i = 0; i < 5; ++i) words >> field;
            std::string path;
            std::getline(words >> std::ws, path);
            current = path.empty() ? "[anon]" : path;
        } else if (line.rfind("Rss:", 0) == 0) {
            totals[current].first += std::stol(line.substr(4));
        } else if (line.rfind("Pss:", 0) == 0) {
            totals[current].second += std::stol(line.substr(4));
        }
    }
    return totals;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Copies both processes' smaps to `folder` and prints resident KiB by
// mapping side by side, largest difference first.
void dumpSmaps(const std::string& folder, pid_t agent, pid_t echo) {
    const std::string agentText = readAll("/proc/" + std::to_string(agent) + "/smaps");
    const std::string echoText = readAll("/proc/" + std::to_string(echo) + "/smaps");
    std::error_code error;
    fs::create_directories(folder, error);
    std::ofstream(folder + "/agent.smaps") << agentText;
    std::ofstream(folder + "/echo.smaps") << echoText;
    auto agentTotals = residentByMapping(agentText), echoTotals = residentByMapping(echoText);
    std::vector<std::tuple<long, std::string, long, long, long, long>> rows;
    std::map<std::string, bool> names;
    for (const auto& [name, value] : agentTotals) names[name] = true;
    for (const auto& [name, value] : echoTotals) names[name] = true;
    for (const auto& [name, unused] : names) {
        const auto a = agentTotals[name], e = echoTotals[name];
        rows.emplace_back(a.first - e.first, name, a.first, a.second, e.first, e.second);
    }
    std::sort(rows.begin(), rows.end(), [](const auto& x, const auto& y) {
        return std::abs(std::get<0>(x)) > std::abs(std::get<0>(y));
    });
    std::printf("%-60s %8s %8s %8s %8s\n", "resident KiB by mapping", "agentRss", "agentPss",
                "echoRss", "echoPss");
    for (const auto& [difference, name, aRss, aPss, eRss, ePss] : rows) {
        if (aRss == 0 && eRss == 0) continue;
        std::printf("%-60s %8ld %8ld %8ld %8ld\n", name.substr(0, 60).c_str(), aRss, aPss, eRss,
                    ePss);
    }
}

class Bench {
  public:
    explicit Bench(Settings settings) : settings(settings) {}

    bool setUp() {
        if (!e2eWorld.ready()) return fail("world: " + e2eWorld.problem());
        const std::string root = e2eWorld.root();
        fs::create_directories(root + "/bin");
        fs::copy_file(ECHO_SERVICE, root + "/bin/echo_service");
        const std::string script = root + "/activate-echo.sh";
        writeText(script, "#!/bin/sh\necho $$ >> '" + root + "/echo.pids'\nexec '" + root +
                              "/bin/echo_service' " + kEchoName + " >> '" + root +
                              "/echo.log' 2>&1\n");
        fs::permissions(script, fs::perms::owner_all);
        writeText(root + "/services/" + kEchoName + ".service",
                  std::string("[D-BUS Service]\nName=") + kEchoName + "\nExec=" + script + "\n");
        run({"/usr/bin/dbus-send", "--session", "--dest=org.freedesktop.DBus", "--type=method_call",
             "--print-reply", "/org/freedesktop/DBus", "org.freedesktop.DBus.ReloadConfig"},
            e2eWorld.environment());

        // The caller: the stand-in bundle with link_caller as its executable,
        // signed as the main app.
        caller = root + "/Caller.app";
        fs::copy(e2eWorld.ordwyn(), caller, fs::copy_options::recursive);
        const std::string program = caller + "/Contents/Linux/ordwyn";
        fs::remove(program);
        fs::copy_file(LINK_CALLER, program);
        if (auto failed = sign(caller, e2eWorld.authority(), e2eWorld.app()); !failed.empty())
            return fail("signing the caller: " + failed);

        rules = root + "/rules.json";
        const Outcome printed = e2eWorld.standin(
            {"session", "--close", "com.example.bench", "--minutes", "30", "--print"});
        writeText(rules, printed.out.substr(0, printed.out.find('\n')));
        nothing = root + "/nothing.json";
        writeText(nothing, "{\"closing\":\"nothing\",\"closingEnds\":-63114076800}");
        return true;
    }

    void handOver() {
        std::printf("\n== Hand-over round trip (one call at a time, %d calls, verdict cached)\n",
                    settings.rounds);
        std::printf("processes on the machine: %zu\n", processCount());
        // The agent with each call's proof of its sender; the echo as the
        // least a service can be (bare calls, as before proofs), and with
        // proofs it reads and challenges: what the proof costs by itself.
        auto agent = call(e2eWorld.busName(), settings.rounds, rules);
        auto echo = call(kEchoName, settings.rounds, rules, true);
        auto echoProven = call(kEchoName, settings.rounds, rules);
        if (agent.empty() || echo.empty() || echoProven.empty()) return;
        row("Version()", agent["version"], echo["version"]);
        row("Hold(rules)", agent["hold"], echo["hold"]);
        std::printf("echo with proofs: Version() median %.1f µs, Hold(rules) median %.1f µs\n",
                    median1(echoProven["version"]), median1(echoProven["hold"]));
        ratio("hand-over", median1(agent["hold"]), median1(echo["hold"]), 1.5);
        ratio("hand-over against the echo with proofs", median1(agent["hold"]),
              median1(echoProven["hold"]), 1.5);
        handOverMedian = median1(agent["hold"]);
    }

    // The agent's side timed here, in this process, on the same calls it
    // makes: the proof of a running stand-in's hand-over read, and the
    // stand-in looked at again as a judged sender is on each call.
    void proofCost() {
        std::printf("\n== The proof of a call's sender, per call (%d rounds)\n", settings.rounds);
        const std::string localRules = readAll(rules);
        auto app = e2eWorld.startStandin();
        if (!app || !waitUntil([&] { return threadsOf(app->pid()) >= 1; }, 10)) return;
        pause(0.5);  // past its start: its libraries are all mapped
        namespace lp = vorsel::linux_platform;
        lp::Sender sender{app->pid(), static_cast<std::uint32_t>(::getuid()),
                          lp::UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, app->pid(), 0)))};
        lp::UniqueFd proc = lp::openProcess(app->pid(), nullptr);
        const auto snapshot = proc ? lp::readExecutableLines(proc.get(), nullptr) : std::nullopt;
        if (!sender.pidfd || !snapshot) return;
        std::vector<double> make, read, again;
        // A "bus" of our own, which we listen at the other end of.
        int bus[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, bus) != 0) return;
        const lp::UniqueFd busEnd(bus[0]), listenerEnd(bus[1]);
        for (int i = 0; i < settings.rounds; ++i) {
            auto start = SteadyClock::now();
            VorselLinkProof proof;
            vorselLinkProveCall(&proof, bus[0], ":1.1", "Hold", localRules.data(),
                                localRules.size());
            make.push_back(microsSince(start));
            start = SteadyClock::now();
            const auto proven = lp::readProof(proof.passed, nullptr);
            const bool proves =
                proven && proven->text == lp::proofText("Hold", localRules, ":1.1", ::getpid());
            vorselLinkCloseProof(&proof);
            read.push_back(microsSince(start));
            start = SteadyClock::now();
            const bool same = lp::recheck(sender, *snapshot) == lp::Recheck::same;
            again.push_back(microsSince(start));
            if (!proves || !same) {
                std::printf("a proof or a second look failed\n");
                return;
            }
        }
        std::printf("stand-in: %ld executable mappings, %ld threads\n",
                    static_cast<long>(std::count(snapshot->begin(), snapshot->end(), '\n')),
                    threadsOf(app->pid()));
        std::printf("caller, making the proof (socketpair, pidfd, packet): median %.1f µs\n",
                    median(make));
        std::printf("agent, reading it (packet, pidfds, hash of the rules): median %.1f µs\n",
                    median(read));
        std::printf("agent, the sender looked at again (threads, mappings): median %.1f µs\n",
                    median(again));
        if (handOverMedian > 0)
            std::printf("the agent's part of it: %.0f%% of the hand-over's %.1f µs\n",
                        100 * (median(read) + median(again)) / handOverMedian, handOverMedian);
    }

    void coldStart() {
        std::printf("\n== Cold start: activation to first reply (%d starts each)\n",
                    settings.starts);
        std::vector<double> agentCold, echoCold, agentWarm, echoWarm;
        for (int i = 0; i < settings.starts; ++i) {
            stop(agentPid());
            stop(echoPid());
            pause(0.2);
            agentCold.push_back(first(e2eWorld.busName()));
            agentWarm.push_back(first(e2eWorld.busName()));
            echoCold.push_back(first(kEchoName, true));
            echoWarm.push_back(first(kEchoName, true));
        }
        std::printf("%-34s %10s %10s\n", "median µs", "agent", "echo");
        std::printf("%-34s %10.0f %10.0f\n", "first call, service not running", median(agentCold),
                    median(echoCold));
        std::printf("%-34s %10.0f %10.0f\n", "first call, service running", median(agentWarm),
                    median(echoWarm));
        ratio("cold start", median(agentCold), median(echoCold), 1.3);
        std::printf(
            "(a first call to a running agent pays the caller's signature check once per "
            "connection)\n");
    }

    void footprint() {
        std::printf("\n== Footprint\n");
        const pid_t agent = agentPid(), echo = echoPid();
        // Watching: a session holds, passes run every 2 s.
        call(e2eWorld.busName(), 1, rules);
        call(kEchoName, 1, rules, true);
        // Long enough for the agent's judge thread, idle since the caller was
        // judged, to have ended: a thread that ends inside a wake-up window
        // takes its context switches with it.
        pause(3);
        const long agentRss = statusField(agent, "VmRSS"), echoRss = statusField(echo, "VmRSS");
        std::printf("resident KiB while holding: agent %ld, echo %ld\n", agentRss, echoRss);
        ratio("resident memory", agentRss, echoRss, 1.3);
        // Mapped libraries count in resident memory; what a process allocates
        // itself is its anonymous part.
        std::printf(
            "of which anonymous KiB: agent %ld, echo %ld; file-backed KiB: agent %ld, "
            "echo %ld\n",
            statusField(agent, "RssAnon"), statusField(echo, "RssAnon"),
            statusField(agent, "RssFile"), statusField(echo, "RssFile"));
        ratio("anonymous memory", statusField(agent, "RssAnon"), statusField(echo, "RssAnon"), 1.3);
        std::printf("threads: agent %ld, echo %ld\n", statusField(agent, "Threads"),
                    statusField(echo, "Threads"));
        if (!settings.smaps.empty()) dumpSmaps(settings.smaps, agent, echo);
        const double watching = wakeupsPerSecond(agent, settings.window);
        // Idle: nothing holds (the 20 s leave timer is armed, nothing else).
        call(e2eWorld.busName(), 1, nothing);
        pause(3);  // the judge thread again, as above
        const long idleRss = statusField(agent, "VmRSS");
        const double idle = wakeupsPerSecond(agent, std::min(settings.window, 15.0));
        const double echoIdle = wakeupsPerSecond(echo, std::min(settings.window, 15.0));
        std::printf("resident KiB idle: agent %ld\n", idleRss);
        std::printf(
            "wake-ups per second (context switches, all threads, %.0f s windows): "
            "agent watching %.2f, agent idle %.2f, echo idle %.2f\n",
            settings.window, watching, idle, echoIdle);
    }

    void launchToQuit() {
        std::printf("\n== Launch of a blocked app to its quit request (%d launches)\n",
                    settings.launches);
        const std::string apps = e2eWorld.root() + "/apps";
        fs::create_directories(apps);
        const std::string bundle =
            vorsel::testing::makeBundle(apps, {"Blocked", "test.blocked"}, WAITER_PROGRAM);
        const std::string program = vorsel::testing::bundleProgram(bundle);
        const Outcome held =
            e2eWorld.standin({"session", "--close", "test.blocked", "--minutes", "30"});
        if (held.status != 0) {
            std::printf("hand-over failed: %s\n", held.err.c_str());
            return;
        }
        std::vector<double> times;
        int notByTerm = 0;
        for (int i = 0; i < settings.launches; ++i) {
            const auto start = SteadyClock::now();
            auto app = Process::start({program}, e2eWorld.environment());
            if (!app) continue;
            const auto status = app->wait(10);
            times.push_back(std::chrono::duration<double>(SteadyClock::now() - start).count());
            notByTerm += status != 128 + SIGTERM;
            pause(0.05);
        }
        if (times.empty()) return;
        std::sort(times.begin(), times.end());
        std::printf(
            "median %.3f s, worst %.3f s, best %.3f s; not ended by SIGTERM: %d "
            "(target: under 0.6 s)\n",
            median(times), times.back(), times.front(), notByTerm);
    }

    void desktop() {
        std::printf("\n== Idle before and after a session that closed an app's window\n");
        if (auto missing = vorsel::testing::VirtualDesktop::unavailable(); !missing.empty()) {
            std::printf("skipped: %s\n", missing.c_str());
            return;
        }
        vorsel::testing::VirtualDesktop screen;
        if (!screen.ready()) {
            std::printf("skipped: %s\n", screen.problem().c_str());
            return;
        }
        run({"/usr/bin/dbus-send", "--session", "--dest=org.freedesktop.DBus", "--type=method_call",
             "--print-reply", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.UpdateActivationEnvironment",
             "dict:string:string:DISPLAY," + screen.display()},
            e2eWorld.environment());
        // A fresh agent, started by the bus with the display, as on a desktop.
        stop(agentPid());
        call(e2eWorld.busName(), 1, nothing);
        const pid_t agent = agentPid();
        pause(3);
        const double window = std::min(settings.window, 8.0);
        const long rssBefore = statusField(agent, "VmRSS"), fdsBefore = descriptors(agent);
        const bool xcbBefore = maps(agent, "libxcb");
        const double wakeBefore = wakeupsPerSecond(agent, window);

        const std::string apps = e2eWorld.root() + "/apps";
        fs::create_directories(apps);
        const std::string bundle =
            vorsel::testing::makeBundle(apps, {"Windowed", "test.windowed"}, DESK_APP_PROGRAM);
        Environment environment = e2eWorld.environment();
        environment["DISPLAY"] = screen.display();
        const std::string log = e2eWorld.root() + "/windowed.log";
        auto app =
            Process::start({vorsel::testing::bundleProgram(bundle), "--log", log}, environment);
        waitUntil([&] { return readAll(log).find("ready") != std::string::npos; }, 10);
        pause(0.5);  // managed by the window manager by now
        const auto start = SteadyClock::now();
        e2eWorld.standin({"session", "--close", "test.windowed", "--minutes", "30"});
        const auto status = app ? app->wait(10) : std::nullopt;
        const double closing = std::chrono::duration<double>(SteadyClock::now() - start).count();
        const long fdsWatching = descriptors(agent);
        const bool xcbWatching = maps(agent, "libxcb");
        call(e2eWorld.busName(), 1, nothing);
        pause(3);
        const long rssAfter = statusField(agent, "VmRSS"), fdsAfter = descriptors(agent);
        const double wakeAfter = wakeupsPerSecond(agent, window);
        const bool xcbAfter = maps(agent, "libxcb");
        const bool asked = readAll(log).find("close 0") != std::string::npos;
        std::printf("app closed %.3f s after the hand-over began (exit %d, %s)\n", closing,
                    status.value_or(-1), asked ? "by a close request" : "NOT by a close request");
        std::printf("resident KiB idle: before %ld, after %ld\n", rssBefore, rssAfter);
        ratio("idle resident memory after a desktop session", rssAfter, rssBefore, 1.1);
        std::printf("descriptors: idle before %ld, watching %ld, idle after %ld\n", fdsBefore,
                    fdsWatching, fdsAfter);
        std::printf("wake-ups per second idle (%.0f s windows): before %.2f, after %.2f\n", window,
                    wakeBefore, wakeAfter);
        const auto yes = [](bool mapped) { return mapped ? "mapped" : "not mapped"; };
        std::printf("xcb: idle before %s, watching %s, idle after %s\n", yes(xcbBefore),
                    yes(xcbWatching), yes(xcbAfter));
    }

  private:
    bool fail(const std::string& why) {
        std::fprintf(stderr, "link_bench: %s\n", why.c_str());
        return false;
    }

    std::map<std::string, std::vector<double>> call(const std::string& name, int rounds,
                                                    const std::string& givenRules = {},
                                                    bool bare = false) {
        std::vector<std::string> argv{caller + "/Contents/Linux/ordwyn"};
        if (bare) argv.push_back("--bare");
        argv.insert(argv.end(), {name, std::to_string(rounds)});
        if (!givenRules.empty()) argv.push_back(givenRules);
        const Outcome outcome = run(argv, e2eWorld.environment(), 600);
        if (outcome.status != 0)
            std::fprintf(stderr, "link_caller %s failed: %s\n", name.c_str(), outcome.err.c_str());
        return outcome.status == 0 ? figures(outcome.out)
                                   : std::map<std::string, std::vector<double>>{};
    }

    double first(const std::string& name, bool bare = false) {
        auto found = call(name, 0, {}, bare);
        return found["first"].empty() ? 0 : found["first"][0];
    }

    static double median1(const std::vector<double>& values) {
        return values.empty() ? 0 : values[0];
    }

    static void row(const char* what, const std::vector<double>& agent,
                    const std::vector<double>& echo) {
        if (agent.size() < 2 || echo.size() < 2) return;
        std::printf(
            "%-12s agent median %8.1f µs p90 %8.1f µs | echo median %8.1f µs p90 %8.1f µs\n", what,
            agent[0], agent[1], echo[0], echo[1]);
    }

    static void ratio(const char* what, double agent, double baseline, double target) {
        if (baseline <= 0) return;
        const double value = agent / baseline;
        std::printf("RATIO %s: %.2fx (target <= %.1fx) %s\n", what, value, target,
                    value <= target ? "met" : "MISSED");
    }

    static double microsSince(SteadyClock::time_point start) {
        return std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count();
    }
    static long threadsOf(pid_t pid) { return statusField(pid, "Threads"); }

    pid_t agentPid() const { return lastPid(e2eWorld.root() + "/agent.pids"); }
    pid_t echoPid() const { return lastPid(e2eWorld.root() + "/echo.pids"); }

    static std::size_t processCount() {
        std::size_t count = 0;
        for (const auto& entry : fs::directory_iterator("/proc"))
            count += std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0]));
        return count;
    }

    Settings settings;
    E2eWorld e2eWorld;
    std::string caller, rules, nothing;
    double handOverMedian = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (name == "--rounds")
            settings.rounds = static_cast<int>(value);
        else if (name == "--starts")
            settings.starts = static_cast<int>(value);
        else if (name == "--launches")
            settings.launches = static_cast<int>(value);
        else if (name == "--window")
            settings.window = value;
        else if (name == "--smaps")
            settings.smaps = argv[i + 1];
    }
    Bench bench(settings);
    if (!bench.setUp()) return 1;
    bench.handOver();
    bench.proofCost();
    bench.coldStart();
    bench.footprint();
    bench.launchToQuit();
    bench.desktop();
    return 0;
}
