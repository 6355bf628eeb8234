// The companion app: one window in which the user turns Vorsel on and off.
#pragma once

namespace vorsel {

struct GuardApp {
    // Runs the app until its window is closed; returns the exit status.
    static int run(int& argc, char** argv);
};

}  // namespace vorsel
