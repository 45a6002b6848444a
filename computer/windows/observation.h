// The "observe" operation: the inventory and picture of the target's window.
#pragma once

#include <map>
#include <string>

#include "common/json.h"
#include "platform/platform.h"

namespace larkspire::computer {

// What a later "act" needs of an observation: the record without the
// picture data, the observed accessibility window and the live element of
// every "ref".
struct NativeObservation {
  json::Json snapshot;
  platform::Element window;
  std::map<std::string, platform::Element> references;
};

struct Observation {
  json::Json payload;  // the observation record with the picture data
  NativeObservation bound;
};

// Throws NativeFailure, or PlatformError for a failed platform service.
Observation observe(platform::Platform& platform, const json::Json& request);

}  // namespace larkspire::computer
