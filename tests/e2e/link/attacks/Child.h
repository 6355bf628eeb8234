// The genuine app run as a child whose standard input and output the attack
// program holds, so that it can act between the app's calls. Both attacks
// that need the kernel's leave to reach into another process (tracing it,
// taking its descriptors) run the app as their child: where Yama allows that
// only to a process's ancestors, they still may.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace vorsel::e2e::attack {

class AppChild {
  public:
    explicit AppChild(std::vector<std::string> argv) {
        int localIn[2], localOut[2];
        if (::pipe(localIn) != 0 || ::pipe(localOut) != 0) return;
        processId = ::fork();
        if (processId == 0) {
            ::dup2(localIn[0], 0);
            ::dup2(localOut[1], 1);
            for (int fd : {localIn[0], localIn[1], localOut[0], localOut[1]}) ::close(fd);
            std::vector<char*> args;
            for (auto& word : argv) args.push_back(word.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(localIn[0]);
        ::close(localOut[1]);
        in = localIn[1];
        out = ::fdopen(localOut[0], "r");
    }
    ~AppChild() {
        if (in >= 0) ::close(in);
        if (out) std::fclose(out);
        if (processId > 0) {
            ::kill(processId, SIGKILL);
            ::waitpid(processId, nullptr, __WALL);
        }
    }

    pid_t pid() const { return processId; }
    // The app's next line of output, without its end; empty at its end.
    std::string line() {
        char buffer[4096];
        if (!out || !std::fgets(buffer, sizeof buffer, out)) return {};
        std::string text = buffer;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    // Lets the app go on past its "wait".
    void carryOn() { [[maybe_unused]] auto wrote = ::write(in, "\n", 1); }

  private:
    pid_t processId = -1;
    int in = -1;
    FILE* out = nullptr;
};

}  // namespace vorsel::e2e::attack
