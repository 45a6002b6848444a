#include "mcp/process/keeper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>

#include "mcp/process/child_process.h"

namespace larkspire::mcp {
namespace {

int keeperPipe = -1;
pid_t keeperPid = -1;

[[noreturn]] void keep(int commands) {
  // Out of our process group and deaf to the signals a terminal or a client
  // sends to a whole group: only the end of the pipe ends the keeper.
  setpgid(0, 0);
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  // Holding our standard streams would keep the client from seeing the end
  // of our output.
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    if (null > STDERR_FILENO) close(null);
  }
  std::set<int> groups;
  std::string pending;
  char buffer[512];
  while (true) {
    ssize_t n = read(commands, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.size() < 2) continue;
      int group = std::atoi(line.c_str() + 1);
      if (group <= 1) continue;
      if (line[0] == '+') groups.insert(group);
      if (line[0] == '-') groups.erase(group);
    }
  }
  for (int group : groups) kill(-group, SIGKILL);
  _exit(0);
}

void tell(char what, int group) {
  if (keeperPipe < 0) return;
  std::string line = what + std::to_string(group) + "\n";
  // Shorter than PIPE_BUF, so written whole; a dead keeper (EPIPE) is
  // ignored: the helper is still ended by us on every normal path.
  while (write(keeperPipe, line.data(), line.size()) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool startKeeper() {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[1]);
    keep(fds[0]);
  }
  close(fds[0]);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  keeperPipe = fds[1];
  keeperPid = pid;
  return true;
}

void stopKeeper() {
  if (keeperPipe >= 0) close(keeperPipe);
  keeperPipe = -1;
  if (keeperPid > 0) {
    while (waitpid(keeperPid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  keeperPid = -1;
}

void keepWatch(int processGroup) { tell('+', processGroup); }
void dropWatch(int processGroup) { tell('-', processGroup); }

}  // namespace larkspire::mcp
