// Feeds arbitrary bytes to the computer tool's request path on a simulated
// desktop: once as one-shot standard input, once as session input. Crashes,
// sanitizer reports and broken response framing all count as findings.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "computer/request/dispatch.h"
#include "computer/request/session.h"
#include "platform/simulated/desktop.h"
#include "tests/e2e/simulated/scenario.h"

namespace {

using larkspire::json::Json;
namespace computer = larkspire::computer;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "broken invariant: %s\n", what);
    std::abort();
  }
}

class CollectingOutput final : public computer::OutputSink {
 public:
  bool write(std::string_view bytes) override {
    writes.emplace_back(bytes);
    return true;
  }
  std::vector<std::string> writes;
};

// Every response: a complete line of compact JSON in two writes, and one of
// the two envelope shapes.
std::vector<Json> responses(const CollectingOutput& output) {
  static const std::set<std::string> codes = {"COMPUTER_INVALID_REQUEST",     "COMPUTER_TARGET_CHANGED",
                                              "COMPUTER_PERMISSION_REQUIRED", "COMPUTER_APP_NOT_FOUND",
                                              "COMPUTER_SCREEN_LOCKED",       "COMPUTER_WINDOW_TOO_COMPLEX",
                                              "COMPUTER_ACCESS_DENIED",       "COMPUTER_UNAVAILABLE"};
  check(output.writes.size() % 2 == 0, "response written in two writes");
  std::vector<Json> result;
  for (std::size_t i = 0; i < output.writes.size(); i += 2) {
    const std::string& text = output.writes[i];
    check(output.writes[i + 1] == "\n", "line feed written on its own");
    check(text.find('\n') == std::string::npos, "no raw line feed inside a response");
    auto response = larkspire::json::parseObject(text);
    check(response.has_value(), "response is a JSON object");
    check(larkspire::json::compact(*response) == text, "response is compact");
    auto ok = response->find("ok");
    check(ok != response->end() && ok->is_boolean(), "ok is a boolean");
    if (ok->get<bool>()) {
      check(response->contains("data") && (*response)["data"].is_object(), "data is an object");
    } else {
      check(response->contains("code") && codes.count((*response)["code"].get<std::string>()) == 1, "known code");
      check(response->contains("notExecuted") && (*response)["notExecuted"].is_boolean(), "notExecuted");
    }
    result.push_back(std::move(*response));
  }
  return result;
}

void oneShot(const std::string& input) {
  larkspire::simulated::Desktop desktop;
  larkspire::testing::buildNotesDesktop(desktop);
  CollectingOutput output;
  computer::MemorySource source(input, 4093);
  int status =
      computer::runOneShot(source, output, {[&]() -> larkspire::platform::Platform& { return desktop.platform(); }});
  auto lines = responses(output);
  check(lines.size() == 1, "one-shot answers exactly once");
  check(status == (lines[0]["ok"].get<bool>() ? 0 : 1), "status follows the response");
  check(lines[0].size() == (lines[0]["ok"].get<bool>() ? 2u : 3u), "no other top-level keys");
}

void session(const std::string& input) {
  larkspire::simulated::Desktop desktop;
  larkspire::testing::buildNotesDesktop(desktop);
  CollectingOutput output;
  computer::MemorySource source(input, 1021);
  computer::LineReader lines(source, computer::kSessionLineLimit);
  std::vector<int> statuses;
  computer::SessionRuntime runtime{
      [&lines] { return computer::readSessionRequest(lines); },
      output,
      [&desktop](double seconds, std::function<void()> expire) {
        desktop.platform().runLoop.scheduleAfter(seconds, std::move(expire));
      },
      [&statuses](int status) { statuses.push_back(status); },
  };
  computer::runSession(computer::platformOperations(desktop.platform()), runtime);
  desktop.advance(1000);
  check(statuses.size() == 1, "the session ends exactly once");
  auto answered = responses(output);
  check(answered.size() <= 2, "at most two responses");
  for (auto& response : answered) {
    check(response["nativeSessionVersion"] == 2, "every session response carries version 2");
  }
  if (answered.empty()) check(statuses[0] == 1, "an unanswered session ends with status 1");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  oneShot(input);
  session(input);
  return 0;
}
