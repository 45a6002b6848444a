#include "computer/request/session.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "computer/failure.h"
#include "platform/simulated/desktop.h"

namespace larkspire::computer {
namespace {

using json::Json;

// Standard input as the parent writes it: pieces of bytes, each sent after
// the parent has waited some virtual seconds.
class ParentInput final : public ByteSource {
 public:
  ParentInput(simulated::Desktop& desktop, std::vector<std::pair<double, std::string>> pieces)
      : desktop_(desktop), pieces_(std::move(pieces)) {}
  std::size_t read(char* buffer, std::size_t size) override {
    while (next_ < pieces_.size() && offset_ == pieces_[next_].second.size()) {
      ++next_;
      offset_ = 0;
    }
    if (next_ == pieces_.size()) return 0;
    auto& [wait, bytes] = pieces_[next_];
    if (offset_ == 0) desktop_.advance(wait);
    size = std::min(size, bytes.size() - offset_);
    bytes.copy(buffer, size, offset_);
    offset_ += size;
    return size;
  }

 private:
  simulated::Desktop& desktop_;
  std::vector<std::pair<double, std::string>> pieces_;
  std::size_t next_ = 0;
  std::size_t offset_ = 0;
};

class RecordingOutput final : public OutputSink {
 public:
  bool write(std::string_view bytes) override {
    if (beforeWrite) beforeWrite(writes.size());
    writes.emplace_back(bytes);
    return true;
  }
  std::vector<std::string> lines() const {
    std::string all;
    for (auto& w : writes) all += w;
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t feed; (feed = all.find('\n', start)) != std::string::npos; start = feed + 1) {
      result.push_back(all.substr(start, feed - start));
    }
    EXPECT_EQ(start, all.size()) << "output ends in the middle of a line";
    return result;
  }
  std::vector<std::string> writes;
  std::function<void(std::size_t index)> beforeWrite;
};

const std::string kObserve = R"({"nativeSessionVersion":2,"operation":"observe","appId":"com.example.Notes"})";
// An observe request padded to exactly `size` bytes.
std::string observeOfSize(std::size_t size) {
  const std::string head = R"({"nativeSessionVersion":2,"operation":"observe","pad":")";
  return head + std::string(size - head.size() - 2, ' ') + "\"}";
}
const std::string kAct =
    R"({"nativeSessionVersion":2,"operation":"act","snapshotId":"snap-1","action":{"type":"click","ref":"e1"}})";

class SessionTest : public ::testing::Test {
 protected:
  // Runs a session on the given input and returns the output lines.
  std::vector<std::string> run(std::vector<std::pair<double, std::string>> input) {
    ParentInput source(desktop, std::move(input));
    LineReader lines(source, kSessionLineLimit);
    SessionRuntime runtime{
        [&lines] { return readSessionRequest(lines); },
        output,
        [this](double seconds, std::function<void()> expire) {
          armedAt.push_back(desktop.now());
          EXPECT_EQ(seconds, 100.0);
          desktop.platform().runLoop.scheduleAfter(seconds, std::move(expire));
        },
        [this](int status) {
          statuses.push_back(status);
          endedAt = desktop.now();
        },
        watchDesktop,
    };
    runSession(operations(), runtime);
    // Whatever is still scheduled must not end the process a second time.
    desktop.advance(1000);
    EXPECT_EQ(statuses.size(), 1u) << "the process must end exactly once";
    return output.lines();
  }

  SessionOperations operations() {
    return {
        [this](const Json& request) {
          observed.push_back(request);
          desktop.advance(observeSeconds);
          if (observeThrows) observeThrows();
          Observation observation;
          observation.payload = {{"snapshotId", "snap-1"}, {"image", "iVBORw0KGgo="}};
          observation.bound.snapshot = {{"snapshotId", "snap-1"}};
          return observation;
        },
        [this](const Json& request, const NativeObservation& kept) {
          acted.push_back(request);
          actedOn.push_back(kept.snapshot);
          desktop.advance(actSeconds);
          if (actThrows) actThrows();
          return Json{{"completed", true}};
        },
    };
  }

  int status() const { return statuses.empty() ? -1 : statuses.front(); }

  simulated::Desktop desktop;
  RecordingOutput output;
  std::vector<int> statuses;
  std::vector<double> armedAt;
  double endedAt = -1;
  std::vector<Json> observed;
  std::vector<Json> acted;
  std::vector<Json> actedOn;
  double observeSeconds = 0;
  double actSeconds = 0;
  std::function<void()> observeThrows;
  std::function<void()> actThrows;
  std::function<std::shared_ptr<void>(std::function<void()>)> watchDesktop;
};

Json parse(const std::string& line) {
  auto value = json::parseObject(line);
  EXPECT_TRUE(value.has_value()) << line;
  return value.value_or(Json::object());
}

