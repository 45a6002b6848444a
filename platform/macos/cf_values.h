// Conversions between Core Foundation objects and the platform's value
// types, and the accessibility element handle.
#pragma once

#include <ApplicationServices/ApplicationServices.h>

#include <string>
#include <string_view>

#include "platform/macos/cf_handle.h"
#include "platform/values.h"

namespace larkspire::macos_backend {

// One accessibility element. Identity is CFEqual, as the core expects.
class MacElement final : public platform::ElementRef {
 public:
  explicit MacElement(CFHandle<AXUIElementRef> element) : element_(std::move(element)) {}
  bool equals(const platform::ElementRef& other) const override;
  std::size_t hash() const override;
  AXUIElementRef get() const { return element_.get(); }

 private:
  CFHandle<AXUIElementRef> element_;
};

// Wraps an element the caller owns (Create rule).
platform::Element adoptElement(AXUIElementRef element);
// Wraps an element the caller does not own (Get rule).
platform::Element retainElement(AXUIElementRef element);
// The platform element behind a handle; null for an empty handle or one
// another backend made.
AXUIElementRef elementRef(const platform::Element& element);

// UTF-8 text of a string; characters UTF-8 cannot carry (lone surrogates)
// become '?'.
std::string toString(CFStringRef text);
// A string from UTF-8 text; null when the text is not valid UTF-8.
CFHandle<CFStringRef> makeString(std::string_view text);

// The platform value of a CF object (never null):
//   string -> text, boolean -> boolean, number -> integer or double,
//   URL -> URL (absolute), AXUIElement -> element, AXValue -> typed value,
//   array -> element list or text list (an empty array is an empty element
//   list), dictionaries, null, data, dates, attributed strings and mixed
//   arrays -> other value. Anything else is kept opaque as a text-marker
//   range: the platform has no public test for that type, and kept this way
//   the object can be handed back unchanged as a parameter.
platform::Value toValue(CFTypeRef value);
// The CF object for a platform value; null when the value has none (an
// "other" value, an element of another backend, text that is not UTF-8).
CFHandle<CFTypeRef> toObject(const platform::Value& value);

}  // namespace larkspire::macos_backend
