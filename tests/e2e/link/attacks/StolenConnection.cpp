// The genuine app makes its first call; then this program takes the app's
// bus connection with pidfd_getfd, stops the app so that it reads nothing,
// and hands over its own rules on that connection, with a proof of its own
// (the only kind it can make). The app goes on and asks what is held.
//
//   attack_stolen_connection ADDRESS AGENT GENUINE RULES
//
// Prints the app's lines ("app: <line>") and the stolen call's answer.
#include <dirent.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <cstring>

#include "Attack.h"
#include "Child.h"

using namespace vorsel::e2e;

namespace {

std::string socketPath(const std::string& address) {
    const auto at = address.find("path=");
    if (at == std::string::npos) return {};
    return address.substr(at + 5, address.find(',', at) - at - 5);
}

// The app's descriptor connected to the bus at `path`, duplicated here.
int takeBusSocket(pid_t app, const std::string& path, bool& refused) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, app, 0));
    if (pidfd < 0) return -1;
    int found = -1;
    DIR* fds = ::opendir(("/proc/" + std::to_string(app) + "/fd").c_str());
    while (fds && found < 0) {
        const dirent* entry = ::readdir(fds);
        if (!entry) break;
        if (entry->d_name[0] == '.') continue;
        const int taken =
            static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, std::atoi(entry->d_name), 0));
        if (taken < 0) {
            refused = refused || errno == EPERM;
            continue;
        }
        sockaddr_un peer{};
        socklen_t size = sizeof peer;
        if (::getpeername(taken, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
            peer.sun_family == AF_UNIX && path == peer.sun_path)
            found = taken;
        else
            ::close(taken);
    }
    if (fds) ::closedir(fds);
    ::close(pidfd);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    attack::AppChild app({argv[3], "version", "wait", "held"});
    std::printf("app: %s\n", app.line().c_str());
    bool refused = false;
    const int stolen = takeBusSocket(app.pid(), socketPath(argv[1]), refused);
    if (stolen < 0) {
        std::printf("cannot take the app's connection%s\n", refused ? ": not allowed here" : "");
        return refused ? attack::kNotHere : 1;
    }
    ::kill(app.pid(), SIGSTOP);
    auto bus = RawBus::adopt(stolen);
    attack::say("stolen connection", attack::holdProven(*bus, argv[2], attack::readRules(argv[4])));
    ::kill(app.pid(), SIGCONT);
    app.carryOn();
    std::printf("app: %s\n", app.line().c_str());
    return 0;
}
