// The stand-in's command line, turned into the calls it makes on the link.
//
//   ordwyn [--bus ADDRESS] [--name BUSNAME] [--timeout SECONDS] COMMAND...
//
// Commands, any number, sent one after the other without waiting (their
// replies are printed in the order they arrive):
//   version                      Version()
//   held                         Held()
//   hold FILE|-                  Hold() with the rules JSON read from FILE or
//                                standard input, as they are (even invalid)
//   session [--close ID]... | [--all-but ID]... | [--close-all]
//           [--minutes N | --until T] [--hardcore] [--print]
//                                Hold() with rules built from the options:
//                                close the listed apps, or every app but the
//                                listed ones, for N minutes (default 30) or
//                                until T (seconds since 2001-01-01 UTC, or an
//                                ISO 8601 date); --hardcore keeps this very
//                                app open as long; --print only prints them
//   then                         waits until every call before it is answered
//                                before sending the ones after it
//   wait                         as then, and waits for a line on standard
//                                input too (for tests that act on the running
//                                stand-in between its calls)
// Pure parsing; any thread.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Platform/Time.h"

namespace vorsel::standin {

struct Call {
    enum class Kind { version, held, hold, then, wait };
    Kind kind = Kind::version;
    std::string rules;  // for hold: the JSON sent
};

struct Options {
    std::optional<std::string> bus;   // a bus address; the session bus when absent
    std::optional<std::string> name;  // the agent's bus name; derived when absent
    double timeout = 30;              // seconds a reply may take
    std::vector<Call> calls;
    bool print = false;  // print the rules of the session commands, send nothing
};

// What a session needs to know about the running stand-in.
struct Context {
    TimePoint now = 0;
    std::optional<std::string> identifier;  // own bundle identifier
    std::optional<std::string> bundle;      // own bundle path
};

// The options, or a message saying what is wrong with the command line.
// `readFile` reads FILE, or standard input for "-"; nothing when it can't.
using ReadFile = std::optional<std::string> (*)(const std::string& path);
std::variant<Options, std::string> parse(const std::vector<std::string>& args,
                                         const Context& context, ReadFile readFile);

}  // namespace vorsel::standin
