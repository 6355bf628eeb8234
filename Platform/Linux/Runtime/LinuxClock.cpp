#include "Platform/Linux/Runtime/LinuxClock.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Platform/Linux/Runtime/LinuxFiles.h"

namespace vorsel::linux_platform {

namespace {

// A clock set back by more than the rules' 24-hour cap lengthens no session
// by more than the cap.
constexpr double kMostBehind = 86400.0;

// An anchor is a few dozen bytes; anything much bigger is not one.
constexpr std::size_t kAnchorLimit = 4096;

double seconds(clockid_t id) {
    timespec ts{};
    ::clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TimePoint realTime() { return seconds(CLOCK_REALTIME) - kReferenceSinceUnixEpoch; }

double shiftIn(const std::string& file) {
    const auto text = readAtMost(file, 64);
    if (!text) return 0;
    char* end = nullptr;
    const double shift = std::strtod(text->c_str(), &end);
    return end != text->c_str() && std::isfinite(shift) ? shift : 0;
}

std::optional<std::string> systemBootId() {
    auto text = readAtMost("/proc/sys/kernel/random/boot_id", 64);
    if (!text) return std::nullopt;
    while (!text->empty() && std::isspace(static_cast<unsigned char>(text->back())))
        text->pop_back();
    if (text->empty()) return std::nullopt;
    return text;
}

}  // namespace

ClockReadings systemReadings() {
    const char* shift = std::getenv(kWallShiftVariable);
    const std::string shiftFile = shift ? shift : "";
    return {[shiftFile] { return realTime() + (shiftFile.empty() ? 0.0 : shiftIn(shiftFile)); },
            [] { return seconds(CLOCK_BOOTTIME); }, systemBootId};
}

LinuxClock::LinuxClock(ClockSide side, std::string givenMemoryFile, ClockReadings readings)
    : side(side),
      memoryFile(std::move(givenMemoryFile)),
      anchorFilePath((std::filesystem::path(memoryFile).parent_path() / kAnchorName).string()),
      readings(std::move(readings)) {}

TimePoint LinuxClock::now() const {
    std::lock_guard lock(mutex);
    const double sinceBoot = readings.sinceBoot();
    const TimePoint wall = readings.wall();
    const double localOffset = wall - sinceBoot;
    if (side == ClockSide::window) {
        const auto anchored = anchoredOffset(sinceBoot);
        return sinceBoot + (anchored ? std::min(*anchored, localOffset) : localOffset);
    }
    if (!offset) {
        const auto anchored = anchoredOffset(sinceBoot);
        offset = anchored ? std::min(*anchored, localOffset) : localOffset;
        kept = anchored && *anchored == *offset;
    }
    // Tried again at each reading until it is on disk: a Hardcore session
    // saved later in this process must find it there.
    if (!kept) kept = keepAnchor(sinceBoot);
    const TimePoint trusted = sinceBoot + *offset;
    return std::clamp(wall, trusted - kMostBehind, trusted);
}

// The offset the anchor on disk vouches for, when it may be taken up.
std::optional<double> LinuxClock::anchoredOffset(double sinceBoot) const {
    // Only a Hardcore session outlives the agent, so only then is there a
    // trust worth carrying over. Without this, a clock corrected forward once
    // would leave every later session of the boot that much longer.
    if (::access(memoryFile.c_str(), F_OK) != 0) return std::nullopt;
    const auto& id = bootId();
    if (!id) return std::nullopt;
    const auto text = readAtMost(anchorFilePath, kAnchorLimit);
    if (!text) return std::nullopt;
    const auto anchor = nlohmann::json::parse(*text, nullptr, false);
    if (!anchor.is_object()) return std::nullopt;
    const auto boot = anchor.find("boot");
    const auto since = anchor.find("sinceBoot");
    const auto at = anchor.find("wall");
    if (boot == anchor.end() || since == anchor.end() || at == anchor.end() || !boot->is_string() ||
        !since->is_number() || !at->is_number())
        return std::nullopt;
    if (boot->get_ref<const std::string&>() != *id) return std::nullopt;
    const double anchoredSince = since->get<double>();
    const double anchoredWall = at->get<double>();
    // A boot-time reading later than now cannot be of this boot; an instant
    // before the distant past would leave no room for the 24-hour cap.
    if (!std::isfinite(anchoredSince) || !std::isfinite(anchoredWall) || anchoredSince < 0 ||
        anchoredSince > sinceBoot || anchoredWall < kDistantPast)
        return std::nullopt;
    return anchoredWall - anchoredSince;
}

// Not synced to the disk: after a crash of the machine the boot id differs
// and the anchor is ignored anyway.
bool LinuxClock::keepAnchor(double sinceBoot) const {
    const auto& id = bootId();
    if (!id) return true;  // nothing a later process could check it against
    (void)LinuxFiles().createFolders(std::filesystem::path(anchorFilePath).parent_path().string());
    const nlohmann::json anchor{
        {"boot", *id}, {"sinceBoot", sinceBoot}, {"wall", sinceBoot + *offset}};
    return static_cast<bool>(replaceUnsynced(anchorFilePath, anchor.dump()));
}

const std::optional<std::string>& LinuxClock::bootId() const {
    if (!cachedBootId) cachedBootId = readings.bootId();
    return *cachedBootId;
}

TimePoint WallClock::now() const { return realTime(); }

}  // namespace vorsel::linux_platform
