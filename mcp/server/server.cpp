#include "mcp/server/server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/json.h"
#include "mcp/protocol/negotiation.h"
#include "mcp/tools/results.h"

namespace larkspire::mcp {
namespace {

#ifndef LARKSPIRE_MCP_VERSION
#define LARKSPIRE_MCP_VERSION "0.1.0"
#endif
constexpr const char* kServerVersion = LARKSPIRE_MCP_VERSION;
// The helper ends a kept session itself 100 s after the observation; this is
// the margin after which we end it.
constexpr auto kKeptLifetime = std::chrono::seconds(105);

void diagnose(const std::string& text) { std::fprintf(stderr, "larkspire-mcp: %s\n", text.c_str()); }

// The first line of a helper's output, parsed; null when there is none.
Json firstLine(const std::string& output) {
  auto end = output.find('\n');
  if (end == std::string::npos) return nullptr;
  auto parsed = json::parseObject(std::string_view(output).substr(0, end));
  return parsed ? *parsed : Json();
}

std::string seconds(std::chrono::seconds s) { return std::to_string(s.count()) + " seconds"; }

// Whether our output can tell us that the client closed its end: a pipe
// (an error once it has no reader) or a socket of its own (Node.js gives
// children socket pairs; end of file once the peer closed). Not a socket
// shared with our input, nor a file or terminal.
bool outputTellsOfClose(int output, int input) {
  struct stat out {
  }, in{};
  if (fstat(output, &out) != 0) return false;
  if (S_ISFIFO(out.st_mode)) return true;
  if (!S_ISSOCK(out.st_mode)) return false;
  return fstat(input, &in) != 0 || in.st_ino != out.st_ino || in.st_dev != out.st_dev;
}

// After a readiness event on our output: whether the client closed it.
bool outputClosed(int output) {
  struct stat info {};
  if (fstat(output, &info) == 0 && S_ISFIFO(info.st_mode)) return true;
  char byte;
  ssize_t n = recv(output, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

}  // namespace

Server::Server(EventLoop& loop, ServerSettings settings) : loop_(loop), settings_(std::move(settings)) {}

Server::~Server() = default;

int Server::run() {
  loop_.watch(settings_.input, [this] { readInput(); });
  loop_.onSignal([this](int number) {
    diagnose("ending on signal " + std::to_string(number));
    shutdown(128 + number);
  });
  loop_.run();
  shutdown(exitStatus_);
  return exitStatus_;
}

void Server::shutdown(int status) {
  if (!stopping_) exitStatus_ = status;
  stopping_ = true;
  loop_.stop();
  // Ending each child reaps it; nothing is left running or unreaped.
  for (auto& [key, call] : calls_) {
    if (call.child) loop_.unwatch(call.child->outputFd());
  }
  calls_.clear();
  for (auto& [id, kept] : kept_) {
    if (kept.child) loop_.unwatch(kept.child->outputFd());
  }
  kept_.clear();
  if (observer_) loop_.unwatch(observer_->outputFd());
  observer_.reset();
  loop_.unwatch(settings_.input);
  loop_.unwatch(settings_.output);
}

// ------------------------------------------------------------------ input

void Server::readInput() {
  char buffer[65536];
  ssize_t n = read(settings_.input, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    endOfInput();
    return;
  }
  inputBuffer_.append(buffer, static_cast<size_t>(n));
  size_t start = 0;
  size_t end;
  while (!stopping_ && (end = inputBuffer_.find('\n', start)) != std::string::npos) {
    std::string_view line(inputBuffer_.data() + start, end - start);
    if (!discardingLine_ && !line.empty() && line != "\r") handleLine(line);
    discardingLine_ = false;
    start = end + 1;
  }
  inputBuffer_.erase(0, start);
  if (inputBuffer_.size() > kMaxLine) {
    // Answered once; the rest of the line, up to its line feed, is dropped.
    if (!discardingLine_) send(errorMessage(nullptr, rpc::kInvalidRequest, "message too long"));
    inputBuffer_.clear();
    discardingLine_ = true;
  }
}

void Server::endOfInput() {
  // The client closed our input: the session is over. Calls already made
  // are still answered (each within its budget); no act can come any more,
  // and nobody is left to tell of selections.
  inputEnded_ = true;
  loop_.unwatch(settings_.input);
  // A last message without its line feed still counts.
  if (!discardingLine_ && !inputBuffer_.empty()) handleLine(inputBuffer_);
  inputBuffer_.clear();
  if (stopping_) return;
  while (!kept_.empty()) endKept(kept_.begin()->first, true);
  if (observerRestart_) loop_.cancel(observerRestart_);
  observerRestart_ = 0;
  if (observer_) loop_.unwatch(observer_->outputFd());
  observer_.reset();
  if (calls_.empty()) {
    shutdown(0);
    return;
  }
  // A client that closed its end of our output as well is gone: nobody is
  // left to answer.
  if (outputTellsOfClose(settings_.output, settings_.input)) {
    loop_.watch(settings_.output, [this] {
      if (outputClosed(settings_.output)) {
        shutdown(0);
      } else {
        loop_.unwatch(settings_.output);  // data from the client: nothing to learn here
      }
    });
  }
}

void Server::handleLine(std::string_view line) {
  Incoming message = readMessage(line);
  switch (message.kind) {
    case Incoming::Kind::invalid:
      send(errorMessage(message.id, message.errorCode, message.errorMessage));
      break;
    case Incoming::Kind::request:
      handleRequest(message);
      break;
    case Incoming::Kind::notification:
      handleNotification(message);
      break;
    case Incoming::Kind::response:
      break;  // we send no requests, so there is nothing to match it with
  }
}

void Server::send(const Json& message) {
  if (stopping_) return;
  std::string line = json::compact(message);
  line.push_back('\n');
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t n = write(settings_.output, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The client is gone.
      shutdown(0);
      return;
    }
    rest.remove_prefix(static_cast<size_t>(n));
  }
}

void Server::handleRequest(const Incoming& m) {
  const Json& id = m.id;
  const Json params = m.params.is_object() ? m.params : Json::object();
  if (m.method == "initialize") {
    initialized_ = true;
    send(resultMessage(
        id, {{"protocolVersion", negotiateVersion(params.value("protocolVersion", Json()))},
             {"capabilities",
              {{"tools", {{"listChanged", false}}}, {"resources", {{"subscribe", true}, {"listChanged", false}}}}},
             {"serverInfo",
              {{"name", "larkspire-mcp"}, {"title", "Larkspire desktop helpers"}, {"version", kServerVersion}}},
             {"instructions",
              "Observe a window with observe_window (appId from list_applications), then act once on that snapshot "
              "with act; observe again before each further act. The resource selection://current holds the text "
              "the user last selected in another application."}}));
    return;
  }
  if (m.method == "ping") {
    send(resultMessage(id, Json::object()));
    return;
  }
  if (!initialized_) {
    send(errorMessage(id, rpc::kInvalidRequest, "the session is not initialized: send initialize first"));
    return;
  }
  if (m.method == "tools/list") {
    send(resultMessage(id, {{"tools", toolList()}}));
  } else if (m.method == "tools/call") {
    callTool(id, params);
  } else if (m.method == "resources/list") {
    send(resultMessage(
        id, {{"resources", Json::array({Json{{"uri", std::string(kSelectionUri)},
                                             {"name", "current-selection"},
                                             {"title", "Current text selection"},
                                             {"description",
                                              "The text the user has selected in another application, with its "
                                              "screen bounds and source, or null when nothing is selected."},
                                             {"mimeType", "application/json"}}})}}));
  } else if (m.method == "resources/templates/list") {
    send(resultMessage(id, {{"resourceTemplates", Json::array()}}));
  } else if (m.method == "resources/read") {
    bool found = false;
    Json result = readResource(params, found);
    if (found) {
      send(resultMessage(id, std::move(result)));
    } else {
      send(errorMessage(id, rpc::kResourceNotFound, "Resource not found"));
    }
  } else if (m.method == "resources/subscribe" || m.method == "resources/unsubscribe") {
    if (params.value("uri", "") != kSelectionUri) {
      send(errorMessage(id, rpc::kResourceNotFound, "Resource not found"));
      return;
    }
    subscribed_ = m.method == "resources/subscribe";
    if (subscribed_) ensureObserver();
    send(resultMessage(id, Json::object()));
  } else {
    send(errorMessage(id, rpc::kMethodNotFound, "Method not found: " + m.method));
  }
}

void Server::handleNotification(const Incoming& m) {
  if (m.method == "notifications/cancelled" && m.params.is_object() && m.params.contains("requestId")) {
    // A cancelled call gets no answer; its helper is ended.
    if (auto key = callFor(m.params["requestId"])) {
      dropCall(*key);
      finishIfDone();
    }
  }
  // notifications/initialized and anything else need nothing from us.
}

// ------------------------------------------------------------- tool calls

void Server::callTool(const Json& id, const Json& params) {
  if (!params.contains("name") || !params["name"].is_string()) {
    send(errorMessage(id, rpc::kInvalidParams, "tools/call needs a \"name\""));
    return;
  }
  std::string tool = params["name"];
  if (!isKnownTool(tool)) {
    send(errorMessage(id, rpc::kInvalidParams, "Unknown tool: " + tool));
    return;
  }
  CallPlan plan = planCall(tool, params.value("arguments", Json()));
  if (!plan.call) {
    send(resultMessage(id, toolError(plan.problem)));
    return;
  }
  if (calls_.size() >= kMaxCallsInFlight) {
    send(resultMessage(id, toolError("Too many tool calls are running at once: wait for one to finish, then call "
                                     "again.")));
    return;
  }
  if (plan.call->mode == HelperCall::Mode::actInSession) {
    startAct(id, std::move(*plan.call));
  } else {
    startCall(id, std::move(tool), std::move(*plan.call));
  }
}

void Server::startCall(const Json& id, std::string tool, HelperCall call) {
  std::vector<std::string> argv{settings_.computer};
  if (call.mode == HelperCall::Mode::observeSession) argv.push_back("--session");
  std::string error;
  auto child = ChildProcess::start(argv, error);
  if (!child) {
    diagnose(error);
    send(resultMessage(id, toolError("larkspire-computer could not be started (" + error +
                                     "): the server is installed incompletely; tell the user.")));
    return;
  }
  std::string line = json::compact(call.request);
  line.push_back('\n');
  child->send(line);
  // One-shot mode reads its request to the end of input.
  if (call.mode == HelperCall::Mode::oneShot) child->closeInput();
  int key = nextCall_++;
  Call& c = calls_[key];
  c.requestId = id;
  c.tool = std::move(tool);
  c.mode = call.mode;
  c.child = std::move(child);
  c.budget = call.budget;
  loop_.watch(c.child->outputFd(), [this, key] { callOutput(key); });
  c.timer = loop_.after(call.budget, [this, key] { callTimedOut(key); });
}

void Server::startAct(const Json& id, HelperCall call) {
  std::string snapshotId = call.request["snapshotId"];
  auto state = book_.state(snapshotId);
  auto kept = kept_.find(snapshotId);
  if (state != SnapshotBook::State::live || kept == kept_.end()) {
    send(resultMessage(id, toolError(refusalFor(state, snapshotId))));
    return;
  }
  auto child = std::move(kept->second.child);
  loop_.cancel(kept->second.timer);
  loop_.unwatch(child->outputFd());
  kept_.erase(kept);
  book_.markUsed(snapshotId);
  std::string line = json::compact(call.request);
  line.push_back('\n');
  if (!child->send(line)) {
    send(resultMessage(id, toolError(refusalFor(SnapshotBook::State::expired, snapshotId))));
    return;
  }
  child->closeInput();
  int key = nextCall_++;
  Call& c = calls_[key];
  c.requestId = id;
  c.tool = "act";
  c.mode = HelperCall::Mode::actInSession;
  c.child = std::move(child);
  c.budget = call.budget;
  c.snapshotId = snapshotId;
  loop_.watch(c.child->outputFd(), [this, key] { callOutput(key); });
  c.timer = loop_.after(call.budget, [this, key] { callTimedOut(key); });
}

void Server::callOutput(int key) {
  auto it = calls_.find(key);
  if (it == calls_.end()) return;
  Call& c = it->second;
  bool open = c.child->readAvailable(c.output);
  if (c.output.size() > kMaxHelperOutput) {
    finishCall(key, toolError("larkspire-computer answered with more than the largest possible response and was "
                              "ended; try again."));
    return;
  }
  bool lineDone = c.output.find('\n') != std::string::npos;
  // One-shot helpers end after their line; session helpers are answered on
  // their line (an observation's process then waits for the act).
  if (open && !(lineDone && c.mode != HelperCall::Mode::oneShot)) return;
  Json response = firstLine(c.output);
  if (response.is_null()) {
    int status = c.child->end();
    std::string what = c.mode == HelperCall::Mode::actInSession
                           ? " The action may have partly happened: observe again before acting further."
                           : " Try again; if it keeps happening, tell the user.";
    finishCall(key, toolError("larkspire-computer ended without an answer (exit status " + std::to_string(status) +
                              ")." + what));
    return;
  }
  Json result = resultFromResponse(c.tool, response);
  if (c.mode == HelperCall::Mode::observeSession && response.value("ok", false)) {
    // The session process stays for the act on this observation; one that
    // already ended leaves an expired snapshot.
    std::string snapshotId = response["data"].value("snapshotId", "");
    loop_.unwatch(c.child->outputFd());
    keepSession(snapshotId, std::move(c.child));
    if (!open || inputEnded_) endKept(snapshotId, true);
  }
  finishCall(key, std::move(result));
}

void Server::finishCall(int key, Json result) {
  auto it = calls_.find(key);
  if (it == calls_.end()) return;
  Json id = it->second.requestId;
  dropCall(key);
  send(resultMessage(id, std::move(result)));
  finishIfDone();
}

void Server::dropCall(int key) {
  auto it = calls_.find(key);
  if (it == calls_.end()) return;
  loop_.cancel(it->second.timer);
  if (it->second.child) {
    loop_.unwatch(it->second.child->outputFd());
    it->second.child->end();
  }
  calls_.erase(it);
}

void Server::finishIfDone() {
  if (inputEnded_ && calls_.empty()) shutdown(0);
}

void Server::callTimedOut(int key) {
  auto it = calls_.find(key);
  if (it == calls_.end()) return;
  Call& c = it->second;
  c.timer = 0;
  diagnose("larkspire-computer (" + c.tool + ") did not answer within " + seconds(c.budget) + "; ended it");
  std::string next = c.mode == HelperCall::Mode::actInSession
                         ? "The action may have partly happened: observe the window again before acting further."
                         : "Try again; if it keeps happening, tell the user the desktop is not answering.";
  finishCall(key,
             toolError("larkspire-computer did not answer within " + seconds(c.budget) + " and was ended. " + next));
}

std::optional<int> Server::callFor(const Json& requestId) const {
  for (const auto& [key, call] : calls_) {
    if (call.requestId == requestId) return key;
  }
  return std::nullopt;
}

void Server::keepSession(const std::string& snapshotId, std::unique_ptr<ChildProcess> child) {
  if (snapshotId.empty() || kept_.count(snapshotId)) return;  // nothing to act on; the child is ended
  if (auto oldest = book_.keep(snapshotId)) endKept(*oldest, true);
  Kept& kept = kept_[snapshotId];
  kept.child = std::move(child);
  // The process ends itself after its lifetime: that closes its output.
  loop_.watch(kept.child->outputFd(), [this, snapshotId] {
    auto it = kept_.find(snapshotId);
    if (it == kept_.end()) return;
    std::string ignored;
    if (!it->second.child->readAvailable(ignored)) endKept(snapshotId, true);
  });
  kept.timer = loop_.after(kKeptLifetime, [this, snapshotId] { endKept(snapshotId, true); });
}

void Server::endKept(std::string snapshotId, bool expired) {
  auto it = kept_.find(snapshotId);
  if (it != kept_.end()) {
    loop_.cancel(it->second.timer);
    if (it->second.child) loop_.unwatch(it->second.child->outputFd());
    kept_.erase(it);  // ends and reaps the process
  }
  if (expired) book_.markExpired(snapshotId);
}

// ------------------------------------------------------- selection resource

Json Server::readResource(const Json& params, bool& found) {
  found = params.value("uri", "") == kSelectionUri;
  if (!found) return nullptr;
  ensureObserver();
  return {{"contents", Json::array({Json{{"uri", std::string(kSelectionUri)},
                                         {"mimeType", "application/json"},
                                         {"text", json::compact(selection_.contents())}}})}};
}

void Server::ensureObserver() {
  if (observerWanted_) return;
  observerWanted_ = true;
  startObserver();
}

void Server::startObserver() {
  observerRestart_ = 0;
  std::vector<std::string> argv{settings_.observer};
  if (settings_.ignorePid > 1) {
    argv.push_back("--ignore-pid");
    argv.push_back(std::to_string(settings_.ignorePid));
  }
  std::string error;
  observer_ = ChildProcess::start(argv, error);
  observerStarted_ = Clock::now();
  observerBuffer_.clear();
  if (!observer_) {
    diagnose("the selection observer could not be started: " + error);
    observerEnded();
    return;
  }
  loop_.watch(observer_->outputFd(), [this] { observerOutput(); });
}

void Server::observerOutput() {
  if (!observer_) return;
  bool open = observer_->readAvailable(observerBuffer_);
  size_t start = 0;
  size_t end;
  bool changed = false;
  while ((end = observerBuffer_.find('\n', start)) != std::string::npos) {
    changed |= selection_.apply(std::string_view(observerBuffer_).substr(start, end - start));
    start = end + 1;
  }
  observerBuffer_.erase(0, start);
  if (observerBuffer_.size() > kMaxLine) observerBuffer_.clear();
  if (changed && subscribed_) {
    send(notificationMessage("notifications/resources/updated", {{"uri", std::string(kSelectionUri)}}));
    if (stopping_) return;  // the client is gone
  }
  if (!open) {
    loop_.unwatch(observer_->outputFd());
    int status = observer_->end();
    diagnose("the selection observer ended (status " + std::to_string(status) + ")");
    observer_.reset();
    observerEnded();
  }
}

void Server::observerEnded() {
  if (stopping_ || inputEnded_) return;
  auto ranFor = std::chrono::duration_cast<RestartBackoff::Duration>(Clock::now() - observerStarted_);
  auto delay = backoff_.next(ranFor);
  diagnose("starting the selection observer again in " + std::to_string(delay.count()) + " ms");
  observerRestart_ = loop_.after(delay, [this] { startObserver(); });
}

}  // namespace larkspire::mcp
