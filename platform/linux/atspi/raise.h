// Raising a window found through AT-SPI: AT-SPI knows nothing of X windows,
// so the window is found among the window manager's clients by process,
// title and frame, and activated the EWMH way.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/atspi/translate.h"
#include "platform/values.h"

typedef struct _XDisplay Display;

namespace larkspire::linux_backend::atspi {

struct ClientWindow {
  unsigned long id = 0;
  platform::Pid pid = 0;
  std::string title;
  Extents frame;  // client rectangle grown by _NET_FRAME_EXTENTS
};

// The client that best stands for an accessibility window: same process,
// then the same title and frame; a title or frame alone decides only when
// it is unambiguous; a process with one window needs nothing else.
std::optional<unsigned long> pickClientWindow(const std::vector<ClientWindow>& clients, platform::Pid pid,
                                              const std::string& title, const std::optional<Extents>& frame);

// Raises and activates the window; false when no client matches.
bool raiseWindow(Display* display, platform::Pid pid, const std::string& title, const std::optional<Extents>& frame);

}  // namespace larkspire::linux_backend::atspi
