// The observer program: the mode chosen by the command line, then its work.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "selection-observer/output.h"

namespace larkspire::observer {

// The status the observer ends with when its desktop goes away (the display
// server gone or not answering, the session bus gone), after one line on
// standard error that says which.
inline constexpr int kDesktopGoneStatus = 3;

// Runs the mode the arguments select. The watch, dump and permission check
// modes return 0 when done; the observer mode runs the run loop until the
// process is terminated, or returns kDesktopGoneStatus when the desktop
// goes away. With `endProcess`, a watchdog thread also ends the process
// through it when a poll has been stuck for seconds in a desktop that no
// longer answers (a library call that cannot be interrupted).
int runObserverProgram(platform::Platform& platform, Output& output, const std::vector<std::string>& arguments,
                       const std::function<void(int status)>& endProcess = {});

}  // namespace larkspire::observer
