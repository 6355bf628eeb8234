// The log: the journal when its socket exists, otherwise one line per message
// on standard error in the agreed format.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "Platform/Linux/Runtime/JournalLog.h"
#include "tests/e2e/support/E2eProcess.h"

using vorsel::LogLevel;
using vorsel::e2e::TempFolder;
using vorsel::linux_platform::JournalLog;

namespace {

// A pipe whose read end collects what the log writes.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    std::string drain() const {
        std::string text;
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(got));
        return text;
    }
};

}  // namespace

TEST(JournalLog, WithoutAJournalEachMessageIsOneLineOnStandardError) {
    Pipe errors;
    JournalLog log("com.ordwyn.guard", "/nonexistent/journal/socket", errors.fds[1]);
    EXPECT_FALSE(log.toJournal());

    log.write(LogLevel::standard, "listening as .com.ordwyn.app.guard");
    log.write(LogLevel::error, "rules it couldn't read were handed over");
    log.write(LogLevel::standard, "a line\nbreak and a\rreturn stay on one line");
    EXPECT_EQ(errors.drain(),
              "com.ordwyn.guard Guard: listening as .com.ordwyn.app.guard\n"
              "com.ordwyn.guard Guard: error: rules it couldn't read were handed over\n"
              "com.ordwyn.guard Guard: a line break and a return stay on one line\n");
}

TEST(JournalLog, LinesFromManyThreadsNeverInterleave) {
    Pipe errors;
    JournalLog log("own", "/nonexistent", errors.fds[1]);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&log, t] {
            for (int i = 0; i < 20; ++i) log.write(LogLevel::standard, std::string(100, 'a' + t));
        });
    for (auto& writer : writers) writer.join();
    const std::string all = errors.drain();
    size_t lines = 0;
    for (size_t start = 0; start < all.size(); ++lines) {
        const size_t end = all.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = all.substr(start, end - start);
        EXPECT_EQ(line.size(), std::string("own Guard: ").size() + 100) << line;
        start = end + 1;
    }
    EXPECT_EQ(lines, 80u);
}

TEST(JournalLog, OnlyAListeningSocketCountsAsAJournal) {
    TempFolder folder("vorsel-journal");
    const std::string plain = folder.path() + "/plain";
    ASSERT_TRUE(vorsel::e2e::writeText(plain, "not a socket"));
    EXPECT_FALSE(JournalLog("own", plain).toJournal());
    EXPECT_FALSE(JournalLog("own", folder.path()).toJournal());

    const std::string path = folder.path() + "/socket";
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(JournalLog("own", path).toJournal());
    ::close(fd);
}

TEST(JournalLog, JournalEntriesCarryIdentifierCategoryAndPriority) {
    EXPECT_EQ(JournalLog::fields("com.ordwyn.guard", LogLevel::standard, "holding: nothing"),
              (std::vector<std::string>{"MESSAGE=holding: nothing", "PRIORITY=5",
                                        "SYSLOG_IDENTIFIER=com.ordwyn.guard", "CATEGORY=Guard"}));
    EXPECT_EQ(JournalLog::fields("x", LogLevel::error, "a\nb")[0], "MESSAGE=a\nb");
    EXPECT_EQ(JournalLog::fields("x", LogLevel::error, "m")[1], "PRIORITY=3");
}
