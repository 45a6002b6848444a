// Reading one element of another application: its selected text, where the
// selection is on screen, which document it belongs to, and whether it is a
// password field. Every platform failure reads as "nothing".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/accessibility.h"
#include "selection-observer/payloads.h"

namespace larkspire::observer {

using platform::Accessibility;
using platform::Element;

std::optional<std::string> stringAttribute(Accessibility& ax, const Element& element, std::string_view name);
std::optional<std::string> stringForParameter(Accessibility& ax, const Element& element, std::string_view name,
                                              const platform::Value& parameter);
// A rectangle with non-zero width and height, exactly as the platform gave it.
std::optional<platform::Rect> boundsForParameter(Accessibility& ax, const Element& element, std::string_view name,
                                                 const platform::Value& parameter);

// The selected text: never blank, at most the maximum selection length.
std::optional<std::string> selectedText(Accessibility& ax, const Element& element);
std::optional<SelectionBounds> selectionBounds(Accessibility& ax, const Element& element);
// The address of the element's document, from the element or one of its
// nearest ancestors.
std::optional<std::string> documentUrl(Accessibility& ax, const Element& element);
bool isProtectedInput(Accessibility& ax, const Element& element);
// Asks an application to expose its full accessibility tree.
void rearmAccessibility(Accessibility& ax, platform::Pid pid);

}  // namespace larkspire::observer
