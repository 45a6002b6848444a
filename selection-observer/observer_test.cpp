#include "selection-observer/observer.h"

#include <gtest/gtest.h>

#include "common/json.h"
#include "platform/simulated/desktop.h"
#include "selection-observer/entry.h"

namespace larkspire::observer {
namespace {

using platform::AXValue;
using platform::CharacterRange;
using platform::kCGEventFlagMaskCommand;
using platform::kCGEventFlagMaskShift;
using simulated::AttributeAnswer;

// A text editor whose focused text area holds the selection, and a second
// application without any.
struct ObserverLoop : ::testing::Test {
  simulated::Desktop desktop;
  simulated::SimApp& editor = desktop.addApp({.bundleIdentifier = "org.example.Editor", .name = "Editor", .pid = 10});
  simulated::SimWindow& window = editor.addWindow({.title = "Doc", .frame = {{0, 0}, {800, 600}}});
  simulated::Node& area = window.element().add("AXTextArea");
  simulated::SimApp& other = desktop.addApp({.bundleIdentifier = "org.example.Other", .name = "Other", .pid = 20});
  simulated::SimWindow& otherWindow = other.addWindow({.title = "Other", .frame = {{0, 0}, {300, 200}}});
  CapturedOutput output;
  std::shared_ptr<SelectionObserver> observer;

  void SetUp() override {
    editor.focus(window, &area);
    other.focus(otherWindow, &otherWindow.element().add("AXTextField"));
    desktop.setFrontmost(editor);
  }

  void startObserver(std::optional<platform::Pid> ignored = std::nullopt) {
    observer = std::make_shared<SelectionObserver>(desktop.platform(), output, ignored);
    observer->start();
    observer->poll();
  }

  void select(const std::string& text, double x = 10) {
    area.set("AXSelectedText", text);
    area.set("AXSelectedTextRange", AXValue{CharacterRange{0, static_cast<std::int64_t>(text.size())}});
    area.parameterized("AXBoundsForRange", [x](const platform::Value&) {
      return AttributeAnswer{0, AXValue{platform::Rect{{x, 20}, {30, 12}}}};
    });
  }
  void deselect() {
    area.set("AXSelectedText", std::string());
    area.unset("AXSelectedTextRange");
  }

  void drag(std::function<void()> whileHeld = {}) {
    desktop.userMouseDown({100, 100});
    desktop.advance(0.5);  // polls while the button is held write nothing
    if (whileHeld) whileHeld();
    desktop.advance(0.5);
    desktop.userMouseUp({180, 100}, 1);
  }

  // Lines written to standard output since the last call.
  std::vector<json::Json> lines() {
    std::vector<json::Json> result;
    std::size_t start = 0;
    while (true) {
      auto end = output.out.find('\n', start);
      if (end == std::string::npos) break;
      result.push_back(json::Json::parse(output.out.substr(start, end - start)));
      start = end + 1;
    }
    output.out.erase(0, start);
    return result;
  }
};

TEST_F(ObserverLoop, FirstPollReportsThePermission) {
  startObserver();
  auto out = lines();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], json::Json::parse(R"({"type":"permission","granted":true})"));
  desktop.advance(3);
  EXPECT_TRUE(lines().empty());
}

TEST_F(ObserverLoop, DragReportsOnceWithTextBoundsAndSource) {
  startObserver();
  lines();
  drag([&] { select("brown fox"); });
  auto out = lines();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]["type"], "selection");
  EXPECT_EQ(out[0]["text"], "brown fox");
  EXPECT_EQ(out[0]["sourcePid"], 10);
  EXPECT_EQ(out[0]["sourceApp"], "org.example.Editor");
  EXPECT_EQ(out[0]["bounds"], json::Json::parse(R"({"x":10,"y":20,"width":30,"height":12})"));
  EXPECT_FALSE(out[0].contains("sourceUrl"));
  // The rest of the burst and later polls write nothing more.
  desktop.advance(2);
  EXPECT_TRUE(lines().empty());
  EXPECT_NE(output.err.find("mouseUp: gesture=true dragged=true clicks=1 start=100,100\n"), std::string::npos);
  EXPECT_NE(output.err.find("emit via focus:AXTextArea (changed) app=org.example.Editor len=9\n"), std::string::npos);
}

