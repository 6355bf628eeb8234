// Runs a program with SIGTERM blocked, as typed in a terminal: the program
// ignores polite requests to quit, and each one stays pending where the
// test can see when it came (/proc/<pid>/status). Usage: term_blocked PROGRAM [ARGS...]
#include <signal.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
