// The observer program: the mode chosen by the command line, then its work.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "selection-observer/output.h"

namespace larkspire::observer {

// Runs the mode the arguments select. The watch, dump and permission check
// modes return 0 when done; the observer mode runs the run loop until it is
// stopped (in practice: until the process is terminated).
int runObserverProgram(platform::Platform& platform, Output& output, const std::vector<std::string>& arguments);

}  // namespace larkspire::observer
