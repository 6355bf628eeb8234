// A firefox-esr profile for the desktop stories: it opens straight on what
// it is given, with no first-run page, default-browser question, update or
// telemetry, so that each story's browser starts the same on every machine.
#pragma once

#include <filesystem>
#include <string>

#include "tests/e2e/support/E2eProcess.h"

namespace vorsel::e2e {

// Makes the profile folder `folder` with those preferences and `extra`
// lines of its own; returns the folder.
inline std::string quietBrowserProfile(const std::string& folder, const std::string& extra = {}) {
    std::filesystem::create_directories(folder);
    writeText(folder + "/user.js",
              "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
              "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
              "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
              "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n"
              "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n"
              "user_pref(\"app.update.enabled\", false);\n" +
                  extra);
    return folder;
}

}  // namespace vorsel::e2e
