// The session bus and the accessibility bus the Linux services share.
//
// Each is connected on first use, or ahead of it, and only from what the
// session names: the session bus from $DBUS_SESSION_BUS_ADDRESS (never
// autolaunched: a helper must not start daemons on a machine that has no
// session), the accessibility bus from the address the display announces,
// where applications look for it first, else from the one org.a11y.Bus
// gives on the session bus. Each D-Bus exchange has a short timeout, so a
// hung bus makes an answer false instead of a helper that never answers.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/handles.h"

namespace larkspire::linux_backend {

class SessionBuses {
 public:
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;
  // The accessibility bus address the display announces, empty when it
  // announces none; answered within a short time whatever the display does.
  using Announcement = std::function<std::string()>;

  explicit SessionBuses(Announcement announced = {});
  ~SessionBuses();
  SessionBuses(const SessionBuses&) = delete;
  SessionBuses& operator=(const SessionBuses&) = delete;

  // The session bus, connected to again after it closed; each exchange
  // bounded by what is left before `deadline`.
  GDBusConnection* sessionBus(Deadline deadline);
  // The accessibility bus of the session (never started here); none
  // without a session bus.
  GDBusConnection* accessibilityBus(Deadline deadline);
  // Begins connecting both buses at once, side by side on threads of
  // their own, within the time a permission report has; whoever asks for
  // a bus meanwhile waits for its connection. An attempt that fails counts
  // as one made by the caller.
  void connectAhead();
  // A failed accessibility bus is tried again at once: its launcher has
  // just been asked to start.
  void retryAccessibilityNow();
  // org.a11y.Status.IsEnabled was read true just now; whether it was
  // within `span`.
  void switchSeenOn();
  bool switchSeenOnWithin(std::chrono::milliseconds span) const;
  // The session bus was connected once and is gone now.
  bool sessionBusLost();
  // Lets both connections go, once those begun ahead are made.
  void disconnect();

 private:
  GDBusConnection* connectAccessibility(Deadline deadline);

  Announcement announced_;
  std::vector<std::thread> ahead_;
  std::atomic<std::chrono::steady_clock::rep> switchSeenOnAt_{0};  // none yet
  // One lock per bus, so that both connect at once. Taken in this order
  // when both are: the accessibility bus may ask the session bus for its
  // address.
  std::mutex accessibilityMutex_;
  std::mutex sessionMutex_;
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
