#include "mcp/process/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstring>

namespace larkspire::mcp {
namespace {

void closeQuietly(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool makePipe(int fds[2]) {
  if (pipe(fds) != 0) return false;
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

int statusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return 255;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void becomeHelper(const std::vector<char*>& argv, pid_t parent, int in, int out, int report) {
  setpgid(0, 0);
#ifdef __linux__
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);  // the parent died before prctl
#else
  (void)parent;
#endif
  // Signal dispositions we changed must not reach the helper (an ignored
  // SIGPIPE survives exec).
  signal(SIGPIPE, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  execv(argv[0], argv.data());
  int error = errno;
  ssize_t ignored = write(report, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& args, std::string& error) {
  if (args.empty()) {
    error = "no program";
    return nullptr;
  }
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int in[2], out[2], report[2];
  if (!makePipe(in)) {
    error = std::strerror(errno);
    return nullptr;
  }
  if (!makePipe(out)) {
    error = std::strerror(errno);
    close(in[0]);
    close(in[1]);
    return nullptr;
  }
  if (!makePipe(report)) {
    error = std::strerror(errno);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    return nullptr;
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) becomeHelper(argv, parent, in[0], out[1], report[1]);
  int forkError = errno;
  close(in[0]);
  close(out[1]);
  close(report[1]);
  if (pid < 0) {
    error = std::strerror(forkError);
    close(in[1]);
    close(out[0]);
    close(report[0]);
    return nullptr;
  }
  // Both sides set the group, so it exists whichever runs first.
  setpgid(pid, pid);
  keepWatch(pid);
  auto child = std::unique_ptr<ChildProcess>(new ChildProcess(pid, in[1], out[0]));
  int execError = 0;
  ssize_t n;
  while ((n = read(report[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n > 0) {
    error = std::string("cannot run ") + args[0] + ": " + std::strerror(execError);
    return nullptr;  // the destructor reaps it
  }
  fcntl(child->stdout_, F_SETFL, fcntl(child->stdout_, F_GETFL) | O_NONBLOCK);
  return child;
}

ChildProcess::~ChildProcess() {
  end();
  closeQuietly(stdin_);
  closeOutput();
}

bool ChildProcess::send(std::string_view bytes) {
  while (!bytes.empty() && stdin_ >= 0) {
    ssize_t n = write(stdin_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return bytes.empty();
}

void ChildProcess::closeInput() { closeQuietly(stdin_); }

void ChildProcess::closeOutput() { closeQuietly(stdout_); }

bool ChildProcess::readAvailable(std::string& out) {
  char buffer[65536];
  while (stdout_ >= 0) {
    ssize_t n = read(stdout_, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    // Kept open until the child is destroyed, so that the descriptor's
    // number is not reused while someone may still watch it.
    return false;
  }
  return false;
}

std::optional<int> ChildProcess::exited() {
  if (status_) return status_;
  // Looked at without reaping first: while the ended helper is not reaped
  // its group still exists, so what it left behind in it can be ended too.
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != pid_) {
    return std::nullopt;
  }
  return end();
}

int ChildProcess::end() {
  if (status_) return *status_;
  // Killing the group after the helper ended on its own is harmless: only
  // what it left in its own group is still there.
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  int raw = 0;
  while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
  }
  dropWatch(pid_);
  status_ = statusOf(raw);
  return *status_;
}

}  // namespace larkspire::mcp
