// What AT-SPI2 objects mean in the accessibility vocabulary the core speaks.
// Plain C++ over facts already read from the bus, so that unit tests can
// drive every rule without a desktop; the D-Bus calls live in dbus/accessibility_bus.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/values.h"

namespace larkspire::linux_backend::atspi {

// AT-SPI role numbers (AtspiRole) and state bits (AtspiStateType) come from
// <atspi/atspi-constants.h>; this header keeps them as plain integers.
using Role = std::uint32_t;

// The 64-bit state set, as GetState returns it in two 32-bit words.
class States {
 public:
  States() = default;
  explicit States(std::uint64_t bits) : bits_(bits) {}
  static States fromWords(const std::vector<std::uint32_t>& words);
  bool has(int state) const { return state >= 0 && state < 64 && ((bits_ >> state) & 1u) != 0; }
  States with(int state) const { return States(bits_ | (std::uint64_t{1} << state)); }
  std::uint64_t bits() const { return bits_; }

 private:
  std::uint64_t bits_ = 0;
};

// The AT-SPI interfaces an object implements (GetInterfaces), as flags.
enum Interface : std::uint32_t {
  kAccessible = 1u << 0,
  kAction = 1u << 1,
  kComponent = 1u << 2,
  kText = 1u << 3,
  kEditableText = 1u << 4,
  kValue = 1u << 5,
  kDocument = 1u << 6,
  kApplication = 1u << 7,
  kCollection = 1u << 8,
  kSelection = 1u << 9,
  kHypertext = 1u << 10,
};
std::uint32_t interfaceFlags(const std::vector<std::string>& names);

// Component.GetExtents in screen coordinates.
struct Extents {
  std::int32_t x = 0, y = 0, width = 0, height = 0;
};
// Widgets that are not on screen report (INT32_MIN, INT32_MIN, ...): no
// usable rectangle.
bool usableExtents(const Extents& e);

// Everything the translation needs to know about one object.
struct Facts {
  Role role = 0;
  States states;
  std::uint32_t interfaces = 0;
  std::string name;
  std::string description;
  // A direct child of the application: a top-level window whatever its role.
  bool topLevel = false;
  // Lies inside a password entry (some toolkits put a plain text object in
  // one): protected like the entry itself.
  bool insideSecure = false;
};

// The "AX..." role of an object. Top-level objects are always "AXWindow".
std::string_view axRole(const Facts& facts);
// The role alone, as the table gives it (for tests and documentation).
std::string_view axRoleForAtspiRole(Role role, States states);
// "AXSecureTextField" for password text (and text inside it), "AXToggle"
// for toggle buttons, "AXTabButton" for page tabs; none otherwise.
std::optional<std::string_view> axSubrole(const Facts& facts);
// True for password entries and anything inside one; none otherwise (the
// attribute is absent rather than false, as for most macOS elements).
std::optional<bool> protectedContent(const Facts& facts);
// Whether this role may carry text worth guarding when it sits in a
// password entry.
bool isPasswordRole(Role role);

// How AXValue reads for this object.
enum class ValueSource { none, text, numeric, checkState };
ValueSource valueSource(const Facts& facts);
// AXValue is settable through EditableText (editable, not read-only) or a
// Value whose role is adjustable by the user.
bool valueSettable(const Facts& facts);

// Action names. The default activation action of an object becomes
// "AXPress" (once, the first one wins); a few well-known secondary actions
// get their macOS names; everything else is dropped so that callers only
// ever see our vocabulary. `index` is the AT-SPI action index to invoke.
struct MappedAction {
  std::string name;
  std::int32_t index = 0;
};
std::vector<MappedAction> mapActions(const Facts& facts, const std::vector<std::string>& atspiNames);

// The attributes objects and applications have, in our vocabulary. One
// table each gives the name, whether an object offers it, and whether
// deciding that or reading it needs the password-entry ancestry settled
// (Facts::insideSecure, which costs calls when not known). The names an
// object lists and the attributes it answers come from the same table.
enum class ObjectAttribute {
  role,
  subrole,
  title,
  description,
  parent,
  children,
  position,
  size,
  enabled,
  focused,
  value,
  numberOfCharacters,
  selectedText,
  selectedTextRange,
  url,
  protectedContent,
};
enum class ApplicationAttribute {
  role,
  subrole,
  title,
  description,
  parent,
  children,
  windows,
  focusedWindow,
  focusedUIElement,
  manualAccessibility,
  enhancedUserInterface,
};
enum class ParameterizedAttribute { stringForRange, boundsForRange };

template <class Id>
struct AttributeEntry {
  std::string_view name;
  Id id;
  bool (*offered)(const Facts& facts);
  bool needsAncestry = false;
};
const AttributeEntry<ObjectAttribute>* findObjectAttribute(std::string_view name);
const AttributeEntry<ApplicationAttribute>* findApplicationAttribute(std::string_view name);
const AttributeEntry<ParameterizedAttribute>* findParameterizedAttribute(std::string_view name);

// The attribute names an object offers, in the order of its table.
platform::TextList attributeNames(const Facts& facts, bool isApplication);
platform::TextList parameterizedAttributeNames(const Facts& facts);

// A D-Bus error (its error name, or the GIO error when the call never got a
// reply) in the platform's error codes.
platform::AXError errorForDBus(std::string_view dbusErrorName, bool timedOut);

// Character ranges: AT-SPI offsets count Unicode characters (code points),
// not UTF-16 units. Ranges pass through unchanged: a range read from an
// element is only ever given back to the same element. This checks that a
// range fits AT-SPI's 32-bit offsets and gives the [start, end) pair.
std::optional<std::pair<std::int32_t, std::int32_t>> atspiRange(const platform::CharacterRange& range);

}  // namespace larkspire::linux_backend::atspi
