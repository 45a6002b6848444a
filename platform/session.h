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
  // seems connected is asked for a fresh answer over a connection of its
  // own, which takes up to a couple of seconds and may be done from any
  // thread, also while another is stuck in a call to the desktop. Without,
  // the connection in use is checked, which may wait on a stopped server
  // like any other call.
  virtual std::optional<std::string> desktopGone(bool probe) {
    (void)probe;
    return std::nullopt;
  }
};

}  // namespace larkspire::platform
