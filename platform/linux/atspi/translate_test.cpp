#include "platform/linux/atspi/translate.h"

#include <atspi/atspi-constants.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace larkspire::linux_backend::atspi {
namespace {

using platform::CharacterRange;

Facts facts(AtspiRole role, std::initializer_list<AtspiStateType> states = {}, std::uint32_t interfaces = 0) {
  Facts f;
  f.role = role;
  for (auto s : states) f.states = f.states.with(s);
  f.interfaces = interfaces;
  return f;
}

TEST(AtspiRoles, WidgetsReadAsTheirMacOSCounterparts) {
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_PUSH_BUTTON)), "AXButton");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_CHECK_BOX)), "AXCheckBox");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_RADIO_BUTTON)), "AXRadioButton");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_COMBO_BOX)), "AXComboBox");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_LABEL)), "AXStaticText");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_MENU_ITEM)), "AXMenuItem");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_CHECK_MENU_ITEM)), "AXMenuItem");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_MENU)), "AXMenu");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_MENU_BAR)), "AXMenuBar");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_FILLER)), "AXGroup");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_PANEL)), "AXGroup");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_SCROLL_PANE)), "AXScrollArea");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_LIST)), "AXList");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_TABLE)), "AXTable");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_TABLE_ROW)), "AXRow");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_LIST_ITEM)), "AXRow");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_TABLE_CELL)), "AXCell");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_IMAGE)), "AXImage");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_SLIDER)), "AXSlider");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_PAGE_TAB_LIST)), "AXTabGroup");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_PAGE_TAB)), "AXRadioButton");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_DOCUMENT_WEB)), "AXWebArea");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_FRAME)), "AXWindow");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_DIALOG)), "AXWindow");
}

TEST(AtspiRoles, UnlistedAndOutOfRangeRolesAreUnknown) {
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_SEPARATOR)), "AXUnknown");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_INVALID)), "AXUnknown");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_UNKNOWN)), "AXUnknown");
  EXPECT_EQ(axRoleForAtspiRole(100000, States{}), "AXUnknown");
}

TEST(AtspiRoles, EveryDefinedRoleGetsANonEmptyAXRole) {
  for (Role r = 0; r < ATSPI_ROLE_LAST_DEFINED; ++r) {
    auto role = axRoleForAtspiRole(r, States{});
    EXPECT_TRUE(role.starts_with("AX")) << r;
  }
}

TEST(AtspiRoles, TextIsAFieldOrAnAreaByItsLineState) {
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_TEXT, {ATSPI_STATE_SINGLE_LINE})), "AXTextField");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_TEXT, {ATSPI_STATE_MULTI_LINE})), "AXTextArea");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_ENTRY, {ATSPI_STATE_SINGLE_LINE})), "AXTextField");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_ENTRY, {ATSPI_STATE_MULTI_LINE})), "AXTextArea");
  // Without either state: an entry stays a field, a text object an area.
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_ENTRY)), "AXTextField");
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_TEXT)), "AXTextArea");
  // Multi-line labels stay static text.
  EXPECT_EQ(axRole(facts(ATSPI_ROLE_LABEL, {ATSPI_STATE_MULTI_LINE})), "AXStaticText");
}

TEST(AtspiRoles, ChildrenOfTheApplicationAreWindowsWhateverTheirRole) {
  Facts alert = facts(ATSPI_ROLE_ALERT);
  EXPECT_EQ(axRole(alert), "AXGroup");
  alert.topLevel = true;
  EXPECT_EQ(axRole(alert), "AXWindow");
  EXPECT_EQ(axSubrole(alert), "AXDialog");
  Facts frame = facts(ATSPI_ROLE_FRAME);
  frame.topLevel = true;
  EXPECT_EQ(axSubrole(frame), "AXStandardWindow");
}

TEST(AtspiProtection, PasswordTextIsASecureTextField) {
  Facts password = facts(ATSPI_ROLE_PASSWORD_TEXT, {ATSPI_STATE_SINGLE_LINE, ATSPI_STATE_EDITABLE});
  EXPECT_EQ(axRole(password), "AXTextField");
  EXPECT_EQ(axSubrole(password), "AXSecureTextField");
  EXPECT_EQ(protectedContent(password), true);
}