TEST_F(SessionTest, UnusableFirstRequestsEndWithStatusOneAndNoOutput) {
  const std::vector<std::string> firsts = {
      "",
      "\n",
      "not json\n",
      "[1,2]\n",
      R"({"operation":"observe","appId":"a"})"
      "\n",
      R"({"nativeSessionVersion":"2","operation":"observe"})"
      "\n",
      R"({"nativeSessionVersion":3,"operation":"observe"})"
      "\n",
      R"({"nativeSessionVersion":2,"operation":"status"})"
      "\n",
      R"({"nativeSessionVersion":2,"operation":"Observe"})"
      "\n",
      R"({"nativeSessionVersion":2})"
      "\n",
      kAct + "\n",
      kObserve + std::string(1, '\0') + "\n",
      // One byte over the limit, although it would parse.
      observeOfSize(kSessionLineLimit + 1) + "\n",
  };
  for (const auto& first : firsts) {
    SCOPED_TRACE(first.substr(0, 80));
    output.writes.clear();
    statuses.clear();
    observed.clear();
    armedAt.clear();
    auto lines = run({{0, first + kAct + "\n"}});
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(status(), 1);
    EXPECT_TRUE(observed.empty());
    EXPECT_TRUE(armedAt.empty());
  }
}

TEST_F(SessionTest, FirstRequestInEveryAcceptedFraming) {
  const std::string atLimit = observeOfSize(kSessionLineLimit);
  ASSERT_EQ(atLimit.size(), kSessionLineLimit);
  for (const auto& first : {kObserve + "\r\n", kObserve, atLimit + "\n", atLimit + "\r\n"}) {
    observed.clear();
    statuses.clear();
    output.writes.clear();
    auto lines = run({{0, first}});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(status(), 0);
    EXPECT_EQ(observed.size(), 1u);
  }
}

TEST_F(SessionTest, InvalidUtf8InARequestLineIsReplacedNotRefused) {
  auto lines = run({{0, "{\"nativeSessionVersion\":2,\"operation\":\"observe\",\"appId\":\"a\xff\xfe\"}\n"}});
  ASSERT_EQ(observed.size(), 1u);
  EXPECT_EQ(observed[0]["appId"], "a\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(lines.size(), 1u);
}

TEST_F(SessionTest, ObservationAloneIsAnsweredWithTheVersionAndEndsWithStatusZero) {
  auto lines = run({{0, kObserve + "\n"}});
  ASSERT_EQ(lines.size(), 1u);
  Json response = parse(lines[0]);
  EXPECT_EQ(response, (Json{{"nativeSessionVersion", 2},
                            {"ok", true},
                            {"data", {{"snapshotId", "snap-1"}, {"image", "iVBORw0KGgo="}}}}));
  // The JSON text and the line feed go out in two writes.
  ASSERT_EQ(output.writes.size(), 2u);
  EXPECT_EQ(output.writes[1], "\n");
  EXPECT_EQ(status(), 0);
  EXPECT_TRUE(acted.empty());
}

TEST_F(SessionTest, UnusableSecondRequestsEndWithStatusZeroAfterTheObservation) {
  const std::vector<std::string> seconds = {
      kObserve + "\n",
      R"({"operation":"act","snapshotId":"snap-1"})"
      "\n",
      R"({"nativeSessionVersion":2.5,"operation":"act"})"
      "\n",
      R"({"nativeSessionVersion":2,"operation":"status"})"
      "\n",
      "{broken\n",
      R"({"nativeSessionVersion":2,"operation":"act","pad":")" + std::string(70000, 'x') + "\"}\n",
  };
  for (const auto& second : seconds) {
    SCOPED_TRACE(second.substr(0, 80));
    statuses.clear();
    output.writes.clear();
    auto lines = run({{0, kObserve + "\n" + second + kAct + "\n"}});
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_EQ(status(), 0);
    EXPECT_TRUE(acted.empty());
  }
}

TEST_F(SessionTest, ActionGetsTheSecondRequestAndTheKeptObservation) {
  auto lines = run({{0, kObserve + "\r\n"}, {5, kAct}});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(parse(lines[1]), (Json{{"nativeSessionVersion", 2}, {"ok", true}, {"data", {{"completed", true}}}}));
  ASSERT_EQ(acted.size(), 1u);
  EXPECT_EQ(acted[0]["action"]["ref"], "e1");
  EXPECT_EQ(actedOn[0], (Json{{"snapshotId", "snap-1"}}));
  EXPECT_EQ(status(), 0);
}

