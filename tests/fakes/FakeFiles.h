// Whole files in memory. Reads, writes and removals can be told to fail; a
// failing write leaves the old content, as an atomic write does. Test thread
// only.
#pragma once

#include <map>
#include <set>
#include <string>

#include "Platform/Files.h"

namespace vorsel::fakes {

inline constexpr const char* kFakeDataFolder = "/home/tester/.local/share";

class FakeFiles final : public Files {
  public:
    std::string dataFolder() const override { return kFakeDataFolder; }

    FileResult createFolders(const std::string& path) override {
        folders.insert(path);
        return {};
    }

    std::optional<std::string> read(const std::string& path) override {
        ++reads;
        if (failReads) return std::nullopt;
        const auto found = contents.find(path);
        if (found == contents.end()) return std::nullopt;
        return found->second;
    }

    FileResult writeAtomically(const std::string& path, std::string_view data) override {
        ++writes;
        if (failWrites) return {"No space left on device"};
        contents[path] = std::string(data);
        return {};
    }

    FileResult remove(const std::string& path) override {
        ++removals;
        if (failRemoves) return {"Permission denied"};
        if (contents.erase(path) == 0) return {"No such file or directory"};
        return {};
    }

    bool exists(const std::string& path) const { return contents.contains(path); }

    std::map<std::string, std::string> contents;
    std::set<std::string> folders;
    bool failReads = false;
    bool failWrites = false;
    bool failRemoves = false;
    int reads = 0;
    int writes = 0;    // attempts, failed ones included
    int removals = 0;  // attempts, failed ones included
};

}  // namespace vorsel::fakes
