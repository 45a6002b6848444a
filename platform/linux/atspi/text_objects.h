// Reads text objects for resolving embedded objects (hypertext.h) from
// the accessibility bus: each batch of objects costs two pipelined rounds
// of calls, whatever its size.
#pragma once

#include "platform/linux/atspi/bus_port.h"
#include "platform/linux/atspi/hypertext.h"

namespace larkspire::linux_backend::atspi {

class BusTextObjects final : public TextObjects {
 public:
  explicit BusTextObjects(BusPort& bus) : bus_(bus) {}
  std::vector<std::optional<TextObject>> read(const std::vector<ObjectAddress>& objects) override;

 private:
  BusPort& bus_;
};

// The screen extents of each run, read in one batch, and their union; none
// when no run has a usable rectangle.
std::optional<Extents> extentsOfRuns(BusPort& bus, const std::vector<TextRun>& runs);

}  // namespace larkspire::linux_backend::atspi
