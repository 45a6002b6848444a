#include "platform/linux/x11/server_grab.h"

#include <atomic>
#include <chrono>

namespace larkspire::linux_backend {
namespace {

std::atomic<std::uint64_t> grabsBegun{0};
std::atomic<int> grabsHeld{0};
// When the grab held now began, in steady-clock ticks.
std::atomic<std::chrono::steady_clock::rep> heldSince{0};

// The start is written before the grab counts as held, so that whoever
// sees it held reads when it began, not when an earlier one did.
void begin() {
  ++grabsBegun;
  if (grabsHeld == 0) heldSince = std::chrono::steady_clock::now().time_since_epoch().count();
  ++grabsHeld;
}

}  // namespace

ServerGrab::ServerGrab(Display* display) : display_(display) {
  begin();
  XGrabServer(display_);
}

ServerGrab::~ServerGrab() {
  XUngrabServer(display_);
  XFlush(display_);
  --grabsHeld;
}

std::uint64_t serverGrabsBegun() { return grabsBegun; }

bool serverGrabHeld() { return grabsHeld > 0; }

std::chrono::steady_clock::duration serverGrabHeldFor() {
  if (grabsHeld == 0) return {};
  const std::chrono::steady_clock::duration since(heldSince.load());
  return std::chrono::steady_clock::now().time_since_epoch() - since;
}

void grabServerForGood(Display* display) {
  begin();
  XGrabServer(display);
}

}  // namespace larkspire::linux_backend
