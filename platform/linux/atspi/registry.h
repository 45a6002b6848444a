// The applications registered on the accessibility bus: the registry's
// children, each with the process that owns its bus name.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/atspi/bus_port.h"
#include "platform/values.h"

namespace larkspire::linux_backend::atspi {

// In the registry's order, one pipelined batch for the owners; an
// application whose owner cannot be read is left out.
std::vector<RegisteredApplication> registeredApplications(BusPort& bus);

// The bus name of the application `pid` registered; empty when it has none.
// A listing made within the last second answers for an application it
// holds; any other is looked for in a new listing.
std::string registeredBusName(BusPort& bus, platform::Pid pid);

}  // namespace larkspire::linux_backend::atspi
