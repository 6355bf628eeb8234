#include <gtest/gtest.h>

#include "Guard/Agent/GuardAgent.h"
#include "Guard/Rules/GuardRules.h"

namespace vorsel {
namespace {

constexpr TimePoint kNow = 800000000;
constexpr double kHour = 3600;
constexpr double kDay = 86400;

GuardRules session(Closing closing, TimePoint ends, std::optional<TimePoint> keptUntil = {}) {
    GuardRules rules;
    rules.closing = std::move(closing);
    rules.closingEnds = ends;
    if (keptUntil) rules.keepOpen = Kept{"com.ordwyn.app", "/opt/Ordwyn.app", *keptUntil};
    return rules;
}

TEST(RulesTiming, CappingHoldsEveryEndToADayFromNow) {
    GuardRules far = session(Closing::listed({"a"}), kNow + 2 * kDay, kNow + 3 * kDay);
    GuardRules capped = far.capped(kNow);
    EXPECT_EQ(capped.closingEnds, kNow + kDay);
    EXPECT_EQ(capped.keepOpen->until, kNow + kDay);
    EXPECT_EQ(capped.keepOpen->bundleID, "com.ordwyn.app");
    EXPECT_EQ(capped.keepOpen->path, "/opt/Ordwyn.app");
    EXPECT_EQ(capped.closing, far.closing);
    EXPECT_EQ(far.closingEnds, kNow + 2 * kDay) << "the receiver is unchanged";

    GuardRules near = session(Closing::allBut({}), kNow + kHour);
    EXPECT_EQ(near.capped(kNow), near);
    GuardRules exact = session(Closing::listed({}), kNow + kDay, kNow + kDay);
    EXPECT_EQ(exact.capped(kNow), exact);
    EXPECT_FALSE(far.capped(kNow).keepOpen && !far.keepOpen);
    EXPECT_FALSE(near.capped(kNow).keepOpen);
    EXPECT_EQ(GuardRules::none.capped(kNow), GuardRules::none);

    // Capping again later never moves an end later.
    EXPECT_EQ(capped.capped(kNow + kHour), capped);
}

TEST(RulesTiming, PartsAreInForceOnlyStrictlyBeforeTheirEnds) {
    GuardRules closing = session(Closing::listed({"a"}), kNow);
    EXPECT_TRUE(closing.isOver(kNow));
    EXPECT_FALSE(closing.isOver(kNow - 1));

    EXPECT_FALSE(session(Closing::listed({}), kNow + 1).isOver(kNow))
        << "an empty list still holds";
    EXPECT_TRUE(session(Closing::nothing(), kNow + kDay).isOver(kNow));

    GuardRules hardcore = session(Closing::listed({"a"}), kNow - kDay, kNow + 10);
    EXPECT_FALSE(hardcore.isOver(kNow));
    EXPECT_TRUE(hardcore.keepOpenInForce(kNow + 9.999));
    EXPECT_FALSE(hardcore.keepOpenInForce(kNow + 10));
    EXPECT_TRUE(hardcore.isOver(kNow + 10));

    EXPECT_TRUE(GuardRules::none.isOver(kDistantPast - 1));
    EXPECT_TRUE(GuardRules::none.isOver(kNow));
}

TEST(RulesTiming, DescriptionsSayWhatIsInForce) {
    EXPECT_EQ(GuardAgent::kind(GuardRules::none, kNow), "nothing");
    EXPECT_EQ(GuardAgent::kind(session(Closing::listed({"a", "b"}), kNow + 1, kNow + 1), kNow),
              "closing 2 listed apps, keeping the app open");
    EXPECT_EQ(GuardAgent::kind(session(Closing::listed({"a"}), kNow + 1), kNow),
              "closing 1 listed apps");
    EXPECT_EQ(GuardAgent::kind(session(Closing::listed({"a", "a"}), kNow + 1), kNow),
              "closing 2 listed apps");
    EXPECT_EQ(GuardAgent::kind(session(Closing::allBut({"a", "b", "c"}), kNow + 1), kNow),
              "closing every app but 3");
    EXPECT_EQ(GuardAgent::kind(session(Closing::allBut({}), kNow + 1), kNow),
              "closing every app but 0");
    EXPECT_EQ(GuardAgent::kind(session(Closing::listed({"a"}), kNow, kNow + 1), kNow),
              "keeping the app open");
    EXPECT_EQ(GuardAgent::kind(session(Closing::listed({"a"}), kNow, kNow), kNow), "nothing");
}

}  // namespace
}  // namespace vorsel
