// Proofs used for what they do not prove, each refused before any verdict:
//   two packets   two proofs sent on one socket, two calls carrying it;
//   other connection  a proof naming one connection, sent on another;
//   large         a hand-over of 17 MiB from a sender not yet judged: judged
//                 and refused, never told to try again later.
//
//   attack_proof_misuse ADDRESS AGENT
//
// Prints "<label>: <answer>" a line.
#include <sys/syscall.h>
#include <unistd.h>

#include "Attack.h"
#include "Platform/Linux/Runtime/FileDescriptors.h"

using namespace vorsel::e2e;

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    std::string why;
    auto bus = RawBus::connect(argv[1], &why);
    auto other = RawBus::connect(argv[1], &why);
    if (!bus || !other) return 1;
    const std::string rules = "{}";

    {
        attack::Proved proved(bus->fd(), bus->uniqueName(), "Hold", rules);
        const int self = ::dup(proved.proof.kept);
        // The same packet once more, with a pidfd of this process.
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
        vorsel::linux_platform::sendWithDescriptors(self, proved.proof.text, {&pidfd, 1});
        const auto first = bus->callLink(argv[2], "Hold", rules, proved.proof.passed);
        const auto second = bus->callLink(argv[2], "Hold", rules, proved.proof.passed);
        attack::say("two packets", bus->reply(first, 60));
        attack::say("two packets again", bus->reply(second, 60));
        ::close(self);
        ::close(pidfd);
    }
    attack::say("other connection", attack::holdProven(*bus, argv[2], rules, other->uniqueName()));
    attack::say("large", attack::holdProven(*bus, argv[2], std::string(17u << 20, ' ')));
    return 0;
}
