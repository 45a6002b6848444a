// The login session's state from the window server.
#include <ApplicationServices/ApplicationServices.h>

#include "platform/macos/cf_values.h"
#include "platform/macos/macos_platform.h"

namespace larkspire::macos_backend {
namespace {

class MacSession final : public platform::Session {
 public:
  std::optional<std::map<std::string, platform::Value>> currentDictionary() override {
    auto dictionary = CFHandle<CFDictionaryRef>::adopt(CGSessionCopyCurrentDictionary());
    if (!dictionary) return std::nullopt;
    const CFIndex count = CFDictionaryGetCount(dictionary.get());
    std::vector<const void*> keys(static_cast<std::size_t>(count));
    std::vector<const void*> values(static_cast<std::size_t>(count));
    if (count > 0) CFDictionaryGetKeysAndValues(dictionary.get(), keys.data(), values.data());
    std::map<std::string, platform::Value> entries;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (!keys[i] || !values[i] || CFGetTypeID(keys[i]) != CFStringGetTypeID()) continue;
      entries.emplace(toString(static_cast<CFStringRef>(keys[i])), toValue(values[i]));
    }
    return entries;
  }
};

}  // namespace

std::unique_ptr<platform::Session> makeSession() { return std::make_unique<MacSession>(); }

}  // namespace larkspire::macos_backend
