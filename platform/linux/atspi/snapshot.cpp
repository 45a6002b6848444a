#include "platform/linux/atspi/snapshot.h"

#include <atspi/atspi-constants.h>

namespace larkspire::linux_backend::atspi {

bool listedWindow(const States& states) { return states.has(ATSPI_STATE_VISIBLE) || states.has(ATSPI_STATE_ICONIFIED); }

bool focusedWindow(const States& states) { return states.has(ATSPI_STATE_ACTIVE); }

bool topLevel(const Snapshot& s, const std::string& busName, bool isApplication) {
  return !isApplication && s.parentPath == kRootPath && s.parentBus == busName;
}

bool wantsExtents(const Snapshot& s) {
  if (!(s.facts.interfaces & kComponent)) return false;
  return s.facts.states.has(ATSPI_STATE_SHOWING) || s.facts.states.has(ATSPI_STATE_ICONIFIED) ||
         s.parentPath == kRootPath;
}

std::optional<Extents> screenRectangle(const Snapshot& s) {
  if (s.extents && usableExtents(*s.extents)) return s.extents;
  return std::nullopt;
}

bool readLost(platform::AXError error) {
  return error == platform::kAXErrorCannotComplete || error == platform::kAXErrorInvalidUIElement;
}

bool hasParent(const Snapshot& s) { return !s.parentBus.empty() && s.parentPath != kNullPath; }

bool enabled(const States& states) { return states.has(ATSPI_STATE_ENABLED) || states.has(ATSPI_STATE_SENSITIVE); }

bool textCapable(Role role) {
  switch (role) {
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_PASSWORD_TEXT:
      return true;
    default:
      return false;
  }
}

bool needsSecureAncestry(const Facts& facts, std::optional<bool> known) {
  return !known && textCapable(facts.role) && !isPasswordRole(facts.role);
}

std::optional<bool> childInsideSecure(bool parentIsApplication, const Snapshot& parent,
                                      std::optional<bool> parentInsideSecure) {
  if (parentIsApplication) return false;
  if (parent.error == platform::kAXErrorSuccess && isPasswordRole(parent.facts.role)) return true;
  return parentInsideSecure;
}

FocusStep focusStep(const States& states, bool isWindow) {
  if (states.has(ATSPI_STATE_FOCUSED)) return FocusStep::found;
  if (!isWindow && !states.has(ATSPI_STATE_SHOWING)) return FocusStep::skip;
  return FocusStep::descend;
}

bool secureBelow(bool insideSecure, Role role) { return insideSecure || isPasswordRole(role); }

std::optional<std::pair<std::int32_t, std::int32_t>> firstSelection(
    std::int32_t count, std::optional<std::pair<std::int32_t, std::int32_t>> first) {
  if (count <= 0 || !first) return std::nullopt;
  if (first->second < first->first) std::swap(first->first, first->second);
  return first;
}

std::optional<std::pair<std::int32_t, std::int32_t>> caretRange(std::optional<std::int32_t> caretOffset) {
  if (!caretOffset || *caretOffset < 0) return std::nullopt;
  return std::make_pair(*caretOffset, *caretOffset);
}

}  // namespace larkspire::linux_backend::atspi
