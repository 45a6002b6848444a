// Catches X protocol errors around a group of requests, so that a window
// that vanished or a request the server refuses becomes an answer instead
// of Xlib's default handler ending the process.
#pragma once

typedef struct _XDisplay Display;

namespace larkspire::linux_backend {

// While alive, X errors raised on this thread are recorded here instead of
// reaching the previously installed handler. Traps nest.
class XErrorTrap {
 public:
  explicit XErrorTrap(Display* display);
  ~XErrorTrap();
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

  // Waits for the server to process everything sent so far and answers the
  // first error code seen since the trap was made or last cleared (0: none).
  int sync();
  // The first error seen so far without a round trip.
  int error() const { return error_; }
  void clear() { error_ = 0; }

 private:
  friend struct XErrorTrapAccess;
  Display* display_;
  XErrorTrap* outer_;
  int error_ = 0;
};

}  // namespace larkspire::linux_backend
