// The agent's one log channel (subsystem: the agent's own identifier,
// category "Guard"). Messages are complete, already formatted sentences.
// Main thread, though adapters tolerate any thread.
#pragma once

#include <string_view>

namespace vorsel {

enum class LogLevel {
    standard,  // state changes
    error,     // refused input
};

class Log {
  public:
    virtual ~Log() = default;

    virtual void write(LogLevel level, std::string_view message) = 0;
};

}  // namespace vorsel
