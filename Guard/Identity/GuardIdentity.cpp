#include "Guard/Identity/GuardIdentity.h"

#include <algorithm>
#include <atomic>

#include "Platform/Bundles.h"
#include "Platform/Files.h"

namespace vorsel {

namespace {

std::atomic<const Bundles*> mainBundle{nullptr};

}  // namespace

GuardIdentity GuardIdentity::of(const Bundles& bundles) {
    return {
        bundles.mainIdentifier().value_or("com.ordwyn.guard"),
        bundles.infoText("OWAppIdentifier").value_or("com.ordwyn.app"),
        bundles.infoText("OWTeam").value_or(""),
    };
}

void GuardIdentity::setMainBundle(const Bundles& bundles) { mainBundle.store(&bundles); }

const GuardIdentity& GuardIdentity::shared() {
    static const GuardIdentity identity = [] {
        const Bundles* bundles = mainBundle.load();
        return bundles ? of(*bundles) : GuardIdentity{"com.ordwyn.guard", "com.ordwyn.app", ""};
    }();
    return identity;
}

std::string GuardIdentity::machService() const { return team + "." + app + ".guard"; }

std::string GuardIdentity::memoryFile(Files& files) const {
    const std::string folder = files.dataFolder() + "/" + own;
    (void)files.createFolders(folder);
    return folder + "/guard.json";
}

bool GuardMain::startedAsAgent(const std::vector<std::string>& arguments, const char* serviceName,
                               std::string_view own) {
    if (std::find(arguments.begin(), arguments.end(), "--agent") != arguments.end()) return true;
    if (!serviceName) return false;
    const std::string_view name = serviceName;
    return name.size() == own.size() + 6 && name.starts_with(own) && name.ends_with(".agent");
}

}  // namespace vorsel
