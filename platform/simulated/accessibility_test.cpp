// The accessibility service over simulated trees: answers, errors, identity,
// derived attributes and the record of what the programs did.
#include <gtest/gtest.h>

#include "platform/simulated/desktop.h"

namespace larkspire::simulated {
namespace {

using namespace platform;

class SimAccessibilityTest : public ::testing::Test {
 protected:
  Desktop desktop;
  Accessibility& ax = desktop.platform().accessibility;
  SimApp& app = desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes", .pid = 42});
  SimWindow& window = app.addWindow({.title = "Untitled", .frame = {{100, 50}, {800, 600}}});
};

TEST_F(SimAccessibilityTest, AttributeAnswersKeepAbsentFailedAndEmptyApart) {
  Node& field = window.element().add("AXTextField").value(std::string("hello"));
  field.fail("AXSubrole", kAXErrorCannotComplete).succeedWithoutValue("AXDescription");
  const Element e = field.element();

  auto value = ax.copyAttributeValue(e, "AXValue");
  ASSERT_NE(value.get<std::string>(), nullptr);
  EXPECT_EQ(*value.get<std::string>(), "hello");

  auto failed = ax.copyAttributeValue(e, "AXSubrole");
  EXPECT_EQ(failed.error, kAXErrorCannotComplete);
  EXPECT_FALSE(failed.value);
  EXPECT_FALSE(failed.absent());

  auto empty = ax.copyAttributeValue(e, "AXDescription");
  EXPECT_TRUE(empty.succeeded());
  EXPECT_FALSE(empty.value);

  auto unknown = ax.copyAttributeValue(e, "AXPlaceholderValue");
  EXPECT_TRUE(unknown.absent());

  field.unset("AXValue");
  EXPECT_TRUE(ax.copyAttributeValue(e, "AXValue").absent());
}

TEST_F(SimAccessibilityTest, FrameIsStoredAsPositionAndSizeValues) {
  Node& button = window.element().add("AXButton").frame({{110, 60}, {80, 24}});
  auto position = ax.copyAttributeValue(button.element(), "AXPosition");
  auto size = ax.copyAttributeValue(button.element(), "AXSize");
  ASSERT_TRUE(position.get<AXValue>() && size.get<AXValue>());
  EXPECT_EQ(position.get<AXValue>()->get<Point>(), (Point{110, 60}));
  EXPECT_EQ(size.get<AXValue>()->get<Size>(), (Size{80, 24}));
  EXPECT_FALSE(size.get<AXValue>()->get<Point>());
}

TEST_F(SimAccessibilityTest, TwoHandlesOfOneNodeCompareEqual) {
  Node& a = window.element().add("AXButton");
  Node& b = window.element().add("AXButton");
  EXPECT_EQ(a.element(), a.element());
  EXPECT_NE(a.element(), b.element());
  EXPECT_EQ(a.element().hash(), a.element().hash());
  EXPECT_EQ(ax.createApplication(42), app.element().element());
  // A node read back through the tree is the same element.
  auto children = ax.copyAttributeValue(window.element().element(), "AXChildren");
  ASSERT_NE(children.get<ElementList>(), nullptr);
  EXPECT_EQ(*children.get<ElementList>(), (ElementList{a.element(), b.element()}));
  // Nodes of two desktops never compare equal, even with the same ids.
  Desktop other;
  SimApp& twin = other.addApp({.pid = 42});
  EXPECT_NE(twin.element().element(), app.element().element());
}

TEST_F(SimAccessibilityTest, ChildrenParentAndWindowsAreDerivedUnlessSet) {
  Node& group = window.element().add("AXGroup");
  Node& label = group.add("AXStaticText");
  window.element().add("AXButton");
  SimWindow& hidden = app.addWindow({.title = "Hidden", .accessible = false});
  SimWindow& second = app.addWindow({.title = "Second"});

  auto parent = ax.copyAttributeValue(label.element(), "AXParent");
  ASSERT_NE(parent.get<Element>(), nullptr);
  EXPECT_EQ(*parent.get<Element>(), group.element());
  EXPECT_EQ(*ax.copyAttributeValue(window.element().element(), "AXParent").get<Element>(), app.element().element());
  EXPECT_TRUE(ax.copyAttributeValue(app.element().element(), "AXParent").absent());

  auto windows = ax.copyAttributeValue(ax.createApplication(42), "AXWindows");
  ASSERT_NE(windows.get<ElementList>(), nullptr);
  EXPECT_EQ(*windows.get<ElementList>(), (ElementList{window.element().element(), second.element().element()}));
  auto appChildren = ax.copyAttributeValue(app.element().element(), "AXChildren");
  EXPECT_EQ(appChildren.get<ElementList>()->size(), 2u);
  (void)hidden;

  EXPECT_EQ(ax.copyAttributeValue(window.element().element(), "AXChildren").get<ElementList>()->size(), 2u);
  EXPECT_TRUE(ax.copyAttributeValue(label.element(), "AXChildren").get<ElementList>()->empty());

  // An explicit answer wins over the derived one.
  window.element().fail("AXChildren", kAXErrorCannotComplete);
  EXPECT_EQ(ax.copyAttributeValue(window.element().element(), "AXChildren").error, kAXErrorCannotComplete);
  app.element().set("AXWindows", std::string("not a list"));
  EXPECT_EQ(ax.copyAttributeValue(app.element().element(), "AXWindows").get<ElementList>(), nullptr);
}

TEST_F(SimAccessibilityTest, WindowsCarryTheirTitleRoleAndFrame) {
  const Element w = window.element().element();
  EXPECT_EQ(*ax.copyAttributeValue(w, "AXRole").get<std::string>(), "AXWindow");
  EXPECT_EQ(*ax.copyAttributeValue(w, "AXTitle").get<std::string>(), "Untitled");
  EXPECT_EQ(ax.copyAttributeValue(w, "AXPosition").get<AXValue>()->get<Point>(), (Point{100, 50}));
  window.moveTo({300, 200});
  EXPECT_EQ(ax.copyAttributeValue(w, "AXPosition").get<AXValue>()->get<Point>(), (Point{300, 200}));
  EXPECT_EQ(window.capture().frame.origin, (Point{300, 200}));
}

TEST_F(SimAccessibilityTest, FocusAndRaiseSetTheFocusedWindow) {
  SimWindow& other = app.addWindow({.title = "Other"});
  Node& field = other.element().add("AXTextField");
  const Element root = app.element().element();
  EXPECT_TRUE(ax.copyAttributeValue(root, "AXFocusedWindow").absent());

  app.focus(other, &field);
  EXPECT_EQ(*ax.copyAttributeValue(root, "AXFocusedWindow").get<Element>(), other.element().element());
  EXPECT_EQ(*ax.copyAttributeValue(root, "AXFocusedUIElement").get<Element>(), field.element());

  EXPECT_EQ(ax.performAction(window.element().element(), "AXRaise"), kAXErrorSuccess);
  EXPECT_EQ(*ax.copyAttributeValue(root, "AXFocusedWindow").get<Element>(), window.element().element());
}

TEST_F(SimAccessibilityTest, ActionsAreRecordedThenHandled) {
  int presses = 0;
  Node& ok = window.element().add("AXButton").actions({"AXPress"}).onAction("AXPress", [&] { ++presses; });
  Node& broken = window.element().add("AXButton").actions({"AXPress"}).failAction("AXPress", kAXErrorCannotComplete);

  EXPECT_EQ(*ax.copyActionNames(ok.element()).names, (TextList{"AXPress"}));
  EXPECT_EQ(ax.performAction(ok.element(), "AXPress"), kAXErrorSuccess);
  EXPECT_EQ(ax.performAction(ok.element(), "AXShowMenu"), kAXErrorActionUnsupported);
  EXPECT_EQ(ax.performAction(broken.element(), "AXPress"), kAXErrorCannotComplete);
  EXPECT_EQ(presses, 1);
  ASSERT_EQ(desktop.performed.size(), 3u);
  EXPECT_EQ(desktop.performed[0].element, ok.element());
  EXPECT_EQ(desktop.performed[0].action, "AXPress");
  EXPECT_EQ(desktop.performed[2].element, broken.element());

  ok.failActionNames(kAXErrorFailure);
  auto names = ax.copyActionNames(ok.element());
  EXPECT_EQ(names.error, kAXErrorFailure);
  EXPECT_FALSE(names.names);
}

TEST_F(SimAccessibilityTest, SetValueIsRecordedAndReadBackUnlessItFails) {
  Node& field = window.element().add("AXTextField").value(std::string("old")).settable("AXValue");
  Node& locked = window.element().add("AXTextField").value(std::string("keep")).failSet("AXValue", kAXErrorFailure);

  EXPECT_EQ(ax.setAttributeValue(field.element(), "AXValue", std::string("new")), kAXErrorSuccess);
  EXPECT_EQ(*ax.copyAttributeValue(field.element(), "AXValue").get<std::string>(), "new");
  EXPECT_EQ(ax.setAttributeValue(locked.element(), "AXValue", std::string("x")), kAXErrorFailure);
  EXPECT_EQ(*ax.copyAttributeValue(locked.element(), "AXValue").get<std::string>(), "keep");
  ASSERT_EQ(desktop.setValues.size(), 2u);
  EXPECT_EQ(desktop.setValues[0].attribute, "AXValue");
  EXPECT_EQ(std::get<std::string>(desktop.setValues[0].value), "new");
  EXPECT_EQ(desktop.setValues[1].element, locked.element());
}

TEST_F(SimAccessibilityTest, SettableFlagsAndTheirErrors) {
  Node& field =
      window.element().add("AXTextField").settable("AXValue").failSettable("AXFocused", kAXErrorCannotComplete);
  EXPECT_TRUE(ax.isAttributeSettable(field.element(), "AXValue").settable);
  EXPECT_FALSE(ax.isAttributeSettable(field.element(), "AXTitle").settable);
  EXPECT_EQ(ax.isAttributeSettable(field.element(), "AXTitle").error, kAXErrorSuccess);
  EXPECT_EQ(ax.isAttributeSettable(field.element(), "AXFocused").error, kAXErrorCannotComplete);
  field.settable("AXValue", false);
  EXPECT_FALSE(ax.isAttributeSettable(field.element(), "AXValue").settable);
}

TEST_F(SimAccessibilityTest, ParameterizedAttributesAnswerFromTheirParameter) {
  Node& text = window.element().add("AXTextArea").value(std::string("Hello world"));
  text.parameterized("AXStringForRange", [](const Value& parameter) -> AttributeAnswer {
    auto* range = std::get_if<AXValue>(&parameter);
    auto r = range ? range->get<CharacterRange>() : std::nullopt;
    if (!r) return {kAXErrorIllegalArgument, std::nullopt};
    return {kAXErrorSuccess, std::string("Hello world").substr(r->location, r->length)};
  });
  auto word = ax.copyParameterizedAttributeValue(text.element(), "AXStringForRange", AXValue{CharacterRange{6, 5}});
  EXPECT_EQ(*word.get<std::string>(), "world");
  EXPECT_EQ(ax.copyParameterizedAttributeValue(text.element(), "AXStringForRange", true).error,
            kAXErrorIllegalArgument);
  EXPECT_EQ(ax.copyParameterizedAttributeValue(text.element(), "AXBoundsForRange", true).error,
            kAXErrorParameterizedAttributeUnsupported);
  EXPECT_EQ(*ax.copyParameterizedAttributeNames(text.element()).names, (TextList{"AXStringForRange"}));
}

TEST_F(SimAccessibilityTest, AttributeNamesIncludeDerivedOnes) {
  Node& button = window.element().add("AXButton").title("OK");
  auto names = *ax.copyAttributeNames(button.element()).names;
  EXPECT_EQ(names, (TextList{"AXRole", "AXTitle", "AXChildren", "AXParent"}));
  auto appNames = *ax.copyAttributeNames(app.element().element()).names;
  EXPECT_NE(std::find(appNames.begin(), appNames.end(), "AXWindows"), appNames.end());
  EXPECT_EQ(std::find(appNames.begin(), appNames.end(), "AXParent"), appNames.end());
}

TEST_F(SimAccessibilityTest, DeadElementsFailEveryCall) {
  Node& group = window.element().add("AXGroup");
  const Element child = group.add("AXButton").actions({"AXPress"}).element();
  const Element gone = group.element();
  window.element().removeChild(group);
  for (const Element& e : {gone, child}) {
    EXPECT_EQ(ax.copyAttributeValue(e, "AXRole").error, kAXErrorInvalidUIElement);
    EXPECT_EQ(ax.performAction(e, "AXPress"), kAXErrorInvalidUIElement);
    EXPECT_EQ(ax.setAttributeValue(e, "AXValue", true), kAXErrorInvalidUIElement);
    EXPECT_EQ(ax.copyActionNames(e).error, kAXErrorInvalidUIElement);
  }
  EXPECT_TRUE(desktop.performed.empty());
  EXPECT_TRUE(desktop.setValues.empty());

  Node& stale = window.element().add("AXButton");
  stale.invalidate();
  EXPECT_EQ(ax.copyAttributeValue(stale.element(), "AXRole").error, kAXErrorInvalidUIElement);

  const Element w = window.element().element();
  app.terminate();
  EXPECT_EQ(ax.copyAttributeValue(w, "AXRole").error, kAXErrorInvalidUIElement);
  EXPECT_EQ(ax.copyAttributeValue(ax.createApplication(42), "AXWindows").error, kAXErrorInvalidUIElement);
}

TEST_F(SimAccessibilityTest, ClosingAWindowRemovesBothSides) {
  const Element w = window.element().element();
  const auto id = window.windowID();
  window.element().add("AXButton");
  app.closeWindow(window);
  EXPECT_EQ(ax.copyAttributeValue(w, "AXRole").error, kAXErrorInvalidUIElement);
  EXPECT_TRUE(ax.copyAttributeValue(app.element().element(), "AXWindows").get<ElementList>()->empty());
  for (const auto& shared : desktop.platform().screenCapture.shareableContent(false, false))
    EXPECT_NE(shared.windowID, id);
}

TEST_F(SimAccessibilityTest, UnknownProcessesAndUntrustedCallsFail) {
  const Element nobody = ax.createApplication(999);
  EXPECT_EQ(nobody, ax.createApplication(999));
  EXPECT_NE(nobody, ax.createApplication(998));
  EXPECT_FALSE(ax.copyAttributeValue(nobody, "AXWindows").succeeded());
  EXPECT_FALSE(ax.copyAttributeValue(nobody, "AXWindows").absent());

  desktop.accessibilityTrusted = false;
  EXPECT_EQ(ax.copyAttributeValue(app.element().element(), "AXRole").error, kAXErrorAPIDisabled);
  EXPECT_EQ(ax.performAction(window.element().element(), "AXRaise"), kAXErrorAPIDisabled);
}

TEST_F(SimAccessibilityTest, PromptingCountsAndMayGrant) {
  desktop.accessibilityTrusted = false;
  EXPECT_FALSE(ax.isProcessTrustedWithOptions(false));
  EXPECT_EQ(desktop.accessibilityPrompts, 0);
  EXPECT_FALSE(ax.isProcessTrustedWithOptions(true));
  EXPECT_EQ(desktop.accessibilityPrompts, 1);
  desktop.promptGrantsAccessibility = true;
  EXPECT_TRUE(ax.isProcessTrustedWithOptions(true));
  EXPECT_TRUE(ax.isProcessTrusted());
  EXPECT_EQ(desktop.accessibilityPrompts, 2);
  // Already trusted: no prompt is shown.
  EXPECT_TRUE(ax.isProcessTrustedWithOptions(true));
  EXPECT_EQ(desktop.accessibilityPrompts, 2);
}

}  // namespace
}  // namespace larkspire::simulated
