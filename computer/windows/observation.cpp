// Placeholder until observation lands.
#include "computer/windows/observation.h"

#include "computer/request/failure.h"

namespace larkspire::computer {
Observation observe(platform::Platform&, const json::Json& request) {
  if (!request.contains("appId") || !request["appId"].is_string()) fail(kInvalidRequest);
  fail(kTargetChanged);
}
}  // namespace larkspire::computer
