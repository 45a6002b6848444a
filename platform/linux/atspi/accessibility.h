// The accessibility service over a given bus port: the real bus in the
// programs (makeAccessibility(LinuxContext&) in linux_platform.h), a fake
// tree in tests.
#pragma once

#include <memory>

#include "platform/accessibility.h"
#include "platform/linux/atspi/bus_port.h"

namespace larkspire::linux_backend {

class LinuxContext;

std::unique_ptr<platform::Accessibility> makeAccessibility(LinuxContext& context, std::shared_ptr<atspi::BusPort> bus);

}  // namespace larkspire::linux_backend
