// Session mode: one "observe", then at most one "act" on that observation,
// within a fixed lifetime after the observation was delivered.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "common/json.h"
#include "computer/request/envelope.h"
#include "computer/request/input.h"
#include "computer/windows/observation.h"
#include "platform/platform.h"

namespace larkspire::computer {

inline constexpr double nativeSessionLifetimeSeconds = 100.0;
inline constexpr std::size_t kSessionLineLimit = 65'536;

// The two operations a session performs.
struct SessionOperations {
  std::function<Observation(const json::Json& request)> observe;
  std::function<json::Json(const json::Json& request, const NativeObservation& observation)> act;
};

// The real observe() and act() on a platform.
SessionOperations platformOperations(platform::Platform& platform);

// What a session needs of its process. In the program these read standard
// input, write standard output, run a real monotonic timer and _exit; tests
// drive them in virtual time.
struct SessionRuntime {
  // Blocks until the next request; none when there is no usable one.
  std::function<std::optional<json::Json>()> readRequest;
  OutputSink& output;
  // Calls `expire` once, `seconds` from now, from any thread.
  std::function<void(double seconds, std::function<void()> expire)> armLifetime;
  // Ends the process with a status. The program never returns from it; in
  // tests it records the status and the session returns right after.
  std::function<void(int status)> endProcess;
  // Watches the desktop while an operation runs and calls `stuck`, from
  // another thread, when it has stopped answering in a call that cannot be
  // interrupted. The watch ends with the handle. Empty: no watch.
  std::function<std::shared_ptr<void>(std::function<void()> stuck)> watchDesktop = {};
};

// The next request line as an object: none at end of input, for a line over
// the limit, or one that is not a JSON object. Invalid UTF-8 is replaced
// before parsing.
std::optional<json::Json> readSessionRequest(LineReader& lines);

// Whether a request is one the session may serve at this point: version 2
// and exactly the expected operation.
bool isSessionRequest(const json::Json& request, const char* operation);

// Runs the whole session and ends the process through the runtime.
void runSession(const SessionOperations& operations, const SessionRuntime& runtime);

}  // namespace larkspire::computer
