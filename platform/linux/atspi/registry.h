// The applications registered on the accessibility bus: the registry's
// children, each with the process that owns its bus name.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/atspi/bus_port.h"
#include "platform/values.h"

namespace larkspire::linux_backend::atspi {

struct RegisteredApplication {
  std::string busName;
  platform::Pid pid = 0;
};

// In the registry's order, one pipelined batch for the owners; an
// application whose owner cannot be read is left out.
std::vector<RegisteredApplication> registeredApplications(BusPort& bus);

}  // namespace larkspire::linux_backend::atspi
