// The identities that both modes share (own and main-app identifiers, the
// main app's team, the link's service name, the memory file) and the mode
// test of the entry point.
//
// GuardIdentity::shared() is computed once, thread-safely, on first use;
// machService() and memoryFile() are worked out at each call.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorsel {

class Bundles;
class Files;

struct GuardIdentity {
    std::string own;   // the main bundle's identifier, else "com.ordwyn.guard"
    std::string app;   // "OWAppIdentifier" when it is text, else "com.ordwyn.app"
    std::string team;  // "OWTeam" when it is text, else ""

    // The identities that `bundles` gives, with the defaults for what it lacks.
    static GuardIdentity of(const Bundles& bundles);

    // The process's identities. setMainBundle() must have been called first;
    // later calls of it have no effect on values already worked out.
    static const GuardIdentity& shared();
    static void setMainBundle(const Bundles& bundles);

    // team, ".", app, ".guard" (begins with the dot when team is empty).
    std::string machService() const;

    // "<data folder>/<own>/guard.json". Creates the folder on every call,
    // ignoring failure: later reads and writes then fail instead.
    std::string memoryFile(Files& files) const;

    bool operator==(const GuardIdentity&) const = default;
};

struct GuardMain {
    // Agent mode: "--agent" is one of `arguments` (the program path included),
    // or `serviceName` (the environment's XPC_SERVICE_NAME, null when unset)
    // is `own` followed by ".agent".
    static bool startedAsAgent(const std::vector<std::string>& arguments, const char* serviceName,
                               std::string_view own);
};

}  // namespace vorsel
