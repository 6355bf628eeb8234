#include "Platform/Linux/Install/LinuxLoginItems.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <sstream>
#include <utility>
#include <vector>

#include "Platform/Linux/Install/ActivationExec.h"
#include "Platform/Linux/Runtime/BusName.h"

namespace vorsel::linux_platform {

namespace {

std::string couldNot(const std::string& what, const std::string& path, const FileResult& result) {
    return "Couldn't " + what + " " + path + ": " + result.error.value_or("unknown error") + ".";
}

// The value of `key` in a key file, first occurrence, spaces around '='
// allowed as the bus daemon allows them.
std::optional<std::string> keyValue(const std::string& content, const std::string& key) {
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.starts_with(key)) continue;
        size_t at = key.size();
        while (at < line.size() && line[at] == ' ') ++at;
        if (at == line.size() || line[at] != '=') continue;
        ++at;
        while (at < line.size() && line[at] == ' ') ++at;
        return line.substr(at);
    }
    return std::nullopt;
}

std::vector<std::string> commandOf(const std::string& program, const AgentDeclaration& agent) {
    std::vector<std::string> words{program};
    words.insert(words.end(), agent.arguments.begin(), agent.arguments.end());
    return words;
}

}  // namespace

LinuxLoginItems::LinuxLoginItems(std::optional<std::string> bundlePath, Files& files,
                                 std::unique_ptr<UserSession> session)
    : bundle(std::move(bundlePath)), files(files), session(std::move(session)) {}

LinuxLoginItems::~LinuxLoginItems() {
    for (auto& worker : workers) worker.join();
}

std::optional<AgentDeclaration> LinuxLoginItems::declaration() const {
    if (!bundle) return std::nullopt;
    return AgentDeclaration::load(*bundle);
}

std::string LinuxLoginItems::programPath(const AgentDeclaration& agent) const {
    return *bundle + "/" + agent.program;
}

std::string LinuxLoginItems::serviceFilePath(const AgentDeclaration& agent) const {
    return files.dataFolder() + "/dbus-1/services/" + busName(agent.machService) + ".service";
}

std::string LinuxLoginItems::unitFilePath(const AgentDeclaration& agent) const {
    return files.dataFolder() + "/systemd/user/" + agent.label + ".service";
}

bool LinuxLoginItems::ours(const std::optional<std::string>& serviceFile,
                           const AgentDeclaration& agent) const {
    if (!serviceFile) return false;
    const auto exec = keyValue(*serviceFile, "Exec");
    if (!exec) return false;
    return busExecProgram(*exec) == programPath(agent);
}

bool LinuxLoginItems::unitOurs(const AgentDeclaration& agent) const {
    const auto unitCommand = unitExec(commandOf(programPath(agent), agent));
    const auto unit = files.read(unitFilePath(agent));
    return unit && unitCommand && keyValue(*unit, "ExecStart") == *unitCommand;
}

LoginItemStatus LinuxLoginItems::status() {
    const auto agent = declaration();
    if (!agent) return LoginItemStatus::notFound;
    const auto service = files.read(serviceFilePath(*agent));
    if (!ours(service, *agent)) return LoginItemStatus::notRegistered;
    const bool unitNamed = keyValue(*service, "SystemdService") == agent->label + ".service";
    if ((unitNamed && unitOurs(*agent)) || !session || !session->managerRunning())
        return LoginItemStatus::enabled;
    return LoginItemStatus::notRegistered;
}

