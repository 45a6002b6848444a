// The Accessibility service over the AXUIElement interface. Every call is
// synchronous: it blocks the calling thread until the other application
// answers or the messaging timeout runs out.
#include <ApplicationServices/ApplicationServices.h>

#include "platform/macos/cf_values.h"
#include "platform/macos/macos_platform.h"

namespace larkspire::macos_backend {
namespace {

platform::AXError code(::AXError error) { return static_cast<platform::AXError>(error); }

platform::NamesResult names(::AXError error, const CFHandle<CFArrayRef>& array) {
  platform::NamesResult result{code(error), std::nullopt};
  if (error != kAXErrorSuccess || !array) return result;
  platform::TextList list;
  const CFIndex count = CFArrayGetCount(array.get());
  list.reserve(static_cast<std::size_t>(count));
  for (CFIndex i = 0; i < count; ++i) {
    CFTypeRef item = CFArrayGetValueAtIndex(array.get(), i);
    if (item && CFGetTypeID(item) == CFStringGetTypeID()) list.push_back(toString(static_cast<CFStringRef>(item)));
  }
  result.names = std::move(list);
  return result;
}

// The system's default wait for another application is several seconds per
// message; a hung application would stall a walk for minutes.
constexpr float kMessagingTimeoutSeconds = 1.5f;

class MacAccessibility final : public platform::Accessibility {
 public:
  MacAccessibility() {
    // Set on the system-wide element, the timeout applies to every element.
    auto systemWide = CFHandle<AXUIElementRef>::adopt(AXUIElementCreateSystemWide());
    if (systemWide) (void)AXUIElementSetMessagingTimeout(systemWide.get(), kMessagingTimeoutSeconds);
  }

  bool isProcessTrusted() override { return AXIsProcessTrusted(); }

  bool isProcessTrustedWithOptions(bool prompt) override {
    const void* keys[] = {kAXTrustedCheckOptionPrompt};
    const void* values[] = {prompt ? kCFBooleanTrue : kCFBooleanFalse};
    auto options = CFHandle<CFDictionaryRef>::adopt(CFDictionaryCreate(
        kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    return AXIsProcessTrustedWithOptions(options.get());
  }

  platform::Element createApplication(platform::Pid pid) override {
    return adoptElement(AXUIElementCreateApplication(static_cast<pid_t>(pid)));
  }

  platform::CopyResult copyAttributeValue(const platform::Element& element, std::string_view attribute) override {
    AXUIElementRef target = elementRef(element);
    auto name = makeString(attribute);
    if (!target || !name) return {platform::kAXErrorIllegalArgument, std::nullopt};
    CFHandle<CFTypeRef> value;
    const ::AXError error = AXUIElementCopyAttributeValue(target, name.get(), value.out());
    return result(error, value);
  }

  platform::CopyResult copyParameterizedAttributeValue(const platform::Element& element, std::string_view attribute,
                                                       const platform::Value& parameter) override {
    AXUIElementRef target = elementRef(element);
    auto name = makeString(attribute);
    auto argument = toObject(parameter);
    if (!target || !name || !argument) return {platform::kAXErrorIllegalArgument, std::nullopt};
    CFHandle<CFTypeRef> value;
    const ::AXError error = AXUIElementCopyParameterizedAttributeValue(target, name.get(), argument.get(), value.out());
    return result(error, value);
  }

  platform::AXError setAttributeValue(const platform::Element& element, std::string_view attribute,
                                      const platform::Value& value) override {
    AXUIElementRef target = elementRef(element);
    auto name = makeString(attribute);
    auto object = toObject(value);
    if (!target || !name || !object) return platform::kAXErrorIllegalArgument;
    return code(AXUIElementSetAttributeValue(target, name.get(), object.get()));
  }

  platform::CountResult getAttributeValueCount(const platform::Element& element, std::string_view) override {
    // AXUIElementGetAttributeValueCount is the call for this; until the SDK
    // stub the build is checked against declares it, the walk reads the
    // children themselves, which on macOS is one message per node anyway.
    if (!elementRef(element)) return {platform::kAXErrorIllegalArgument, 0};
    return {platform::kAXErrorNotImplemented, 0};
  }

  platform::NamesResult copyActionNames(const platform::Element& element) override {
    AXUIElementRef target = elementRef(element);
    if (!target) return {platform::kAXErrorIllegalArgument, std::nullopt};
    CFHandle<CFArrayRef> array;
    const ::AXError error = AXUIElementCopyActionNames(target, array.out());
    return names(error, array);
  }

  platform::SettableResult isAttributeSettable(const platform::Element& element, std::string_view attribute) override {
    AXUIElementRef target = elementRef(element);
    auto name = makeString(attribute);
    if (!target || !name) return {platform::kAXErrorIllegalArgument, false};
    Boolean settable = false;
    const ::AXError error = AXUIElementIsAttributeSettable(target, name.get(), &settable);
    return {code(error), error == kAXErrorSuccess && settable};
  }

  platform::AXError performAction(const platform::Element& element, std::string_view action) override {
    AXUIElementRef target = elementRef(element);
    auto name = makeString(action);
    if (!target || !name) return platform::kAXErrorIllegalArgument;
    return code(AXUIElementPerformAction(target, name.get()));
  }

  platform::NamesResult copyAttributeNames(const platform::Element& element) override {
    AXUIElementRef target = elementRef(element);
    if (!target) return {platform::kAXErrorIllegalArgument, std::nullopt};
    CFHandle<CFArrayRef> array;
    const ::AXError error = AXUIElementCopyAttributeNames(target, array.out());
    return names(error, array);
  }

  platform::NamesResult copyParameterizedAttributeNames(const platform::Element& element) override {
    AXUIElementRef target = elementRef(element);
    if (!target) return {platform::kAXErrorIllegalArgument, std::nullopt};
    CFHandle<CFArrayRef> array;
    const ::AXError error = AXUIElementCopyParameterizedAttributeNames(target, array.out());
    return names(error, array);
  }

 private:
  static platform::CopyResult result(::AXError error, const CFHandle<CFTypeRef>& value) {
    platform::CopyResult out{code(error), std::nullopt};
    // Success without an object is possible and stays distinct from absent.
    if (error == kAXErrorSuccess && value) out.value = toValue(value.get());
    return out;
  }
};

}  // namespace

std::unique_ptr<platform::Accessibility> makeAccessibility() { return std::make_unique<MacAccessibility>(); }

std::optional<std::string> applicationOf(const platform::Element& element) {
  AXUIElementRef target = elementRef(element);
  pid_t pid = 0;
  if (!target || AXUIElementGetPid(target, &pid) != kAXErrorSuccess) return std::nullopt;
  return std::to_string(pid);
}

}  // namespace larkspire::macos_backend
