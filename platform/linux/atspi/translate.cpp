#include "platform/linux/atspi/translate.h"

#include <atspi/atspi-constants.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>
#include <utility>

namespace larkspire::linux_backend::atspi {
namespace {

struct RoleEntry {
  AtspiRole atspi;
  std::string_view ax;
};

// AT-SPI role -> macOS role. Chosen by what the element does for a user,
// which is what the inventory and the observer care about:
// - windows (frame, dialog, window, alert, file chooser at top level) are
//   "AXWindow"; any direct child of the application is a window anyway;
// - text: "text"/"entry" read as "AXTextField" when single-line and
//   "AXTextArea" when multi-line (see axRoleForAtspiRole); password text is
//   an "AXTextField" with subrole "AXSecureTextField";
// - page tabs are "AXRadioButton" (subrole "AXTabButton") inside an
//   "AXTabGroup", as macOS presents tab views;
// - list items, table rows and tree items are "AXRow" so that they get named
//   after the text inside them; table cells and headers are "AXCell";
// - containers without meaning of their own are "AXGroup";
// - web documents are "AXWebArea"; other document kinds are "AXGroup"
//   (their text lives in paragraphs below them);
// - anything not listed is "AXUnknown".
constexpr std::array kRoleTable{
    RoleEntry{ATSPI_ROLE_APPLICATION, "AXApplication"},
    RoleEntry{ATSPI_ROLE_FRAME, "AXWindow"},
    RoleEntry{ATSPI_ROLE_DIALOG, "AXWindow"},
    RoleEntry{ATSPI_ROLE_WINDOW, "AXWindow"},
    RoleEntry{ATSPI_ROLE_ALERT, "AXGroup"},
    RoleEntry{ATSPI_ROLE_FILE_CHOOSER, "AXGroup"},
    RoleEntry{ATSPI_ROLE_COLOR_CHOOSER, "AXColorWell"},
    RoleEntry{ATSPI_ROLE_FONT_CHOOSER, "AXGroup"},
    RoleEntry{ATSPI_ROLE_INTERNAL_FRAME, "AXGroup"},
    RoleEntry{ATSPI_ROLE_DESKTOP_FRAME, "AXGroup"},

    RoleEntry{ATSPI_ROLE_PUSH_BUTTON, "AXButton"},
    RoleEntry{ATSPI_ROLE_PUSH_BUTTON_MENU, "AXMenuButton"},
    RoleEntry{ATSPI_ROLE_TOGGLE_BUTTON, "AXCheckBox"},
    RoleEntry{ATSPI_ROLE_CHECK_BOX, "AXCheckBox"},
    RoleEntry{ATSPI_ROLE_RADIO_BUTTON, "AXRadioButton"},
    RoleEntry{ATSPI_ROLE_COMBO_BOX, "AXComboBox"},
    RoleEntry{ATSPI_ROLE_AUTOCOMPLETE, "AXComboBox"},
    RoleEntry{ATSPI_ROLE_LINK, "AXLink"},

    RoleEntry{ATSPI_ROLE_MENU_BAR, "AXMenuBar"},
    RoleEntry{ATSPI_ROLE_MENU, "AXMenu"},
    RoleEntry{ATSPI_ROLE_POPUP_MENU, "AXMenu"},
    RoleEntry{ATSPI_ROLE_MENU_ITEM, "AXMenuItem"},
    RoleEntry{ATSPI_ROLE_CHECK_MENU_ITEM, "AXMenuItem"},
    RoleEntry{ATSPI_ROLE_RADIO_MENU_ITEM, "AXMenuItem"},
    RoleEntry{ATSPI_ROLE_TEAROFF_MENU_ITEM, "AXMenuItem"},

    RoleEntry{ATSPI_ROLE_TEXT, "AXTextArea"},    // single-line: AXTextField
    RoleEntry{ATSPI_ROLE_ENTRY, "AXTextField"},  // multi-line: AXTextArea
    RoleEntry{ATSPI_ROLE_PASSWORD_TEXT, "AXTextField"},
    RoleEntry{ATSPI_ROLE_EDITBAR, "AXTextField"},
    RoleEntry{ATSPI_ROLE_TERMINAL, "AXTextArea"},
    RoleEntry{ATSPI_ROLE_SPIN_BUTTON, "AXIncrementor"},
    RoleEntry{ATSPI_ROLE_DATE_EDITOR, "AXDateField"},

    RoleEntry{ATSPI_ROLE_LABEL, "AXStaticText"},
    RoleEntry{ATSPI_ROLE_STATIC, "AXStaticText"},
    RoleEntry{ATSPI_ROLE_ACCELERATOR_LABEL, "AXStaticText"},
    RoleEntry{ATSPI_ROLE_CAPTION, "AXStaticText"},
    RoleEntry{ATSPI_ROLE_HEADING, "AXHeading"},
    RoleEntry{ATSPI_ROLE_PARAGRAPH, "AXGroup"},

    RoleEntry{ATSPI_ROLE_IMAGE, "AXImage"},
    RoleEntry{ATSPI_ROLE_ICON, "AXImage"},
    RoleEntry{ATSPI_ROLE_DESKTOP_ICON, "AXImage"},
    RoleEntry{ATSPI_ROLE_ANIMATION, "AXImage"},
    RoleEntry{ATSPI_ROLE_IMAGE_MAP, "AXImage"},

    RoleEntry{ATSPI_ROLE_LIST, "AXList"},
    RoleEntry{ATSPI_ROLE_LIST_BOX, "AXList"},
    RoleEntry{ATSPI_ROLE_DESCRIPTION_LIST, "AXList"},
    RoleEntry{ATSPI_ROLE_LIST_ITEM, "AXRow"},
    RoleEntry{ATSPI_ROLE_TABLE, "AXTable"},
    RoleEntry{ATSPI_ROLE_TREE_TABLE, "AXTable"},
    RoleEntry{ATSPI_ROLE_TREE, "AXOutline"},
    RoleEntry{ATSPI_ROLE_TABLE_ROW, "AXRow"},
    RoleEntry{ATSPI_ROLE_TREE_ITEM, "AXRow"},
    RoleEntry{ATSPI_ROLE_TABLE_CELL, "AXCell"},
    RoleEntry{ATSPI_ROLE_COLUMN_HEADER, "AXCell"},
    RoleEntry{ATSPI_ROLE_ROW_HEADER, "AXCell"},
    RoleEntry{ATSPI_ROLE_TABLE_COLUMN_HEADER, "AXCell"},
    RoleEntry{ATSPI_ROLE_TABLE_ROW_HEADER, "AXCell"},

    RoleEntry{ATSPI_ROLE_PAGE_TAB_LIST, "AXTabGroup"},
    RoleEntry{ATSPI_ROLE_PAGE_TAB, "AXRadioButton"},
    RoleEntry{ATSPI_ROLE_SCROLL_PANE, "AXScrollArea"},
    RoleEntry{ATSPI_ROLE_SCROLL_BAR, "AXScrollBar"},
    RoleEntry{ATSPI_ROLE_SPLIT_PANE, "AXSplitGroup"},
    RoleEntry{ATSPI_ROLE_SLIDER, "AXSlider"},
    RoleEntry{ATSPI_ROLE_DIAL, "AXSlider"},
    RoleEntry{ATSPI_ROLE_PROGRESS_BAR, "AXProgressIndicator"},
    RoleEntry{ATSPI_ROLE_LEVEL_BAR, "AXLevelIndicator"},
    RoleEntry{ATSPI_ROLE_RATING, "AXLevelIndicator"},
    RoleEntry{ATSPI_ROLE_TOOL_BAR, "AXToolbar"},
    RoleEntry{ATSPI_ROLE_TOOL_TIP, "AXHelpTag"},
    RoleEntry{ATSPI_ROLE_RULER, "AXRuler"},

    RoleEntry{ATSPI_ROLE_DOCUMENT_WEB, "AXWebArea"},
    RoleEntry{ATSPI_ROLE_DOCUMENT_FRAME, "AXWebArea"},
    RoleEntry{ATSPI_ROLE_DOCUMENT_TEXT, "AXGroup"},
    RoleEntry{ATSPI_ROLE_DOCUMENT_EMAIL, "AXGroup"},
    RoleEntry{ATSPI_ROLE_DOCUMENT_SPREADSHEET, "AXGroup"},
    RoleEntry{ATSPI_ROLE_DOCUMENT_PRESENTATION, "AXGroup"},

    RoleEntry{ATSPI_ROLE_FILLER, "AXGroup"},
    RoleEntry{ATSPI_ROLE_PANEL, "AXGroup"},
    RoleEntry{ATSPI_ROLE_GROUPING, "AXGroup"},
    RoleEntry{ATSPI_ROLE_SECTION, "AXGroup"},
    RoleEntry{ATSPI_ROLE_FORM, "AXGroup"},
    RoleEntry{ATSPI_ROLE_HTML_CONTAINER, "AXGroup"},
    RoleEntry{ATSPI_ROLE_LAYERED_PANE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_ROOT_PANE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_GLASS_PANE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_OPTION_PANE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_DIRECTORY_PANE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_VIEWPORT, "AXGroup"},
    RoleEntry{ATSPI_ROLE_EMBEDDED, "AXGroup"},
    RoleEntry{ATSPI_ROLE_CANVAS, "AXGroup"},
    RoleEntry{ATSPI_ROLE_DRAWING_AREA, "AXGroup"},
    RoleEntry{ATSPI_ROLE_CALENDAR, "AXGroup"},
    RoleEntry{ATSPI_ROLE_STATUS_BAR, "AXGroup"},
    RoleEntry{ATSPI_ROLE_INFO_BAR, "AXGroup"},
    RoleEntry{ATSPI_ROLE_NOTIFICATION, "AXGroup"},
    RoleEntry{ATSPI_ROLE_TITLE_BAR, "AXGroup"},
    RoleEntry{ATSPI_ROLE_HEADER, "AXGroup"},
    RoleEntry{ATSPI_ROLE_FOOTER, "AXGroup"},
    RoleEntry{ATSPI_ROLE_BLOCK_QUOTE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_ARTICLE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_LANDMARK, "AXGroup"},
    RoleEntry{ATSPI_ROLE_LOG, "AXGroup"},
    RoleEntry{ATSPI_ROLE_MARQUEE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_TIMER, "AXGroup"},
    RoleEntry{ATSPI_ROLE_COMMENT, "AXGroup"},
    RoleEntry{ATSPI_ROLE_AUDIO, "AXGroup"},
    RoleEntry{ATSPI_ROLE_VIDEO, "AXGroup"},
    RoleEntry{ATSPI_ROLE_DEFINITION, "AXGroup"},
    RoleEntry{ATSPI_ROLE_DESCRIPTION_TERM, "AXGroup"},
    RoleEntry{ATSPI_ROLE_DESCRIPTION_VALUE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_FOOTNOTE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_MATH, "AXGroup"},
    RoleEntry{ATSPI_ROLE_PAGE, "AXGroup"},
    RoleEntry{ATSPI_ROLE_CHART, "AXGroup"},
    RoleEntry{ATSPI_ROLE_FOCUS_TRAVERSABLE, "AXGroup"},
    // Separators, arrows, invalid, unknown, extended, redundant objects and
    // the rest: AXUnknown.
};

bool hasInterface(const Facts& f, Interface i) { return (f.interfaces & i) != 0; }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

States States::fromWords(const std::vector<std::uint32_t>& words) {
  std::uint64_t bits = 0;
  if (!words.empty()) bits |= words[0];
  if (words.size() > 1) bits |= std::uint64_t{words[1]} << 32;
  return States(bits);
}

std::uint32_t interfaceFlags(const std::vector<std::string>& names) {
  static constexpr std::array<std::pair<std::string_view, Interface>, 11> kNames{{
      {"org.a11y.atspi.Accessible", kAccessible},
      {"org.a11y.atspi.Action", kAction},
      {"org.a11y.atspi.Component", kComponent},
      {"org.a11y.atspi.Text", kText},
      {"org.a11y.atspi.EditableText", kEditableText},
      {"org.a11y.atspi.Value", kValue},
      {"org.a11y.atspi.Document", kDocument},
      {"org.a11y.atspi.Application", kApplication},
      {"org.a11y.atspi.Collection", kCollection},
      {"org.a11y.atspi.Selection", kSelection},
      {"org.a11y.atspi.Hypertext", kHypertext},
  }};
  std::uint32_t flags = 0;
  for (const auto& n : names)
    for (const auto& [name, flag] : kNames)
      if (n == name) flags |= flag;
  return flags;
}

bool usableExtents(const Extents& e) {
  constexpr auto kOffScreen = std::numeric_limits<std::int32_t>::min();
  return e.x != kOffScreen && e.y != kOffScreen && e.width >= 0 && e.height >= 0;
}

std::string_view axRoleForAtspiRole(Role role, States states) {
  if (role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY) {
    if (states.has(ATSPI_STATE_MULTI_LINE)) return "AXTextArea";
    if (states.has(ATSPI_STATE_SINGLE_LINE)) return "AXTextField";
  }
  for (const auto& entry : kRoleTable)
    if (static_cast<Role>(entry.atspi) == role) return entry.ax;
  return "AXUnknown";
}

std::string_view axRole(const Facts& facts) {
  if (facts.topLevel) return "AXWindow";
  return axRoleForAtspiRole(facts.role, facts.states);
}

bool isPasswordRole(Role role) { return role == ATSPI_ROLE_PASSWORD_TEXT; }

std::optional<std::string_view> axSubrole(const Facts& facts) {
  if (isPasswordRole(facts.role)) return "AXSecureTextField";
  if (facts.insideSecure) {
    auto role = axRole(facts);
    if (role == "AXTextField" || role == "AXTextArea" || role == "AXStaticText") return "AXSecureTextField";
    return std::nullopt;
  }
  if (facts.topLevel) {
    return facts.role == ATSPI_ROLE_DIALOG || facts.role == ATSPI_ROLE_ALERT ? "AXDialog" : "AXStandardWindow";
  }
  if (facts.role == ATSPI_ROLE_TOGGLE_BUTTON) return "AXToggle";
  if (facts.role == ATSPI_ROLE_PAGE_TAB) return "AXTabButton";
  return std::nullopt;
}

std::optional<bool> protectedContent(const Facts& facts) {
  if (isPasswordRole(facts.role) || facts.insideSecure) return true;
  return std::nullopt;
}

ValueSource valueSource(const Facts& facts) {
  if (facts.topLevel) return ValueSource::none;
  if (hasInterface(facts, kText)) return ValueSource::text;
  if (hasInterface(facts, kValue)) return ValueSource::numeric;
  switch (facts.role) {
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_RADIO_BUTTON:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
      return ValueSource::checkState;
    default:
      return ValueSource::none;
  }
}

bool valueSettable(const Facts& facts) {
  if (facts.topLevel || facts.states.has(ATSPI_STATE_READ_ONLY) || facts.states.has(ATSPI_STATE_DEFUNCT)) return false;
  if (hasInterface(facts, kEditableText) && facts.states.has(ATSPI_STATE_EDITABLE)) return true;
  if (hasInterface(facts, kValue)) {
    // Progress and level bars carry a Value the user cannot change.
    switch (facts.role) {
      case ATSPI_ROLE_SLIDER:
      case ATSPI_ROLE_SPIN_BUTTON:
      case ATSPI_ROLE_SCROLL_BAR:
      case ATSPI_ROLE_DIAL:
        return facts.states.has(ATSPI_STATE_ENABLED) || facts.states.has(ATSPI_STATE_SENSITIVE);
      default:
        return false;
    }
  }
  return false;
}

std::vector<MappedAction> mapActions(const Facts& facts, const std::vector<std::string>& atspiNames) {
  // Default activation actions, as toolkits name them: GTK "click" and
  // "activate", Qt "Press" and "Toggle", Chromium and Gecko "press", "jump",
  // "open", "push", "select" varies too much to count as pressing.
  static constexpr std::array<std::string_view, 7> kPress{"click",  "press", "activate", "jump",
                                                          "toggle", "push",  "open"};
  // On editable text "activate" means "commit the entry" (Return), not
  // "press it": macOS text fields call that AXConfirm, and a click on a text
  // field must stay a real pointer click that puts the caret there.
  const auto role = axRole(facts);
  const bool textEntry = role == "AXTextField" || role == "AXTextArea" || role == "AXComboBox" ||
                         (hasInterface(facts, kEditableText) && facts.states.has(ATSPI_STATE_EDITABLE));
  std::vector<MappedAction> out;
  auto add = [&](std::string_view name, std::int32_t index) {
    for (const auto& a : out)
      if (a.name == name) return;
    out.push_back({std::string(name), index});
  };
  for (std::size_t i = 0; i < atspiNames.size() && i < 64; ++i) {
    const std::string name = lower(atspiNames[i]);
    const auto index = static_cast<std::int32_t>(i);
    if (textEntry && name == "activate") {
      add("AXConfirm", index);
    } else if (std::find(kPress.begin(), kPress.end(), name) != kPress.end()) {
      add("AXPress", index);
    } else if (name == "showmenu" || name == "show menu" || name == "menu" || name == "popup") {
      add("AXShowMenu", index);
    } else if (name == "increment") {
      add("AXIncrement", index);
    } else if (name == "decrement") {
      add("AXDecrement", index);
    } else if (name == "cancel" || name == "escape") {
      add("AXCancel", index);
    }
  }
  return out;
}

namespace {

bool always(const Facts&) { return true; }
bool hasComponent(const Facts& f) { return hasInterface(f, kComponent); }
bool hasValue(const Facts& f) { return valueSource(f) != ValueSource::none; }
// Windows implement Text in some toolkits; their text is their title.
bool hasText(const Facts& f) { return hasInterface(f, kText) && !f.topLevel; }
bool hasDocument(const Facts& f) { return hasInterface(f, kDocument); }
bool isProtected(const Facts& f) { return protectedContent(f).has_value(); }

using O = ObjectAttribute;
constexpr std::array<AttributeEntry<O>, 16> kObjectAttributes{{
    {"AXRole", O::role, always},
    {"AXSubrole", O::subrole, always, true},
    {"AXTitle", O::title, always},
    {"AXDescription", O::description, always},
    {"AXParent", O::parent, always},
    {"AXChildren", O::children, always},
    {"AXPosition", O::position, hasComponent},
    {"AXSize", O::size, hasComponent},
    {"AXEnabled", O::enabled, always},
    {"AXFocused", O::focused, always},
    {"AXValue", O::value, hasValue},
    {"AXNumberOfCharacters", O::numberOfCharacters, hasText},
    {"AXSelectedText", O::selectedText, hasText},
    {"AXSelectedTextRange", O::selectedTextRange, hasText},
    {"AXURL", O::url, hasDocument},
    {"AXProtectedContent", O::protectedContent, isProtected, true},
}};

using A = ApplicationAttribute;
constexpr std::array<AttributeEntry<A>, 11> kApplicationAttributes{{
    {"AXRole", A::role, always},
    {"AXSubrole", A::subrole, always},
    {"AXTitle", A::title, always},
    {"AXDescription", A::description, always},
    {"AXParent", A::parent, always},
    {"AXChildren", A::children, always},
    {"AXWindows", A::windows, always},
    {"AXFocusedWindow", A::focusedWindow, always},
    {"AXFocusedUIElement", A::focusedUIElement, always},
    {"AXManualAccessibility", A::manualAccessibility, always},
    {"AXEnhancedUserInterface", A::enhancedUserInterface, always},
}};

constexpr std::array<AttributeEntry<ParameterizedAttribute>, 2> kParameterizedAttributes{{
    {"AXStringForRange", ParameterizedAttribute::stringForRange, hasText},
    {"AXBoundsForRange", ParameterizedAttribute::boundsForRange, hasText},
}};

template <class Table>
auto find(const Table& table, std::string_view name) -> const typename Table::value_type* {
  for (const auto& entry : table)
    if (entry.name == name) return &entry;
  return nullptr;
}

template <class Table>
platform::TextList offeredNames(const Table& table, const Facts& facts) {
  platform::TextList names;
  for (const auto& entry : table)
    if (entry.offered(facts)) names.emplace_back(entry.name);
  return names;
}

}  // namespace

const AttributeEntry<ObjectAttribute>* findObjectAttribute(std::string_view name) {
  return find(kObjectAttributes, name);
}

const AttributeEntry<ApplicationAttribute>* findApplicationAttribute(std::string_view name) {
  return find(kApplicationAttributes, name);
}

const AttributeEntry<ParameterizedAttribute>* findParameterizedAttribute(std::string_view name) {
  return find(kParameterizedAttributes, name);
}

platform::TextList attributeNames(const Facts& facts, bool isApplication) {
  return isApplication ? offeredNames(kApplicationAttributes, facts) : offeredNames(kObjectAttributes, facts);
}

platform::TextList parameterizedAttributeNames(const Facts& facts) {
  return offeredNames(kParameterizedAttributes, facts);
}

platform::AXError errorForDBus(std::string_view name, bool timedOut) {
  if (timedOut || name == "org.freedesktop.DBus.Error.NoReply" || name == "org.freedesktop.DBus.Error.Timeout" ||
      name == "org.freedesktop.DBus.Error.TimedOut")
    return platform::kAXErrorCannotComplete;
  // The object or its whole application is gone.
  if (name == "org.freedesktop.DBus.Error.UnknownObject" || name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
      name == "org.freedesktop.DBus.Error.NameHasNoOwner" || name == "org.freedesktop.DBus.Error.Disconnected")
    return platform::kAXErrorInvalidUIElement;
  // The object does not implement that interface or method.
  if (name == "org.freedesktop.DBus.Error.UnknownMethod" || name == "org.freedesktop.DBus.Error.UnknownInterface" ||
      name == "org.freedesktop.DBus.Error.UnknownProperty" || name == "org.freedesktop.DBus.Error.NotSupported")
    return platform::kAXErrorAttributeUnsupported;
  if (name == "org.freedesktop.DBus.Error.InvalidArgs") return platform::kAXErrorIllegalArgument;
  return platform::kAXErrorCannotComplete;
}

std::optional<std::pair<std::int32_t, std::int32_t>> atspiRange(const platform::CharacterRange& range) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  if (range.location < 0 || range.length < 0 || range.location > kMax || range.length > kMax - range.location)
    return std::nullopt;
  return std::make_pair(static_cast<std::int32_t>(range.location),
                        static_cast<std::int32_t>(range.location + range.length));
}

}  // namespace larkspire::linux_backend::atspi
