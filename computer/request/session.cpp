#include "computer/request/session.h"

#include <memory>
#include <mutex>
#include <optional>

#include "common/text.h"
#include "computer/actions/act.h"
#include "computer/failure.h"
#include "computer/request/dispatch.h"

namespace larkspire::computer {
namespace {

// Serialises the ways a session can end: a response finishing its write, a
// refusal, and the lifetime running out on another thread. A response that
// has started is always written whole; when the lifetime ran out meanwhile
// the process ends with status 0 once it is.
class SessionEnding {
 public:
  SessionEnding(OutputSink& output, std::function<void(int)> endProcess)
      : output_(output), endProcess_(std::move(endProcess)) {}

  // Writes a response and, with a status, ends the process after it.
  // Answers whether the session goes on.
  bool respond(const json::Json& response, std::optional<int> status) {
    {
      std::lock_guard lock(mutex_);
      // A response already on its way (a watchdog's) ends the process.
      if (ended_ || writing_) return false;
      writing_ = true;
    }
    emit(output_, sessionResponse(response));
    std::lock_guard lock(mutex_);
    writing_ = false;
    if (expired_) return endLocked(0);
    if (status) return endLocked(*status);
    return true;
  }

  void end(int status) {
    std::lock_guard lock(mutex_);
    if (!ended_) endLocked(status);
  }

  void expire() {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    expired_ = true;
    // The writer ends the process once its response is out.
    if (!writing_) endLocked(0);
  }

  bool ended() {
    std::lock_guard lock(mutex_);
    return ended_;
  }

 private:
  bool endLocked(int status) {
    ended_ = true;
    endProcess_(status);
    return false;
  }

  OutputSink& output_;
  std::function<void(int)> endProcess_;
  std::mutex mutex_;
  bool writing_ = false;
  bool expired_ = false;
  bool ended_ = false;
};

json::Json failureOf(const NativeFailure& failure) { return failureResponse(failure.code, failure.notExecuted); }

// Inside a session any other error may have happened after the desktop was
// touched, so it never claims that nothing was executed.
json::Json unavailable() { return failureResponse(kUnavailable, false); }

}  // namespace

SessionOperations platformOperations(platform::Platform& platform) {
  return {
      [&platform](const json::Json& request) { return observe(platform, request); },
      [&platform](const json::Json& request, const NativeObservation& observation) {
        return act(platform, request, observation);
      },
  };
}

std::optional<json::Json> readSessionRequest(LineReader& lines) {
  LineReader::Line line = lines.next();
  if (line.status != LineReader::Status::line) return std::nullopt;
  std::string text = larkspire::text::sanitizeUtf8(line.bytes);
  // The limit counts the decoded text, replacement characters included.
  if (text.size() > kSessionLineLimit) return std::nullopt;
  return parseRequest(text);
}

bool isSessionRequest(const json::Json& request, const char* operation) {
  auto version = request.find("nativeSessionVersion");
  if (version == request.end() || !version->is_number_integer()) return false;
  if (version->is_number_unsigned() ? version->get<std::uint64_t>() != static_cast<std::uint64_t>(kSessionVersion)
                                    : version->get<std::int64_t>() != kSessionVersion) {
    return false;
  }
  return operationName(request) == operation;
}

void runSession(const SessionOperations& operations, const SessionRuntime& runtime) {
  // Shared with the lifetime timer, which may fire after this returns in tests.
  auto ending = std::make_shared<SessionEnding>(runtime.output, runtime.endProcess);

  auto first = runtime.readRequest();
  if (!first || !isSessionRequest(*first, "observe")) return ending->end(1);

  // Runs one operation of the session. A desktop that stops answering ends
  // it from outside, with what the operation itself would say of a failed
  // service; once an action may have started, without claiming that nothing
  // was done. A failure is answered here and ends the session: the result
  // is then empty.
  auto perform = [&](bool notExecuted, auto&& operation) -> std::optional<decltype(operation())> {
    try {
      std::shared_ptr<void> watching;
      if (runtime.watchDesktop) {
        watching = runtime.watchDesktop(
            [ending, notExecuted] { ending->respond(failureResponse(kUnavailable, notExecuted), 1); });
      }
      return operation();
    } catch (const NativeFailure& failure) {
      ending->respond(failureOf(failure), 1);
    } catch (...) {
      ending->respond(unavailable(), 1);
    }
    return std::nullopt;
  };

  auto observation = perform(true, [&] { return operations.observe(*first); });
  if (!observation) return;
  first.reset();

  json::Json payload = std::move(observation->payload);
  if (!ending->respond(successResponse(std::move(payload)), std::nullopt)) return;
  NativeObservation kept = std::move(observation->bound);
  observation.reset();

  // Armed only now: the lifetime counts from the delivered observation.
  runtime.armLifetime(nativeSessionLifetimeSeconds, [ending] { ending->expire(); });

  auto second = runtime.readRequest();
  if (ending->ended()) return;
  if (!second || !isSessionRequest(*second, "act")) return ending->end(0);

  auto result = perform(false, [&] { return operations.act(*second, kept); });
  if (result) ending->respond(successResponse(std::move(*result)), 0);
}

}  // namespace larkspire::computer
