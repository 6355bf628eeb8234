// The command line of a desktop entry's Exec= key (or a D-Bus service file's
// Exec=), read the way launchers read it, and what program it really runs:
// the one after "env VAR=value", the first word of "sh -c '…'", and, for an
// interpreter run on a file ("python3 /opt/tool/main.py"), that file. Pure
// functions on text; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorsel::linux_platform {

// The words of an Exec value whose key-file escapes are already undone:
// split at unquoted spaces and tabs; inside double quotes a backslash keeps
// the next '"', '`', '$' or '\\' as it is. Words that hold a field code
// ("%f", "--file=%u", …) are left out, "%%" stands for '%'. Nothing when a
// quote is left open.
std::optional<std::vector<std::string>> splitExec(std::string_view value);

// What a command runs, from its words.
struct ExecTarget {
    std::string program;             // as written: a path, or a name for PATH
    std::vector<std::string> fixed;  // the arguments it always gets
    // The first argument not starting with '-': the file, when the program
    // is an interpreter, that it runs.
    std::optional<std::string> file;
};

// The target of `words`: "env" with its options and assignments is looked
// through, and "<shell> -c 'cmd …'" stands for the first word of cmd (after
// "exec" and assignments). Nothing when no program is left.
std::optional<ExecTarget> execTarget(const std::vector<std::string>& words);

// splitExec, then execTarget.
std::optional<ExecTarget> execTargetOf(std::string_view value);

}  // namespace vorsel::linux_platform
