// Action execution on an observed window of the simulated desktop: what was
// posted, performed and set, and what every refusal left untouched.
#include "computer/actions/act.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "computer/accessibility/attributes.h"
#include "computer/failure.h"
#include "computer/windows/observation.h"
#include "platform/simulated/desktop.h"

namespace larkspire::computer {
namespace {

using json::Json;
using platform::MouseEvent;
using platform::MouseEventType;
using platform::Point;
using platform::Rect;

class Act : public ::testing::Test {
 protected:
  simulated::Desktop desktop;
  simulated::SimApp& app = desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes", .pid = 42});
  simulated::SimApp& other = desktop.addApp({.bundleIdentifier = "com.example.Other", .name = "Other"});
  simulated::SimWindow& win =
      app.addWindow({.title = "Doc", .frame = {{100, 50}, {800, 600}}, .accessibilityFrame = std::nullopt});
  simulated::SimWindow& login =
      app.addWindow({.title = "Login", .frame = {{1000, 50}, {300, 200}}, .accessibilityFrame = std::nullopt});
  simulated::Node& ok = win.element().add("AXButton").title("OK").actions({"AXPress"}).frame({{110, 60}, {80, 24}});
  simulated::Node& plain = win.element().add("AXButton").title("Plain").frame({{200, 100}, {100, 40}});
  simulated::Node& field =
      win.element().add("AXTextField").title("Name").settable("AXValue").frame({{300, 200}, {200, 24}});
  simulated::Node& edge = win.element().add("AXButton").title("Edge").frame({{850, 600}, {100, 100}});
  simulated::Node& password = login.element().add("AXTextField").subrole("AXSecureTextField");
  NativeObservation observation;

  void SetUp() override {
    app.focus(win, &field);
    desktop.setFrontmost(app);
    observation = observe(desktop.platform(), Json{{"appId", "com.example.Notes"}}).bound;
    std::vector<std::string> names;
    for (const auto& record : observation.snapshot["elements"]) names.push_back(record["name"].get<std::string>());
    ASSERT_EQ(names, (std::vector<std::string>{"Doc", "OK", "Plain", "Name", "Edge"}));
    ASSERT_EQ(observation.snapshot["image"]["width"], 1600);
  }

  Json request(const Json& action) {
    return Json{{"snapshotId", observation.snapshot["snapshotId"]}, {"action", action}};
  }

  // The failure of an act, or none when it completed.
  std::optional<NativeFailure> run(const Json& action) { return runRequest(request(action)); }
  std::optional<NativeFailure> runRequest(const Json& r) {
    try {
      EXPECT_EQ(act(desktop.platform(), r, observation), (Json{{"completed", true}}));
    } catch (const NativeFailure& failure) {
      return failure;
    }
    return std::nullopt;
  }
  void expectRefused(const Json& action, const char* code) {
    auto failure = run(action);
    ASSERT_TRUE(failure) << action;
    EXPECT_EQ(failure->code, code) << action;
    EXPECT_TRUE(failure->notExecuted) << action;
    EXPECT_TRUE(desktop.posted.empty()) << action;
    EXPECT_EQ(valuesSet(), 0) << action;
    for (const auto& done : desktop.performed) EXPECT_EQ(done.action, "AXRaise") << action;
  }
  // Values set on elements; window resolution's request that the
  // application expose its tree and focusing's request for the front do
  // not count.
  int valuesSet() const {
    int count = 0;
    for (const auto& set : desktop.setValues)
      count += set.attribute != "AXManualAccessibility" && set.attribute != "AXFrontmost";
    return count;
  }
  bool raised() const {
    for (const auto& done : desktop.performed) {
      if (done.action == "AXRaise") return true;
    }
    return false;
  }
  std::vector<MouseEvent> mouseEvents() const {
    std::vector<MouseEvent> events;
    for (const auto& posted : desktop.posted) {
      if (auto m = std::get_if<MouseEvent>(&posted)) events.push_back(*m);
    }
    return events;
  }
  void expectClickAt(Point at) {
    EXPECT_EQ(desktop.posted.size(), 2u);
    EXPECT_EQ(mouseEvents(),
              (std::vector<MouseEvent>{{MouseEventType::leftMouseDown, at}, {MouseEventType::leftMouseUp, at}}));
  }
};

TEST_F(Act, RequestMustNameTheKeptObservation) {
  app.terminate();  // the snapshot is checked before the application is looked up
  auto r = request({{"type", "press"}, {"key", "Enter"}});
  r["snapshotId"] = "00000000-0000-4000-8000-000000000000";
  auto failure = runRequest(r);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, kInvalidRequest);
  r.erase("snapshotId");
  EXPECT_EQ(runRequest(r)->code, kInvalidRequest);
  EXPECT_EQ(runRequest(Json{{"snapshotId", observation.snapshot["snapshotId"]}, {"action", "press"}})->code,
            kInvalidRequest);
}

TEST_F(Act, TheObservedProcessAndWindowMustBeUnchanged) {
  observation.snapshot["pid"] = 43;
  expectRefused({{"type", "press"}, {"key", "Enter"}}, kTargetChanged);
  observation.snapshot.erase("pid");
  expectRefused({{"type", "press"}, {"key", "Enter"}}, kTargetChanged);
  observation.snapshot["pid"] = 42;

  auto kept = observation.window;
  observation.window = login.element().element();
  expectRefused({{"type", "press"}, {"key", "Enter"}}, kTargetChanged);
  observation.window = kept;

  observation.snapshot["bounds"]["x"] = "100";
  expectRefused({{"type", "press"}, {"key", "Enter"}}, kInvalidRequest);
  observation.snapshot["bounds"]["x"] = 100;
  EXPECT_FALSE(raised());
}

TEST_F(Act, AWindowMovedByAPointOrMoreIsAnotherTarget) {
  win.moveTo({100.5, 50});
  EXPECT_EQ(run({{"type", "click"}, {"ref", "e2"}}), std::nullopt);
  desktop.performed.clear();
  win.moveTo({101, 50});
  expectRefused({{"type", "click"}, {"ref", "e2"}}, kTargetChanged);
}

TEST_F(Act, ClickPressesAnElementThatOffersIt) {
  double before = desktop.now();
  EXPECT_EQ(run({{"type", "click"}, {"ref", "e2"}}), std::nullopt);
  ASSERT_EQ(desktop.performed.size(), 1u);
  EXPECT_EQ(desktop.performed[0].element, ok.element());
  EXPECT_EQ(desktop.performed[0].action, "AXPress");
  EXPECT_TRUE(desktop.posted.empty());
  EXPECT_EQ(desktop.now(), before);  // no focusing on this path

  ok.failAction("AXPress", platform::kAXErrorCannotComplete);
  auto failure = run({{"type", "click"}, {"ref", "e2"}});
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, kUnavailable);
  EXPECT_FALSE(failure->notExecuted);
}

