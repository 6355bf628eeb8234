// The main bundle at a path a test chooses (or none), with a fixed
// identifier and no information-dictionary values. Test thread only.
#pragma once

#include <optional>
#include <string>

#include "Platform/Bundles.h"

namespace vorsel::fakes {

class FakeBundles final : public Bundles {
  public:
    explicit FakeBundles(std::optional<std::string> path) : path(std::move(path)) {}
    std::optional<std::string> mainPath() const override { return path; }
    std::optional<std::string> mainIdentifier() const override { return "com.ordwyn.guard"; }
    std::optional<std::string> infoText(const std::string&) const override { return {}; }
    std::optional<std::string> path;
};

}  // namespace vorsel::fakes
