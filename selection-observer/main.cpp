// larkspire-selection-observer: reports the text the user selects in other
// applications, one JSON line per change.
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "selection-observer/entry.h"
#include "selection-observer/output.h"

int main(int argc, char** argv) {
  // A parent that closes our pipe must not kill us mid-line with SIGPIPE;
  // the write fails instead and the line is dropped.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto native = larkspire::platform::makeNativePlatform();
  larkspire::observer::ProcessOutput output;
  int status = larkspire::observer::runObserverProgram(native->platform(), output, arguments,
                                                       [](int status) { ::_exit(status); });
  // Ended without tearing the desktop's connections down: the watchdog's
  // thread may still use them, and a desktop that went away is not to be
  // written to. Every line is already out (unbuffered writes).
  ::_exit(status);
}