TEST_F(Act, ClickWithoutPressFocusesAndClicksTheCentre) {
  double before = desktop.now();
  EXPECT_EQ(run({{"type", "click"}, {"ref", "e3"}}), std::nullopt);
  EXPECT_TRUE(raised());
  EXPECT_EQ(app.activations(), 1);
  EXPECT_DOUBLE_EQ(desktop.now() - before, 0.08);
  expectClickAt({250, 120});
}

TEST_F(Act, ClickRefusesAnElementThatChangedOrIsGone) {
  expectRefused({{"type", "click"}}, kTargetChanged);
  expectRefused({{"type", "click"}, {"ref", 3}}, kTargetChanged);
  expectRefused({{"type", "click"}, {"ref", "e9"}}, kTargetChanged);
  plain.title("Renamed");
  expectRefused({{"type", "click"}, {"ref", "e3"}}, kTargetChanged);
  plain.title("Plain").frame({{200, 100}, {100, 41}});
  expectRefused({{"type", "click"}, {"ref", "e3"}}, kTargetChanged);
  plain.frame({{200, 100}, {100, 40}});
  win.element().removeChild(ok);
  expectRefused({{"type", "click"}, {"ref", "e2"}}, kTargetChanged);
  EXPECT_FALSE(raised());
}

TEST_F(Act, ClickRefusesACentreOutsideTheWindow) {
  expectRefused({{"type", "click"}, {"ref", "e5"}}, kInvalidRequest);
  EXPECT_FALSE(raised());
}

TEST_F(Act, AClickLandsOnlyWhereTheTargetWindowIsTopmostOnAScreen) {
  // A strip kept above every window (a task bar) covers the bottom of the
  // window, where "Plain"'s centre (250, 120) is not, but the point (300,
  // 630) of the picture's bottom is.
  platform::ShareableWindow panel;
  panel.layer = 20;
  panel.frame = {{0, 600}, {2560, 60}};
  panel.windowID = 77;
  desktop.addOrphanWindow(panel);
  EXPECT_EQ(run({{"type", "click"}, {"ref", "e3"}}), std::nullopt);
  desktop.posted.clear();
  expectRefused({{"type", "click_at"}, {"x", 400}, {"y", 1160}}, kTargetChanged);
  plain.frame({{200, 590}, {100, 40}});
  observation = observe(desktop.platform(), Json{{"appId", "com.example.Notes"}}).bound;
  expectRefused({{"type", "click"}, {"ref", "e3"}}, kTargetChanged);

  // A window pushed partly off the only screen: its off-screen part takes
  // no click.
  desktop.screens = {Rect{{0, 0}, {600, 1000}}};
  expectRefused({{"type", "click_at"}, {"x", 1400}, {"y", 100}}, kTargetChanged);
  EXPECT_EQ(run({{"type", "click_at"}, {"x", 200}, {"y", 100}}), std::nullopt);
}

