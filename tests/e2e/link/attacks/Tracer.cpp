// The genuine app makes its first call; then this program attaches to it as
// a tracer (which could make it do anything from then on) and lets it make
// its second call while attached.
//
//   attack_tracer GENUINE
//
// Prints the app's lines: "app: <line>".
#include <sys/ptrace.h>

#include "Attack.h"
#include "Child.h"

using namespace vorsel::e2e;

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    // A tracer that hangs would hold the app stopped for good.
    ::alarm(60);
    attack::AppChild app({argv[1], "version", "wait", "version"});
    std::printf("app: %s\n", app.line().c_str());
    if (::ptrace(PTRACE_SEIZE, app.pid(), nullptr, nullptr) != 0) {
        std::printf("cannot trace the app here\n");
        return attack::kNotHere;
    }
    app.carryOn();
    std::printf("app: %s\n", app.line().c_str());
    return 0;
}
