// Session rules: the one record that the main app hands to the agent (which
// apps to close until when, which app to keep open until when), its JSON form,
// its timing, and the fixed names the agent works with.
//
// Rules are plain values; every operation is a pure function of its
// arguments (the current instant comes in as `now`), safe on any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Platform/Time.h"

namespace vorsel {

// Which apps the agent closes while the closing part is in force.
class Closing {
  public:
    enum class Case { listed, allBut, nothing };

    // Close the running apps whose identifier is in `apps`.
    static Closing listed(std::vector<std::string> apps);
    // Close every running app whose identifier is not in `apps`.
    static Closing allBut(std::vector<std::string> apps);
    // Close no app.
    static Closing nothing();

    Closing() = default;  // nothing

    Case kind() const { return tag; }
    // The case's list, in order, duplicates kept; empty for `nothing`.
    const std::vector<std::string>& apps() const { return ids; }

    bool operator==(const Closing&) const = default;

  private:
    Closing(Case kind, std::vector<std::string> apps) : tag(kind), ids(std::move(apps)) {}

    Case tag = Case::nothing;
    std::vector<std::string> ids;
};

// The app to keep open, with its own end.
struct Kept {
    std::string bundleID;
    std::string path;  // the app's bundle, as the main app reports it
    TimePoint until = kDistantPast;

    bool operator==(const Kept&) const = default;
};

struct GuardRules {
    Closing closing;
    TimePoint closingEnds = kDistantPast;
    std::optional<Kept> keepOpen;

    // The empty rules: close nothing, keep nothing open.
    static const GuardRules none;

    bool operator==(const GuardRules&) const = default;

    // The closing part holds at `now`: a listed or every-app-but case (even
    // with an empty list) and `now` strictly before `closingEnds`.
    bool closingInForce(TimePoint now) const;
    // The keep-open part holds at `now`: present and `now` strictly before
    // its `until`. A session with it in force is a Hardcore session.
    bool keepOpenInForce(TimePoint now) const;

    // A copy whose ends lie no later than 24 hours after `now`.
    GuardRules capped(TimePoint now) const;
    // Neither part is in force at `now`.
    bool isOver(TimePoint now) const;

    // Reads rules from their JSON form. Nothing when the text is not JSON, not
    // an object, or has a member of the wrong type; `error`, when given, then
    // says which.
    static std::optional<GuardRules> read(std::string_view json, std::string* error = nullptr);
    // The compact JSON form. Nothing when a time point is not finite.
    std::optional<std::string> written() const;
};

inline const GuardRules GuardRules::none{};

// Seconds that any rules handed over or restored may reach into the future.
inline constexpr double kRulesCap = 86400.0;

// Fixed bundle-identifier sets and the requirement text, built once.
struct GuardNames {
    // The main app, the agent, and their development twins.
    static const std::unordered_set<std::string>& family();
    // The platform's own apps that are never closed.
    static const std::unordered_set<std::string>& systemApps();
    // Web browsers, which are only ever asked to quit.
    static const std::unordered_set<std::string>& browsers();

    // The code requirement that the genuine main app `identifier` of the
    // developer team `team` satisfies. Both are inserted as given.
    static std::string appRequirement(std::string_view identifier, std::string_view team);
};

}  // namespace vorsel
