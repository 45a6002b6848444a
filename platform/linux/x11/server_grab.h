#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <cstdint>

namespace larkspire::linux_backend {

// Grabs the X server for the lifetime of the object and counts the grabs
// this process made, so that a check of whether the display answers can
// tell a server busy with our own grab from one that stopped answering.
class ServerGrab {
 public:
  explicit ServerGrab(Display* display);
  ~ServerGrab();
  ServerGrab(const ServerGrab&) = delete;
  ServerGrab& operator=(const ServerGrab&) = delete;

 private:
  Display* display_;
};

// Grabs begun by this process so far, and whether one is held now.
std::uint64_t serverGrabsBegun();
bool serverGrabHeld();
// How long the grab held now has lasted; zero when none is.
std::chrono::steady_clock::duration serverGrabHeldFor();

// Takes a grab that is kept until the process ends.
void grabServerForGood(Display* display);

}  // namespace larkspire::linux_backend
