#include "platform/linux/xdg/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace larkspire::linux_backend::xdg {
namespace {

std::optional<std::string> readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::optional<ProcessStat> parseProcessStat(const std::string& text) {
  // The command name sits in parentheses and may itself hold ")" or spaces:
  // the fields start after the last ")".
  auto close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::vector<std::string> values;
  for (std::string field; fields >> field;) values.push_back(field);
  // state ppid pgrp session ... starttime is the 20th field after the name.
  if (values.size() < 20 || values[0].size() != 1) return std::nullopt;
  ProcessStat stat;
  stat.state = values[0][0];
  try {
    stat.sessionId = static_cast<platform::Pid>(std::stol(values[3]));
    stat.startTime = std::stoull(values[19]);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return stat;
}

std::optional<ProcessStat> readProcessStat(platform::Pid pid) {
  if (pid <= 0) return std::nullopt;
  auto text = readWholeFile("/proc/" + std::to_string(pid) + "/stat");
  if (!text) return std::nullopt;
  return parseProcessStat(*text);
}

bool processRunning(platform::Pid pid, unsigned long long startTime) {
  auto stat = readProcessStat(pid);
  return stat && stat->state != 'Z' && stat->state != 'X' && stat->startTime == startTime;
}

bool sessionHasProcesses(platform::Pid session) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return false;
  bool found = false;
  while (auto* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    auto stat = readProcessStat(static_cast<platform::Pid>(pid));
    if (stat && stat->sessionId == session && stat->state != 'Z' && stat->state != 'X') {
      found = true;
      break;
    }
  }
  ::closedir(proc);
  return found;
}

std::optional<std::string> processExecutable(platform::Pid pid) {
  if (pid <= 0) return std::nullopt;
  char buffer[4096];
  auto link = "/proc/" + std::to_string(pid) + "/exe";
  auto n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return std::nullopt;
  std::string path(buffer, static_cast<std::size_t>(n));
  constexpr std::string_view deleted = " (deleted)";
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
    path.resize(path.size() - deleted.size());
  }
  return path;
}

std::vector<std::string> processCommandLine(platform::Pid pid) {
  std::vector<std::string> args;
  if (pid <= 0) return args;
  auto text = readWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
  if (!text) return args;
  std::size_t start = 0;
  while (start < text->size()) {
    auto end = text->find('\0', start);
    if (end == std::string::npos) end = text->size();
    args.push_back(text->substr(start, end - start));
    start = end + 1;
  }
  return args;
}

Spawned spawnDetached(const std::vector<std::string>& argv, const std::optional<std::string>& workingDirectory) {
  if (argv.empty() || argv.front().empty()) return {0, "nothing to run"};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);

  // Our standard output carries the protocol: the application must never
  // write into it, nor keep our pipes open.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (workingDirectory) posix_spawn_file_actions_addchdir_np(&actions, workingDirectory->c_str());

  // Its own session, so it outlives us and our terminal's signals; default
  // signal handling whatever we ignore.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  pid_t pid = 0;
  int error = posix_spawnp(&pid, args.front(), &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return {0, std::string("cannot start ") + argv.front() + ": " + std::strerror(error)};
  return {static_cast<platform::Pid>(pid), std::nullopt};
}

}  // namespace larkspire::linux_backend::xdg
