// Drives the shared Linux connections alone, for the process tests:
//   context_probe lost-display   opens $DISPLAY, prints {"opened":...}, waits
//                                for a line on stdin (the test kills the X
//                                server meanwhile), then uses the display
//                                again and prints what it answered.
// Library messages are silenced first, as in the programs; stderr is left
// open so that anything a library still prints would show.
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "platform/linux/linux_platform.h"

using namespace larkspire::linux_backend;

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]) != "lost-display") return 2;
  silenceLibraryMessages();
  LinuxContext context;
  Display* display = context.display();
  std::cout << "{\"opened\":" << (display != nullptr ? "true" : "false")
            << ",\"capture\":" << (screenCaptureAvailable(context) ? "true" : "false") << "}" << std::endl;
  std::string line;
  std::getline(std::cin, line);
  if (display != nullptr) {
    // The first request after the server went away meets the broken connection.
    XSync(display, False);
    XFlush(display);
  }
  std::cout << "{\"alive\":true,\"display\":" << (context.display() != nullptr ? "true" : "false")
            << ",\"capture\":" << (screenCaptureAvailable(context) ? "true" : "false") << "}" << std::endl;
  return 0;
}
