// The process entry of the computer tool: the command line, the standard
// streams, the threads and the end of the process.
#pragma once

#include <functional>
#include <memory>

#include "computer/request/session.h"
#include "platform/platform.h"

namespace larkspire::computer {

// Whether the command line asks for session mode: some argument after the
// program name is exactly "--session".
bool isSessionMode(int argc, const char* const* argv);

// What a computer-tool process is assembled from. The program uses the
// native desktop and the real operations; test programs substitute them.
struct ProcessWiring {
  std::function<std::unique_ptr<platform::NativePlatform>()> makePlatform = platform::makeNativePlatform;
  std::function<SessionOperations(platform::Platform&)> sessionOperations = platformOperations;
};

// A real lifetime timer: a background thread that waits on the monotonic
// clock and then calls `expire`.
void armLifetimeTimer(double seconds, std::function<void()> expire);

// A real desktop watch: a background thread that, once the operation has
// run for a second, asks every half second whether the desktop is gone
// (Session::desktopGone with a probe) and calls `stuck` once if it is. A
// desktop already gone when the watch starts is not watched: nothing waits
// on it. The watch ends with the handle.
std::shared_ptr<void> watchDesktop(platform::Session& session, std::function<void()> stuck);

class ComputerHelper {
 public:
  // Runs one request (or one session) and ends the process with _exit once
  // the last byte of output is written. Never returns.
  [[noreturn]] static void main(int argc, const char* const* argv, const ProcessWiring& wiring = {});
};

}  // namespace larkspire::computer
