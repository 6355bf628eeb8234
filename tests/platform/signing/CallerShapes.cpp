// A program for the caller verdict's tests to run as a bundle's executable:
// it puts itself into one shape the verdict must see through, writes READY,
// and then waits to be killed.
//
//   signing_caller_shapes plain READY        nothing more
//   signing_caller_shapes erase READY        erases LD_PRELOAD and LD_AUDIT from
//                                            its live environment block, as code
//                                            the loader put in could
//   signing_caller_shapes anonymous READY    maps anonymous executable memory
//   signing_caller_shapes thread READY       starts a second thread; READY holds
//                                            that thread's id
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

extern char** environ;

namespace {

std::atomic<long> secondThread{0};

void eraseLoaderVariables() {
    for (char** entry = environ; *entry != nullptr; ++entry)
        for (const char* name : {"LD_PRELOAD=", "LD_AUDIT="})
            if (std::strncmp(*entry, name, std::strlen(name)) == 0)
                std::memset(*entry, 'X', std::strlen(*entry));
}

bool writeReady(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: signing_caller_shapes MODE READY\n");
        return 2;
    }
    const std::string mode = argv[1];
    std::string ready = "ready";
    if (mode == "erase") {
        eraseLoaderVariables();
    } else if (mode == "anonymous") {
        void* code = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (code == MAP_FAILED) return 1;
    } else if (mode == "thread") {
        std::thread([] {
            secondThread = ::syscall(SYS_gettid);
            for (;;) ::pause();
        }).detach();
        while (secondThread == 0) std::this_thread::yield();
        ready = std::to_string(secondThread.load());
    } else if (mode != "plain") {
        return 2;
    }
    if (!writeReady(argv[2], ready)) return 1;
    for (;;) ::pause();
}
