// One-shot mode: the request read from standard input, the choice of the
// operation and the response it gets.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.h"
#include "computer/request/envelope.h"
#include "computer/request/input.h"
#include "platform/platform.h"

namespace larkspire::computer {

inline constexpr std::size_t kRequestLimit = 10'485'760;

// The strict request parse both modes share: one JSON object, nothing else.
std::optional<json::Json> parseRequest(std::string_view bytes);

// The request object, or none for input over the limit, not JSON, or JSON
// that is not an object.
std::optional<json::Json> readOneShotRequest(ByteSource& input);

// The "operation" string of a request; the empty string when it is missing
// or not a string.
std::string operationName(const json::Json& request);

// Whether a request may wait on the desktop in calls that nothing can
// interrupt, and so is watched: "apps", "launch", "observe". The
// permission report bounds its own checks; the rest never reach the
// desktop.
bool watchedOperation(const json::Json& request);
// Whether a request may have changed the desktop by the time it fails:
// "launch" starts a program.
bool mayChangeTheDesktop(const json::Json& request);

// {"accessibility", "screenRecording"} from fresh permission checks; with
// prompt, the system is first asked to prompt for both (without waiting).
json::Json permissionReport(platform::Platform& platform, bool prompt);

// Runs the request's operation and returns its "data". Throws NativeFailure,
// or whatever the operation lets through.
json::Json dispatch(platform::Platform& platform, const json::Json& request);

struct Answer {
  json::Json response;
  int status = 1;
};

// The response to one parsed request and the exit status that follows it.
Answer answerRequest(platform::Platform& platform, const json::Json& request);

json::Json invalidRequestResponse();

// What one-shot mode reaches outside itself. Only `platform` is required;
// the program adds the rest, tests what they exercise.
struct OneShotRuntime {
  // The platform, obtained only once the request parsed; throws when it
  // cannot be set up.
  std::function<platform::Platform&()> platform = nullptr;
  // Runs the work that answers the request and returns its status (the
  // program runs it beside the platform's loop). Unset: in place.
  std::function<int(platform::Platform&, const std::function<int()>& work)> runWork = nullptr;
  // Watches the desktop while a request that may wait on it runs, and calls
  // `stuck` once when the desktop stopped answering; the watch ends with the
  // handle. Unset: no watch.
  std::function<std::shared_ptr<void>(platform::Platform&, std::function<void()> stuck)> watchDesktop = nullptr;
  // Ends the process once the watch has answered for a stuck request.
  std::function<void(int status)> endProcess = nullptr;
};

// The whole of one-shot mode short of ending the process: reads the request,
// obtains the platform only once the request parsed, writes exactly one
// response (the request's own, or the watch's when the desktop stopped
// answering under it) and returns the exit status.
int runOneShot(ByteSource& input, OutputSink& output, const OneShotRuntime& runtime);

}  // namespace larkspire::computer
