// Connects to the bus, forks, and replaces itself with the genuine app,
// which keeps the connection; the child then hands over rules on that shared
// connection, as if it were the app that connected.
//
//   attack_fork_after_connect ADDRESS AGENT GENUINE RULES
//
// The genuine app runs "version wait version": it waits for the child's line.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

#include "Attack.h"

using namespace vorsel::e2e;

namespace {

std::string exeOf(pid_t pid) {
    char target[PATH_MAX];
    const ssize_t size =
        ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target);
    return size > 0 ? std::string(target, static_cast<std::size_t>(size)) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    std::string why;
    auto bus = RawBus::connect(argv[1], &why);
    if (!bus) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    // The connection is shared across fork and exec, as a socket is.
    ::fcntl(bus->fd(), F_SETFD, 0);
    int done[2];
    if (::pipe(done) != 0) return 1;
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child > 0) {
        ::dup2(done[0], 0);
        ::close(done[1]);
        ::execl(argv[3], argv[3], "version", "wait", "version", static_cast<char*>(nullptr));
        return 1;
    }
    ::close(done[0]);
    for (int i = 0; i < 500 && exeOf(parent) != argv[3]; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    attack::say("shared connection", attack::holdProven(*bus, argv[2], attack::readRules(argv[4])));
    [[maybe_unused]] auto wrote = ::write(done[1], "\n", 1);
    return 0;
}
