#include "computer/accessibility/attributes.h"

#include <algorithm>

#include "computer/failure.h"

namespace larkspire::computer {

using platform::Accessibility;
using platform::Element;

const char* AccessibilityInspectionFailure::what() const noexcept {
  switch (kind_) {
    case protectedContent:
      return "protected content";
    case incomplete:
      return "protection state cannot be decided";
    case tooLarge:
      return "accessibility tree too large";
  }
  return "accessibility inspection failure";
}

const std::set<std::string, std::less<>>& secureCapableRoles() {
  static const std::set<std::string, std::less<>> roles{"AXTextField", "AXTextArea", "AXComboBox"};
  return roles;
}

const std::set<std::string, std::less<>>& textContainerRoles() {
  static const std::set<std::string, std::less<>> roles{"AXRow", "AXCell"};
  return roles;
}

std::string string(Accessibility& accessibility, const Element& element, std::string_view attribute) {
  auto result = accessibility.copyAttributeValue(element, attribute);
  if (auto text = result.get<std::string>()) return *text;
  return {};
}

namespace {

// A read that succeeded with a typed AXValue; none otherwise, with the
// read's error in `error` when asked for.
std::optional<platform::AXValue> axValue(Accessibility& accessibility, const Element& element,
                                         std::string_view attribute, platform::AXError* error) {
  auto result = accessibility.copyAttributeValue(element, attribute);
  if (error) *error = result.error;
  if (auto value = result.get<platform::AXValue>()) return *value;
  return std::nullopt;
}

}  // namespace

std::optional<platform::Rect> bounds(Accessibility& accessibility, const Element& element, platform::AXError* error) {
  auto position = axValue(accessibility, element, "AXPosition", error);
  if (!position) return std::nullopt;
  auto size = axValue(accessibility, element, "AXSize", error);
  if (!size) return std::nullopt;
  auto origin = position->get<platform::Point>();
  if (!origin) return std::nullopt;
  auto extent = size->get<platform::Size>();
  if (!extent) return std::nullopt;
  return platform::Rect{*origin, *extent};
}

json::Json rectangle(const platform::Rect& rect) {
  return json::Json{{"x", platform::minX(rect)},
                    {"y", platform::minY(rect)},
                    {"width", platform::width(rect)},
                    {"height", platform::height(rect)}};
}

std::optional<platform::Value> checkedAttribute(Accessibility& accessibility, const Element& element,
                                                std::string_view attribute) {
  auto result = accessibility.copyAttributeValue(element, attribute);
  if (result.succeeded()) {
    if (!result.value) fail(kUnavailable);
    return std::move(result.value);
  }
  if (result.absent()) return std::nullopt;
  fail(kUnavailable);
}

std::vector<Element> children(Accessibility& accessibility, const Element& element) {
  auto value = checkedAttribute(accessibility, element, "AXChildren");
  if (!value) return {};
  if (auto list = std::get_if<platform::ElementList>(&*value)) return std::move(*list);
  fail(kUnavailable);
}

std::optional<std::int64_t> childCount(Accessibility& accessibility, const Element& element) {
  auto result = accessibility.getAttributeValueCount(element, "AXChildren");
  if (result.error == platform::kAXErrorSuccess) return std::max<std::int64_t>(result.count, 0);
  if (platform::isAbsentError(result.error)) return 0;
  if (result.error == platform::kAXErrorNotImplemented || result.error == platform::kAXErrorIllegalArgument)
    return std::nullopt;
  fail(kUnavailable);
}

bool isProtectedAccessibilityElement(const std::function<AccessibilityRead<std::string>()>& role,
                                     const AccessibilityRead<std::string>& subrole,
                                     const AccessibilityRead<bool>& protectedContent) {
  using Failure = AccessibilityInspectionFailure;
  if (protectedContent.isFailed()) throw Failure(Failure::incomplete);
  if (protectedContent.isValue() && protectedContent.get()) return true;
  if (subrole.isAbsent()) return false;
  if (subrole.isValue()) return subrole.get() == "AXSecureTextField";
  // The subrole is unknown: only the role can tell whether this element
  // could be a password field at all.
  auto r = role();
  if (r.isValue() && !r.get().empty()) {
    if (secureCapableRoles().count(r.get()) != 0) throw Failure(Failure::incomplete);
    return false;
  }
  throw Failure(Failure::incomplete);
}

bool secure(Accessibility& accessibility, const Element& element) {
  auto subrole = attributeRead<std::string>(accessibility, element, "AXSubrole");
  auto protectedContent = attributeRead<bool>(accessibility, element, "AXProtectedContent");
  return isProtectedAccessibilityElement([&] { return attributeRead<std::string>(accessibility, element, "AXRole"); },
                                         subrole, protectedContent);
}

}  // namespace larkspire::computer