std::optional<std::string> LinuxLoginItems::registerAgent() {
    // After any unregister still running, which would otherwise remove what
    // this writes.
    std::lock_guard<std::mutex> turn(changing);
    const auto agent = declaration();
    if (!agent) return "The app carries no usable agent declaration (guard-agent.plist).";
    const std::string name = busName(agent->machService);
    const auto command = commandOf(programPath(*agent), *agent);
    const auto busCommand = busExec(command);
    const auto unitCommand = unitExec(command);
    if (name.empty() || !busCommand || !unitCommand) {
        return "The app's location or service name can't be written into an activation file.";
    }

    std::string service = "[D-BUS Service]\nName=" + name + "\nExec=" + *busCommand + "\n";
    if (session && session->managerRunning()) {
        const std::string unitPath = unitFilePath(*agent);
        const std::string unit =
            "[Unit]\nDescription=Vorsel guard agent\n\n[Service]\nType=dbus\n"
            "BusName=" +
            name + "\nExecStart=" + *unitCommand +
            "\nEnvironment=XPC_SERVICE_NAME=" + agent->label + "\nKillMode=process\n";
        const std::string folder = files.dataFolder() + "/systemd/user";
        if (auto made = files.createFolders(folder); !made) return couldNot("create", folder, made);
        if (auto wrote = files.writeAtomically(unitPath, unit); !wrote) {
            return couldNot("write", unitPath, wrote);
        }
        if (auto failed = session->reloadUnits()) {
            (void)files.remove(unitPath);
            return failed;
        }
        service += "SystemdService=" + agent->label + ".service\n";
    }

    const std::string folder = files.dataFolder() + "/dbus-1/services";
    if (auto made = files.createFolders(folder); !made) return couldNot("create", folder, made);
    const std::string servicePath = serviceFilePath(*agent);
    if (auto wrote = files.writeAtomically(servicePath, service); !wrote) {
        return couldNot("write", servicePath, wrote);
    }
    if (session) {
        session->reloadServices();
        // The GNOME Shell extension is an extra: it is turned on off the
        // caller's thread, and whatever becomes of it, turning on succeeded.
        UserSession* localSession = session.get();
        workers.emplace_back([this, localSession] {
            std::lock_guard<std::mutex> held(changing);
            (void)localSession->switchShellExtension(true);
        });
    }
    return std::nullopt;
}

std::optional<std::string> LinuxLoginItems::unregisterNow() {
    // An extra, like turning it on: a failure leaves turning off to succeed.
    if (session) (void)session->switchShellExtension(false);
    const auto agent = declaration();
    if (!agent) return std::nullopt;

    // The service file first: once it is gone the bus starts nothing.
    const std::string servicePath = serviceFilePath(*agent);
    if (ours(files.read(servicePath), *agent)) {
        if (auto removed = files.remove(servicePath); !removed) {
            return couldNot("remove", servicePath, removed);
        }
        if (session) session->reloadServices();
    }

    const std::string unitPath = unitFilePath(*agent);
    if (unitOurs(*agent)) {
        if (auto removed = files.remove(unitPath); !removed) {
            return couldNot("remove", unitPath, removed);
        }
        // A failed reload only leaves the old unit loaded until the next one;
        // with the service file gone nothing starts it, so it is not an error.
        if (session && session->managerRunning()) (void)session->reloadUnits();
    }
    return std::nullopt;
}

void LinuxLoginItems::unregisterAgent(std::function<void(std::optional<std::string>)> done) {
    if (!QCoreApplication::instance()) {
        done(unregisterNow());
        return;
    }
    // Made on first use, on the caller's thread: the main thread, where the
    // completions are to run.
    if (!completions) completions = std::make_unique<QObject>();
    QObject* localCompletions = completions.get();
    workers.emplace_back([this, localCompletions, done = std::move(done)]() mutable {
        std::optional<std::string> error;
        {
            std::lock_guard<std::mutex> turn(changing);
            error = unregisterNow();
        }
        QMetaObject::invokeMethod(
            localCompletions,
            [done = std::move(done), error = std::move(error)]() mutable {
                done(std::move(error));
            },
            Qt::QueuedConnection);
    });
}

std::unique_ptr<LoginItems> makeLoginItems(std::optional<std::string> bundlePath, Files& files) {
    return std::make_unique<LinuxLoginItems>(std::move(bundlePath), files, currentUserSession());
}

}  // namespace vorsel::linux_platform
