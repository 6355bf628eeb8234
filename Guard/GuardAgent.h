// The guard agent: holds the session rules the main app hands over, serves
// the link, enforces the rules on running apps, keeps the main app open in a
// Hardcore session, and keeps a Hardcore session's rules on disk.
#pragma once

#include <string>

#include "Guard/GuardRules.h"

namespace vorsel {

class GuardAgent {
  public:
    // One line for the log: what `rules` do at `now` ("closing 2 listed apps,
    // keeping the app open", "nothing", ...).
    static std::string kind(const GuardRules& rules, TimePoint now);
};

}  // namespace vorsel
