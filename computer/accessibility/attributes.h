// Typed reads of accessibility attributes and the protected-content rule.
//
// Every read tells apart a value, an attribute that simply is not there
// (no value, unsupported) and a read that failed: the protection of an
// element must never be guessed from a failed read.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/json.h"
#include "platform/accessibility.h"
#include "platform/values.h"

namespace larkspire::computer {

// The outcome of reading one attribute as T (text or boolean).
template <typename T>
class AccessibilityRead {
 public:
  enum class Kind { value, absent, failed };

  static AccessibilityRead value(T v) { return AccessibilityRead(Kind::value, std::move(v)); }
  static AccessibilityRead absent() { return AccessibilityRead(Kind::absent, T{}); }
  static AccessibilityRead failed() { return AccessibilityRead(Kind::failed, T{}); }

  Kind kind() const { return kind_; }
  bool isValue() const { return kind_ == Kind::value; }
  bool isAbsent() const { return kind_ == Kind::absent; }
  bool isFailed() const { return kind_ == Kind::failed; }
  // The value; only meaningful when isValue().
  const T& get() const { return value_; }

  bool operator==(const AccessibilityRead& other) const {
    return kind_ == other.kind_ && (kind_ != Kind::value || value_ == other.value_);
  }

 private:
  AccessibilityRead(Kind kind, T v) : kind_(kind), value_(std::move(v)) {}
  Kind kind_;
  T value_;
};

// Why a tree inspection (or a protection check) gave up.
class AccessibilityInspectionFailure : public std::exception {
 public:
  enum Kind { protectedContent, incomplete, tooLarge };
  explicit AccessibilityInspectionFailure(Kind kind) : kind_(kind) {}
  Kind kind() const { return kind_; }
  const char* what() const noexcept override;

 private:
  Kind kind_;
};

// Roles of elements that can hold secret text.
const std::set<std::string, std::less<>>& secureCapableRoles();
// Roles whose visible text usually lives in descendants.
const std::set<std::string, std::less<>>& textContainerRoles();

// One attribute as text or boolean. Never throws.
template <typename T>
AccessibilityRead<T> attributeRead(platform::Accessibility& accessibility, const platform::Element& element,
                                   std::string_view attribute) {
  static_assert(std::is_same_v<T, std::string> || std::is_same_v<T, bool>, "text or boolean reads only");
  auto result = accessibility.copyAttributeValue(element, attribute);
  if (result.absent()) return AccessibilityRead<T>::absent();
  if (auto v = result.get<T>()) return AccessibilityRead<T>::value(*v);
  return AccessibilityRead<T>::failed();
}

// The attribute's text, or "" on any failure, absence or other type.
std::string string(platform::Accessibility& accessibility, const platform::Element& element,
                   std::string_view attribute);

// "AXPosition" plus "AXSize", unnormalised; none when either is unusable,
// and then `error`, when given, holds the error of the read that failed.
std::optional<platform::Rect> bounds(platform::Accessibility& accessibility, const platform::Element& element,
                                     platform::AXError* error = nullptr);

// The JSON form of a rectangle: smallest corner and non-negative size.
json::Json rectangle(const platform::Rect& rect);

// An attribute whose failure must stop the operation: none when absent,
// "COMPUTER_UNAVAILABLE" on any other failure or a success without value.
std::optional<platform::Value> checkedAttribute(platform::Accessibility& accessibility,
                                                const platform::Element& element, std::string_view attribute);

// "AXChildren": empty when absent, "COMPUTER_UNAVAILABLE" when unreadable
// or not a list of elements.
std::vector<platform::Element> children(platform::Accessibility& accessibility, const platform::Element& element);

// How many children "AXChildren" lists, without listing them: 0 when
// absent, none when the platform cannot count them, "COMPUTER_UNAVAILABLE"
// when the count failed.
std::optional<std::int64_t> childCount(platform::Accessibility& accessibility, const platform::Element& element);

// The protection rule. `role` is read at most once, and only when the
// subrole could not be read.
bool isProtectedAccessibilityElement(const std::function<AccessibilityRead<std::string>()>& role,
                                     const AccessibilityRead<std::string>& subrole,
                                     const AccessibilityRead<bool>& protectedContent);

// Whether the element must be neither inventoried nor acted on. Throws
// AccessibilityInspectionFailure(incomplete) when that cannot be decided.
bool secure(platform::Accessibility& accessibility, const platform::Element& element);

}  // namespace larkspire::computer
