// Placeholder until action execution lands.
#include "computer/actions/act.h"

#include "computer/request/failure.h"

namespace larkspire::computer {
json::Json act(platform::Platform&, const json::Json&, const NativeObservation&) { fail(kTargetChanged); }
}  // namespace larkspire::computer
