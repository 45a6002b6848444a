#include "computer/request/dispatch.h"

#include <future>
#include <system_error>

#include "computer/actions/act.h"
#include "computer/apps/app_listing.h"
#include "computer/apps/launch.h"
#include "computer/request/failure.h"
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

std::string operationName(const json::Json& request) {
  auto found = request.find("operation");
  if (found == request.end() || !found->is_string()) return {};
  return found->get<std::string>();
}

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
  std::future<bool> screen;
  try {
    screen = std::async(std::launch::async, screenRecording);
  } catch (const std::system_error&) {
    screen = std::async(std::launch::deferred, screenRecording);  // no thread to spare
  }
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
    std::optional<std::string> query;
    auto found = request.find("query");
    if (found != request.end() && found->is_string()) query = found->get<std::string>();
    json::Json data = json::Json::object();
    data["apps"] = listApps(platform, query);
    return data;
  }
  if (operation == "launch") {
    std::string appId;
    auto found = request.find("appId");
    if (found != request.end() && found->is_string()) appId = found->get<std::string>();
    return launch(platform, appId);
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

int runOneShot(ByteSource& input, OutputSink& output, const std::function<platform::Platform&()>& platform) {
  auto request = readOneShotRequest(input);
  if (!request) {
    emit(output, invalidRequestResponse());
    return 1;
  }
  Answer answer;
  try {
    answer = answerRequest(platform(), *request);
  } catch (...) {
    // The platform itself could not be set up.
    answer = {failureResponse(kUnavailable, true), 1};
  }
  emit(output, answer.response);
  return answer.status;
}

}  // namespace larkspire::computer
