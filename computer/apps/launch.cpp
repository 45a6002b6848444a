// Placeholder until targeting and launching land.
#include "computer/apps/launch.h"

#include "computer/request/failure.h"

namespace larkspire::computer {
platform::Application targetApp(platform::Platform&, const std::string&) { fail(kTargetChanged); }
json::Json launch(platform::Platform&, const std::string&) { fail(kAppNotFound); }
}  // namespace larkspire::computer
