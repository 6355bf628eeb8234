// The few file operations the system needs, on whole files. Any thread, but
// the agent only uses them from the main thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorsel {

// The outcome of an operation that can fail: empty on success, otherwise a
// short description fit to show a user (e.g. "Permission denied").
struct FileResult {
    std::optional<std::string> error;
    explicit operator bool() const { return !error; }
};

class Files {
  public:
    virtual ~Files() = default;

    // The per-user folder for application data (on Linux $XDG_DATA_HOME, by
    // default ~/.local/share). Absolute, without a trailing slash. The folder
    // may not exist yet.
    virtual std::string dataFolder() const = 0;

    // Creates `path` and any missing parents. An existing folder is success.
    virtual FileResult createFolders(const std::string& path) = 0;

    // The whole content of the file at `path`, or nothing if it cannot be read.
    virtual std::optional<std::string> read(const std::string& path) = 0;

    // Replaces the file at `path` with `data` so that a reader sees either the
    // old or the new content whole, never a mix; on failure the old content
    // stays.
    virtual FileResult writeAtomically(const std::string& path, std::string_view data) = 0;

    // Removes the file at `path`. A missing file is a failure.
    virtual FileResult remove(const std::string& path) = 0;
};

}  // namespace vorsel
