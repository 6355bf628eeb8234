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
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
            std::vector<char*> args;
            for (auto& word : argv) args.push_back(word.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = ::fdopen(out[0], "r");
    }
    ~AppChild() {
        if (in_ >= 0) ::close(in_);
        if (out_) std::fclose(out_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, __WALL);
        }
    }

    pid_t pid() const { return pid_; }
    // The app's next line of output, without its end; empty at its end.
    std::string line() {
        char buffer[4096];
        if (!out_ || !std::fgets(buffer, sizeof buffer, out_)) return {};
        std::string text = buffer;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    // Lets the app go on past its "wait".
    void carryOn() { [[maybe_unused]] auto wrote = ::write(in_, "\n", 1); }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    FILE* out_ = nullptr;
};

}  // namespace vorsel::e2e::attack
