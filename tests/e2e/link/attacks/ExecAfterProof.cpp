// A process proves a hand-over of the attacker's rules, then becomes the
// genuine app by exec (same pid, judged as the genuine image), and the call
// goes out with that proof:
//   parent     the proof names the parent's connection; the parent sends the
//              call, holding both ends, and answers the challenge itself;
//   inherited  the process proves for its own connection and keeps that
//              connection and its end of the proof across the exec; the
//              parent sends the call on the inherited connection and waits;
//   trojan     the genuine app itself, with a library preloaded that proves
//              for the parent's connection and executes the app again clean
//              (ProvingTrojan.cpp); the parent sends the call and waits.
//
//   attack_exec_after_proof ADDRESS AGENT GENUINE RULES parent|inherited
//   attack_exec_after_proof ADDRESS AGENT GENUINE RULES trojan LD_PRELOAD
//
// Prints "<mode>: <answer>".
#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "Attack.h"
#include "Platform/Linux/Runtime/FileDescriptors.h"

using namespace vorsel::e2e;
using vorsel::linux_platform::UniqueFd;

namespace {

std::string exeOf(pid_t pid) {
    char target[PATH_MAX];
    const ssize_t size =
        ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target);
    return size > 0 ? std::string(target, static_cast<std::size_t>(size)) : std::string();
}

std::string mapsOf(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    return {std::istreambuf_iterator<char>(maps), {}};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6 && argc != 7) return 2;
    const std::string mode = argv[5];
    const bool inherited = mode == "inherited", trojan = mode == "trojan";
    const std::string rules = attack::readRules(argv[4]);
    std::string why;
    auto bus = inherited ? nullptr : RawBus::connect(argv[1], &why);
    if (!inherited && !bus) return 1;
    const std::string parentName = bus ? bus->uniqueName() : std::string();

    int pair[2], stay[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0 || ::pipe(stay) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0 && trojan) {
        ::fcntl(pair[1], F_SETFD, 0);
        ::fcntl(bus->fd(), F_SETFD, 0);
        ::setenv("TROJAN_SOCKET", std::to_string(pair[1]).c_str(), 1);
        ::setenv("TROJAN_BUS_SOCKET", std::to_string(bus->fd()).c_str(), 1);
        ::setenv("TROJAN_BUS", parentName.c_str(), 1);
        ::setenv("TROJAN_RULES", argv[4], 1);
        ::setenv("LD_PRELOAD", argv[6], 1);
        ::dup2(stay[0], 0);
        ::execl(argv[3], argv[3], "wait", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (child == 0) {
        std::unique_ptr<RawBus> own = inherited ? RawBus::connect(argv[1], nullptr) : nullptr;
        if (inherited && !own) ::_exit(1);
        const std::string name = inherited ? own->uniqueName() : parentName;
        const int busSocket = inherited ? own->fd() : bus->fd();
        VorselLinkProof proof;
        if (vorselLinkProveCall(&proof, busSocket, name.c_str(), "Hold", rules.data(),
                                rules.size()) != 0)
            ::_exit(1);
        std::vector<int> ends{proof.passed};
        if (inherited) {
            ends.push_back(own->fd());
            // Across the exec: the connection and this process's end of the proof.
            ::fcntl(own->fd(), F_SETFD, 0);
            ::fcntl(proof.kept, F_SETFD, 0);
        } else {
            ends.push_back(proof.kept);
        }
        if (vorsel::linux_platform::sendWithDescriptors(pair[1], name, ends) <= 0) ::_exit(1);
        ::dup2(stay[0], 0);
        ::execl(argv[3], argv[3], "wait", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(stay[0]);
    std::vector<UniqueFd> fds;
    char name[256] = {};
    const ssize_t got = vorsel::linux_platform::receiveWithDescriptors(pair[0], {name, 255}, fds);
    if (got <= 0 || fds.size() != (trojan ? 1u : 2u)) return 1;
    for (int i = 0; i < 500 && exeOf(child) != argv[3]; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // The trojan gone: the app executed again, clean.
    for (int i = 0; trojan && i < 500 && mapsOf(child).find("trojan") != std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Let the genuine image finish loading, as the app it now is.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::optional<std::string> answer;
    if (trojan) {
        const auto serial = bus->callLink(argv[2], "Hold", rules, fds[0].get());
        answer = serial ? bus->reply(serial, 60) : std::optional<std::string>("unsent");
    } else if (inherited) {
        auto shared = RawBus::adopt(::fcntl(fds[1].get(), F_DUPFD_CLOEXEC, 0));
        const auto serial = shared->callLink(argv[2], "Hold", rules, fds[0].get());
        answer = serial ? shared->reply(serial, 60) : std::optional<std::string>("unsent");
    } else {
        VorselLinkProof proof{-1, fds[1].release(), {}};
        const auto serial = bus->callLink(argv[2], "Hold", rules, fds[0].get());
        fds[0] = UniqueFd();
        // The proof's text as the child made it, for the answer.
        const std::string text = vorsel::e2e::attack::proofTextOf(bus->fd(), rules, parentName);
        std::strncpy(proof.text, text.c_str(), sizeof proof.text - 1);
        vorselLinkAnswerChallenge(&proof, 30000);
        answer = serial ? bus->reply(serial, 60) : std::optional<std::string>("unsent");
        vorselLinkCloseProof(&proof);
    }
    attack::say(mode, answer);
    ::close(stay[1]);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return 0;
}
