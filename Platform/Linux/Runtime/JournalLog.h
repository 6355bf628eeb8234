// The Log port on Linux: the systemd journal with SYSLOG_IDENTIFIER=<own>,
// CATEGORY=Guard and PRIORITY 5 (standard) or 3 (error); where no journal
// listens, one line on standard error, "<own> Guard: <message>" or
// "<own> Guard: error: <message>".
//
// Whether the journal listens is decided once, at construction, from its
// socket: sd_journal_send() reports success even when the socket is missing,
// so its answer cannot tell. A message the journal refuses goes to the error
// stream instead. Any thread: nothing is buffered, each line is one write.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Platform/Log.h"

namespace vorsel::linux_platform {

class JournalLog final : public Log {
  public:
    static constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

    // `own` is the agent's identifier. `socket` and `errorStream` (a file
    // descriptor, not owned) exist for tests.
    explicit JournalLog(std::string own, const std::string& socket = kJournalSocket,
                        int errorStream = 2);

    void write(LogLevel level, std::string_view message) override;

    // Whether lines go to the journal rather than to the error stream.
    bool toJournal() const { return journal; }

    // The error-stream line for a message, newline included. Line breaks
    // inside the message become blanks, so one message stays one line.
    static std::string line(std::string_view own, LogLevel level, std::string_view message);
    // The journal fields of a message, "NAME=value" each.
    static std::vector<std::string> fields(std::string_view own, LogLevel level,
                                           std::string_view message);

  private:
    void writeLine(LogLevel level, std::string_view message) const;

    std::string ownName;
    bool journal;
    int errorStream;
};

}  // namespace vorsel::linux_platform
