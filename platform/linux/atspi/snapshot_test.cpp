#include "platform/linux/atspi/snapshot.h"

#include <atspi/atspi-constants.h>
#include <gtest/gtest.h>

#include <limits>

namespace larkspire::linux_backend::atspi {
namespace {

States states(std::initializer_list<AtspiStateType> list) {
  States s;
  for (auto state : list) s = s.with(state);
  return s;
}

Snapshot snapshot(AtspiRole role, std::initializer_list<AtspiStateType> list, std::uint32_t interfaces = 0,
                  std::string parentPath = "/p") {
  Snapshot s;
  s.facts.role = role;
  s.facts.states = states(list);
  s.facts.interfaces = interfaces;
  s.parentBus = ":1.7";
  s.parentPath = std::move(parentPath);
  return s;
}

TEST(AtspiWindows, VisibleOrMinimisedWindowsAreListedAndTheActiveOneIsFocused) {
  EXPECT_TRUE(listedWindow(states({ATSPI_STATE_VISIBLE})));
  EXPECT_TRUE(listedWindow(states({ATSPI_STATE_ICONIFIED})));
  EXPECT_FALSE(listedWindow(states({ATSPI_STATE_SHOWING, ATSPI_STATE_ACTIVE})));  // kept hidden by its toolkit
  EXPECT_TRUE(focusedWindow(states({ATSPI_STATE_ACTIVE})));
  EXPECT_FALSE(focusedWindow(states({ATSPI_STATE_VISIBLE, ATSPI_STATE_FOCUSED})));

  // Top level: a child of its own application's root, never the root itself.
  Snapshot window = snapshot(ATSPI_ROLE_ALERT, {}, 0, kRootPath);
  EXPECT_TRUE(topLevel(window, ":1.7", false));
  EXPECT_FALSE(topLevel(window, ":1.7", true));
  EXPECT_FALSE(topLevel(window, ":1.8", false));
  EXPECT_FALSE(topLevel(snapshot(ATSPI_ROLE_FRAME, {}, 0, "/w"), ":1.7", false));
}

TEST(AtspiFocusSearch, FoundWhereFocusedSkippedWhereNotShownProtectedBelowAPasswordEntry) {
  EXPECT_EQ(focusStep(states({ATSPI_STATE_FOCUSED}), false), FocusStep::found);
  EXPECT_EQ(focusStep(states({ATSPI_STATE_SHOWING}), false), FocusStep::descend);
  EXPECT_EQ(focusStep(states({ATSPI_STATE_VISIBLE}), false), FocusStep::skip);
  // The window is searched whatever it says of itself.
  EXPECT_EQ(focusStep(states({}), true), FocusStep::descend);

  EXPECT_TRUE(secureBelow(false, ATSPI_ROLE_PASSWORD_TEXT));
  EXPECT_TRUE(secureBelow(true, ATSPI_ROLE_PANEL));
  EXPECT_FALSE(secureBelow(false, ATSPI_ROLE_TEXT));
}

TEST(AtspiProtection, AncestryIsReadOnlyForTextNotKnownAlready) {
  Facts text;
  text.role = ATSPI_ROLE_TEXT;
  EXPECT_TRUE(needsSecureAncestry(text, std::nullopt));
  EXPECT_FALSE(needsSecureAncestry(text, false));
  Facts label;
  label.role = ATSPI_ROLE_LABEL;
  EXPECT_TRUE(needsSecureAncestry(label, std::nullopt));
  Facts password;
  password.role = ATSPI_ROLE_PASSWORD_TEXT;
  EXPECT_FALSE(needsSecureAncestry(password, std::nullopt)) << "protected on its own";
  Facts button;
  button.role = ATSPI_ROLE_PUSH_BUTTON;
  EXPECT_FALSE(needsSecureAncestry(button, std::nullopt));
}

TEST(AtspiProtection, ChildrenLearnItFromTheWalk) {
  const Snapshot entry = snapshot(ATSPI_ROLE_PASSWORD_TEXT, {});
  const Snapshot panel = snapshot(ATSPI_ROLE_PANEL, {});
  EXPECT_EQ(childInsideSecure(false, entry, std::nullopt), true);
  EXPECT_EQ(childInsideSecure(false, panel, true), true);
  EXPECT_EQ(childInsideSecure(false, panel, std::nullopt), std::nullopt) << "unknown stays unknown";
  EXPECT_EQ(childInsideSecure(true, panel, true), false) << "windows of an application start afresh";
  Snapshot unread = entry;
  unread.error = platform::kAXErrorInvalidUIElement;
  EXPECT_EQ(childInsideSecure(false, unread, false), false);
}

TEST(AtspiExtents, AskedForOnScreenComponentsAndWindowsAndUsedWhenUsable) {
  EXPECT_TRUE(wantsExtents(snapshot(ATSPI_ROLE_PUSH_BUTTON, {ATSPI_STATE_SHOWING}, kComponent)));
  EXPECT_TRUE(wantsExtents(snapshot(ATSPI_ROLE_FRAME, {ATSPI_STATE_ICONIFIED}, kComponent)));
  EXPECT_TRUE(wantsExtents(snapshot(ATSPI_ROLE_FRAME, {}, kComponent, kRootPath)));
  EXPECT_FALSE(wantsExtents(snapshot(ATSPI_ROLE_PUSH_BUTTON, {ATSPI_STATE_VISIBLE}, kComponent)));
  EXPECT_FALSE(wantsExtents(snapshot(ATSPI_ROLE_PUSH_BUTTON, {ATSPI_STATE_SHOWING}, kAction)));

  Snapshot s = snapshot(ATSPI_ROLE_PUSH_BUTTON, {ATSPI_STATE_SHOWING}, kComponent);
  EXPECT_EQ(screenRectangle(s), std::nullopt);
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  s.extents = Extents{kMin, kMin, 0, 0};  // what a failed read leaves
  EXPECT_EQ(screenRectangle(s), std::nullopt);
  s.extents = Extents{10, 20, 30, 40};
  ASSERT_TRUE(screenRectangle(s));
  EXPECT_EQ(screenRectangle(s)->width, 30);
}

TEST(AtspiTextSelection, TheFirstSelectionInOrderElseTheCaretAsAnEmptyRange) {
  using Span = std::pair<std::int32_t, std::int32_t>;
  EXPECT_EQ(firstSelection(1, Span{2, 7}), (Span{2, 7}));
  EXPECT_EQ(firstSelection(2, Span{7, 2}), (Span{2, 7})) << "made backwards";
  EXPECT_EQ(firstSelection(0, Span{2, 7}), std::nullopt) << "a stale answer when there is none";
  EXPECT_EQ(firstSelection(1, std::nullopt), std::nullopt);
  EXPECT_EQ(caretRange(5), (Span{5, 5}));
  EXPECT_EQ(caretRange(0), (Span{0, 0}));
  EXPECT_EQ(caretRange(-1), std::nullopt);
  EXPECT_EQ(caretRange(std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
