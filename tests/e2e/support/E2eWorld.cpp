#include "tests/e2e/support/E2eWorld.h"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "Platform/Linux/Runtime/BusName.h"
#include "Platform/Linux/Runtime/InfoPlist.h"
#include "Platform/Linux/Runtime/LinuxClock.h"
#include "tests/e2e/support/E2eBuild.h"

namespace vorsel::e2e {

namespace fs = std::filesystem;
using linux_platform::InfoPlist;

namespace {

Environment basicEnvironment(const std::string& root) {
    return {{"PATH", "/usr/local/bin:/usr/bin:/bin"},
            {"HOME", root + "/home"},
            {"LANG", "C.UTF-8"},
            {"TMPDIR", "/tmp"},
            {"XDG_DATA_HOME", root + "/data"}};
}

bool copyTree(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    return !ec;
}

// Single quotes for the shell.
std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

Authority makeAuthority(const std::string& folder, const std::string& team) {
    Authority authority{folder + "/root.pem", folder + "/leaf.pem", folder + "/leaf.key",
                        folder + "/entitlements.json"};
    const Outcome made =
        run({"/bin/bash", build::throwawayCa(), folder, team}, basicEnvironment(folder), 60);
    authority.made = made.status == 0 && fs::exists(authority.root);
    return authority;
}

std::string sign(const std::string& bundle, const Authority& authority,
                 const std::string& identifier) {
    const Outcome signed_ =
        run({build::codesign(), "--sign", "--cert", authority.certificate, "--key", authority.key,
             "--identifier", identifier, "--entitlements", authority.entitlements, bundle},
            basicEnvironment("/nonexistent"), 60);
    if (signed_.status == 0) return {};
    return "codesign failed (" + std::to_string(signed_.status) + "): " + signed_.out + signed_.err;
}

E2eWorld::E2eWorld() : E2eWorld(Options{}) {}

E2eWorld::E2eWorld(Options options) : folder("vorsel-e2e"), dataHomePath(folder.path() + "/data") {
    // Agents whose bus goes away are orphaned; as their subreaper we can
    // reap them and see them go.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    problemText = setUp(options);
}

std::string E2eWorld::setUp(const Options& options) {
    if (root().empty()) return "no temporary folder";
    if (options.userSession) {
        for (const char* name :
             {"HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"}) {
            const char* value = std::getenv(name);
            if (value == nullptr || *value == '\0')
                return std::string("not in a user session: no ") + name;
            session[name] = value;
        }
        dataHomePath = session["XDG_DATA_HOME"];
        sessionBus = session["DBUS_SESSION_BUS_ADDRESS"];
    }
    std::error_code ec;
    fs::create_directories(root() + "/home", ec);
    fs::create_directories(dataHome(), ec);

    if (!copyTree(build::vorselBundle(), vorsel())) return "couldn't copy " + build::vorselBundle();
    const auto info = InfoPlist::load(linux_platform::infoPlistPath(vorsel()));
    if (!info) return "the built Vorsel.app has no readable Info.plist";
    ownName = info->text("CFBundleIdentifier").value_or("com.ordwyn.guard");
    appIdentifier = info->text("OWAppIdentifier").value_or("com.ordwyn.app");
    teamId = info->text("OWTeam").value_or("");
    guardBusName = linux_platform::busName(teamId + "." + appIdentifier + ".guard");

    certificateAuthority = makeAuthority(root() + "/authority", teamId);
    if (!certificateAuthority.made) return "couldn't make a throwaway authority";
    fs::create_directories(vorsel() + "/Contents/Resources", ec);
    fs::copy_file(certificateAuthority.root, vorsel() + "/Contents/Resources/anchors.pem",
                  fs::copy_options::overwrite_existing, ec);
    if (ec) return "couldn't put the anchors in place: " + ec.message();

    if (!copyTree(build::ordwynBundle(), ordwyn())) return "couldn't copy " + build::ordwynBundle();
    if (auto failed = sign(ordwyn(), certificateAuthority, appIdentifier); !failed.empty())
        return failed;

    // In a user session the session's bus reads activation files from the
    // session's data folder, as it does on a desktop.
    const std::string services =
        options.userSession ? dataHome() + "/dbus-1/services" : root() + "/services";
    fs::create_directories(services, ec);
    if (options.activation) {
        // The daemon cannot redirect a service's output; a small script does,
        // and notes each agent's pid before it becomes the agent.
        const std::string script = root() + "/activate-agent.sh";
        std::ostringstream text;
        text << "#!/bin/sh\n"
             << "echo $$ >> " << quoted(root() + "/agent.pids") << "\n"
             << (options.shiftableClock ? std::string(linux_platform::kWallShiftVariable) + "=" +
                                              quoted(wallShiftFile()) + " "
                                        : std::string())
             << "XDG_DATA_HOME=" << quoted(dataHome()) << " exec " << quoted(vorselExecutable())
             << " --agent >> " << quoted(agentLogPath()) << " 2>&1\n";
        if (!writeText(script, text.str())) return "couldn't write the activation script";
        fs::permissions(script, fs::perms::owner_all, fs::perm_options::replace, ec);
        const std::string service =
            "[D-BUS Service]\nName=" + guardBusName + "\nExec=" + script + "\n";
        if (!writeText(services + "/" + guardBusName + ".service", service))
            return "couldn't write the activation file";
        if (options.userSession) sessionActivation = services + "/" + guardBusName + ".service";
    }
    if (options.userSession) return {};

    busConnection =
        std::make_unique<PrivateBus>(root() + "/bus", services, basicEnvironment(root()));
    if (!busConnection->ready())
        return "the private bus did not start: " + busConnection->problem();
    return {};
}

E2eWorld::~E2eWorld() {
    if (busConnection) busConnection->stop();
    if (!sessionActivation.empty()) {
        std::error_code ignored;
        fs::remove(sessionActivation, ignored);
    }
    killStragglers();
}

void E2eWorld::killStragglers() {
    if (root().empty()) return;
    const std::string inside = root() + "/";
    std::vector<pid_t> ours;
    if (DIR* proc = ::opendir("/proc")) {
        while (dirent* entry = ::readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (*end != '\0' || pid <= 0) continue;
            if (executableOf(static_cast<pid_t>(pid)).rfind(inside, 0) == 0)
                ours.push_back(static_cast<pid_t>(pid));
        }
        ::closedir(proc);
    }
    for (pid_t pid : ours) ::kill(pid, SIGKILL);
    for (pid_t pid : ours) waitUntil([pid] { return processGone(pid); }, 5, 0.01);
    for (pid_t pid : agentPids()) processGone(pid);  // reaps orphaned agents
}

Environment E2eWorld::environment() const {
    Environment environment = basicEnvironment(root());
    if (busConnection) environment["DBUS_SESSION_BUS_ADDRESS"] = busConnection->address();
    for (const auto& [name, value] : session) environment[name] = value;
    return environment;
}

Outcome E2eWorld::standin(const std::vector<std::string>& args, double timeout,
                          const std::string& bundle, const std::string& input) const {
    std::vector<std::string> argv{(bundle.empty() ? ordwyn() : bundle) + "/Contents/Linux/ordwyn"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, environment(), timeout, input);
}

std::unique_ptr<Process> E2eWorld::startStandin(const std::vector<std::string>& args,
                                                const std::string& bundle) const {
    std::vector<std::string> argv{(bundle.empty() ? ordwyn() : bundle) + "/Contents/Linux/ordwyn"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Process::start(argv, environment());
}

std::string E2eWorld::copyOrdwyn(const std::string& name, const Authority* signer) {
    const std::string path = root() + "/" + name;
    if (!copyTree(build::ordwynBundle(), path)) return {};
    if (signer && !sign(path, *signer, appIdentifier).empty()) return {};
    return path;
}

Authority E2eWorld::otherAuthority(const std::string& name) const {
    return makeAuthority(root() + "/" + name, teamId);
}

std::unique_ptr<Process> E2eWorld::startAgent(const std::string& errFile) const {
    return Process::start({vorselExecutable(), "--agent"}, environment(), {{}, {}, errFile});
}

bool E2eWorld::shiftAgentClock(double seconds) const {
    return writeText(wallShiftFile(), std::to_string(seconds));
}

std::vector<pid_t> E2eWorld::agentPids() const {
    std::vector<pid_t> pids;
    std::istringstream lines(readText(root() + "/agent.pids"));
    long pid = 0;
    while (lines >> pid) pids.push_back(static_cast<pid_t>(pid));
    return pids;
}

int E2eWorld::logCount(const std::string& text) const {
    const std::string log = agentLog();
    int count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size()))
        ++count;
    return count;
}

bool E2eWorld::waitForLog(const std::string& text, double timeout, int count) const {
    return waitUntil([&] { return logCount(text) >= count; }, timeout);
}

pid_t E2eWorld::waitForAgent(double timeout, std::size_t index) const {
    pid_t pid = -1;
    waitUntil(
        [&] {
            const auto pids = agentPids();
            if (pids.size() > index) pid = pids[index];
            return pid > 0;
        },
        timeout);
    return pid;
}

}  // namespace vorsel::e2e
