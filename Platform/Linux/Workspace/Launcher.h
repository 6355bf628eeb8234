// Starting a program that must outlive us: in a session of its own, with its
// standard streams on /dev/null, none of our other descriptors, default
// signal handling, and a parent that is not us (a short-lived intermediate
// child is reaped at once, so nothing is left for us to wait for). Safe to
// call from a process with threads: between fork and exec only
// async-signal-safe calls run. Any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vorsel::linux_platform {

// Starts `executable` with no arguments (argv[0] is its path) and our
// environment minus the variables that only concern us. Returns the new
// process's pid, or nothing when it could not be started (the file cannot be
// run, or fork failed).
std::optional<pid_t> spawnDetached(const std::string& executable);

// "<bundle>/Contents/Linux/<CFBundleExecutable>", or nothing when the
// bundle's Info.plist does not name an executable.
std::optional<std::string> bundleExecutable(const std::string& bundle);

}  // namespace vorsel::linux_platform
