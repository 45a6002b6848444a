// What one batch of calls told about an AT-SPI object, and the rules that
// read it: which windows count, which has the focus, where the focus search
// goes, what inherits a password entry's protection, which rectangles mean
// something, where the caret is. Plain C++, unit-tested; element.cpp and
// accessibility.cpp do the reading.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/atspi/translate.h"

namespace larkspire::linux_backend::atspi {

inline constexpr const char* kRootPath = "/org/a11y/atspi/accessible/root";
inline constexpr const char* kNullPath = "/org/a11y/atspi/null";

struct Snapshot {
  platform::AXError error = platform::kAXErrorSuccess;  // the object itself could not be read
  Facts facts;
  // Absent when there is no Component; unusable when not showing.
  std::optional<Extents> extents;
  std::vector<std::string> actions;
  std::string parentBus;
  std::string parentPath;
  std::optional<std::int32_t> childCount;
  double at = 0;  // when it was read, in seconds on the bus port's clock
  // Read later than the rest, and only where asked for: the extents and
  // actions (`detailed`), the description (`described`).
  bool detailed = false;
  bool described = false;
  // Why the extents, actions or description could not be had, when the
  // application did not answer or the object is gone: a read of them
  // fails the same way instead of reporting nothing.
  platform::AXError extentsError = platform::kAXErrorSuccess;
  platform::AXError actionsError = platform::kAXErrorSuccess;
  platform::AXError descriptionError = platform::kAXErrorSuccess;
};

// A failed read that says nothing about the value: no answer, or no
// object any more.
bool readLost(platform::AXError error);

// Windows of an application that the user can see or has minimised:
// toolkits keep hidden windows in the tree.
bool listedWindow(const States& states);
// The window of those that has the focus.
bool focusedWindow(const States& states);
// A direct child of its application's root is a top-level window.
bool topLevel(const Snapshot& s, const std::string& busName, bool isApplication);
// Whether an object's extents are worth a call: it has a Component and is
// on screen (GTK reports INT32_MIN for what is not showing anyway);
// windows are asked whatever their state.
bool wantsExtents(const Snapshot& s);
// The object's rectangle on screen, when it has a usable one.
std::optional<Extents> screenRectangle(const Snapshot& s);
// Whether the object names a parent (the null object means none).
bool hasParent(const Snapshot& s);
bool enabled(const States& states);

// Objects that may carry text worth guarding when they sit in a password
// entry.
bool textCapable(Role role);
// Whether the facts still need the password-entry ancestry settled by
// reading ancestors: only text that is not itself password text, and only
// when the walk did not tell already.
bool needsSecureAncestry(const Facts& facts, std::optional<bool> known);
// What a child made while reading `parent` knows of its protection: nothing
// below an application; inside, below a password entry; else what its
// parent knows.
std::optional<bool> childInsideSecure(bool parentIsApplication, const Snapshot& parent,
                                      std::optional<bool> parentInsideSecure);

// One node of the search for the focused element in a window.
enum class FocusStep {
  found,    // this is it
  skip,     // not showing: the focus is never below it
  descend,  // look at its children
};
FocusStep focusStep(const States& states, bool isWindow);
// Whether what lies below a node is inside a password entry.
bool secureBelow(bool insideSecure, Role role);

// The first selection of a text, in order, when the text reports one.
std::optional<std::pair<std::int32_t, std::int32_t>> firstSelection(
    std::int32_t count, std::optional<std::pair<std::int32_t, std::int32_t>> first);
// The caret as an empty range, when the text has one.
std::optional<std::pair<std::int32_t, std::int32_t>> caretRange(std::optional<std::int32_t> caretOffset);

}  // namespace larkspire::linux_backend::atspi
