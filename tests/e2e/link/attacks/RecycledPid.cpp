// A process connects to the bus, sends a proof for a hand-over, gives both
// away and ends; the genuine app is started on its pid; then the hand-over
// is sent on that connection with that proof, while the pid the bus and the
// proof name is the genuine app's.
//
//   attack_recycled_pid ADDRESS AGENT GENUINE RULES
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "Attack.h"
#include "Platform/Linux/Runtime/FileDescriptors.h"
#include "TestApps.h"

using namespace vorsel::e2e;

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    const std::string rules = attack::readRules(argv[4]);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return 1;
    const pid_t first = ::fork();
    if (first == 0) {
        auto bus = RawBus::connect(argv[1], nullptr);
        if (!bus) ::_exit(1);
        const attack::Proved proved(bus->fd(), bus->uniqueName(), "Hold", rules);
        if (proved.proof.passed < 0) ::_exit(1);
        const int fds[2] = {bus->fd(), proved.proof.passed};
        ::_exit(vorsel::linux_platform::sendWithDescriptors(pair[1], "p", fds) == 1 ? 0 : 1);
    }
    std::vector<vorsel::linux_platform::UniqueFd> fds;
    char byte = 0;
    const bool received =
        vorsel::linux_platform::receiveWithDescriptors(pair[0], {&byte, 1}, fds) == 1 &&
        fds.size() == 2;
    int status = 0;
    ::waitpid(first, &status, 0);
    if (!received || status != 0) return 1;

    // The pid that connected and that the proof names, now the genuine app's.
    auto genuine = vorsel::testing::childAtPid(first, argv[3]);
    if (!genuine) {
        std::printf("pids are handed out from too wide a range here\n");
        return attack::kNotHere;
    }
    auto bus = RawBus::adopt(fds[0].release());
    const auto serial = bus->callLink(argv[2], "Hold", rules, fds[1].get());
    attack::say("recycled pid", serial ? bus->reply(serial, 30) : std::string("unsent"));
    return 0;
}