TEST_F(ObserverLoop, DoubleClickOnTheSameWordReportsAgain) {
  startObserver();
  select("fox");
  desktop.userMouseDown({50, 50}, 2);
  desktop.userMouseUp({50, 50}, 2);
  desktop.advance(1);
  desktop.userMouseDown({50, 50}, 2);
  desktop.userMouseUp({50, 50}, 2);
  desktop.advance(1);
  auto out = lines();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[1]["text"], "fox");
  EXPECT_EQ(out[2]["text"], "fox");
  EXPECT_NE(output.err.find("(gesture)"), std::string::npos);
}

TEST_F(ObserverLoop, ADoubleClickIsReportedOnceWhenItsFirstClickAlreadyFindsTheWord) {
  // The second press selects the word; the first release's burst finds it
  // before the second release.
  startObserver();
  lines();
  desktop.userMouseDown({50, 50}, 1);
  desktop.userMouseUp({50, 50}, 1);
  desktop.advance(0.08);
  // The second click happened, but the observer sees its events only after
  // the first click's burst polled again.
  select("fox");
  desktop.advance(0.05);
  desktop.userMouseDown({50, 50}, 2);
  desktop.userMouseUp({50, 50}, 2);
  desktop.advance(1);
  auto out = lines();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]["text"], "fox");
}

TEST_F(ObserverLoop, ASelectionTheApplicationShowsLateIsReportedOnceItSettles) {
  // A browser answers from a copy of its state that follows the screen a
  // little later: right after the button is released it still gives the
  // previous selection, a moment later the new one.
  startObserver();
  select("fox");
  desktop.userMouseDown({50, 50}, 2);
  desktop.userMouseUp({50, 50}, 2);
  desktop.advance(1);
  lines();
  drag();
  desktop.advance(0.08);
  // Caught in the middle: the old text is read, then the selection changes
  // under the read of its bounds. That poll reports nothing; a later one
  // reads the settled selection.
  bool settled = false;
  area.parameterized("AXBoundsForRange", [&](const platform::Value&) {
    double x = settled ? 40 : 99;
    settled = true;
    area.set("AXSelectedText", std::string("the lazy dog"));
    return AttributeAnswer{0, AXValue{platform::Rect{{x, 20}, {30, 12}}}};
  });
  desktop.advance(2);
  // Only the new selection is reported: the previous one, given again by
  // the first polls, is not repeated.
  auto out = lines();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]["text"], "the lazy dog");
  EXPECT_EQ(out[0]["bounds"]["x"], 40);
}

TEST_F(ObserverLoop, PlainClickThatRemovesTheSelectionClearsOnce) {
  startObserver();
  drag([&] { select("fox"); });
  desktop.advance(1);
  lines();
  desktop.userMouseDown({300, 300});
  deselect();
  desktop.userMouseUp({300, 300}, 1);
  desktop.advance(0.1);
  auto out = lines();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], json::Json::parse(R"({"type":"clear"})"));
  desktop.advance(2);
  EXPECT_TRUE(lines().empty());
}

TEST_F(ObserverLoop, ShiftArrowSelectionIsReportedAsItGrows) {
  startObserver();
  lines();
  select("q");
  desktop.userKeyDown(kCGEventFlagMaskShift);
  desktop.advance(0.5);
  select("qu");
  desktop.userKeyDown(kCGEventFlagMaskShift);
  desktop.advance(0.5);
  // A key press without Command or Shift starts no gesture.
  select("qui");
  desktop.userKeyDown(0);
  auto out = lines();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0]["text"], "q");
  EXPECT_EQ(out[1]["text"], "qu");
}

TEST_F(ObserverLoop, NothingIsReadWhileTheIgnoredApplicationIsFrontmost) {
  startObserver(20);
  drag([&] { select("fox"); });
  desktop.advance(1);
  lines();
  desktop.setFrontmost(other);
  deselect();
  desktop.advance(2);
  desktop.userMouseDown({1, 1}, 2);
  desktop.userMouseUp({1, 1}, 2);
  desktop.advance(1);
  EXPECT_TRUE(lines().empty());
  EXPECT_TRUE(observer->remembersSelection());
}

TEST_F(ObserverLoop, SwitchingToAnApplicationWithoutSelectionClears) {
  startObserver();
  drag([&] { select("fox"); });
  desktop.advance(1);
  lines();
  output.err.clear();
  desktop.setFrontmost(other);
  desktop.advance(0.3);
  auto out = lines();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]["type"], "clear");
  EXPECT_EQ(
      output.err,
      "skip: focus element has no selection in pid 20; full-tree search needs a drag/double-click/\u2318A gesture\n");
  // The same message is not repeated within ten seconds.
  desktop.advance(5);
  EXPECT_EQ(output.err.find("skip:", 10), std::string::npos);
}

