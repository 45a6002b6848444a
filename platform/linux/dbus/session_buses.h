// The session bus and the accessibility bus the Linux services share.
//
// Each is connected on first use, and only from what the environment
// names: the session bus from $DBUS_SESSION_BUS_ADDRESS (never
// autolaunched: a helper must not start daemons on a machine that has no
// session), the accessibility bus from the address org.a11y.Bus gives on
// the session bus. Each D-Bus exchange has a short timeout, so a hung bus
// makes an answer false instead of a helper that never answers.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>

#include "platform/linux/handles.h"

namespace larkspire::linux_backend {

class SessionBuses {
 public:
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;

  // The session bus, connected to again after it closed; each exchange
  // bounded by what is left before `deadline`.
  GDBusConnection* sessionBus(Deadline deadline);
  // The accessibility bus of the session (never started here).
  GDBusConnection* accessibilityBus(Deadline deadline);
  // The session bus was connected once and is gone now.
  bool sessionBusLost();
  // Lets both connections go.
  void disconnect();

 private:
  std::mutex mutex_;
  Object<GDBusConnection> session_;
  Object<GDBusConnection> accessibility_;
  // After a failed attempt a bus is not tried again before this time, so
  // that a bus that is stuck costs one timeout now and then, not one per
  // call.
  std::chrono::steady_clock::time_point sessionRetryAt_{};
  bool sessionWasConnected_ = false;
  std::chrono::steady_clock::time_point accessibilityRetryAt_{};
};

}  // namespace larkspire::linux_backend
