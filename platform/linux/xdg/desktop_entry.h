// XDG desktop entries: where they live, how one is read, and how its Exec
// line becomes an argument vector. Pure of X and D-Bus so that unit tests can
// drive it with temporary folders and made-up environments.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace larkspire::linux_backend::xdg {

// Reads one environment variable; tests pass their own.
using Getenv = std::function<std::optional<std::string>(const std::string& name)>;
std::optional<std::string> processEnvironment(const std::string& name);

inline constexpr const char* kDesktopSuffix = ".desktop";

// $XDG_DATA_HOME/applications (default ~/.local/share/applications), then
// each $XDG_DATA_DIRS entry's applications folder (default /usr/local/share
// and /usr/share). Relative and empty entries are ignored, duplicates
// dropped; earlier folders take precedence.
std::vector<std::string> applicationFolders(const Getenv& getenv);

// The locale translated keys are chosen for: LC_ALL, else LC_MESSAGES, else
// LANG, with the encoding part removed ("de_DE.UTF-8@euro" -> "de_DE@euro").
// Empty for the C and POSIX locales, where nothing is translated.
std::string messagesLocale(const Getenv& getenv);

// True for a desktop-file id that may safely name a file: not empty, no
// "/", no NUL, and not "." or ".." in any form.
bool validDesktopFileId(const std::string& id);

// The desktop-file id of a file inside one of the folders: its path below
// the folder with "/" turned into "-" and the suffix removed. Files outside
// every folder are named by their file name alone.
std::string desktopFileIdForPath(const std::vector<std::string>& folders, const std::string& path);

// The file that owns an id: the first one found in folder order, also in
// subfolders ("kde4-foo" may be kde4/foo.desktop). None when no folder has it.
std::optional<std::string> findDesktopFile(const std::vector<std::string>& folders, const std::string& id);

// An Exec value (already unescaped as a key-file string) split into
// arguments: double quotes group, backslash escapes ", `, $ and \ inside
// them, "%%" is a percent sign and every other field code is dropped (we
// never pass files or URLs). An argument made only of field codes vanishes.
// None when a quote is left open or nothing remains.
std::optional<std::vector<std::string>> parseExec(const std::string& exec);

struct DesktopEntry {
  std::string id;
  std::string path;
  std::string name;                             // Name for the messages locale
  std::string untranslatedName;                 // Name as written, without translation
  std::vector<std::string> exec;                // empty when the entry cannot be started
  std::optional<std::string> workingDirectory;  // Path
  std::optional<std::string> startupWMClass;
  bool noDisplay = false;
};

// Reads the entry at path. None when the file cannot be read or parsed, has
// no [Desktop Entry] group or Name, is not of type Application, or is
// Hidden (a deleted entry).
std::optional<DesktopEntry> readDesktopEntry(const std::string& path, const std::string& id, const std::string& locale);

}  // namespace larkspire::linux_backend::xdg