TEST_F(ObserverLoop, SelectionOutsideTheFocusedElementNeedsAGesture) {
  auto& web = window.element().add("AXGroup").add("AXWebArea");
  web.set("AXSelectedText", std::string("deep text"));
  web.set("AXURL", platform::Url{"https://example.org/page"});
  startObserver();
  desktop.advance(1);
  EXPECT_EQ(lines().size(), 1u);  // the permission only
  desktop.userMouseDown({10, 10});
  desktop.userMouseUp({40, 10});
  auto out = lines();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]["text"], "deep text");
  EXPECT_EQ(out[0]["sourceUrl"], "https://example.org/page");
  EXPECT_NE(output.err.find("emit via search:AXWebArea (changed)"), std::string::npos);
}

TEST_F(ObserverLoop, GestureWithoutAnySelectionExplainsTheSearch) {
  window.element().children();
  area.role("AXStaticText");
  startObserver();
  desktop.userMouseDown({10, 10});
  desktop.userMouseUp({10, 10}, 2);
  EXPECT_NE(output.err.find("skip: no selection in pid 10 \u2014 full-tree search: visited=2 maxDepth=1 "
                            "candidates=0 -> re-armed accessibility\n"),
            std::string::npos);
}

TEST_F(ObserverLoop, PasswordSelectionIsNeverReported) {
  area.subrole("AXSecureTextField");
  select("hunter2");
  startObserver();
  desktop.userMouseDown({10, 10});
  desktop.userMouseUp({60, 10});
  desktop.advance(1);
  auto out = lines();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]["type"], "permission");
}

TEST_F(ObserverLoop, RevokedPermissionIsReportedThenCleared) {
  startObserver();
  drag([&] { select("fox"); });
  desktop.advance(1);
  lines();
  desktop.accessibilityTrusted = false;
  desktop.advance(0.3);
  auto out = lines();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], json::Json::parse(R"({"type":"permission","granted":false})"));
  EXPECT_EQ(out[1]["type"], "clear");
  desktop.advance(3);
  EXPECT_TRUE(lines().empty());
}

TEST_F(ObserverLoop, GestureWindowClosesAfterTheBurst) {
  startObserver();
  desktop.userKeyDown(kCGEventFlagMaskCommand);
  EXPECT_TRUE(observer->forcingReports());
  desktop.advance(0.32);
  EXPECT_TRUE(observer->forcingReports());
  desktop.advance(0.02);
  EXPECT_FALSE(observer->forcingReports());
}

TEST_F(ObserverLoop, HandlersDoNothingOnceTheObserverIsGone) {
  startObserver();
  observer.reset();
  desktop.userMouseDown({1, 1});
  desktop.userMouseUp({50, 1});
  desktop.advance(2);
  EXPECT_EQ(lines().size(), 1u);
}

}  // namespace
}  // namespace larkspire::observer

namespace larkspire::observer {
namespace {

TEST(ObserverProgram, EndsWithItsStatusAndOneLineWhenTheDesktopGoesAway) {
  simulated::Desktop desktop;
  CapturedOutput output;
  desktop.platform().runLoop.scheduleAfter(5, [&] { desktop.desktopGone = "the X display is gone"; });
  EXPECT_EQ(runObserverProgram(desktop.platform(), output, {}), kDesktopGoneStatus);
  EXPECT_GE(desktop.now(), 5.0);
  EXPECT_LT(desktop.now(), 5.5) << "noticed by the next poll";
  EXPECT_EQ(output.out, "{\"granted\":true,\"type\":\"permission\"}\n");
  ASSERT_FALSE(output.err.empty());
  EXPECT_EQ(output.err.substr(output.err.rfind('\n', output.err.size() - 2) + 1),
            "larkspire-selection-observer: ending: the X display is gone\n");

  // Gone from the start: the first line is still written, then the end.
  simulated::Desktop gone;
  gone.desktopGone = "the X display does not answer";
  CapturedOutput first;
  EXPECT_EQ(runObserverProgram(gone.platform(), first, {}), kDesktopGoneStatus);
  EXPECT_EQ(first.out, "{\"granted\":true,\"type\":\"permission\"}\n");
  EXPECT_EQ(first.err, "larkspire-selection-observer: ending: the X display does not answer\n");
}

}  // namespace
}  // namespace larkspire::observer
