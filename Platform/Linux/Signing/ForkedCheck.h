// A yes/no question answered in a forked child of this process, so that what
// answering loads and allocates (a library's tables, a hashed bundle) ends
// with the child instead of staying resident in a long-running process.
//
// The child runs only `question`, then ends with _exit. In a process with
// threads it starts with one: glibc resets its malloc, stdio and dynamic
// loader locks there, but nothing else another thread held at the fork is
// released, so `question` must not use Qt, the bus, or anything those
// threads may hold locked (see forkLock()). Any thread; blocks until the
// answer, the child's end, or `limit`.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>

namespace vorsel::linux_platform {

enum class ChildAnswer {
    yes,
    no,
    unanswered,  // the child ended without answering, or took longer than `limit`
    notStarted,  // no child could be made (fork or pipe failed)
};

ChildAnswer askInChild(const std::function<bool()>& question, std::chrono::milliseconds limit);

// Whether a child forked from a process with threads may allocate: glibc's
// malloc is made consistent across fork, AddressSanitizer's allocator is not
// (a child forked while another thread allocates can hang). Sanitizer builds
// therefore answer their checks in the process itself.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kChildrenMayAllocate = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kChildrenMayAllocate = false;
#else
inline constexpr bool kChildrenMayAllocate = true;
#endif
#else
inline constexpr bool kChildrenMayAllocate = true;
#endif

// Held while a child is forked: code of the parent that uses what questions
// use (OpenSSL, through the signing module) holds it too, so no child starts
// with such a lock taken by another thread.
std::mutex& forkLock();

}  // namespace vorsel::linux_platform
