// The login session's state.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/values.h"

namespace larkspire::platform {

class Session {
 public:
  virtual ~Session() = default;
  // The current session dictionary (CGSessionCopyCurrentDictionary), or none.
  // Keys as on macOS, for example "CGSSessionScreenIsLocked".
  virtual std::optional<std::map<std::string, Value>> currentDictionary() = 0;
};

}  // namespace larkspire::platform
