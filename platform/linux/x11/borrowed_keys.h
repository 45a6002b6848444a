// Where the keycodes a process binds for typing are written down: a
// property of the root window, so that every run of the programs on the
// display sees them. A run killed before it could restore the map leaves
// its entries behind, and the next run gives those keycodes back; runs
// still going on keep theirs.
#pragma once

#include <functional>
#include <vector>

#include "platform/linux/x11/events.h"

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
// Whether the process is ending (a termination signal, or an exit while an
// operation may still be running): no further change of the map may be made.
bool terminating();
// Runs `change` (a change of the map and a round trip that makes the server
// carry it out) unless the process is ending; answers whether it ran.
// Termination waits for a change that is running.
bool changeKeyboardMappingUnlessTerminating(const std::function<void()>& change);
// Gives back what this process borrowed, from any thread, when it is about
// to exit; nothing when it never borrowed.
void giveBackBorrowedKeysBeforeExit();

}  // namespace larkspire::linux_backend
