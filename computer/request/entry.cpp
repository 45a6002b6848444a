#include "computer/request/entry.h"

#include <chrono>
#include <fcntl.h>
#include <string_view>
#include <thread>
#include <unistd.h>

#include "computer/request/dispatch.h"
#include "computer/request/failure.h"

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

}  // namespace

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
          // The lifetime may run out while an act is still typing.
          [&native](int status) {
            native->releaseBeforeExit();
            ::_exit(status);
          },
      };
      runSession(operations, runtime);
      // runSession always ends the process; this is never reached.
      return 1;
    });
  }

  auto request = readOneShotRequest(input);
  if (!request) {
    emit(output, invalidRequestResponse());
    ::_exit(1);
  }
  std::unique_ptr<platform::NativePlatform> native;
  try {
    native = wiring.makePlatform();
  } catch (...) {
    emit(output, failureResponse(kUnavailable, true));
    ::_exit(1);
  }
  platform::Platform& platform = native->platform();
  runBesideMainLoop(platform, [&]() -> int {
    Answer answer = answerRequest(platform, *request);
    emit(output, answer.response);
    return answer.status;
  });
}

}  // namespace larkspire::computer
