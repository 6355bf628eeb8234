// The requirement language on its own: what the main app's requirement text
// means, precedence, and text that must never parse or crash.
#include <random>

#include <gtest/gtest.h>

#include "Guard/Rules/GuardRules.h"
#include "Platform/Linux/Signing/Requirement.h"

namespace vorsel::linux_platform {
namespace {

constexpr const char* kMarker9 = "1.2.840.113635.100.6.1.9";
constexpr const char* kMarker25 = "1.2.840.113635.100.6.1.25.1";

CodeFacts genuine() {
    CodeFacts facts;
    facts.anchored = true;
    facts.identifier = "com.ordwyn.app";
    facts.entitlements = {{"com.apple.security.app-sandbox", true},
                          {"com.apple.developer.team-identifier", "TEAM"}};
    facts.leafExtensions = {kMarker9};
    facts.leafOrganizationalUnits = {"TEAM"};
    return facts;
}

bool satisfies(const std::string& text, const CodeFacts& facts) {
    const auto requirement = Requirement::parse(text);
    return requirement && requirement->satisfiedBy(facts);
}

TEST(RequirementTest, TheAppRequirementMeansWhatItSays) {
    const std::string text = GuardNames::appRequirement("com.ordwyn.app", "TEAM");
    ASSERT_TRUE(Requirement::parse(text));
    EXPECT_TRUE(satisfies(text, genuine()));

    auto facts = genuine();
    facts.anchored = false;
    EXPECT_FALSE(satisfies(text, facts)) << "not our anchor";
    facts = genuine();
    facts.identifier = "com.ordwyn.App";
    EXPECT_FALSE(satisfies(text, facts)) << "identifiers compare case-sensitively";
    facts = genuine();
    facts.entitlements.erase("com.apple.security.app-sandbox");
    EXPECT_FALSE(satisfies(text, facts)) << "not sandboxed";

    // First team clause alone: a marker and the team entitlement.
    facts = genuine();
    facts.leafOrganizationalUnits.clear();
    EXPECT_TRUE(satisfies(text, facts));
    facts.leafExtensions = {kMarker25};
    EXPECT_TRUE(satisfies(text, facts));
    facts.leafExtensions.clear();
    EXPECT_FALSE(satisfies(text, facts)) << "entitlement without marker";
    facts.leafExtensions = {kMarker9};
    facts.entitlements["com.apple.developer.team-identifier"] = "OTHER";
    EXPECT_FALSE(satisfies(text, facts)) << "marker with another team";

    // Second team clause alone: the OU, whatever else.
    facts = genuine();
    facts.leafExtensions.clear();
    facts.entitlements.erase("com.apple.developer.team-identifier");
    EXPECT_TRUE(satisfies(text, facts));
    facts.leafOrganizationalUnits = {"OTHER"};
    EXPECT_FALSE(satisfies(text, facts));
    facts.leafOrganizationalUnits = {"OTHER", "TEAM"};
    EXPECT_TRUE(satisfies(text, facts)) << "any of the subject's units";
}

TEST(RequirementTest, AnEmptyTeamIsMetOnlyThroughTheMarker) {
    const std::string text = GuardNames::appRequirement("com.ordwyn.app", "");
    auto facts = genuine();
    facts.entitlements["com.apple.developer.team-identifier"] = "";
    facts.leafOrganizationalUnits.clear();
    EXPECT_TRUE(satisfies(text, facts));
    facts.leafExtensions.clear();
    EXPECT_FALSE(satisfies(text, facts)) << "no OU is not an empty OU";
}

TEST(RequirementTest, AndBindsTighterThanOr) {
    CodeFacts facts;
    facts.identifier = "a";
    // a or (b and anchored): true. (a or b) and anchored would be false.
    EXPECT_TRUE(satisfies("identifier \"a\" or identifier \"b\" and anchor apple generic", facts));
    EXPECT_FALSE(
        satisfies("(identifier \"a\" or identifier \"b\") and anchor apple generic", facts));
    EXPECT_TRUE(satisfies("anchor apple generic and identifier \"b\" or identifier \"a\"", facts));
}

TEST(RequirementTest, EntitlementTestsLookAtPresenceAndText) {
    CodeFacts facts;
    facts.entitlements = {{"flag", false}, {"name", "x"}, {"number", 1}};
    EXPECT_TRUE(satisfies("entitlement[\"flag\"] exists", facts)) << "present, even if false";
    EXPECT_FALSE(satisfies("entitlement[\"absent\"] exists", facts));
    EXPECT_TRUE(satisfies("entitlement[\"name\"] = \"x\"", facts));
    EXPECT_FALSE(satisfies("entitlement[\"name\"] = \"X\"", facts));
    EXPECT_FALSE(satisfies("entitlement[\"number\"] = \"1\"", facts));
    EXPECT_FALSE(satisfies("entitlement[\"flag\"] = \"false\"", facts));
}

TEST(RequirementTest, MalformedTextNeverParses) {
    const char* const malformed[] = {
        "",
        "   ",
        "anchor",
        "anchor apple",
        "anchor apple specific",
        "identifier",
        "identifier com.ordwyn.app",
        "identifier \"unterminated",
        "identifier \"a\" and",
        "and identifier \"a\"",
        "identifier \"a\" or or identifier \"b\"",
        "identifier \"a\" identifier \"b\"",
        "(identifier \"a\"",
        "identifier \"a\")",
        "()",
        "entitlement[\"x\"]",
        "entitlement[\"x\"] =",
        "entitlement[\"x\"] = x",
        "entitlement[x] exists",
        "entitlement\"x\"] exists",
        "certificate leaf[field.] exists",
        "certificate leaf[field.1] exists",
        "certificate leaf[field.1..2] exists",
        "certificate leaf[field.1.2.x] exists",
        "certificate leaf[field.1.2] = \"x\"",
        "certificate leaf[subject.CN] = \"x\"",
        "certificate leaf[subject.OU] exists",
        "certificate root[subject.OU] = \"x\"",
        "certificate leaf[subject.OU = \"x\"",
        "identifier \"a\" \x01",
        "identifier \"a\" and not anchor apple generic",
    };
    for (const char* text : malformed) {
        EXPECT_FALSE(Requirement::parse(text)) << text;
        EXPECT_FALSE(satisfies(text, genuine())) << text;
    }
}

TEST(RequirementTest, HostileTextIsBoundedAndNeverCrashes) {
    // Nesting: a little parses, a lot is refused without exhausting the stack.
    EXPECT_TRUE(
        Requirement::parse(std::string(20, '(') + "anchor apple generic" + std::string(20, ')')));
    EXPECT_FALSE(Requirement::parse(std::string(100000, '(')));
    EXPECT_FALSE(Requirement::parse(std::string(1000, '(') + "anchor apple generic" +
                                    std::string(1000, ')')));
    // Long but flat chains are fine up to the size bound, refused past it.
    std::string chain = "anchor apple generic";
    while (chain.size() < 60000) chain += " and anchor apple generic";
    EXPECT_TRUE(Requirement::parse(chain));
    EXPECT_FALSE(Requirement::parse(chain + std::string(10000, ' ')));

    // Every cut of the real text, and random mutations of it: no crash, and a
    // cut text is never satisfied by facts the whole text refuses.
    const std::string text = GuardNames::appRequirement("com.ordwyn.app", "TEAM");
    CodeFacts stranger;
    for (std::size_t cut = 0; cut < text.size(); ++cut) {
        const auto parsed = Requirement::parse(text.substr(0, cut));
        EXPECT_FALSE(parsed && parsed->satisfiedBy(stranger)) << text.substr(0, cut);
    }
    std::mt19937 random(42);
    for (int round = 0; round < 3000; ++round) {
        std::string mutated = text;
        for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
            const std::size_t at = random() % mutated.size();
            mutated[at] = static_cast<char>(random() % 256);
        }
        // The mutations are seeded, hence the same on every run.
        const auto parsed = Requirement::parse(mutated);
        EXPECT_FALSE(parsed && parsed->satisfiedBy(stranger)) << mutated;
    }
}

}  // namespace
}  // namespace vorsel::linux_platform
