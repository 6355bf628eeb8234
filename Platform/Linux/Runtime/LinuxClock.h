// The Clock port on Linux: the real-time clock, held to elapsed time.
//
// The wall clock is the user's to set, and a clock moved a day ahead would
// end every session on the next pass. The instant given here never runs
// ahead of the instant the process trusted at its first reading plus the
// time CLOCK_BOOTTIME says has passed since (suspend included), and never
// falls more than a day (the rules' cap) behind that: a wall clock moved
// forward is not followed, one moved back only by up to a day.
//
// The trust outlives the agent's process within one boot through an anchor
// file beside the memory file (kAnchorName: the boot id, a CLOCK_BOOTTIME
// reading and the instant trusted at it). It is taken up only while the
// memory file exists (only a Hardcore session outlives the agent), only from
// this boot, only when its boot-time reading is not later than now, and never
// so as to put the time ahead of the wall clock. After a reboot the wall clock
// is all there is.
//
// The agent's clock settles its trust at its first reading and writes the
// anchor then, so the anchor is on disk before any memory file the process
// writes (the agent reads the clock before each save). The window's clock
// reads the anchor afresh at each reading and never writes: it gives the
// earlier of the wall clock and the anchor's instant now.
//
// Any thread.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Clock.h"

namespace vorsel::linux_platform {

// The raw clocks that LinuxClock bounds one by the other. Tests inject them.
struct ClockReadings {
    std::function<TimePoint()> wall;    // CLOCK_REALTIME, in seconds since the reference
    std::function<double()> sinceBoot;  // CLOCK_BOOTTIME, in seconds
    std::function<std::optional<std::string>()> bootId;  // read once; nothing when unknown
};

// A test hook: a file whose content, a number of seconds, moves each
// wall-clock reading of systemReadings(). It can only do what setting the
// system clock does.
inline constexpr const char* kWallShiftVariable = "VORSEL_TEST_WALL_SHIFT_FILE";

// The system's clocks and /proc/sys/kernel/random/boot_id, with the wall
// clock moved as the file named by kWallShiftVariable says, when it is set.
ClockReadings systemReadings();

// Which side of the anchor a clock is on.
enum class ClockSide {
    agent,   // settles once, keeps the anchor beside the memory file
    window,  // follows the agent's anchor, writes nothing
};

class LinuxClock final : public Clock {
  public:
    // The anchor's file name, in the memory file's folder.
    static constexpr const char* kAnchorName = "guard-clock.json";

    // `memoryFile` is the agent's memory file; the anchor lives beside it.
    LinuxClock(ClockSide side, std::string memoryFile, ClockReadings readings = systemReadings());

    TimePoint now() const override;

    const std::string& anchorFile() const { return anchorFilePath; }

  private:
    std::optional<double> anchoredOffset(double sinceBoot) const;
    bool keepAnchor(double sinceBoot) const;
    const std::optional<std::string>& bootId() const;

    const ClockSide side;
    const std::string memoryFile;
    const std::string anchorFilePath;
    const ClockReadings readings;

    mutable std::mutex mutex;
    mutable std::optional<std::optional<std::string>> cachedBootId;
    // The trusted wall-clock instant minus CLOCK_BOOTTIME at it (the agent's
    // side only), and whether the anchor on disk says the same.
    mutable std::optional<double> offset;
    mutable bool kept = false;
};

// The wall clock as it stands, for programs that play the main app's part
// and read the time as it does.
class WallClock final : public Clock {
  public:
    TimePoint now() const override;
};

}  // namespace vorsel::linux_platform
