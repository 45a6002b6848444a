#include "computer/accessibility/inspection.h"

#include <cmath>

#include "computer/failure.h"

namespace larkspire::computer {

using platform::Accessibility;
using platform::Element;

const std::map<std::string, std::string, std::less<>>& windowButtonNames() {
  static const std::map<std::string, std::string, std::less<>> names{
      {"AXCloseButton", "Close window"},
      {"AXMinimizeButton", "Minimize window"},
      {"AXZoomButton", "Zoom window"},
      {"AXFullScreenButton", "Full screen"},
  };
  return names;
}

namespace {

constexpr int kDescendantTextNodes = 12;

// Platform text goes into responses, which must be valid UTF-8.
std::string cleanName(std::string_view text) {
  return text::graphemePrefix(text::sanitizeUtf8(text), kMaximumNameLength);
}

bool finite(const platform::Rect& r) {
  return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
         std::isfinite(r.size.height);
}

std::string elementName(Accessibility& accessibility, const Element& element, const std::string& role) {
  auto title = string(accessibility, element, "AXTitle");
  std::string name = cleanName(title.empty() ? string(accessibility, element, "AXDescription") : title);
  if (!name.empty()) return name;

  auto subrole = string(accessibility, element, "AXSubrole");
  auto button = windowButtonNames().find(subrole);
  if (button != windowButtonNames().end()) return button->second;

  if (textContainerRoles().count(role) != 0) {
    auto descendants = [&](const Element& e) -> std::vector<Element> {
      try {
        return children(accessibility, e);
      } catch (const NativeFailure&) {
        return {};
      }
    };
    auto text = [&](const Element& e) -> std::string {
      auto r = string(accessibility, e, "AXRole");
      if (r == "AXStaticText" || r == "AXTextField") return string(accessibility, e, "AXValue");
      return {};
    };
    return cleanName(firstDescendantText(element, kDescendantTextNodes, descendants, text));
  }
  return {};
}

std::vector<std::string> actionNames(Accessibility& accessibility, const Element& element) {
  auto result = accessibility.copyActionNames(element);
  std::vector<std::string> names;
  if (result.error != platform::kAXErrorSuccess || !result.names) return names;
  names.reserve(result.names->size());
  for (const auto& name : *result.names) names.push_back(text::sanitizeUtf8(name));
  return names;
}

bool editable(Accessibility& accessibility, const Element& element) {
  auto result = accessibility.isAttributeSettable(element, "AXValue");
  return result.error == platform::kAXErrorSuccess && result.settable;
}

}  // namespace

InspectedElements inspect(Accessibility& accessibility, const Element& window, const platform::Rect& windowBounds) {
  InspectedElements inspected;
  auto describe = [&](const Element& element, const NodePath&, std::size_t index) -> std::optional<json::Json> {
    auto role = string(accessibility, element, "AXRole");
    auto name = elementName(accessibility, element, role);
    auto actions = actionNames(accessibility, element);
    bool isEditable = editable(accessibility, element);
    if (name.empty() && actions.empty() && !isEditable) return std::nullopt;

    std::string ref = "e" + std::to_string(index + 1);
    json::Json record{{"ref", ref},
                      {"role", text::sanitizeUtf8(role)},
                      {"name", name},
                      {"actions", actions},
                      {"editable", isEditable}};
    // A rectangle with infinite or undefined values would not survive JSON.
    auto own = bounds(accessibility, element);
    if (own && finite(*own) && platform::intersects(*own, windowBounds)) record["bounds"] = rectangle(*own);
    inspected.references[ref] = element;
    return record;
  };
  auto countOf = [&](const Element& element) { return childCount(accessibility, element); };
  auto childrenOf = [&](const Element& element) { return children(accessibility, element); };
  auto isProtected = [&](const Element& element) { return secure(accessibility, element); };

  try {
    inspected.nodes = inspectAccessibilityTree<json::Json>(window, AccessibilityInspectionLimits{}, countOf, childrenOf,
                                                           isProtected, describe);
  } catch (const AccessibilityInspectionFailure& failure) {
    switch (failure.kind()) {
      case AccessibilityInspectionFailure::protectedContent:
        fail(kAccessDenied);
      case AccessibilityInspectionFailure::incomplete:
        fail(kUnavailable);
      case AccessibilityInspectionFailure::tooLarge:
        fail(kWindowTooComplex);
    }
    fail(kUnavailable);
  }
  return inspected;
}

}  // namespace larkspire::computer
