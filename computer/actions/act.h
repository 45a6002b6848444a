// The "act" operation: one action on the window of a kept observation.
#pragma once

#include "common/json.h"
#include "computer/windows/observation.h"
#include "platform/platform.h"

namespace larkspire::computer {

// Returns {"completed": true}. Throws NativeFailure, or
// AccessibilityInspectionFailure when the focused element's protection
// cannot be decided.
json::Json act(platform::Platform& platform, const json::Json& request, const NativeObservation& observation);

}  // namespace larkspire::computer
