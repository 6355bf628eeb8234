// The main bundle: the app bundle around the running executable. Read-only;
// any thread once constructed.
#pragma once

#include <optional>
#include <string>

namespace vorsel {

class Bundles {
  public:
    virtual ~Bundles() = default;

    // Absolute path of the main bundle (e.g. "/opt/Vorsel.app"), or nothing
    // when the program runs outside a bundle.
    virtual std::optional<std::string> mainPath() const = 0;

    // The main bundle's identifier (CFBundleIdentifier), or nothing.
    virtual std::optional<std::string> mainIdentifier() const = 0;

    // A text value of the main bundle's information dictionary. Nothing when
    // there is no bundle, no such key, or a value that is not text.
    virtual std::optional<std::string> infoText(const std::string& key) const = 0;
};

}  // namespace vorsel
