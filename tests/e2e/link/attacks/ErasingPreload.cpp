// A library to preload into the genuine app: as soon as the loader has put it
// in, it erases LD_PRELOAD from the process's live environment block, which
// is all that /proc/<pid>/environ shows, and says on standard error whether
// the block now looks clean.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

extern char** environ;

__attribute__((constructor)) static void erase() {
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "LD_PRELOAD=", 11) == 0)
            std::memset(*entry, 'X', std::strlen(*entry));
    std::string block;
    const int fd = ::open("/proc/self/environ", O_RDONLY | O_CLOEXEC);
    char buffer[4096];
    ssize_t got;
    while (fd >= 0 && (got = ::read(fd, buffer, sizeof buffer)) > 0)
        block.append(buffer, static_cast<std::size_t>(got));
    if (fd >= 0) ::close(fd);
    std::fprintf(stderr, "preload: %s\n",
                 block.find("LD_PRELOAD") == std::string::npos ? "erased" : "still there");
}
