#include "computer/request/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "computer/failure.h"
#include "computer/request/dispatch.h"

namespace larkspire::computer {
namespace {

// The tool writes nothing to standard error, and neither may any library it
// loads; everything that tries lands in /dev/null.
void silenceStandardError() {
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return;
  ::dup2(null, STDERR_FILENO);
  // A descriptor below 3 fills a standard stream the parent left closed;
  // keeping it stops later files from landing there.
  if (null > STDERR_FILENO) ::close(null);
}

// Runs `work` on a worker thread while the main thread runs the platform's
// loop, which some platforms need to deliver asynchronous results. The work
// ends the process; the join only matters if the loop returns first.
[[noreturn]] void runBesideMainLoop(platform::Platform& platform, const std::function<int()>& work) {
  std::thread worker([&work] { ::_exit(work()); });
  platform.runLoop.run();
  worker.join();
  ::_exit(0);
}

// A request normally answers in well under this; only after it does the
// watchdog start asking whether the desktop still answers.
constexpr double kWatchAfterSeconds = 1.0;
constexpr double kWatchEverySeconds = 0.5;

}  // namespace

std::shared_ptr<void> watchDesktop(platform::Session& session, std::function<void()> stuck) {
  auto ended = std::make_shared<std::atomic<bool>>(false);
  try {
    std::thread([&session, stuck = std::move(stuck), ended] {
      auto pause = [&](double seconds) {
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!*ended && std::chrono::steady_clock::now() < until)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
      };
      // A display that cannot be had from the start is never waited on:
      // the request goes on without it and answers by itself. (Asking
      // now also opens the request's own connection, within its limit.)
      if (session.desktopGone(true)) return;
      pause(kWatchAfterSeconds);
      while (!*ended) {
        // Asked over connections of its own, so this does not get stuck
        // where the request is.
        if (session.desktopGone(true) && !*ended) return stuck();
        pause(kWatchEverySeconds);
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the request goes on unwatched.
  }
  return std::shared_ptr<void>(nullptr, [ended](void*) { *ended = true; });
}

bool isSessionMode(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && std::string_view(argv[i]) == "--session") return true;
  }
  return false;
}

void armLifetimeTimer(double seconds, std::function<void()> expire) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::thread([deadline, expire = std::move(expire)] {
    std::this_thread::sleep_until(deadline);
    expire();
  }).detach();
}

void ComputerHelper::main(int argc, const char* const* argv, const ProcessWiring& wiring) {
  silenceStandardError();
  FileDescriptorOutput output(STDOUT_FILENO);
  FileDescriptorSource input(STDIN_FILENO);

  if (isSessionMode(argc, argv)) {
    std::unique_ptr<platform::NativePlatform> native;
    try {
      native = wiring.makePlatform();
    } catch (...) {
      // Without a desktop no request could be served; the parent sees what
      // it sees for an unusable first request.
      ::_exit(1);
    }
    platform::Platform& platform = native->platform();
    SessionOperations operations = wiring.sessionOperations(platform);
    runBesideMainLoop(platform, [&]() -> int {
      LineReader lines(input, kSessionLineLimit);
      SessionRuntime runtime{
          [&lines] { return readSessionRequest(lines); },
          output,
          armLifetimeTimer,
          // The lifetime may run out, or the desktop stop answering, while
          // an act is still typing.
          [&native](int status) {
            native->releaseBeforeExit();
            ::_exit(status);
          },
          [&platform](std::function<void()> stuck) { return watchDesktop(platform.session, std::move(stuck)); },
      };
      runSession(operations, runtime);
      // runSession always ends the process; this is never reached.
      return 1;
    });
  }

  std::unique_ptr<platform::NativePlatform> native;
  OneShotRuntime runtime{
      [&]() -> platform::Platform& {
        native = wiring.makePlatform();
        return native->platform();
      },
      [](platform::Platform& platform, const std::function<int()>& work) -> int { runBesideMainLoop(platform, work); },
      [](platform::Platform& platform, std::function<void()> stuck) {
        return watchDesktop(platform.session, std::move(stuck));
      },
      [](int status) { ::_exit(status); },
  };
  ::_exit(runOneShot(input, output, runtime));
}

}  // namespace larkspire::computer
