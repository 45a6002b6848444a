// The desktop entries in effect, and the one a running process belongs to.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/xdg/desktop_entry.h"

namespace larkspire::linux_backend::xdg {

// What a process says of itself, as far as naming its application goes.
struct ProcessFacts {
  std::vector<std::string> applicationIds;  // GApplication ids on its windows
  std::vector<std::string> wmClasses;       // WM_CLASS instance and class names
  std::optional<std::string> executable;    // /proc/PID/exe
  std::vector<std::string> commandLine;     // /proc/PID/cmdline
};

// Whether a program (a path or a name) is an interpreter: a shell, Python,
// Perl, Node, Java and the like. Such a program runs other people's code,
// so running it says nothing about which application a process is.
bool isInterpreter(const std::string& program);

// The script an interpreter is asked to run among its arguments (those
// after the program itself): the first that is not an option. None when
// there is none.
std::optional<std::string> scriptArgument(const std::vector<std::string>& arguments);

class DesktopCatalog {
 public:
  explicit DesktopCatalog(Getenv getenv = processEnvironment);

  const std::vector<std::string>& folders() const { return folders_; }
  const std::string& locale() const { return locale_; }

  // The entry an id names, NoDisplay ones included. An id whose first file
  // in folder order is Hidden or broken names nothing, even when a later
  // folder has a good one: that is how a user deletes a system entry.
  std::optional<DesktopEntry> entryForId(const std::string& id) const;
  // The entry at path, when it is the one that its id names.
  std::optional<DesktopEntry> entryAtPath(const std::string& path) const;

  // The entry of a running process: its GApplication id, else WM_CLASS
  // against StartupWMClass (then against the id itself), else its program
  // against Exec, an entry whose arguments match too preferred. A process
  // of an interpreter matches an Exec of that interpreter only when both
  // name the same script, and a WM_CLASS that is an interpreter's name
  // names nothing.
  std::optional<DesktopEntry> identify(const ProcessFacts& facts);

  // A program name or path as exec would find it, with links resolved.
  std::optional<std::string> resolveProgram(const std::string& program) const;

 private:
  void refresh();
  // The steps of identify after the GApplication id: the window classes,
  // then the program the process runs.
  std::optional<DesktopEntry> byWindowClass(const std::vector<std::string>& wmClasses) const;
  std::optional<DesktopEntry> byProgram(const ProcessFacts& facts) const;
  // The programs a process may be running, resolved, each with the index of
  // its argv[0] in the command line.
  std::vector<std::pair<std::string, std::size_t>> programsOf(const ProcessFacts& facts) const;
  // How well an entry whose Exec names `program` matches a process running
  // it with arguments `rest`: 0 not at all (an interpreter with another
  // script), 1 the program, 2 the program and its arguments.
  int execScore(const DesktopEntry& entry, const std::string& program, const std::vector<std::string>& rest) const;
  // Whether an entry's arguments and a process's name the same script.
  bool sameScript(const std::vector<std::string>& entryArguments,
                  const std::vector<std::string>& processArguments) const;

  Getenv getenv_;
  std::vector<std::string> folders_;
  std::string locale_;
  // Every entry in effect, in precedence order; rebuilt when a folder changes.
  std::vector<DesktopEntry> entries_;
  std::vector<std::pair<std::string, std::timespec>> stamps_;
  bool indexed_ = false;
};

}  // namespace larkspire::linux_backend::xdg
