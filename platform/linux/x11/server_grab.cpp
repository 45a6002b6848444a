#include "platform/linux/x11/server_grab.h"

#include <atomic>

namespace larkspire::linux_backend {
namespace {

std::atomic<std::uint64_t> grabsBegun{0};
std::atomic<int> grabsHeld{0};

}  // namespace

ServerGrab::ServerGrab(Display* display) : display_(display) {
  ++grabsBegun;
  ++grabsHeld;
  XGrabServer(display_);
}

ServerGrab::~ServerGrab() {
  XUngrabServer(display_);
  XFlush(display_);
  --grabsHeld;
}

std::uint64_t serverGrabsBegun() { return grabsBegun; }

bool serverGrabHeld() { return grabsHeld > 0; }

void grabServerForGood(Display* display) {
  ++grabsBegun;
  ++grabsHeld;
  XGrabServer(display);
}

}  // namespace larkspire::linux_backend