TEST(AtspiProtection, TextInsideAPasswordEntryIsProtectedToo) {
  Facts inner = facts(ATSPI_ROLE_TEXT, {ATSPI_STATE_SINGLE_LINE});
  inner.insideSecure = true;
  EXPECT_EQ(axSubrole(inner), "AXSecureTextField");
  EXPECT_EQ(protectedContent(inner), true);
  Facts label = facts(ATSPI_ROLE_LABEL);
  label.insideSecure = true;
  EXPECT_EQ(axSubrole(label), "AXSecureTextField");
  // Whatever else sits in there declares protected content.
  Facts icon = facts(ATSPI_ROLE_ICON);
  icon.insideSecure = true;
  EXPECT_EQ(axSubrole(icon), std::nullopt);
  EXPECT_EQ(protectedContent(icon), true);
}

TEST(AtspiProtection, OrdinaryObjectsHaveNoProtectionAttributeAtAll) {
  // Absent rather than false: only a meaningful answer is given.
  EXPECT_EQ(protectedContent(facts(ATSPI_ROLE_TEXT, {ATSPI_STATE_SINGLE_LINE})), std::nullopt);
  EXPECT_EQ(axSubrole(facts(ATSPI_ROLE_TEXT, {ATSPI_STATE_SINGLE_LINE})), std::nullopt);
  auto names = attributeNames(facts(ATSPI_ROLE_TEXT, {}, kText | kComponent), false);
  EXPECT_EQ(std::count(names.begin(), names.end(), "AXProtectedContent"), 0);
  auto secure = attributeNames(facts(ATSPI_ROLE_PASSWORD_TEXT, {}, kText | kComponent), false);
  EXPECT_EQ(std::count(secure.begin(), secure.end(), "AXProtectedContent"), 1);
}

TEST(AtspiSubroles, TogglesAndTabsGetTheirMacOSSubroles) {
  EXPECT_EQ(axSubrole(facts(ATSPI_ROLE_TOGGLE_BUTTON)), "AXToggle");
  EXPECT_EQ(axSubrole(facts(ATSPI_ROLE_PAGE_TAB)), "AXTabButton");
  EXPECT_EQ(axSubrole(facts(ATSPI_ROLE_PUSH_BUTTON)), std::nullopt);
}

TEST(AtspiValues, EditableTextIsSettableOnlyWhileEditable) {
  EXPECT_TRUE(valueSettable(facts(ATSPI_ROLE_TEXT, {ATSPI_STATE_EDITABLE}, kText | kEditableText)));
  EXPECT_FALSE(valueSettable(facts(ATSPI_ROLE_TEXT, {}, kText | kEditableText)));
  EXPECT_FALSE(
      valueSettable(facts(ATSPI_ROLE_TEXT, {ATSPI_STATE_EDITABLE, ATSPI_STATE_READ_ONLY}, kText | kEditableText)));
  // An editable state without the interface to set it with.
  EXPECT_FALSE(valueSettable(facts(ATSPI_ROLE_TEXT, {ATSPI_STATE_EDITABLE}, kText)));
  EXPECT_FALSE(valueSettable(facts(ATSPI_ROLE_LABEL, {}, kText)));
}

TEST(AtspiValues, NumericValuesAreSettableOnlyForAdjustableRoles) {
  EXPECT_TRUE(valueSettable(facts(ATSPI_ROLE_SLIDER, {ATSPI_STATE_ENABLED}, kValue)));
  EXPECT_FALSE(valueSettable(facts(ATSPI_ROLE_SLIDER, {}, kValue)));  // disabled
  EXPECT_FALSE(valueSettable(facts(ATSPI_ROLE_PROGRESS_BAR, {ATSPI_STATE_ENABLED}, kValue)));
  EXPECT_FALSE(valueSettable(facts(ATSPI_ROLE_LEVEL_BAR, {ATSPI_STATE_ENABLED}, kValue)));
}

TEST(AtspiValues, ValueComesFromTextThenNumberThenCheckState) {
  EXPECT_EQ(valueSource(facts(ATSPI_ROLE_TEXT, {}, kText | kValue)), ValueSource::text);
  EXPECT_EQ(valueSource(facts(ATSPI_ROLE_SLIDER, {}, kValue)), ValueSource::numeric);
  EXPECT_EQ(valueSource(facts(ATSPI_ROLE_CHECK_BOX)), ValueSource::checkState);
  EXPECT_EQ(valueSource(facts(ATSPI_ROLE_PUSH_BUTTON)), ValueSource::none);
  Facts window = facts(ATSPI_ROLE_FRAME, {}, kText);
  window.topLevel = true;
  EXPECT_EQ(valueSource(window), ValueSource::none);
}

