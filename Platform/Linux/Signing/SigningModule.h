// Code signatures through "vorsel-signing.so", the module beside the
// executable that holds the signing code and OpenSSL. The agent links
// neither: each check is asked in a forked child (ForkedCheck.h) that loads
// the module, so that what a check touches (OpenSSL's tables, the hashed
// bundle) never stays resident in the long-running agent. (Not in sanitizer
// builds: see kChildrenMayAllocate.)
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/CodeSigning.h"

// The module's entry points: C linkage, never throw, 1 for yes and 0 for no.
extern "C" {
// validateAgainst(bundle, anchors, requirement) succeeded.
using VorselSigningSatisfies = int (*)(const char* anchors, const char* bundle,
                                       const char* requirement);
// CallerVerdict(anchors).genuine(uid, pid, requirement).
using VorselSigningCallerGenuine = int (*)(const char* anchors, std::uint32_t uid, std::int32_t pid,
                                           const char* requirement);
// Loads what every check needs first (OpenSSL's configuration and digests);
// 1 when it is ready.
using VorselSigningWarm = int (*)();
}

namespace vorsel::linux_platform {

class SpareJudge;

inline constexpr const char* kSatisfiesEntry = "vorselSigningSatisfies";
inline constexpr const char* kCallerGenuineEntry = "vorselSigningCallerGenuine";
inline constexpr const char* kWarmEntry = "vorselSigningWarm";

// "vorsel-signing.so" beside the running executable.
std::string signingModulePath();

// The module at one path, loaded on first use and never unloaded. Any
// thread. A module that cannot be loaded answers no to everything.
class SigningModule {
  public:
    explicit SigningModule(std::string path);

    bool satisfies(const std::string& anchors, const std::string& bundle,
                   const std::string& requirement) const;
    bool callerGenuine(const std::string& anchors, std::uint32_t uid, std::int32_t pid,
                       const std::string& requirement) const;

    // Loads the module and what every check needs first, ahead of the
    // first check; false when the module cannot be loaded.
    bool warm() const;

    // Why the module could not be loaded; empty when it was, or was not tried.
    std::string problem() const;

  private:
    bool load() const;

    std::string location;
    mutable std::mutex mutex;
    mutable bool tried = false;
    mutable VorselSigningSatisfies satisfiesEntry = nullptr;
    mutable VorselSigningCallerGenuine callerGenuineEntry = nullptr;
    mutable VorselSigningWarm warmEntry = nullptr;
    mutable std::string problemText;
};

// The CodeSigning port over the module, with LinuxCodeSigning's contract.
// modificationDate is a stat and loads nothing; satisfies is asked in a
// forked child, and a child that does not answer within `limit` is a no
// (where no child can be made, it is asked here). Main thread.
class ModuleCodeSigning final : public CodeSigning {
  public:
    // A `spare` answers the first check, if it comes while the spare waits.
    ModuleCodeSigning(std::shared_ptr<const SigningModule> module, std::string anchorsPath,
                      std::chrono::milliseconds limit, std::shared_ptr<SpareJudge> spare = nullptr);

    std::optional<TimePoint> modificationDate(const std::string& path) override;
    bool satisfies(const std::string& bundlePath, const std::string& requirement) override;

  private:
    std::shared_ptr<const SigningModule> module;
    std::string anchorsPath;
    std::chrono::milliseconds limit;
    std::shared_ptr<SpareJudge> spare;
};

// The link's caller check over the module, asked in a forked child; a child
// that does not answer within `limit` is a no. Where no child can be made
// the check runs here instead. Any thread.
std::function<bool(std::uint32_t, std::int32_t, const std::string&)> callerCheckInChild(
    std::shared_ptr<const SigningModule> module, std::string anchorsPath,
    std::chrono::milliseconds limit, std::shared_ptr<SpareJudge> spare = nullptr);

}  // namespace vorsel::linux_platform
