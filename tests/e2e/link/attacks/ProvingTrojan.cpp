// A library to preload into the genuine app that proves a hand-over of the
// attacker's rules from inside it, and then executes the genuine image again
// without itself, clean: the process judged afterwards is the genuine app,
// untouched. What it needs comes in its environment: TROJAN_SOCKET (a socket
// to hand the proof's end to), TROJAN_BUS (the connection the call will go
// out on), TROJAN_BUS_SOCKET (its socket) and TROJAN_RULES (a file).
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "Platform/Linux/Link/Client/VorselLink.h"
#include "Platform/Linux/Runtime/FileDescriptors.h"

__attribute__((constructor)) static void proveAndBecomeGenuine() {
    const char* socket = std::getenv("TROJAN_SOCKET");
    const char* bus = std::getenv("TROJAN_BUS");
    const char* file = std::getenv("TROJAN_RULES");
    const char* busSocket = std::getenv("TROJAN_BUS_SOCKET");
    if (!socket || !bus || !file || !busSocket) return;
    std::ifstream in(file, std::ios::binary);
    const std::string rules{std::istreambuf_iterator<char>(in), {}};
    VorselLinkProof proof;
    if (vorselLinkProveCall(&proof, std::atoi(busSocket), bus, "Hold", rules.data(),
                            rules.size()) != 0)
        ::_exit(1);
    const int out = std::atoi(socket);
    if (vorsel::linux_platform::sendWithDescriptors(out, "p", {&proof.passed, 1}) != 1) ::_exit(1);
    ::close(out);
    ::close(std::atoi(busSocket));
    for (const char* name :
         {"LD_PRELOAD", "TROJAN_SOCKET", "TROJAN_BUS", "TROJAN_BUS_SOCKET", "TROJAN_RULES"})
        ::unsetenv(name);
    ::execl("/proc/self/exe", "ordwyn", "wait", static_cast<char*>(nullptr));
    ::_exit(127);
}
