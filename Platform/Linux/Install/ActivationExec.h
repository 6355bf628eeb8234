// Command lines as the two activation files want them. A D-Bus service file's
// Exec= is split like a shell would (quotes, backslashes) after the key-file
// escapes (\s \t \n \r \\) are undone; a systemd unit's ExecStart= has its own
// quoting plus "%" specifiers and "$" variables. Pure; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorsel::linux_platform {

// The Exec= value of a D-Bus service file that runs `words`; nothing when a
// word holds a control character, which neither format can carry.
std::optional<std::string> busExec(const std::vector<std::string>& words);

// The ExecStart= value of a systemd unit that runs `words`; nothing as above.
std::optional<std::string> unitExec(const std::vector<std::string>& words);

// The program (first word) of a D-Bus service file's Exec= value, as the bus
// daemon would run it; nothing when the value does not split.
std::optional<std::string> busExecProgram(std::string_view value);

}  // namespace vorsel::linux_platform
