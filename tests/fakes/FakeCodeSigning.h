// Code signatures as a test scripts them: which files have which modification
// date, which bundles pass validation, and how often each was asked about.
// Test thread only.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/CodeSigning.h"

namespace vorsel::fakes {

class FakeCodeSigning final : public CodeSigning {
  public:
    std::optional<TimePoint> modificationDate(const std::string& path) override {
        ++dateReads;
        const auto found = dates.find(path);
        if (found == dates.end()) return std::nullopt;
        return found->second;
    }

    bool satisfies(const std::string& bundlePath, const std::string& requirement) override {
        ++validations[bundlePath];
        requirements.push_back(requirement);
        return valid.contains(bundlePath) &&
               (!expectedRequirement || requirement == *expectedRequirement);
    }

    // Gives the bundle at `bundlePath` a seal dated `sealDate` and, when
    // `passes`, makes it pass validation.
    void sign(const std::string& bundlePath, TimePoint sealDate, bool passes = true) {
        dates[bundlePath + "/Contents/_CodeSignature/CodeResources"] = sealDate;
        if (passes)
            valid.insert(bundlePath);
        else
            valid.erase(bundlePath);
    }

    int validationsOf(const std::string& bundlePath) const {
        const auto found = validations.find(bundlePath);
        return found == validations.end() ? 0 : found->second;
    }

    std::map<std::string, TimePoint> dates;  // file path -> modification date
    std::set<std::string> valid;             // bundle paths that pass
    // When set, only this requirement text passes.
    std::optional<std::string> expectedRequirement;

    int dateReads = 0;
    std::map<std::string, int> validations;  // bundle path -> satisfies() calls
    std::vector<std::string> requirements;   // every requirement asked about
};

}  // namespace vorsel::fakes