TEST_F(SessionTest, FailuresCarryTheVersionAndOtherErrorsClaimNothingAboutExecution) {
  struct Case {
    bool inObserve;
    std::function<void()> thrower;
    Json expected;
    std::size_t lines;
  };
  const std::vector<Case> cases = {
      {true, [] { fail(kScreenLocked); }, failureResponse(kScreenLocked, true), 1},
      {true, [] { throw platform::PlatformError("capture"); }, failureResponse(kUnavailable, false), 1},
      {true, [] { throw 42; }, failureResponse(kUnavailable, false), 1},
      {false, [] { fail(kInvalidRequest); }, failureResponse(kInvalidRequest, true), 2},
      {false, [] { fail(kUnavailable, false); }, failureResponse(kUnavailable, false), 2},
      {false, [] { throw std::runtime_error("typing"); }, failureResponse(kUnavailable, false), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected.dump());
    statuses.clear();
    output.writes.clear();
    observeThrows = c.inObserve ? c.thrower : nullptr;
    actThrows = c.inObserve ? nullptr : c.thrower;
    auto lines = run({{0, kObserve + "\n" + kAct + "\n"}});
    ASSERT_EQ(lines.size(), c.lines);
    EXPECT_EQ(parse(lines.back()), sessionResponse(c.expected));
    EXPECT_EQ(status(), 1);
    EXPECT_EQ(armedAt.empty(), c.inObserve);
    armedAt.clear();
  }
}

TEST_F(SessionTest, LifetimeCountsFromTheDeliveredObservation) {
  // A slow observation does not eat into the lifetime.
  observeSeconds = 150;
  output.beforeWrite = [this](std::size_t index) {
    if (index < 2) desktop.advance(1);
  };
  auto lines = run({{0, kObserve + "\n"}, {99, kAct + "\n"}});
  ASSERT_EQ(armedAt.size(), 1u);
  EXPECT_EQ(armedAt[0], 152.0);
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_EQ(status(), 0);
}

TEST_F(SessionTest, LifetimeEndsAWaitForTheSecondRequestWithStatusZero) {
  auto lines = run({{0, kObserve + "\n"}, {101, kAct + "\n"}});
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(endedAt, 100.0);
  EXPECT_TRUE(acted.empty());
}

TEST_F(SessionTest, LifetimeEndsAnActionUnderWayWithoutAResponse) {
  actSeconds = 120;
  actThrows = [] { fail(kTargetChanged, false); };
  auto lines = run({{0, kObserve + "\n"}, {10, kAct + "\n"}});
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(endedAt, 100.0);
}

TEST_F(SessionTest, LifetimeNeverCutsAResponseBeingWritten) {
  actThrows = [] { fail(kTargetChanged, false); };
  // The timer comes due between the JSON text and its line feed.
  output.beforeWrite = [this](std::size_t index) {
    if (index == 3) desktop.advance(200);
  };
  auto lines = run({{0, kObserve + "\n"}, {50, kAct + "\n"}});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(parse(lines[1]), sessionResponse(failureResponse(kTargetChanged, false)));
  // The lifetime had run out, so the process ends as an expiry does.
  EXPECT_EQ(status(), 0);
}

TEST_F(SessionTest, AStuckDesktopEndsTheOperationUnderWayFromOutside) {
  // The watch is armed for each operation and ended after it; the desktop
  // gets stuck during the one chosen.
  std::vector<std::function<void()>> watches;
  int watchesEnded = 0;
  watchDesktop = [&](std::function<void()> stuck) {
    watches.push_back(std::move(stuck));
    return std::shared_ptr<void>(nullptr, [&](void*) { ++watchesEnded; });
  };
  for (bool duringAct : {false, true}) {
    SCOPED_TRACE(duringAct ? "act" : "observe");
    watches.clear();
    watchesEnded = 0;
    statuses.clear();
    output.writes.clear();
    auto stuck = [&] { watches.back()(); };
    observeThrows = duringAct ? std::function<void()>() : stuck;
    actThrows = duringAct ? std::function<void()>(stuck) : nullptr;
    auto lines = run({{0, kObserve + "\n"}, {1, kAct + "\n"}});
    ASSERT_EQ(lines.size(), duringAct ? 2u : 1u);
    // An action may have begun: it is never reported as not executed.
    EXPECT_EQ(parse(lines.back()), sessionResponse(failureResponse(kUnavailable, !duringAct)));
    EXPECT_EQ(status(), 1);
    EXPECT_EQ(watches.size(), duringAct ? 2u : 1u);
    EXPECT_EQ(watchesEnded, static_cast<int>(watches.size()));
  }
}

TEST(SessionRequest, VersionMustBeTheIntegerTwo) {
  auto request = [](Json version) { return Json{{"nativeSessionVersion", version}, {"operation", "act"}}; };
  EXPECT_TRUE(isSessionRequest(request(2), "act"));
  EXPECT_TRUE(isSessionRequest(request(2u), "act"));
  EXPECT_FALSE(isSessionRequest(request(2), "observe"));
  EXPECT_FALSE(isSessionRequest(request(-2), "act"));
  EXPECT_FALSE(isSessionRequest(request(true), "act"));
  EXPECT_FALSE(isSessionRequest(request(nullptr), "act"));
  EXPECT_FALSE(isSessionRequest(request(Json::array({2})), "act"));
  EXPECT_FALSE(isSessionRequest(request(std::uint64_t{1} << 63 | 2), "act"));
  EXPECT_FALSE(isSessionRequest(Json{{"operation", "act"}}, "act"));
}

}  // namespace
}  // namespace larkspire::computer
