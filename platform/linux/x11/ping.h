// A round trip through an application's own queue of X events.
//
// A client reads a key with the map it fetched last, and fetches a new map
// only once it has handled the server's notice that the map changed. A key
// typed through a temporary binding must therefore be handled before the
// binding is replaced or restored. Events reach a client in the order the
// server made them, and the client handles them in that order: a
// _NET_WM_PING sent after the keys, over the connection that posted them,
// comes back (the client answers it on the root window, as the window
// manager's own pings) only after the client has handled every key before
// it. Toolkits answer pings so that window managers can tell a hung
// application; GTK, Qt and the browsers do.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/run_loop.h"

typedef struct _XDisplay Display;

namespace larkspire::linux_backend {

class ApplicationPing {
 public:
  // `control` is the connection that posts the keys; answers are read on a
  // connection of the ping's own. Waits are measured on `clock`.
  ApplicationPing(Display* control, platform::Clock& clock);
  ~ApplicationPing();
  ApplicationPing(const ApplicationPing&) = delete;
  ApplicationPing& operator=(const ApplicationPing&) = delete;

  // The top-level window holding the keyboard focus, when its client
  // answers pings; 0 otherwise.
  unsigned long pingableFocus();
  // Pings that window from now on; false when there is none.
  bool start();
  // Sends a ping after everything posted so far; answers its number (0
  // when it could not be sent: the window is gone).
  std::uint64_t send();
  // Waits until the ping of that number has been answered (answers come in
  // the order of the pings); false when it was not within `timeout`.
  bool await(std::uint64_t ping, std::chrono::milliseconds timeout);
  void stop() { window_ = 0; }
  bool started() const { return window_ != 0; }

 private:
  Display* control_;
  platform::Clock& clock_;
  Display* answers_ = nullptr;  // selects the root window's substructure events
  unsigned long window_ = 0;
  std::uint64_t sent_ = 0;
  std::uint64_t answered_ = 0;
};

}  // namespace larkspire::linux_backend
