// Finding the running target of an operation, and the "launch" operation.
#pragma once

#include <string>

#include "common/json.h"
#include "platform/platform.h"

namespace larkspire::computer {

// The running regular application an "observe" or "act" is aimed at.
// Throws NativeFailure.
platform::Application targetApp(platform::Platform& platform, const std::string& appId);

// Opens and activates an application, waits up to 10 s for it to finish
// launching and returns the launch result object. Throws NativeFailure.
json::Json launch(platform::Platform& platform, const std::string& appId);

}  // namespace larkspire::computer
