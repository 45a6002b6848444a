// The protected-content rule and the rectangle form, without a desktop.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "computer/accessibility/attributes.h"

namespace larkspire::computer {
namespace {

using Text = AccessibilityRead<std::string>;
using Flag = AccessibilityRead<bool>;
using Failure = AccessibilityInspectionFailure;

// The outcome of the rule: true, false, or the failure; plus how many times
// the role was read.
struct Outcome {
  std::optional<bool> isProtected;  // none: undecidable
  int roleReads = 0;
};

Outcome decide(const Text& role, const Text& subrole, const Flag& protectedContent) {
  Outcome outcome;
  try {
    outcome.isProtected = isProtectedAccessibilityElement(
        [&] {
          ++outcome.roleReads;
          return role;
        },
        subrole, protectedContent);
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.kind(), Failure::incomplete);
  }
  return outcome;
}

TEST(ProtectionRule, ProtectedContentDecidesFirst) {
  // A failed read is undecidable even for a password subrole.
  auto undecided = decide(Text::value("AXTextField"), Text::value("AXSecureTextField"), Flag::failed());
  EXPECT_EQ(undecided.isProtected, std::nullopt);
  EXPECT_EQ(undecided.roleReads, 0);

  auto declared = decide(Text::value("AXGroup"), Text::failed(), Flag::value(true));
  EXPECT_EQ(declared.isProtected, true);
  EXPECT_EQ(declared.roleReads, 0);
}

TEST(ProtectionRule, KnownSubroleDecidesWithoutTheRole) {
  for (auto content : {Flag::value(false), Flag::absent()}) {
    auto absent = decide(Text::value("AXTextField"), Text::absent(), content);
    EXPECT_EQ(absent.isProtected, false);
    auto secureField = decide(Text::failed(), Text::value("AXSecureTextField"), content);
    EXPECT_EQ(secureField.isProtected, true);
    auto otherCase = decide(Text::value("AXTextField"), Text::value("AXSecuretextfield"), content);
    EXPECT_EQ(otherCase.isProtected, false);
    EXPECT_EQ(absent.roleReads + secureField.roleReads + otherCase.roleReads, 0);
  }
}

TEST(ProtectionRule, UnreadableSubroleFallsBackToTheRoleOnce) {
  for (const char* role : {"AXTextField", "AXTextArea", "AXComboBox"}) {
    auto outcome = decide(Text::value(role), Text::failed(), Flag::absent());
    EXPECT_EQ(outcome.isProtected, std::nullopt) << role;
    EXPECT_EQ(outcome.roleReads, 1);
  }
  auto row = decide(Text::value("AXRow"), Text::failed(), Flag::value(false));
  EXPECT_EQ(row.isProtected, false);
  EXPECT_EQ(row.roleReads, 1);
  for (const auto& role : {Text::value(""), Text::absent(), Text::failed()}) {
    EXPECT_EQ(decide(role, Text::failed(), Flag::absent()).isProtected, std::nullopt);
  }
}

TEST(RectangleObject, IsNormalisedAndUnrounded) {
  EXPECT_EQ(rectangle({{10, 20}, {-4, 8}}), (json::Json{{"x", 6.0}, {"y", 20.0}, {"width", 4.0}, {"height", 8.0}}));
  auto r = rectangle({{0.25, -3.5}, {100.125, -0.5}});
  EXPECT_DOUBLE_EQ(r["x"].get<double>(), 0.25);
  EXPECT_DOUBLE_EQ(r["y"].get<double>(), -4.0);
  EXPECT_DOUBLE_EQ(r["width"].get<double>(), 100.125);
  EXPECT_DOUBLE_EQ(r["height"].get<double>(), 0.5);
  EXPECT_EQ(r.size(), 4u);
}

}  // namespace
}  // namespace larkspire::computer