std::vector<std::string> names(const std::vector<MappedAction>& actions) {
  std::vector<std::string> out;
  for (const auto& a : actions) out.push_back(a.name + "@" + std::to_string(a.index));
  return out;
}

TEST(AtspiActions, DefaultActivationBecomesAXPressAtItsIndex) {
  auto button = facts(ATSPI_ROLE_PUSH_BUTTON);
  EXPECT_EQ(names(mapActions(button, {"click"})), (std::vector<std::string>{"AXPress@0"}));
  EXPECT_EQ(names(mapActions(button, {"SetFocus", "Press"})), (std::vector<std::string>{"AXPress@1"}));
  EXPECT_EQ(names(mapActions(facts(ATSPI_ROLE_LINK), {"jump"})), (std::vector<std::string>{"AXPress@0"}));
  EXPECT_EQ(names(mapActions(facts(ATSPI_ROLE_CHECK_BOX), {"toggle"})), (std::vector<std::string>{"AXPress@0"}));
}

TEST(AtspiActions, OnlyTheFirstPressActionCounts) {
  EXPECT_EQ(names(mapActions(facts(ATSPI_ROLE_PUSH_BUTTON), {"press", "click", "activate"})),
            (std::vector<std::string>{"AXPress@0"}));
}

TEST(AtspiActions, ActivatingAnEntryConfirmsItRatherThanPressingIt) {
  auto entry = facts(ATSPI_ROLE_TEXT, {ATSPI_STATE_SINGLE_LINE, ATSPI_STATE_EDITABLE}, kText | kEditableText);
  EXPECT_EQ(names(mapActions(entry, {"activate"})), (std::vector<std::string>{"AXConfirm@0"}));
  auto password = facts(ATSPI_ROLE_PASSWORD_TEXT, {ATSPI_STATE_EDITABLE}, kText | kEditableText);
  EXPECT_EQ(names(mapActions(password, {"activate"})), (std::vector<std::string>{"AXConfirm@0"}));
  // A menu item's "activate" is a press.
  EXPECT_EQ(names(mapActions(facts(ATSPI_ROLE_MENU_ITEM), {"activate"})), (std::vector<std::string>{"AXPress@0"}));
}

TEST(AtspiActions, KnownSecondaryActionsKeepMacOSNamesAndTheRestIsDropped) {
  EXPECT_EQ(names(mapActions(facts(ATSPI_ROLE_COMBO_BOX), {"press", "showMenu", "expand or contract"})),
            (std::vector<std::string>{"AXPress@0", "AXShowMenu@1"}));
  EXPECT_EQ(names(mapActions(facts(ATSPI_ROLE_SPIN_BUTTON), {"increment", "decrement"})),
            (std::vector<std::string>{"AXIncrement@0", "AXDecrement@1"}));
  EXPECT_TRUE(mapActions(facts(ATSPI_ROLE_PUSH_BUTTON), {"SetFocus", ""}).empty());
}

TEST(AtspiExtents, OffScreenMarkerAndNegativeSizesAreUnusable) {
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  EXPECT_TRUE(usableExtents({10, 20, 30, 40}));
  EXPECT_TRUE(usableExtents({-5, -5, 0, 0}));  // partly off the left edge is fine
  EXPECT_FALSE(usableExtents({kMin, kMin, 1, 1}));
  EXPECT_FALSE(usableExtents({kMin, 5, 1, 1}));
  EXPECT_FALSE(usableExtents({5, 5, -1, 1}));
}

TEST(AtspiStates, TheSecondWordHoldsStatesAbove31) {
  auto s = States::fromWords({1u << ATSPI_STATE_FOCUSED, 1u << (ATSPI_STATE_READ_ONLY - 32)});
  EXPECT_TRUE(s.has(ATSPI_STATE_FOCUSED));
  EXPECT_TRUE(s.has(ATSPI_STATE_READ_ONLY));
  EXPECT_FALSE(s.has(ATSPI_STATE_ACTIVE));
  EXPECT_FALSE(s.has(64));
  EXPECT_FALSE(States::fromWords({}).has(0));
}

