// The fixed texts the agent works with, written out here in full: a slip in
// the code that builds them must not be copied into what it is checked
// against.
#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "Guard/Rules/GuardRules.h"

namespace vorsel {
namespace {

using Names = std::unordered_set<std::string>;

TEST(Names, TheRequirementIsTheNinePiecesWithBothValuesInsertedAsGiven) {
    EXPECT_EQ(GuardNames::appRequirement("com.ordwyn.app", "TEAM42"),
              "anchor apple generic and identifier \"com.ordwyn.app\" and "
              "entitlement[\"com.apple.security.app-sandbox\"] exists and (((certificate "
              "leaf[field.1.2.840.113635.100.6.1.9] exists or certificate "
              "leaf[field.1.2.840.113635.100.6.1.25.1] exists) and "
              "entitlement[\"com.apple.developer.team-identifier\"] = \"TEAM42\") or "
              "certificate leaf[subject.OU] = \"TEAM42\")");
    // No special form for an empty team, and no escaping of either value.
    EXPECT_EQ(GuardNames::appRequirement("a\"b", ""),
              "anchor apple generic and identifier \"a\"b\" and "
              "entitlement[\"com.apple.security.app-sandbox\"] exists and (((certificate "
              "leaf[field.1.2.840.113635.100.6.1.9] exists or certificate "
              "leaf[field.1.2.840.113635.100.6.1.25.1] exists) and "
              "entitlement[\"com.apple.developer.team-identifier\"] = \"\") or "
              "certificate leaf[subject.OU] = \"\")");
}

TEST(Names, TheThreeSetsHoldExactlyTheirNames) {
    EXPECT_EQ(GuardNames::family(), (Names{"com.ordwyn.app", "com.ordwyn.app.dev",
                                           "com.ordwyn.guard", "com.ordwyn.guard.dev"}));
    EXPECT_EQ(
        GuardNames::systemApps(),
        (Names{"com.apple.finder", "com.apple.dock", "com.apple.systemuiserver",
               "com.apple.controlcenter", "com.apple.notificationcenterui", "com.apple.loginwindow",
               "com.apple.WindowManager", "com.apple.Spotlight", "com.apple.preference.security",
               "com.apple.systempreferences", "com.apple.ScreenSaver.Engine", "com.apple.installer",
               "com.apple.DiskUtility", "com.apple.MigrateAssistant"}));
    EXPECT_EQ(GuardNames::browsers(),
              (Names{"com.apple.Safari", "com.google.Chrome", "com.google.Chrome.canary",
                     "org.mozilla.firefox", "company.thebrowser.Browser", "com.brave.Browser",
                     "com.microsoft.edgemac", "com.operasoftware.Opera", "com.vivaldi.Vivaldi",
                     "com.kagi.kagimacOS"}));
}

}  // namespace
}  // namespace vorsel
