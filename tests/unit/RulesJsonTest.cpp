#include <gtest/gtest.h>

#include "Guard/Rules/GuardRules.h"

namespace vorsel {
namespace {

GuardRules readOrFail(std::string_view json) {
    std::string error;
    auto rules = GuardRules::read(json, &error);
    EXPECT_TRUE(rules) << json << ": " << error;
    return rules.value_or(GuardRules{});
}

std::string failureOf(std::string_view json) {
    std::string error;
    EXPECT_FALSE(GuardRules::read(json, &error)) << json;
    return error;
}

TEST(RulesJson, WritesTheWorkedExamplesExactly) {
    GuardRules session;
    session.closing = Closing::listed({"com.example.chat", "com.example.game"});
    session.closingEnds = 600;
    session.keepOpen = Kept{"com.ordwyn.app", "/Applications/Ordwyn.app", 900};
    EXPECT_EQ(session.written(),
              R"({"closing":"listed","apps":["com.example.chat","com.example.game"],)"
              R"("closingEnds":600,"keepOpen":{"bundleID":"com.ordwyn.app",)"
              R"("path":"/Applications/Ordwyn.app","until":900}})");
    EXPECT_EQ(GuardRules::none.written(), R"({"closing":"nothing","closingEnds":-63114076800})");

    GuardRules everything;
    everything.closing = Closing::allBut({});
    everything.closingEnds = 600;
    EXPECT_EQ(everything.written(), R"({"closing":"allBut","apps":[],"closingEnds":600})");
}

TEST(RulesJson, WritingThenReadingGivesBackAnEqualRecord) {
    GuardRules rules;
    rules.closing = Closing::allBut({"b", "a", "b", "quote\" back\\slash \n\x01 ünï"});
    rules.closingEnds = 786543210.123456789;
    rules.keepOpen = Kept{"com.ordwyn.app", "/opt/Ordwyn.app", -0.1};
    for (const GuardRules& original : {rules, GuardRules::none, GuardRules{}}) {
        auto text = original.written();
        ASSERT_TRUE(text);
        EXPECT_EQ(readOrFail(*text), original) << *text;
    }
}

TEST(RulesJson, TimePointsThatAreNotFiniteCannotBeWritten) {
    GuardRules rules;
    rules.closingEnds = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(rules.written());
    rules.closingEnds = 0;
    rules.keepOpen = Kept{"a", "/b", std::numeric_limits<double>::quiet_NaN()};
    EXPECT_FALSE(rules.written());
}

TEST(RulesJson, AbsentAndNullMembersTakeTheirDefaults) {
    EXPECT_EQ(readOrFail("{}"), GuardRules::none);
    EXPECT_EQ(readOrFail(R"({"closing":null,"apps":null,"closingEnds":null,"keepOpen":null})"),
              GuardRules::none);

    GuardRules listed = readOrFail(R"({"closing":"listed","closingEnds":5})");
    EXPECT_EQ(listed.closing, Closing::listed({}));
    EXPECT_EQ(listed.written(), R"({"closing":"listed","apps":[],"closingEnds":5})");
}

TEST(RulesJson, ClosingNamesOtherThanTheTwoCasesReadAsNothing) {
    for (const char* name : {"nothing", "Listed", "LISTED", "allbut", "listed ", "", "all_but"}) {
        std::string json =
            std::string(R"({"closing":")") + name + R"(","apps":["x"],"closingEnds":9})";
        GuardRules rules = readOrFail(json);
        EXPECT_EQ(rules.closing, Closing::nothing()) << name;
        EXPECT_EQ(rules.closingEnds, 9);
        EXPECT_EQ(rules.written(), R"({"closing":"nothing","closingEnds":9})");
    }
}

TEST(RulesJson, MembersOfTheWrongTypeFailTheWholeReading) {
    EXPECT_EQ(failureOf(R"({"apps":[1]})"), "\"apps\" holds something other than text");
    EXPECT_EQ(failureOf(R"({"closing":"nothing","apps":["a",null]})"),
              "\"apps\" holds something other than text");
    EXPECT_EQ(failureOf(R"({"apps":"a"})"), "\"apps\" is not an array");
    EXPECT_EQ(failureOf(R"({"closing":1})"), "\"closing\" is not text");
    EXPECT_EQ(failureOf(R"({"closingEnds":"2024-01-01T00:00:00Z"})"),
              "\"closingEnds\" is not a time point");
    EXPECT_EQ(failureOf(R"({"closingEnds":true})"), "\"closingEnds\" is not a time point");
    EXPECT_FALSE(GuardRules::read(R"({"closingEnds":1e400})")) << "beyond a double's range";
    EXPECT_FALSE(GuardRules::read(R"({"keepOpen":{"bundleID":"a","path":"/p","until":-1e999}})"));
    EXPECT_EQ(failureOf(R"({"keepOpen":{"bundleID":"a","until":1}})"),
              "\"keepOpen.path\" is not text");
    EXPECT_EQ(failureOf(R"({"keepOpen":{"bundleID":"a","path":"/p","until":null}})"),
              "\"keepOpen.until\" is not a time point");
    EXPECT_EQ(failureOf(R"({"keepOpen":[]})"), "\"keepOpen\" is not an object");
}

TEST(RulesJson, TheFirstFaultInReadingOrderIsTheOneReported) {
    // Member order in the text does not matter: apps, closing, closingEnds, keepOpen.
    EXPECT_EQ(failureOf(R"({"keepOpen":1,"closingEnds":"x","closing":2,"apps":[3]})"),
              "\"apps\" holds something other than text");
    EXPECT_EQ(failureOf(R"({"keepOpen":1,"closingEnds":"x","closing":2})"),
              "\"closing\" is not text");
    EXPECT_EQ(failureOf(R"({"keepOpen":1,"closingEnds":"x"})"),
              "\"closingEnds\" is not a time point");
}

TEST(RulesJson, TextThatIsNoJsonObjectFails) {
    for (const char* text : {"", " ", "[]", "null", "\"rules\"", "42", "{", "{\"closing\":}",
                             "{} {}", "\xff\xfe{}", "{\"apps\":[\"\xc3\"]}"}) {
        EXPECT_FALSE(GuardRules::read(text)) << text;
    }
}

TEST(RulesJson, UnknownMembersAreIgnoredAndNumbersMayBeIntegersOrFractions) {
    GuardRules rules =
        readOrFail(R"({"extra":{"deep":[1,2]},"closing":"allBut","apps":["a"],"closingEnds":12.5,)"
                   R"("keepOpen":{"bundleID":"b","path":"/p","until":7,"note":"x"}})");
    GuardRules expected;
    expected.closing = Closing::allBut({"a"});
    expected.closingEnds = 12.5;
    expected.keepOpen = Kept{"b", "/p", 7};
    EXPECT_EQ(rules, expected);
}

TEST(RulesEquality, ComparesEveryFieldAndKeepsListOrderAndDuplicates) {
    GuardRules base;
    base.closing = Closing::listed({"a", "b"});
    base.closingEnds = 100;

    GuardRules reordered = base;
    reordered.closing = Closing::listed({"b", "a"});
    GuardRules duplicated = base;
    duplicated.closing = Closing::listed({"a", "b", "b"});
    GuardRules otherCase = base;
    otherCase.closing = Closing::allBut({"a", "b"});
    GuardRules later = base;
    later.closingEnds = 101;
    GuardRules kept = base;
    kept.keepOpen = Kept{"a", "/a", 1};

    for (const GuardRules& other : {reordered, duplicated, otherCase, later, kept})
        EXPECT_NE(base, other) << other.written().value_or("?");
    EXPECT_EQ(base, GuardRules(base));

    GuardRules keptElsewhere = kept;
    keptElsewhere.keepOpen->path = "/b";
    EXPECT_NE(kept, keptElsewhere);
    EXPECT_EQ(Closing::listed({}), Closing::listed({}));
    EXPECT_NE(Closing::listed({}), Closing::nothing());
}

}  // namespace
}  // namespace vorsel
