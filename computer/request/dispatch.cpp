#include "computer/request/dispatch.h"

#include <future>
#include <memory>
#include <mutex>

#include "common/alongside.h"
#include "computer/actions/act.h"
#include "computer/apps/app_listing.h"
#include "computer/apps/launch.h"
#include "computer/failure.h"
#include "computer/windows/observation.h"

namespace larkspire::computer {

std::optional<json::Json> parseRequest(std::string_view bytes) {
  // No JSON text holds a raw NUL (inside strings it must be escaped), but the
  // parser takes one for the end of input and would accept what follows it.
  if (bytes.find('\0') != std::string_view::npos) return std::nullopt;
  return json::parseObject(bytes);
}

std::optional<json::Json> readOneShotRequest(ByteSource& input) {
  BoundedInput bytes = readToEnd(input, kRequestLimit);
  if (bytes.overLimit) return std::nullopt;
  return parseRequest(bytes.bytes);
}

std::string operationName(const json::Json& request) { return json::stringMember(request, "operation").value_or(""); }

bool watchedOperation(const json::Json& request) {
  const std::string operation = operationName(request);
  return operation == "apps" || operation == "launch" || operation == "observe";
}

bool mayChangeTheDesktop(const json::Json& request) { return operationName(request) == "launch"; }

json::Json permissionReport(platform::Platform& platform, bool prompt) {
  // The prompts' answers are ignored: the report is the state after asking.
  auto accessibility = [&platform, prompt] {
    if (prompt) platform.accessibility.isProcessTrustedWithOptions(true);
    return platform.accessibility.isProcessTrusted();
  };
  auto screenRecording = [&platform, prompt] {
    if (prompt) platform.screenCapture.requestScreenCaptureAccess();
    return platform.screenCapture.preflightScreenCaptureAccess();
  };
  // Each service may take its whole time limit to find that it cannot
  // answer (a stopped display, a silent bus); asked side by side, the
  // report takes as long as the slower of the two, not their sum.
  std::future<bool> screen = alongside(true, screenRecording);
  json::Json report = json::Json::object();
  report["accessibility"] = accessibility();
  report["screenRecording"] = screen.get();
  return report;
}

json::Json dispatch(platform::Platform& platform, const json::Json& request) {
  const std::string operation = operationName(request);
  if (operation == "status") return permissionReport(platform, false);
  if (operation == "permissions") return permissionReport(platform, true);
  if (operation == "apps") {
    const auto query = json::stringMember(request, "query");
    json::Json data = json::Json::object();
    data["apps"] = listApps(platform, query);
    return data;
  }
  if (operation == "launch") {
    return launch(platform, json::stringMember(request, "appId").value_or(""));
  }
  if (operation == "observe") return observe(platform, request).payload;
  // The observation an action needs lives only inside a session.
  if (operation == "act") fail(kTargetChanged);
  fail(kInvalidRequest);
}

Answer answerRequest(platform::Platform& platform, const json::Json& request) {
  try {
    return {successResponse(dispatch(platform, request)), 0};
  } catch (const NativeFailure& failure) {
    return {failureResponse(failure.code, failure.notExecuted), 1};
  } catch (...) {
    return {failureResponse(kUnavailable, true), 1};
  }
}

json::Json invalidRequestResponse() { return failureResponse(kInvalidRequest, true); }

int runOneShot(ByteSource& input, OutputSink& output, const OneShotRuntime& runtime) {
  auto request = readOneShotRequest(input);
  if (!request) {
    emit(output, invalidRequestResponse());
    return 1;
  }
  platform::Platform* platform = nullptr;
  try {
    platform = &runtime.platform();
  } catch (...) {
    emit(output, failureResponse(kUnavailable, true));
    return 1;
  }

  // One answer only: whoever comes first writes it.
  struct OneAnswer {
    std::mutex mutex;
    bool given = false;
  };
  auto answer = std::make_shared<OneAnswer>();
  std::shared_ptr<void> watching;
  if (runtime.watchDesktop && watchedOperation(*request)) {
    const bool notExecuted = !mayChangeTheDesktop(*request);
    watching = runtime.watchDesktop(*platform, [&output, answer, notExecuted, end = runtime.endProcess] {
      std::lock_guard lock(answer->mutex);
      if (answer->given) return;
      answer->given = true;
      emit(output, failureResponse(kUnavailable, notExecuted));
      if (end) end(1);
    });
  }
  auto work = [&]() -> int {
    Answer own = answerRequest(*platform, *request);
    std::lock_guard lock(answer->mutex);
    if (answer->given) return 1;
    answer->given = true;
    emit(output, own.response);
    return own.status;
  };
  return runtime.runWork ? runtime.runWork(*platform, work) : work();
}

}  // namespace larkspire::computer
