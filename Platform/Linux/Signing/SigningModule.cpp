#include "Platform/Linux/Signing/SigningModule.h"

#include <dlfcn.h>

#include <filesystem>

#include "Platform/Linux/Signing/ForkedCheck.h"
#include "Platform/Linux/Signing/ModificationDate.h"
#include "Platform/Linux/Signing/SpareJudge.h"

namespace vorsel::linux_platform {

std::string signingModulePath() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return (executable.parent_path() / "vorsel-signing.so").string();
}

SigningModule::SigningModule(std::string path) : location(std::move(path)) {}

bool SigningModule::load() const {
    std::lock_guard<std::mutex> held(mutex);
    if (tried) return satisfiesEntry != nullptr;
    tried = true;
    // Never unloaded: OpenSSL keeps state for the life of the process.
    void* module = ::dlopen(location.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* error = ::dlerror();
        problemText = error != nullptr ? error : "cannot load " + location;
        return false;
    }
    auto satisfies = reinterpret_cast<VorselSigningSatisfies>(::dlsym(module, kSatisfiesEntry));
    auto callerGenuine =
        reinterpret_cast<VorselSigningCallerGenuine>(::dlsym(module, kCallerGenuineEntry));
    if (satisfies == nullptr || callerGenuine == nullptr) {
        problemText = location + " is not Vorsel's signing module";
        return false;
    }
    satisfiesEntry = satisfies;
    callerGenuineEntry = callerGenuine;
    warmEntry = reinterpret_cast<VorselSigningWarm>(::dlsym(module, kWarmEntry));
    return true;
}

bool SigningModule::warm() const { return load() && warmEntry != nullptr && warmEntry() == 1; }

bool SigningModule::satisfies(const std::string& anchors, const std::string& bundle,
                              const std::string& requirement) const {
    return load() && satisfiesEntry(anchors.c_str(), bundle.c_str(), requirement.c_str()) == 1;
}

bool SigningModule::callerGenuine(const std::string& anchors, std::uint32_t uid, std::int32_t pid,
                                  const std::string& requirement) const {
    return load() && callerGenuineEntry(anchors.c_str(), uid, pid, requirement.c_str()) == 1;
}

std::string SigningModule::problem() const {
    std::lock_guard<std::mutex> held(mutex);
    return problemText;
}

ModuleCodeSigning::ModuleCodeSigning(std::shared_ptr<const SigningModule> module,
                                     std::string anchorsPath, std::chrono::milliseconds limit,
                                     std::shared_ptr<SpareJudge> spare)
    : module(std::move(module)),
      anchorsPath(std::move(anchorsPath)),
      limit(limit),
      spare(std::move(spare)) {}

std::optional<TimePoint> ModuleCodeSigning::modificationDate(const std::string& path) {
    return modificationDateOf(path);
}

bool ModuleCodeSigning::satisfies(const std::string& bundlePath, const std::string& requirement) {
    ChildAnswer answer = spare ? spare->satisfies(anchorsPath, bundlePath, requirement, limit)
                               : ChildAnswer::notStarted;
    if (answer == ChildAnswer::notStarted && kChildrenMayAllocate)
        answer = askInChild([&] { return module->satisfies(anchorsPath, bundlePath, requirement); },
                            limit);
    if (answer != ChildAnswer::notStarted) return answer == ChildAnswer::yes;
    // OpenSSL's locks are taken in here: no child may be forked meanwhile.
    std::lock_guard<std::mutex> held(forkLock());
    return module->satisfies(anchorsPath, bundlePath, requirement);
}

std::function<bool(std::uint32_t, std::int32_t, const std::string&)> callerCheckInChild(
    std::shared_ptr<const SigningModule> module, std::string anchorsPath,
    std::chrono::milliseconds limit, std::shared_ptr<SpareJudge> spare) {
    return [module = std::move(module), anchors = std::move(anchorsPath), limit,
            spare = std::move(spare)](std::uint32_t uid, std::int32_t pid,
                                      const std::string& requirement) {
        ChildAnswer answer = spare ? spare->callerGenuine(anchors, uid, pid, requirement, limit)
                                   : ChildAnswer::notStarted;
        if (answer == ChildAnswer::notStarted && kChildrenMayAllocate)
            answer = askInChild(
                [&] { return module->callerGenuine(anchors, uid, pid, requirement); }, limit);
        if (answer != ChildAnswer::notStarted) return answer == ChildAnswer::yes;
        std::lock_guard<std::mutex> held(forkLock());
        return module->callerGenuine(anchors, uid, pid, requirement);
    };
}

}  // namespace vorsel::linux_platform
