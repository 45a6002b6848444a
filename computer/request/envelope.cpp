#include "computer/request/envelope.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace larkspire::computer {

bool FileDescriptorOutput::write(std::string_view bytes) {
  // Block SIGPIPE on this thread for the write, so a parent that closed its
  // end makes write(2) fail with EPIPE; a pending SIGPIPE is consumed before
  // the mask is restored. Ignoring it process-wide would leak into launched
  // applications.
  sigset_t pipeSignal;
  sigset_t previous;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);

  bool ok = true;
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }

  if (!ok && errno == EPIPE) {
    // sigwait only after sigpending has shown the signal, so it never
    // blocks; both are plain POSIX, unlike sigtimedwait.
    sigset_t pending;
    int signal = 0;
    while (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1 && sigwait(&pipeSignal, &signal) == 0) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return ok;
}

json::Json successResponse(json::Json data) {
  json::Json response = json::Json::object();
  response["ok"] = true;
  response["data"] = std::move(data);
  return response;
}

json::Json failureResponse(const std::string& code, bool notExecuted) {
  json::Json response = json::Json::object();
  response["ok"] = false;
  response["code"] = code;
  response["notExecuted"] = notExecuted;
  return response;
}

json::Json sessionResponse(json::Json response) {
  response["nativeSessionVersion"] = kSessionVersion;
  return response;
}

std::optional<std::string> serializeResponse(const json::Json& response) {
  try {
    return json::compact(response);
  } catch (...) {
    return std::nullopt;
  }
}

void emit(OutputSink& output, const json::Json& response) {
  auto text = serializeResponse(response);
  if (!text) return;
  // A line feed without the text before it would be a stray empty line.
  if (!output.write(*text)) return;
  output.write("\n");
}

}  // namespace larkspire::computer
