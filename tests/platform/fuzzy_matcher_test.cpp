#include "platform/fuzzy_matcher.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

class FuzzyMatcherTest : public ::testing::Test {
 protected:
  FuzzyMatcherTest() {
    fuzzy_.Init();
    fuzzy_.SetOption(FuzzyMatcher::kIgnoreCase, true);
    fuzzy_.SetOption(FuzzyMatcher::kWordOnly, false);
  }
  FuzzyMatcher fuzzy_;
};

TEST_F(FuzzyMatcherTest, ScoresWholeThenOrderedThenNothing) {
  EXPECT_EQ(fuzzy_.Match("camp", "Camping trip"), 100);
  EXPECT_EQ(fuzzy_.Match("", "anything"), 100);
  const int close = fuzzy_.Match("cmpg", "Camping trip");
  const int far = fuzzy_.Match("cmpg", "Car mirror pegs");
  EXPECT_GT(close, 0);
  EXPECT_LT(close, 100);
  EXPECT_GT(close, far);
  EXPECT_EQ(fuzzy_.Match("gpmc", "Camping trip"), 0);  // wrong order
  EXPECT_EQ(fuzzy_.Match("camp", ""), 0);
}

TEST_F(FuzzyMatcherTest, OptionsChangeTheRules) {
  fuzzy_.SetOption(FuzzyMatcher::kIgnoreCase, false);
  EXPECT_EQ(fuzzy_.Match("CAMP", "camping"), 0);
  fuzzy_.SetOption(FuzzyMatcher::kIgnoreCase, true);
  fuzzy_.SetOption(FuzzyMatcher::kWordOnly, true);
  EXPECT_EQ(fuzzy_.Match("trip", "Camping trip"), 100);
  EXPECT_EQ(fuzzy_.Match("ping", "Camping trip"), 0);
}

TEST_F(FuzzyMatcherTest, ReleasedMatcherMatchesNothing) {
  fuzzy_.Kill();
  EXPECT_FALSE(fuzzy_.initialised());
  EXPECT_EQ(fuzzy_.Match("camp", "camp"), 0);
}

}  // namespace
}  // namespace platform
