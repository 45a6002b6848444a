// A helper program run as a child: its standard input and output are pipes
// to us, standard error is ours. Each child leads a process group of its own,
// so ending it ends whatever it started in that group too, and on Linux it is
// killed by the kernel should this process die first.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkspire::mcp {

class ChildProcess {
 public:
  // Starts argv[0] (a path) with the given arguments and this process's
  // environment. None, with a reason in error, when it cannot be started.
  static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv, std::string& error);

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Ends the child's process group and reaps the child: never a zombie.
  ~ChildProcess();

  int pid() const { return pid_; }
  // Non-blocking read end of the child's standard output, open as long as
  // this object lives.
  int outputFd() const { return stdout_; }

  // Writes all bytes to the child's standard input. False when the child
  // no longer reads (the pipe is closed).
  bool send(std::string_view bytes);
  void closeInput();

  // Reads what is available. Returns false at end of output (the child
  // closed its standard output, normally by ending); appends to out. Whoever
  // watches the descriptor stops watching it at the end of output.
  bool readAvailable(std::string& out);

  // SIGKILL to the whole group, then waits for the child. Returns its exit
  // status (a signal N as 128+N); idempotent.
  int end();
  // The exit status when the child has ended on its own, without waiting.
  std::optional<int> exited();

 private:
  ChildProcess(int pid, int in, int out) : pid_(pid), stdin_(in), stdout_(out) {}
  void closeOutput();

  int pid_;
  int stdin_;
  int stdout_;
  std::optional<int> status_;
};

// Registers a process group with the keeper (see keeper.h); a no-op until
// the keeper has been started.
void keepWatch(int processGroup);
void dropWatch(int processGroup);

}  // namespace larkspire::mcp
