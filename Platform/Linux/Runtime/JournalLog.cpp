#include "Platform/Linux/Runtime/JournalLog.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>

namespace vorsel::linux_platform {

namespace {

bool isSocket(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

JournalLog::JournalLog(std::string own, const std::string& socket, int errorStream)
    : ownName(std::move(own)), journal(isSocket(socket)), errorStream(errorStream) {}

std::string JournalLog::line(std::string_view own, LogLevel level, std::string_view message) {
    std::string text;
    text.reserve(own.size() + message.size() + 24);
    text.append(own).append(" Guard: ");
    if (level == LogLevel::error) text.append("error: ");
    for (char c : message) text.push_back(c == '\n' || c == '\r' ? ' ' : c);
    text.push_back('\n');
    return text;
}

std::vector<std::string> JournalLog::fields(std::string_view own, LogLevel level,
                                            std::string_view message) {
    return {
        "MESSAGE=" + std::string(message),
        std::string("PRIORITY=") + (level == LogLevel::error ? "3" : "5"),
        "SYSLOG_IDENTIFIER=" + std::string(own),
        "CATEGORY=Guard",
    };
}

void JournalLog::write(LogLevel level, std::string_view message) {
    if (journal) {
        const auto entries = fields(ownName, level, message);
        std::vector<iovec> vector;
        vector.reserve(entries.size());
        for (const auto& entry : entries)
            vector.push_back({const_cast<char*>(entry.data()), entry.size()});
        if (sd_journal_sendv(vector.data(), static_cast<int>(vector.size())) >= 0) return;
    }
    writeLine(level, message);
}

void JournalLog::writeLine(LogLevel level, std::string_view message) const {
    const std::string text = line(ownName, level, message);
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t written = ::write(errorStream, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // nowhere left to report it
        rest.remove_prefix(static_cast<size_t>(written));
    }
}

}  // namespace vorsel::linux_platform
