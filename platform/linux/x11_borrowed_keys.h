// Where the keycodes a process binds for typing are written down: a
// property of the root window, so that every run of the programs on the
// display sees them. A run killed before it could restore the map leaves
// its entries behind, and the next run gives those keycodes back; runs
// still going on keep theirs.
#pragma once

#include <vector>

#include "platform/linux/x11_events.h"

typedef struct _XDisplay Display;

namespace larkspire::linux_backend {

// The list, read and written while the server is grabbed so that two
// processes cannot interleave their changes.
std::vector<BorrowedKey> readBorrowedKeys(Display* display);
void writeBorrowedKeys(Display* display, const std::vector<BorrowedKey>& keys);

// From now on, SIGTERM, SIGINT and SIGHUP first give back what this process
// has borrowed on the display, then end the process as the signal would
// have. Installed once; later calls do nothing.
void restoreKeymapOnTermination(Display* display);
// Whether a termination signal is being handled: no further change of the
// map may be made.
bool terminating();

}  // namespace larkspire::linux_backend
