// A throwaway sway for tests that need a Wayland desktop: the compositor on
// its headless backend, without input devices, with XWayland, in a runtime
// folder of its own (so that its Wayland and IPC sockets are found only by
// the programs a test points there), ended by pid when the object goes.
//
// Test code only; one thread at a time.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

namespace vorsel::testing {

class HeadlessSway {
  public:
    HeadlessSway();
    ~HeadlessSway();
    HeadlessSway(const HeadlessSway&) = delete;
    HeadlessSway& operator=(const HeadlessSway&) = delete;

    // Whether sway serves; problem() says why not.
    bool ready() const { return problemText.empty(); }
    const std::string& problem() const { return problemText; }

    // What a program on this desktop is given: XDG_RUNTIME_DIR,
    // WAYLAND_DISPLAY, SWAYSOCK and DISPLAY (XWayland, started by sway when
    // a first X11 client comes).
    const std::map<std::string, std::string>& environment() const { return variables; }
    const std::string& waylandDisplay() const { return variables.at("WAYLAND_DISPLAY"); }
    const std::string& swaySocket() const { return variables.at("SWAYSOCK"); }
    const std::string& runtimeDir() const { return variables.at("XDG_RUNTIME_DIR"); }
    pid_t pid() const { return processId; }

    // Ends sway at once, as a crash would (SIGKILL); the object stays.
    void crash();
    // Stops or resumes sway (SIGSTOP, SIGCONT): a compositor that stops
    // answering.
    void pause(bool paused);

    // Why sway cannot run here (not installed), or empty.
    static std::string unavailable();

  private:
    std::string start();

    std::string folder;
    pid_t processId = -1;
    std::map<std::string, std::string> variables;
    std::string problemText;
};

}  // namespace vorsel::testing
