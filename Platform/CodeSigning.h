// Code signatures of app bundles. Main thread (the calls may be slow: strict
// validation hashes the whole bundle).
#pragma once

#include <optional>
#include <string>

#include "Platform/Time.h"

namespace vorsel {

class CodeSigning {
  public:
    virtual ~CodeSigning() = default;

    // The content modification date of the file at `path`, or nothing when it
    // cannot be read.
    virtual std::optional<TimePoint> modificationDate(const std::string& path) = 0;

    // Whether the bundle at `bundlePath` carries a valid signature, checked
    // strictly (every file sealed and unchanged), that satisfies the
    // requirement `requirement`. Every failure, including a requirement text
    // that does not parse, is a no.
    virtual bool satisfies(const std::string& bundlePath, const std::string& requirement) = 0;
};

}  // namespace vorsel
