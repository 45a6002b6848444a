// The MCP server: reads JSON-RPC lines from standard input, answers on
// standard output, and runs the helpers as child processes for tool calls
// and the selection resource. Single-threaded on an EventLoop.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "mcp/process/child_process.h"
#include "mcp/process/event_loop.h"
#include "mcp/protocol/jsonrpc.h"
#include "mcp/selection/selection_state.h"
#include "mcp/server/snapshot_book.h"
#include "mcp/tools/catalog.h"

namespace larkspire::mcp {

struct ServerSettings {
  std::string computer;  // path of larkspire-computer
  std::string observer;  // path of larkspire-selection-observer
  int ignorePid = 0;     // the client's process: its selections are not reported
  int input = 0;         // where requests come from
  int output = 1;        // where answers go
};

class Server {
 public:
  Server(EventLoop& loop, ServerSettings settings);
  ~Server();

  // Runs until the input ends, a terminating signal arrives or the output
  // is gone; every helper is ended and reaped before it returns. The exit
  // status for the process.
  int run();

 private:
  // One tool call waiting for a helper.
  struct Call {
    Json requestId;
    std::string tool;
    HelperCall::Mode mode = HelperCall::Mode::oneShot;
    std::unique_ptr<ChildProcess> child;
    std::string output;
    EventLoop::TimerId timer = 0;
    std::chrono::seconds budget{0};
    std::string snapshotId;  // for an act
  };
  // An observation whose session process waits for its act.
  struct Kept {
    std::unique_ptr<ChildProcess> child;
    EventLoop::TimerId timer = 0;
  };

  static constexpr std::size_t kMaxCallsInFlight = 8;
  static constexpr std::size_t kMaxLine = 4 * 1024 * 1024;
  static constexpr std::size_t kMaxHelperOutput = 32 * 1024 * 1024;

  void readInput();
  void endOfInput();
  void finishIfDone();
  void handleLine(std::string_view line);
  void handleRequest(const Incoming& message);
  void handleNotification(const Incoming& message);
  void send(const Json& message);
  void shutdown(int status);

  // tools/call
  void callTool(const Json& id, const Json& params);
  void startCall(const Json& id, std::string tool, HelperCall call);
  void startAct(const Json& id, HelperCall call);
  void callOutput(int key);
  void finishCall(int key, Json result);
  void dropCall(int key);
  void callTimedOut(int key);
  std::optional<int> callFor(const Json& requestId) const;

  void keepSession(const std::string& snapshotId, std::unique_ptr<ChildProcess> child);
  void endKept(std::string snapshotId, bool expired);

  // the selection resource
  Json readResource(const Json& params, bool& found);
  void ensureObserver();
  void startObserver();
  void observerOutput();
  void observerEnded();

  EventLoop& loop_;
  ServerSettings settings_;
  std::string inputBuffer_;
  bool discardingLine_ = false;
  bool initialized_ = false;
  int exitStatus_ = 0;
  bool stopping_ = false;
  bool inputEnded_ = false;

  std::map<int, Call> calls_;
  int nextCall_ = 1;
  std::map<std::string, Kept> kept_;
  SnapshotBook book_;

  std::unique_ptr<ChildProcess> observer_;
  std::string observerBuffer_;
  Clock::time_point observerStarted_;
  EventLoop::TimerId observerRestart_ = 0;
  bool observerWanted_ = false;
  bool subscribed_ = false;
  SelectionState selection_;
  RestartBackoff backoff_;
};

}  // namespace larkspire::mcp