TEST_F(Act, AClickTheDesktopHoldsBackIsNotCompleted) {
  // Posted, but held by another program's grab past the wait: it may still
  // land later, wherever the pointer is then.
  desktop.clicksHeld = true;
  for (const Json& action :
       {Json{{"type", "click"}, {"ref", "e3"}}, Json{{"type", "click_at"}, {"x", 200}, {"y", 100}}}) {
    desktop.posted.clear();
    auto failure = run(action);
    ASSERT_TRUE(failure) << action;
    EXPECT_EQ(failure->code, kUnavailable);
    EXPECT_FALSE(failure->notExecuted);
    EXPECT_EQ(mouseEvents().size(), 2u);
  }
}

TEST_F(Act, MouseEventsThatCannotBeMadeAreUnavailable) {
  desktop.failMouseEvents = true;
  expectRefused({{"type", "click"}, {"ref", "e3"}}, kUnavailable);
  expectRefused({{"type", "click_at"}, {"x", 10}, {"y", 10}}, kUnavailable);
}

TEST_F(Act, FillSetsTheValueOfAnEditableElement) {
  std::string longest(4000, 'z');
  desktop.setValues.clear();
  EXPECT_EQ(run({{"type", "fill"}, {"ref", "e4"}, {"text", longest}}), std::nullopt);
  ASSERT_EQ(valuesSet(), 1);
  const auto& set = desktop.setValues.back();
  EXPECT_EQ(set.element, field.element());
  EXPECT_EQ(set.attribute, "AXValue");
  EXPECT_EQ(std::get<std::string>(set.value), longest);
  EXPECT_TRUE(desktop.posted.empty());
  EXPECT_FALSE(raised());
  desktop.setValues.clear();

  expectRefused({{"type", "fill"}, {"ref", "e4"}, {"text", longest + "z"}}, kInvalidRequest);
  expectRefused({{"type", "fill"}, {"ref", "e4"}}, kInvalidRequest);
  expectRefused({{"type", "fill"}, {"ref", "e2"}, {"text", "x"}}, kInvalidRequest);

  field.failSet("AXValue", platform::kAXErrorCannotComplete);
  auto failure = run({{"type", "fill"}, {"ref", "e4"}, {"text", "x"}});
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, kUnavailable);
  EXPECT_FALSE(failure->notExecuted);
}

TEST_F(Act, ClickAtMapsScreenshotPixelsToScreenPoints) {
  EXPECT_EQ(run({{"type", "click_at"}, {"x", 800}, {"y", 600}}), std::nullopt);
  expectClickAt({500, 350});
  desktop.posted.clear();
  EXPECT_EQ(run({{"type", "click_at"}, {"x", 0}, {"y", 0}}), std::nullopt);
  expectClickAt({100, 50});
  desktop.posted.clear();
  desktop.performed.clear();
  expectRefused({{"type", "click_at"}, {"x", 1600}, {"y", 0}}, kInvalidRequest);
  EXPECT_TRUE(raised());  // the window is focused before parameters are checked
  expectRefused({{"type", "click_at"}, {"x", -1}, {"y", 0}}, kInvalidRequest);
  expectRefused({{"type", "click_at"}, {"x", "1"}, {"y", 0}}, kInvalidRequest);
}

TEST_F(Act, TypePressAndScrollPostExactlyTheirEvents) {
  EXPECT_EQ(run({{"type", "type"}, {"text", "h\u00e9"}}), std::nullopt);
  ASSERT_EQ(desktop.posted.size(), 4u);
  EXPECT_EQ(std::get<platform::KeyboardEvent>(desktop.posted[2]).unicodeString, u"\u00e9");
  desktop.posted.clear();

  EXPECT_EQ(run({{"type", "press"}, {"key", "Mod+a"}}), std::nullopt);
  EXPECT_EQ(desktop.posted, (std::vector<simulated::PostedEvent>{
                                platform::KeyboardEvent{0, true, platform::kCGEventFlagMaskCommand, u""},
                                platform::KeyboardEvent{0, false, platform::kCGEventFlagMaskCommand, u""}}));
  desktop.posted.clear();

  EXPECT_EQ(run({{"type", "scroll"}, {"direction", "down"}, {"amount", 120}}), std::nullopt);
  EXPECT_EQ(desktop.posted, (std::vector<simulated::PostedEvent>{platform::ScrollEvent{-120, {500, 350}}}));
  desktop.posted.clear();
  EXPECT_EQ(run({{"type", "scroll"}, {"direction", "up"}, {"amount", 1000}}), std::nullopt);
  EXPECT_EQ(desktop.posted, (std::vector<simulated::PostedEvent>{platform::ScrollEvent{1000, {500, 350}}}));
  desktop.posted.clear();

  EXPECT_EQ(run({{"type", "type"}, {"text", ""}}), std::nullopt);
  EXPECT_TRUE(desktop.posted.empty());
}

