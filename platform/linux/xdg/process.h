// What /proc tells about a process: whether it still runs (and is still the
// same process), its session, its program and arguments. Starting a
// program the way a desktop launcher does.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/values.h"

namespace larkspire::linux_backend::xdg {

struct ProcessStat {
  char state = '?';  // 'Z' for a zombie, 'X' for dead
  platform::Pid sessionId = 0;
  unsigned long long startTime = 0;  // clock ticks after boot; tells reused pids apart
};

// Parses the text of /proc/PID/stat; none when it is malformed.
std::optional<ProcessStat> parseProcessStat(const std::string& text);
std::optional<ProcessStat> readProcessStat(platform::Pid pid);

// True while the process runs: it exists, is no zombie, and started when the
// caller first saw it (a pid can be reused after an exit).
bool processRunning(platform::Pid pid, unsigned long long startTime);

// Whether any process other than a zombie still belongs to a session.
bool sessionHasProcesses(platform::Pid session);

std::optional<std::string> processExecutable(platform::Pid pid);
std::vector<std::string> processCommandLine(platform::Pid pid);

// Starts argv in a session of its own, with /dev/null for its standard
// streams, no descriptor of ours and default signal handling, searching
// PATH for the program. Answers the pid, or an error text.
struct Spawned {
  platform::Pid pid = 0;
  std::optional<std::string> error;
};
Spawned spawnDetached(const std::vector<std::string>& argv, const std::optional<std::string>& workingDirectory);

}  // namespace larkspire::linux_backend::xdg
