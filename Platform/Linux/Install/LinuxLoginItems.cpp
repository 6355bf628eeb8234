#include "Platform/Linux/Install/LinuxLoginItems.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <sstream>
#include <utility>
#include <vector>

#include "Platform/Linux/BusName.h"
#include "Platform/Linux/Install/ExecLine.h"

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
    : bundle_(std::move(bundlePath)), files_(files), session_(std::move(session)) {}

std::optional<AgentDeclaration> LinuxLoginItems::declaration() const {
    if (!bundle_) return std::nullopt;
    return AgentDeclaration::load(*bundle_);
}

std::string LinuxLoginItems::programPath(const AgentDeclaration& agent) const {
    return *bundle_ + "/" + agent.program;
}

std::string LinuxLoginItems::serviceFilePath(const AgentDeclaration& agent) const {
    return files_.dataFolder() + "/dbus-1/services/" + busName(agent.machService) + ".service";
}

std::string LinuxLoginItems::unitFilePath(const AgentDeclaration& agent) const {
    return files_.dataFolder() + "/systemd/user/" + agent.label + ".service";
}

bool LinuxLoginItems::ours(const std::string& serviceFile, const AgentDeclaration& agent) {
    const auto content = files_.read(serviceFile);
    if (!content) return false;
    const auto exec = keyValue(*content, "Exec");
    if (!exec) return false;
    return busExecProgram(*exec) == programPath(agent);
}

LoginItemStatus LinuxLoginItems::status() {
    const auto agent = declaration();
    if (!agent) return LoginItemStatus::notFound;
    return ours(serviceFilePath(*agent), *agent) ? LoginItemStatus::enabled
                                                 : LoginItemStatus::notRegistered;
}

std::optional<std::string> LinuxLoginItems::registerAgent() {
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
    if (session_ && session_->managerRunning()) {
        const std::string unitPath = unitFilePath(*agent);
        const std::string unit =
            "[Unit]\nDescription=Vorsel guard agent\n\n[Service]\nType=dbus\n"
            "BusName=" +
            name + "\nExecStart=" + *unitCommand +
            "\nEnvironment=XPC_SERVICE_NAME=" + agent->label + "\nKillMode=process\n";
        const std::string folder = files_.dataFolder() + "/systemd/user";
        if (auto made = files_.createFolders(folder); !made)
            return couldNot("create", folder, made);
        if (auto wrote = files_.writeAtomically(unitPath, unit); !wrote) {
            return couldNot("write", unitPath, wrote);
        }
        if (auto failed = session_->reloadUnits()) {
            (void)files_.remove(unitPath);
            return failed;
        }
        service += "SystemdService=" + agent->label + ".service\n";
    }

    const std::string folder = files_.dataFolder() + "/dbus-1/services";
    if (auto made = files_.createFolders(folder); !made) return couldNot("create", folder, made);
    const std::string servicePath = serviceFilePath(*agent);
    if (auto wrote = files_.writeAtomically(servicePath, service); !wrote) {
        return couldNot("write", servicePath, wrote);
    }
    if (session_) session_->reloadServices();
    return std::nullopt;
}

std::optional<std::string> LinuxLoginItems::unregisterNow() {
    const auto agent = declaration();
    if (!agent) return std::nullopt;

    // The service file first: once it is gone the bus starts nothing.
    const std::string servicePath = serviceFilePath(*agent);
    if (ours(servicePath, *agent)) {
        if (auto removed = files_.remove(servicePath); !removed) {
            return couldNot("remove", servicePath, removed);
        }
        if (session_) session_->reloadServices();
    }

    const std::string unitPath = unitFilePath(*agent);
    const auto unitCommand = unitExec(commandOf(programPath(*agent), *agent));
    const auto unit = files_.read(unitPath);
    if (unit && unitCommand && keyValue(*unit, "ExecStart") == *unitCommand) {
        if (auto removed = files_.remove(unitPath); !removed) {
            return couldNot("remove", unitPath, removed);
        }
        // A failed reload only leaves the old unit loaded until the next one;
        // with the service file gone nothing starts it, so it is not an error.
        if (session_ && session_->managerRunning()) (void)session_->reloadUnits();
    }
    return std::nullopt;
}

void LinuxLoginItems::unregisterAgent(std::function<void(std::optional<std::string>)> done) {
    auto error = unregisterNow();
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        done(std::move(error));
        return;
    }
    QMetaObject::invokeMethod(
        app,
        [done = std::move(done), error = std::move(error)]() mutable { done(std::move(error)); },
        Qt::QueuedConnection);
}

std::unique_ptr<LoginItems> makeLoginItems(std::optional<std::string> bundlePath, Files& files) {
    return std::make_unique<LinuxLoginItems>(std::move(bundlePath), files, currentUserSession());
}

}  // namespace vorsel::linux_platform
