// A single-threaded loop over file descriptors, deadlines and the signals
// that end the server (SIGTERM, SIGINT, SIGHUP). Everything the server does
// happens in its callbacks, so nothing is shared between threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>

namespace larkspire::mcp {

using Clock = std::chrono::steady_clock;

class EventLoop {
 public:
  using TimerId = std::uint64_t;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Calls onReadable whenever fd has data or is closed by its writer.
  void watch(int fd, std::function<void()> onReadable);
  void unwatch(int fd);

  TimerId after(Clock::duration delay, std::function<void()> onTime);
  void cancel(TimerId id);

  // Called once when a terminating signal arrives.
  void onSignal(std::function<void(int)> handler) { signalHandler_ = std::move(handler); }

  // Runs until stop().
  void run();
  void stop() { running_ = false; }

 private:
  std::map<int, std::function<void()>> watched_;
  std::multimap<Clock::time_point, std::pair<TimerId, std::function<void()>>> timers_;
  std::function<void(int)> signalHandler_;
  TimerId nextTimer_ = 1;
  bool running_ = false;
};

}  // namespace larkspire::mcp
