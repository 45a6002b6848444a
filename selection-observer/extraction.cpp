#include "selection-observer/extraction.h"

#include "common/text.h"
#include "selection-observer/constants.h"

namespace larkspire::observer {
namespace {

using platform::AXValue;
using platform::CopyResult;

std::optional<std::string> textOf(const CopyResult& result) {
  if (auto s = result.get<std::string>()) return *s;
  return std::nullopt;
}

// A selection candidate counts only when it is not blank; it is returned
// untrimmed, cut to the longest selection we report.
std::optional<std::string> usable(const std::optional<std::string>& candidate) {
  if (!candidate || text::isBlank(*candidate)) return std::nullopt;
  return text::graphemePrefix(*candidate, maximumSelectionLength);
}

SelectionBounds toBounds(const platform::Rect& r) {
  return SelectionBounds{r.origin.x, r.origin.y, r.size.width, r.size.height};
}

}  // namespace

std::optional<std::string> stringAttribute(Accessibility& ax, const Element& element, std::string_view name) {
  return textOf(ax.copyAttributeValue(element, name));
}

std::optional<std::string> stringForParameter(Accessibility& ax, const Element& element, std::string_view name,
                                              const platform::Value& parameter) {
  return textOf(ax.copyParameterizedAttributeValue(element, name, parameter));
}

std::optional<platform::Rect> boundsForParameter(Accessibility& ax, const Element& element, std::string_view name,
                                                 const platform::Value& parameter) {
  auto result = ax.copyParameterizedAttributeValue(element, name, parameter);
  auto value = result.get<AXValue>();
  if (!value) return std::nullopt;
  auto rect = value->get<platform::Rect>();
  if (!rect || !(platform::width(*rect) > 0) || !(platform::height(*rect) > 0)) return std::nullopt;
  return rect;
}

std::optional<std::string> selectedText(Accessibility& ax, const Element& element) {
  if (auto text = usable(stringAttribute(ax, element, "AXSelectedText"))) return text;

  auto range = ax.copyAttributeValue(element, "AXSelectedTextRange");
  if (auto value = range.get<AXValue>()) {
    if (auto text = usable(stringForParameter(ax, element, "AXStringForRange", *value))) return text;
  }

  auto marker = ax.copyAttributeValue(element, "AXSelectedTextMarkerRange");
  if (marker.succeeded() && marker.value) {
    if (auto text = usable(stringForParameter(ax, element, "AXStringForTextMarkerRange", *marker.value))) return text;
  }
  return std::nullopt;
}

std::optional<SelectionBounds> selectionBounds(Accessibility& ax, const Element& element) {
  auto range = ax.copyAttributeValue(element, "AXSelectedTextRange");
  if (auto value = range.get<AXValue>()) {
    if (auto rect = boundsForParameter(ax, element, "AXBoundsForRange", *value)) return toBounds(*rect);
  }
  auto marker = ax.copyAttributeValue(element, "AXSelectedTextMarkerRange");
  if (marker.succeeded() && marker.value) {
    if (auto rect = boundsForParameter(ax, element, "AXBoundsForTextMarkerRange", *marker.value)) {
      return toBounds(*rect);
    }
  }
  return std::nullopt;
}

std::optional<std::string> documentUrl(Accessibility& ax, const Element& element) {
  Element current = element;
  for (int hops = 0;; ++hops) {
    auto url = ax.copyAttributeValue(current, "AXURL");
    if (auto address = url.get<platform::Url>()) return address->absoluteString;
    if (auto text = url.get<std::string>()) return *text;
    auto parent = ax.copyAttributeValue(current, "AXParent");
    auto next = parent.get<Element>();
    if (!next || !*next) return std::nullopt;
    if (hops >= maximumUrlAncestorHops) return std::nullopt;
    current = *next;
  }
}

bool isProtectedInput(Accessibility& ax, const Element& element) {
  if (stringAttribute(ax, element, "AXSubrole") == std::optional<std::string>("AXSecureTextField")) return true;
  auto protectedContent = ax.copyAttributeValue(element, "AXProtectedContent");
  if (auto flag = protectedContent.get<bool>()) return *flag;
  return false;
}

void rearmAccessibility(Accessibility& ax, platform::Pid pid) {
  auto application = ax.createApplication(pid);
  ax.setAttributeValue(application, "AXManualAccessibility", true);
  ax.setAttributeValue(application, "AXEnhancedUserInterface", true);
}

}  // namespace larkspire::observer
