#include "Platform/Linux/Signing/SpareJudge.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string_view>
#include <utility>
#include <vector>

namespace vorsel::linux_platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A question is one packet: NUL-separated fields, the first one naming it.
constexpr std::size_t kLongestQuestion = 64 * 1024;

std::vector<std::string> fieldsOf(std::string_view packet) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (at <= packet.size()) {
        std::size_t end = packet.find('\0', at);
        if (end == std::string_view::npos) end = packet.size();
        fields.emplace_back(packet.substr(at, end - at));
        at = end + 1;
    }
    return fields;
}

template <typename T>
bool number(const std::string& text, T& out) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

bool answerOf(const SigningModule& module, const std::vector<std::string>& question) {
    if (question.size() == 4 && question[0] == "satisfies")
        return module.satisfies(question[1], question[2], question[3]);
    std::uint32_t uid = 0;
    std::int32_t pid = 0;
    if (question.size() == 5 && question[0] == "caller" && number(question[2], uid) &&
        number(question[3], pid))
        return module.callerGenuine(question[1], uid, pid, question[4]);
    return false;
}

bool waitReadable(int fd, SteadyClock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return false;
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

[[noreturn]] void serve(const SigningModule& module, int socket, std::chrono::milliseconds life) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (socket > 3) ::close_range(3, static_cast<unsigned>(socket) - 1, 0);
    ::close_range(static_cast<unsigned>(socket) + 1, ~0U, 0);
    const auto deadline = SteadyClock::now() + life;
    char answer = 'n';
    try {
        (void)module.warm();
        if (waitReadable(socket, deadline)) {
            std::string packet(kLongestQuestion, '\0');
            ssize_t got;
            do {
                got = ::recv(socket, packet.data(), packet.size(), 0);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) ::_exit(0);  // the agent let its spare go
            packet.resize(static_cast<std::size_t>(got));
            answer = answerOf(module, fieldsOf(packet)) ? 'y' : 'n';
        } else {
            ::_exit(0);  // nobody asked in time
        }
    } catch (...) {
        answer = 'n';
    }
    while (::send(socket, &answer, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
    ::_exit(0);
}

}  // namespace

std::shared_ptr<SpareJudge> SpareJudge::start(std::shared_ptr<const SigningModule> module,
                                              std::chrono::milliseconds life) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
    pid_t child;
    {
        std::lock_guard<std::mutex> held(forkLock());
        child = ::fork();
    }
    if (child == 0) {
        ::close(pair[0]);
        serve(*module, pair[1], life);
    }
    ::close(pair[1]);
    if (child < 0) {
        ::close(pair[0]);
        return nullptr;
    }
    return std::shared_ptr<SpareJudge>(new SpareJudge(child, pair[0]));
}

SpareJudge::~SpareJudge() { finish(child, socket); }

// Closing the socket lets a spare that still waits end by itself; the kill
// ends one that is still at an answer nobody will read.
void SpareJudge::finish(pid_t child, int socket) {
    if (socket >= 0) ::close(socket);
    if (child > 0) {
        ::kill(child, SIGKILL);
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

bool SpareJudge::take(pid_t& givenChild, int& givenSocket) {
    std::lock_guard<std::mutex> held(mutex);
    if (socket < 0) {
        reapIfEnded();
        return false;
    }
    givenChild = std::exchange(child, -1);
    givenSocket = std::exchange(socket, -1);
    if (::waitpid(givenChild, nullptr, WNOHANG) == givenChild) {  // ended unused
        ::close(givenSocket);
        return false;
    }
    return true;
}

void SpareJudge::reapIfEnded() {
    if (child > 0 && ::waitpid(child, nullptr, WNOHANG) == child) child = -1;
}

bool SpareJudge::waiting() {
    std::lock_guard<std::mutex> held(mutex);
    if (socket < 0) {
        reapIfEnded();
        return false;
    }
    if (::waitpid(child, nullptr, WNOHANG) != child) return true;
    ::close(std::exchange(socket, -1));
    child = -1;
    return false;
}

bool SpareJudge::gone() {
    if (waiting()) return false;
    std::lock_guard<std::mutex> held(mutex);
    reapIfEnded();
    return child < 0;
}

ChildAnswer SpareJudge::ask(const std::string& question, std::chrono::milliseconds limit) {
    pid_t localChild;
    int localSocket;
    if (question.size() > kLongestQuestion || !take(localChild, localSocket))
        return ChildAnswer::notStarted;
    ssize_t sent;
    do {
        sent = ::send(localSocket, question.data(), question.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(question.size())) {
        finish(localChild, localSocket);
        return ChildAnswer::notStarted;  // it ended in between: a fresh child asks
    }
    char answer = 0;
    ssize_t got = -1;
    if (waitReadable(localSocket, SteadyClock::now() + limit)) {
        do {
            got = ::recv(localSocket, &answer, 1, 0);
        } while (got < 0 && errno == EINTR);
    }
    if (got != 1) {
        finish(localChild, localSocket);  // late or lost: it answers nobody now
        return ChildAnswer::unanswered;
    }
    // It ends by itself once it has answered. Its end is not waited for
    // here, where the caller waits for the answer: a later question or the
    // spare's own end reaps it.
    ::close(localSocket);
    if (::waitpid(localChild, nullptr, WNOHANG) != localChild) {
        std::lock_guard<std::mutex> held(mutex);
        child = localChild;
    }
    return answer == 'y' ? ChildAnswer::yes : ChildAnswer::no;
}

ChildAnswer SpareJudge::satisfies(const std::string& anchors, const std::string& bundle,
                                  const std::string& requirement, std::chrono::milliseconds limit) {
    for (const std::string* text : {&anchors, &bundle, &requirement})
        if (text->find('\0') != std::string::npos) return ChildAnswer::notStarted;
    using namespace std::string_literals;
    return ask("satisfies\0"s + anchors + '\0' + bundle + '\0' + requirement, limit);
}

ChildAnswer SpareJudge::callerGenuine(const std::string& anchors, std::uint32_t uid,
                                      std::int32_t pid, const std::string& requirement,
                                      std::chrono::milliseconds limit) {
    for (const std::string* text : {&anchors, &requirement})
        if (text->find('\0') != std::string::npos) return ChildAnswer::notStarted;
    using namespace std::string_literals;
    return ask("caller\0"s + anchors + '\0' + std::to_string(uid) + '\0' + std::to_string(pid) +
                   '\0' + requirement,
               limit);
}

}  // namespace vorsel::linux_platform
