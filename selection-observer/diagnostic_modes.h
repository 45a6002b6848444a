// Two modes a person runs by hand to see what an application's accessibility
// tree offers: watching its text areas' selection state, and dumping its tree.
#pragma once

#include "platform/platform.h"
#include "selection-observer/output.h"

namespace larkspire::observer {

void watchSelection(platform::Platform& platform, Output& output, platform::Pid pid, double seconds);
void dumpTree(platform::Platform& platform, Output& output, platform::Pid pid);

}  // namespace larkspire::observer
