// Typed attribute reads, the protected-content rule and the rectangle form.
#include "computer/accessibility/attributes.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "computer/failure.h"
#include "platform/simulated/desktop.h"

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

// Reads on nodes of the simulated desktop.
class AttributeReads : public ::testing::Test {
 protected:
  simulated::Desktop desktop;
  simulated::SimApp& app = desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes"});
  simulated::Node& node =
      app.addWindow({.title = "Doc", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt})
          .element()
          .add("AXGroup");
  platform::Accessibility& ax = desktop.platform().accessibility;

  std::optional<std::string> failureCode(const std::function<void()>& read) {
    try {
      read();
    } catch (const NativeFailure& failure) {
      EXPECT_TRUE(failure.notExecuted);
      return failure.code;
    }
    return std::nullopt;
  }
};

TEST_F(AttributeReads, ClassifiesValueAbsentAndFailed) {
  node.set("AXTitle", std::string("Hello")).set("AXEnabled", true).set("AXCount", std::int64_t{3});
  EXPECT_EQ(attributeRead<std::string>(ax, node.element(), "AXTitle"), Text::value("Hello"));
  EXPECT_EQ(attributeRead<bool>(ax, node.element(), "AXEnabled"), Flag::value(true));
  // A value of another type is a failed read, not an absent one.
  EXPECT_EQ(attributeRead<std::string>(ax, node.element(), "AXCount"), Text::failed());
  EXPECT_EQ(attributeRead<bool>(ax, node.element(), "AXTitle"), Flag::failed());
  EXPECT_EQ(attributeRead<std::string>(ax, node.element(), "AXHelp"), Text::absent());
  node.fail("AXHelp", platform::kAXErrorNoValue);
  EXPECT_EQ(attributeRead<std::string>(ax, node.element(), "AXHelp"), Text::absent());
  node.fail("AXHelp", platform::kAXErrorCannotComplete);
  EXPECT_EQ(attributeRead<std::string>(ax, node.element(), "AXHelp"), Text::failed());
  node.succeedWithoutValue("AXHelp");
  EXPECT_EQ(attributeRead<std::string>(ax, node.element(), "AXHelp"), Text::failed());
  EXPECT_EQ(string(ax, node.element(), "AXHelp"), "");
  EXPECT_EQ(string(ax, node.element(), "AXCount"), "");
  EXPECT_EQ(string(ax, node.element(), "AXTitle"), "Hello");
}

TEST_F(AttributeReads, BoundsNeedBothTypedValues) {
  node.frame({{10, 20}, {-4, 8}});
  EXPECT_EQ(bounds(ax, node.element()), (platform::Rect{{10, 20}, {-4, 8}}));
  node.fail("AXSize", platform::kAXErrorAttributeUnsupported);
  EXPECT_EQ(bounds(ax, node.element()), std::nullopt);
  // A size where the position belongs is not a point.
  node.frame({{10, 20}, {30, 40}}).set("AXPosition", platform::AXValue{platform::Size{1, 2}});
  EXPECT_EQ(bounds(ax, node.element()), std::nullopt);
  node.set("AXPosition", std::string("10,20"));
  EXPECT_EQ(bounds(ax, node.element()), std::nullopt);
}

TEST_F(AttributeReads, CheckedAttributeAndChildrenStopOnFailures) {
  node.succeedWithoutValue("AXFocusedUIElement");
  EXPECT_EQ(failureCode([&] { checkedAttribute(ax, node.element(), "AXFocusedUIElement"); }), kUnavailable);
  node.fail("AXFocusedUIElement", platform::kAXErrorNoValue);
  EXPECT_EQ(checkedAttribute(ax, node.element(), "AXFocusedUIElement"), std::nullopt);
  node.fail("AXFocusedUIElement", platform::kAXErrorInvalidUIElement);
  EXPECT_EQ(failureCode([&] { checkedAttribute(ax, node.element(), "AXFocusedUIElement"); }), kUnavailable);

  auto& first = node.add("AXButton");
  auto& second = node.add("AXStaticText");
  EXPECT_EQ(children(ax, node.element()), (std::vector<platform::Element>{first.element(), second.element()}));
  node.fail("AXChildren", platform::kAXErrorAttributeUnsupported);
  EXPECT_TRUE(children(ax, node.element()).empty());
  node.fail("AXChildren", platform::kAXErrorNoValue);
  EXPECT_TRUE(children(ax, node.element()).empty());
  node.set("AXChildren", first.element());
  EXPECT_EQ(failureCode([&] { children(ax, node.element()); }), kUnavailable);
  node.fail("AXChildren", platform::kAXErrorFailure);
  EXPECT_EQ(failureCode([&] { children(ax, node.element()); }), kUnavailable);
}

TEST_F(AttributeReads, SecureReadsTheElementsProtection) {
  auto decide = [&](simulated::Node& n) -> std::optional<bool> {
    try {
      return secure(ax, n.element());
    } catch (const Failure&) {
      return std::nullopt;
    }
  };
  auto& password = node.add("AXTextField").subrole("AXSecureTextField");
  auto& declared = node.add("AXGroup").protectedContent(true);
  auto& plain = node.add("AXTextField");
  auto& unknown = node.add("AXTextArea").fail("AXSubrole", platform::kAXErrorCannotComplete);
  auto& row = node.add("AXRow").fail("AXSubrole", platform::kAXErrorCannotComplete);
  auto& undecidable =
      node.add("AXTextField").subrole("AXSecureTextField").fail("AXProtectedContent", platform::kAXErrorCannotComplete);
  EXPECT_EQ(decide(password), true);
  EXPECT_EQ(decide(declared), true);
  EXPECT_EQ(decide(plain), false);
  EXPECT_EQ(decide(unknown), std::nullopt);
  EXPECT_EQ(decide(row), false);
  EXPECT_EQ(decide(undecidable), std::nullopt);
}

}  // namespace
}  // namespace larkspire::computer
