// The Linux desktops' own system apps, as desktop file IDs without
// ".desktop". Any thread.
#pragma once

#include <set>
#include <string>

namespace vorsel::linux_platform {

const std::set<std::string>& linuxSystemApps();

}  // namespace vorsel::linux_platform
