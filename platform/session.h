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

  // Why the desktop this process serves is over: its display server gone
  // or not answering, its session bus gone. None while it goes on (and on
  // platforms that cannot tell). With `probe`, a display server that still
  // seems connected is asked for a fresh answer, which takes up to a couple
  // of seconds; without, only what is already known counts. Callable from
  // any thread, also while another is stuck in a call to the desktop.
  virtual std::optional<std::string> desktopGone(bool probe) {
    (void)probe;
    return std::nullopt;
  }
};

}  // namespace larkspire::platform
