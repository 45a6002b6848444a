#include "selection-observer/output.h"

#include <unistd.h>

#include <cerrno>

namespace larkspire::observer {
namespace {

// One write per line; a short write (a full pipe) continues with the rest.
// A closed pipe drops the line: the observer has no one to tell.
void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void ProcessOutput::standardOutput(std::string_view line) { writeAll(1, line); }
void ProcessOutput::standardError(std::string_view line) { writeAll(2, line); }

}  // namespace larkspire::observer