TEST(AtspiInterfaces, NamesBecomeFlagsAndUnknownNamesAreIgnored) {
  auto flags = interfaceFlags(
      {"org.a11y.atspi.Accessible", "org.a11y.atspi.EditableText", "org.a11y.atspi.Text", "org.example.Other"});
  EXPECT_EQ(flags, kAccessible | kEditableText | kText);
}

TEST(AtspiAttributeNames, ListWhatTheObjectSupports) {
  auto text = attributeNames(facts(ATSPI_ROLE_TEXT, {}, kText | kComponent), false);
  for (const char* n : {"AXRole", "AXTitle", "AXValue", "AXPosition", "AXSize", "AXSelectedText", "AXSelectedTextRange",
                        "AXNumberOfCharacters"})
    EXPECT_EQ(std::count(text.begin(), text.end(), n), 1) << n;
  EXPECT_EQ(parameterizedAttributeNames(facts(ATSPI_ROLE_TEXT, {}, kText)),
            (platform::TextList{"AXStringForRange", "AXBoundsForRange"}));

  auto button = attributeNames(facts(ATSPI_ROLE_PUSH_BUTTON, {}, kAction), false);
  EXPECT_EQ(std::count(button.begin(), button.end(), "AXValue"), 0);
  EXPECT_EQ(std::count(button.begin(), button.end(), "AXPosition"), 0);  // no Component
  EXPECT_TRUE(parameterizedAttributeNames(facts(ATSPI_ROLE_PUSH_BUTTON, {}, kAction)).empty());

  auto doc = attributeNames(facts(ATSPI_ROLE_DOCUMENT_WEB, {}, kDocument), false);
  EXPECT_EQ(std::count(doc.begin(), doc.end(), "AXURL"), 1);

  auto app = attributeNames(facts(ATSPI_ROLE_APPLICATION), true);
  for (const char* n : {"AXWindows", "AXFocusedWindow", "AXFocusedUIElement"})
    EXPECT_EQ(std::count(app.begin(), app.end(), n), 1) << n;
}

TEST(AtspiErrors, DBusErrorsMapToThePlatformCodes) {
  EXPECT_EQ(errorForDBus("org.freedesktop.DBus.Error.UnknownObject", false), platform::kAXErrorInvalidUIElement);
  EXPECT_EQ(errorForDBus("org.freedesktop.DBus.Error.ServiceUnknown", false), platform::kAXErrorInvalidUIElement);
  EXPECT_EQ(errorForDBus("org.freedesktop.DBus.Error.NameHasNoOwner", false), platform::kAXErrorInvalidUIElement);
  EXPECT_EQ(errorForDBus("org.freedesktop.DBus.Error.NoReply", false), platform::kAXErrorCannotComplete);
  EXPECT_EQ(errorForDBus("", true), platform::kAXErrorCannotComplete);
  EXPECT_EQ(errorForDBus("org.freedesktop.DBus.Error.UnknownMethod", false), platform::kAXErrorAttributeUnsupported);
  EXPECT_EQ(errorForDBus("org.freedesktop.DBus.Error.UnknownInterface", false), platform::kAXErrorAttributeUnsupported);
  EXPECT_EQ(errorForDBus("org.freedesktop.DBus.Error.InvalidArgs", false), platform::kAXErrorIllegalArgument);
  // Anything else failed, and must not read as "absent".
  EXPECT_FALSE(platform::isAbsentError(errorForDBus("org.example.Error.Crashed", false)));
}

TEST(AtspiRanges, RangesBecomeStartAndEndWithinAtspiOffsets) {
  EXPECT_EQ(atspiRange(CharacterRange{4, 5}), (std::pair<std::int32_t, std::int32_t>{4, 9}));
  EXPECT_EQ(atspiRange(CharacterRange{0, 0}), (std::pair<std::int32_t, std::int32_t>{0, 0}));
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  EXPECT_EQ(atspiRange(CharacterRange{kMax, 0}), (std::pair<std::int32_t, std::int32_t>{kMax, kMax}));
  // Nothing that would wrap around in 32 bits or point before the text.
  EXPECT_EQ(atspiRange(CharacterRange{kMax, 1}), std::nullopt);
  EXPECT_EQ(atspiRange(CharacterRange{1, kMax}), std::nullopt);
  EXPECT_EQ(atspiRange(CharacterRange{kMax + 1, 0}), std::nullopt);
  EXPECT_EQ(atspiRange(CharacterRange{-1, 3}), std::nullopt);
  EXPECT_EQ(atspiRange(CharacterRange{3, -1}), std::nullopt);
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
