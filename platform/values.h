// Value types that cross the platform boundary. The core speaks the macOS
// accessibility vocabulary; every backend translates into these types.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace larkspire::platform {

using Pid = std::int32_t;

// Accessibility error codes, with the values the macOS interface uses.
using AXError = std::int32_t;
inline constexpr AXError kAXErrorSuccess = 0;
inline constexpr AXError kAXErrorFailure = -25200;
inline constexpr AXError kAXErrorIllegalArgument = -25201;
inline constexpr AXError kAXErrorInvalidUIElement = -25202;
inline constexpr AXError kAXErrorCannotComplete = -25204;
inline constexpr AXError kAXErrorAttributeUnsupported = -25205;
inline constexpr AXError kAXErrorActionUnsupported = -25206;
inline constexpr AXError kAXErrorNotImplemented = -25208;
inline constexpr AXError kAXErrorAPIDisabled = -25211;
inline constexpr AXError kAXErrorNoValue = -25212;
inline constexpr AXError kAXErrorParameterizedAttributeUnsupported = -25213;

// "Absent" is a normal answer: the element has no such attribute or no value.
inline bool isAbsentError(AXError error) { return error == kAXErrorNoValue || error == kAXErrorAttributeUnsupported; }

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

// A rectangle as the platform gives it: origin and size, possibly with a
// negative size. Use the helpers below for the normalised view.
struct Rect {
  Point origin;
  Size size;
  bool operator==(const Rect&) const = default;
};

double minX(const Rect& r);
double minY(const Rect& r);
double maxX(const Rect& r);
double maxY(const Rect& r);
double width(const Rect& r);   // never negative
double height(const Rect& r);  // never negative
double midX(const Rect& r);
double midY(const Rect& r);
bool intersects(const Rect& a, const Rect& b);  // CGRectIntersectsRect
bool containsPoint(const Rect& r, Point p);     // CGRectContainsPoint
bool isNullOrEmpty(const Rect& r);

struct CharacterRange {
  std::int64_t location = 0;
  std::int64_t length = 0;
  bool operator==(const CharacterRange&) const = default;
};

// Identity of one user-interface element, implemented per backend.
class ElementRef {
 public:
  virtual ~ElementRef() = default;
  virtual bool equals(const ElementRef& other) const = 0;
  virtual std::size_t hash() const = 0;
};

// A reference-counted handle to one accessibility element. `==` is the
// platform's element identity (CFEqual on macOS), never pointer identity.
class Element {
 public:
  Element() = default;
  explicit Element(std::shared_ptr<const ElementRef> ref) : ref_(std::move(ref)) {}

  explicit operator bool() const { return ref_ != nullptr; }
  bool operator==(const Element& other) const {
    if (!ref_ || !other.ref_) return ref_ == other.ref_;
    return ref_.get() == other.ref_.get() || ref_->equals(*other.ref_);
  }
  std::size_t hash() const { return ref_ ? ref_->hash() : 0; }
  const ElementRef* ref() const { return ref_.get(); }
  template <typename T>
  const T* as() const {
    return dynamic_cast<const T*>(ref_.get());
  }

 private:
  std::shared_ptr<const ElementRef> ref_;
};

// AXValue: a typed value holding a point, size, rectangle or character range.
enum class AXValueType : int { cgPoint = 1, cgSize = 2, cgRect = 3, cfRange = 4 };

struct AXValue {
  std::variant<Point, Size, Rect, CharacterRange> content;
  AXValueType type() const { return static_cast<AXValueType>(content.index() + 1); }
  // AXValueGetValue: succeeds only when the requested type is the stored one.
  template <typename T>
  std::optional<T> get() const {
    if (auto p = std::get_if<T>(&content)) return *p;
    return std::nullopt;
  }
  bool operator==(const AXValue&) const = default;
};

struct Url {
  std::string absoluteString;
  bool operator==(const Url&) const = default;
};

// An opaque text-marker range; only the backend that made it understands it.
struct TextMarkerRange {
  std::shared_ptr<const void> opaque;
  bool operator==(const TextMarkerRange& o) const { return opaque == o.opaque; }
};

// Some other kind of object the platform handed back (a dictionary, an array
// of mixed types...). The core never converts it; it exists so that "a value
// of the wrong type" can be represented and tested.
struct OtherValue {
  std::string description;
  bool operator==(const OtherValue&) const = default;
};

using ElementList = std::vector<Element>;
using TextList = std::vector<std::string>;

using Value = std::variant<std::string, bool, std::int64_t, double, Url, Element, ElementList, TextList, AXValue,
                           TextMarkerRange, OtherValue>;

// The outcome of one copy call: the error code beside the optional value.
// Success without a value is possible and distinct from "absent".
struct CopyResult {
  AXError error = kAXErrorSuccess;
  std::optional<Value> value;

  bool succeeded() const { return error == kAXErrorSuccess; }
  bool absent() const { return isAbsentError(error); }
  template <typename T>
  const T* get() const {
    if (error != kAXErrorSuccess || !value) return nullptr;
    return std::get_if<T>(&*value);
  }
};

struct NamesResult {
  AXError error = kAXErrorSuccess;
  std::optional<TextList> names;  // absent when the call gave nothing
};

// A permission as the core needs to tell it: granted, not granted (the
// user can grant it), or not to be had because the service that grants
// it is gone or does not answer (nothing the user could grant helps).
enum class PermissionState { granted, notGranted, serviceFailed };

// AXUIElementGetAttributeValueCount: how many values an attribute has.
struct CountResult {
  AXError error = kAXErrorSuccess;
  std::int64_t count = 0;
};

struct SettableResult {
  AXError error = kAXErrorSuccess;
  bool settable = false;
};

// An error of a platform service that the core passes through unchanged
// (shareable content, capture...). The entry reports it as unavailable.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace larkspire::platform

template <>
struct std::hash<larkspire::platform::Element> {
  std::size_t operator()(const larkspire::platform::Element& e) const noexcept { return e.hash(); }
};
