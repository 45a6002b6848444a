#include "platform/macos/cf_values.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <variant>

namespace larkspire::macos_backend {
namespace {

using ObjectHandle = CFHandle<CFTypeRef>;

template <typename T>
ObjectHandle erase(const CFHandle<T>& typed) {
  return ObjectHandle::retain(typed.get());
}

platform::Value otherValue(CFTypeRef value) {
  auto description = CFHandle<CFStringRef>::adopt(CFCopyDescription(value));
  return platform::Value(std::in_place_type<platform::OtherValue>,
                         platform::OtherValue{description ? toString(description.get()) : std::string()});
}

platform::Value opaqueValue(CFTypeRef value) {
  // The shared pointer holds one reference of the object itself.
  std::shared_ptr<const void> kept(CFRetain(value), [](const void* object) { CFRelease(object); });
  return platform::Value(std::in_place_type<platform::TextMarkerRange>, platform::TextMarkerRange{std::move(kept)});
}

platform::Value typedValue(platform::AXValue value) {
  return platform::Value(std::in_place_type<platform::AXValue>, std::move(value));
}

platform::Value axValue(AXValueRef value) {
  switch (AXValueGetType(value)) {
    case kAXValueTypeCGPoint: {
      CGPoint point{};
      if (AXValueGetValue(value, kAXValueTypeCGPoint, &point)) {
        return typedValue(platform::AXValue{platform::Point{point.x, point.y}});
      }
      break;
    }
    case kAXValueTypeCGSize: {
      CGSize size{};
      if (AXValueGetValue(value, kAXValueTypeCGSize, &size)) {
        return typedValue(platform::AXValue{platform::Size{size.width, size.height}});
      }
      break;
    }
    case kAXValueTypeCGRect: {
      CGRect rect{};
      if (AXValueGetValue(value, kAXValueTypeCGRect, &rect)) {
        return typedValue(platform::AXValue{platform::Rect{platform::Point{rect.origin.x, rect.origin.y},
                                                           platform::Size{rect.size.width, rect.size.height}}});
      }
      break;
    }
    case kAXValueTypeCFRange: {
      CFRange range{};
      if (AXValueGetValue(value, kAXValueTypeCFRange, &range)) {
        return typedValue(platform::AXValue{platform::CharacterRange{range.location, range.length}});
      }
      break;
    }
    default:
      break;
  }
  return otherValue(value);
}

platform::Value arrayValue(CFArrayRef array) {
  const CFIndex count = CFArrayGetCount(array);
  if (count == 0) return platform::Value(std::in_place_type<platform::ElementList>);
  const CFTypeID elementType = AXUIElementGetTypeID();
  const CFTypeID stringType = CFStringGetTypeID();
  CFTypeRef first = CFArrayGetValueAtIndex(array, 0);
  if (first && CFGetTypeID(first) == elementType) {
    platform::ElementList elements;
    elements.reserve(static_cast<std::size_t>(count));
    for (CFIndex i = 0; i < count; ++i) {
      CFTypeRef item = CFArrayGetValueAtIndex(array, i);
      if (!item || CFGetTypeID(item) != elementType) return otherValue(array);
      elements.push_back(retainElement(static_cast<AXUIElementRef>(item)));
    }
    return platform::Value(std::in_place_type<platform::ElementList>, std::move(elements));
  }
  if (first && CFGetTypeID(first) == stringType) {
    platform::TextList texts;
    texts.reserve(static_cast<std::size_t>(count));
    for (CFIndex i = 0; i < count; ++i) {
      CFTypeRef item = CFArrayGetValueAtIndex(array, i);
      if (!item || CFGetTypeID(item) != stringType) return otherValue(array);
      texts.push_back(toString(static_cast<CFStringRef>(item)));
    }
    return platform::Value(std::in_place_type<platform::TextList>, std::move(texts));
  }
  return otherValue(array);
}

platform::Value numberValue(CFNumberRef number) {
  if (CFNumberIsFloatType(number)) {
    double value = 0;
    CFNumberGetValue(number, kCFNumberDoubleType, &value);
    return platform::Value(std::in_place_type<double>, value);
  }
  std::int64_t value = 0;
  CFNumberGetValue(number, kCFNumberSInt64Type, &value);
  return platform::Value(std::in_place_type<std::int64_t>, value);
}

platform::Value urlValue(CFURLRef url) {
  auto absolute = CFHandle<CFURLRef>::adopt(CFURLCopyAbsoluteURL(url));
  CFStringRef text = CFURLGetString(absolute ? absolute.get() : url);
  return platform::Value(std::in_place_type<platform::Url>, platform::Url{text ? toString(text) : std::string()});
}

ObjectHandle axValueObject(const platform::AXValue& value) {
  if (auto point = std::get_if<platform::Point>(&value.content)) {
    CGPoint p = CGPointMake(point->x, point->y);
    return ObjectHandle::adopt(AXValueCreate(kAXValueTypeCGPoint, &p));
  }
  if (auto size = std::get_if<platform::Size>(&value.content)) {
    CGSize s = CGSizeMake(size->width, size->height);
    return ObjectHandle::adopt(AXValueCreate(kAXValueTypeCGSize, &s));
  }
  if (auto rect = std::get_if<platform::Rect>(&value.content)) {
    CGRect r = CGRectMake(rect->origin.x, rect->origin.y, rect->size.width, rect->size.height);
    return ObjectHandle::adopt(AXValueCreate(kAXValueTypeCGRect, &r));
  }
  const auto& range = std::get<platform::CharacterRange>(value.content);
  CFRange r = CFRangeMake(static_cast<CFIndex>(range.location), static_cast<CFIndex>(range.length));
  return ObjectHandle::adopt(AXValueCreate(kAXValueTypeCFRange, &r));
}

}  // namespace

bool MacElement::equals(const platform::ElementRef& other) const {
  auto mac = dynamic_cast<const MacElement*>(&other);
  return mac && get() && mac->get() && CFEqual(get(), mac->get());
}

std::size_t MacElement::hash() const { return get() ? static_cast<std::size_t>(CFHash(get())) : 0; }

platform::Element adoptElement(AXUIElementRef element) {
  if (!element) return platform::Element();
  return platform::Element(std::make_shared<MacElement>(CFHandle<AXUIElementRef>::adopt(element)));
}

platform::Element retainElement(AXUIElementRef element) {
  if (!element) return platform::Element();
  return platform::Element(std::make_shared<MacElement>(CFHandle<AXUIElementRef>::retain(element)));
}

AXUIElementRef elementRef(const platform::Element& element) {
  auto mac = element.as<MacElement>();
  return mac ? mac->get() : nullptr;
}

std::string toString(CFStringRef text) {
  if (!text) return {};
  const CFRange whole = CFRangeMake(0, CFStringGetLength(text));
  CFIndex bytes = 0;
  CFStringGetBytes(text, whole, kCFStringEncodingUTF8, '?', false, nullptr, 0, &bytes);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  if (bytes > 0) {
    CFStringGetBytes(text, whole, kCFStringEncodingUTF8, '?', false, reinterpret_cast<UInt8*>(out.data()), bytes,
                     &bytes);
    out.resize(static_cast<std::size_t>(bytes));
  }
  return out;
}

CFHandle<CFStringRef> makeString(std::string_view text) {
  return CFHandle<CFStringRef>::adopt(
      CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                              static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
}

platform::Value toValue(CFTypeRef value) {
  const CFTypeID type = CFGetTypeID(value);
  if (type == CFStringGetTypeID()) {
    return platform::Value(std::in_place_type<std::string>, toString(static_cast<CFStringRef>(value)));
  }
  if (type == CFBooleanGetTypeID()) {
    return platform::Value(std::in_place_type<bool>, CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0);
  }
  if (type == CFNumberGetTypeID()) return numberValue(static_cast<CFNumberRef>(value));
  if (type == CFURLGetTypeID()) return urlValue(static_cast<CFURLRef>(value));
  if (type == AXUIElementGetTypeID()) {
    return platform::Value(std::in_place_type<platform::Element>, retainElement(static_cast<AXUIElementRef>(value)));
  }
  if (type == AXValueGetTypeID()) return axValue(static_cast<AXValueRef>(value));
  if (type == CFArrayGetTypeID()) return arrayValue(static_cast<CFArrayRef>(value));
  if (type == CFDictionaryGetTypeID() || type == CFNullGetTypeID() || type == CFDataGetTypeID() ||
      type == CFDateGetTypeID() || type == CFAttributedStringGetTypeID()) {
    return otherValue(value);
  }
  return opaqueValue(value);
}

CFHandle<CFTypeRef> toObject(const platform::Value& value) {
  if (auto text = std::get_if<std::string>(&value)) return erase(makeString(*text));
  if (auto flag = std::get_if<bool>(&value)) return ObjectHandle::retain(*flag ? kCFBooleanTrue : kCFBooleanFalse);
  if (auto integer = std::get_if<std::int64_t>(&value)) {
    std::int64_t n = *integer;
    return ObjectHandle::adopt(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &n));
  }
  if (auto real = std::get_if<double>(&value)) {
    double d = *real;
    return ObjectHandle::adopt(CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &d));
  }
  if (auto url = std::get_if<platform::Url>(&value)) {
    auto text = makeString(url->absoluteString);
    if (!text) return {};
    return ObjectHandle::adopt(CFURLCreateWithString(kCFAllocatorDefault, text.get(), nullptr));
  }
  if (auto element = std::get_if<platform::Element>(&value)) return ObjectHandle::retain(elementRef(*element));
  if (auto elements = std::get_if<platform::ElementList>(&value)) {
    auto array = CFHandle<CFMutableArrayRef>::adopt(
        CFArrayCreateMutable(kCFAllocatorDefault, static_cast<CFIndex>(elements->size()), &kCFTypeArrayCallBacks));
    if (!array) return {};
    for (const auto& item : *elements) {
      AXUIElementRef ref = elementRef(item);
      if (!ref) return {};
      CFArrayAppendValue(array.get(), ref);
    }
    return erase(array);
  }
  if (auto texts = std::get_if<platform::TextList>(&value)) {
    auto array = CFHandle<CFMutableArrayRef>::adopt(
        CFArrayCreateMutable(kCFAllocatorDefault, static_cast<CFIndex>(texts->size()), &kCFTypeArrayCallBacks));
    if (!array) return {};
    for (const auto& item : *texts) {
      auto text = makeString(item);
      if (!text) return {};
      CFArrayAppendValue(array.get(), text.get());
    }
    return erase(array);
  }
  if (auto typed = std::get_if<platform::AXValue>(&value)) return axValueObject(*typed);
  if (auto marker = std::get_if<platform::TextMarkerRange>(&value)) return ObjectHandle::retain(marker->opaque.get());
  return {};  // an "other" value has no platform object
}

}  // namespace larkspire::macos_backend
