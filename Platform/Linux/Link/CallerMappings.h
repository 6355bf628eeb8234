// Which code a genuine caller may run: the judgement of what a process has
// mapped executable, whatever it was started with. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/Linux/Link/CallerProcess.h"

namespace vorsel::linux_platform {

// Yes when every mapping in `mappings` is
//   - the caller's own image (whose content the seal judges; the kernel
//     refuses writes to a file while a process executes it),
//   - memory the kernel provides ([vdso], [vsyscall] and the like), or
//   - a file still at its mapped path, that the caller's user (`ids`) cannot
//     write, in folders that user cannot write either, up to "/"
// (a library the user can write can be changed under the running app, even
// one sealed in its bundle). Anonymous executable memory and files deleted or
// replaced since they were mapped are refused. For a caller of uid 0, files
// owned by uid 0 count as not writable: the system's own files are trusted,
// and a root caller is nobody Vorsel defends against.
bool mappingsAllowed(const std::vector<Mapping>& mappings, const CallerImage& image,
                     const CallerIds& ids, std::string* why);

}  // namespace vorsel::linux_platform