TEST_F(Act, InvalidWindowActionsAreRefusedAfterFocusing) {
  for (const Json& action : {Json{{"type", "press"}, {"key", "enter"}}, Json{{"type", "press"}},
                             Json{{"type", "scroll"}, {"direction", "left"}, {"amount", 5}},
                             Json{{"type", "scroll"}, {"direction", "up"}, {"amount", 0}},
                             Json{{"type", "scroll"}, {"direction", "up"}, {"amount", 1001}},
                             Json{{"type", "scroll"}, {"direction", "up"}, {"amount", 2.5}},
                             Json{{"type", "type"}, {"text", std::string(4001, 'a')}}, Json{{"type", "drag"}}}) {
    desktop.performed.clear();
    expectRefused(action, kInvalidRequest);
    EXPECT_TRUE(raised()) << action;
  }
  desktop.performed.clear();
  expectRefused({{"kind", "press"}}, kInvalidRequest);
  EXPECT_FALSE(raised());
}

TEST_F(Act, EventsThatCannotBeMadeFailAsTheirKindSays) {
  desktop.failScrollEvents = true;
  expectRefused({{"type", "scroll"}, {"direction", "up"}, {"amount", 5}}, kInvalidRequest);
  desktop.failKeyboardEvents = true;
  expectRefused({{"type", "press"}, {"key", "Enter"}}, kUnavailable);
  auto failure = run({{"type", "type"}, {"text", "a"}});
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, kUnavailable);
  EXPECT_FALSE(failure->notExecuted);
}

TEST_F(Act, FocusMustReachTheObservedWindow) {
  // Another application keeps the front: every window action and the mouse
  // path of "click" are refused; a press needs no focus.
  app.onActivate = [&](simulated::SimApp&) { desktop.setFrontmost(other); };
  desktop.setFrontmost(other);
  for (const Json& action : {Json{{"type", "press"}, {"key", "Enter"}}, Json{{"type", "type"}, {"text", "a"}},
                             Json{{"type", "click"}, {"ref", "e3"}}, Json{{"type", "click_at"}, {"x", 1}, {"y", 1}}}) {
    expectRefused(action, kTargetChanged);
  }
  EXPECT_EQ(run({{"type", "click"}, {"ref", "e2"}}), std::nullopt);
  desktop.performed.clear();

  // Raising the window gives the focus to another window of the application.
  app.onActivate = nullptr;
  win.element().onAction("AXRaise", [&] { app.focus(login); });
  expectRefused({{"type", "press"}, {"key", "Enter"}}, kTargetChanged);
}

TEST_F(Act, AnIgnoredActivationIsAskedForThroughAccessibility) {
  // The system may ignore a helper's activation; the application element's
  // "AXFrontmost" still brings it forward, and only then is input posted.
  app.honoursActivation = false;
  desktop.setFrontmost(other);
  EXPECT_EQ(run({{"type", "press"}, {"key", "Enter"}}), std::nullopt);
  EXPECT_EQ(desktop.frontmost(), &app);
  ASSERT_EQ(desktop.setValues.back().attribute, "AXFrontmost");
  EXPECT_EQ(desktop.setValues.back().element, app.element().element());
  EXPECT_EQ(desktop.setValues.back().value, platform::Value(true));
  EXPECT_EQ(desktop.posted.size(), 2u);

  desktop.posted.clear();
  desktop.setFrontmost(other);
  app.element().failSet("AXFrontmost", platform::kAXErrorCannotComplete);
  expectRefused({{"type", "press"}, {"key", "Enter"}}, kTargetChanged);
}

TEST_F(Act, AProtectedOrUndecidableFocusedElementStopsInput) {
  app.focus(win, &password);
  expectRefused({{"type", "type"}, {"text", "secret"}}, kAccessDenied);
  expectRefused({{"type", "press"}, {"key", "Enter"}}, kAccessDenied);

  password.subrole("AXSecureTextField").fail("AXProtectedContent", platform::kAXErrorCannotComplete);
  EXPECT_THROW(run({{"type", "type"}, {"text", "a"}}), AccessibilityInspectionFailure);
  EXPECT_TRUE(desktop.posted.empty());

  app.element().fail("AXFocusedUIElement", platform::kAXErrorNoValue);
  EXPECT_EQ(run({{"type", "press"}, {"key", "Tab"}}), std::nullopt);
  EXPECT_EQ(desktop.posted.size(), 2u);
}

}  // namespace
}  // namespace larkspire::computer
