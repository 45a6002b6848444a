#include "platform/linux/xdg/catalog.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

namespace larkspire::linux_backend::xdg {
namespace {

namespace fs = std::filesystem;

constexpr int kMaximumDepth = 4;

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::timespec modificationTime(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {-1, -1};
  return st.st_mtim;
}

bool sameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::optional<std::string> realPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return std::nullopt;
  return std::string(resolved);
}

// Desktop files below a folder, sorted by name at each level so that the
// first of two files claiming one id is always the same.
void collect(const fs::path& folder, int depth, std::vector<std::string>& out) {
  std::error_code error;
  std::vector<fs::directory_entry> children;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    children.push_back(*it);
  }
  std::sort(children.begin(), children.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
  for (const auto& child : children) {
    std::error_code statError;
    auto name = child.path().filename().string();
    if (child.is_regular_file(statError) && endsWith(name, kDesktopSuffix)) {
      out.push_back(child.path().string());
    } else if (depth > 0 && child.is_directory(statError) && !child.is_symlink(statError)) {
      collect(child.path(), depth - 1, out);
    }
  }
}

std::string asciiLower(const std::string& text) {
  std::string lower = text;
  for (auto& c : lower) c = g_ascii_tolower(c);
  return lower;
}

}  // namespace

DesktopCatalog::DesktopCatalog(Getenv getenv)
    : getenv_(std::move(getenv)), folders_(applicationFolders(getenv_)), locale_(messagesLocale(getenv_)) {}

void DesktopCatalog::refresh() {
  std::vector<std::pair<std::string, std::timespec>> stamps;
  for (const auto& folder : folders_) stamps.emplace_back(folder, modificationTime(folder));
  auto same = [](const std::timespec& a, const std::timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  if (indexed_ &&
      std::equal(stamps.begin(), stamps.end(), stamps_.begin(), stamps_.end(),
                 [&](const auto& a, const auto& b) { return a.first == b.first && same(a.second, b.second); })) {
    return;
  }
  entries_.clear();
  std::set<std::string> claimed;
  for (const auto& folder : folders_) {
    std::vector<std::string> files;
    collect(folder, kMaximumDepth, files);
    for (const auto& file : files) {
      auto id = desktopFileIdForPath(folders_, file);
      // The first file of an id decides, also when it hides the id.
      if (!claimed.insert(id).second) continue;
      if (auto entry = readDesktopEntry(file, id, locale_)) entries_.push_back(std::move(*entry));
    }
  }
  stamps_ = std::move(stamps);
  indexed_ = true;
}

std::optional<DesktopEntry> DesktopCatalog::entryForId(const std::string& id) const {
  auto file = findDesktopFile(folders_, id);
  if (!file) return std::nullopt;
  return readDesktopEntry(*file, id, locale_);
}

std::optional<DesktopEntry> DesktopCatalog::entryAtPath(const std::string& path) const {
  auto id = desktopFileIdForPath(folders_, path);
  bool inFolder = false;
  for (const auto& folder : folders_) inFolder = inFolder || path.rfind(folder + "/", 0) == 0;
  if (inFolder) {
    auto owner = findDesktopFile(folders_, id);
    if (!owner || !sameFile(*owner, path)) return std::nullopt;
  }
  return readDesktopEntry(path, id, locale_);
}

std::optional<std::string> DesktopCatalog::resolveProgram(const std::string& program) const {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) {
    if (program.front() != '/') return std::nullopt;  // relative to a directory we do not know
    return realPath(program);
  }
  auto path = getenv_("PATH");
  std::string dirs = path && !path->empty() ? *path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    auto colon = dirs.find(':', start);
    if (colon == std::string::npos) colon = dirs.size();
    auto dir = dirs.substr(start, colon - start);
    start = colon + 1;
    if (dir.empty() || dir.front() != '/') continue;
    auto candidate = dir + "/" + program;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
      return realPath(candidate);
    }
  }
  return std::nullopt;
}

bool isInterpreter(const std::string& program) {
  std::string name = program.substr(program.find_last_of('/') + 1);
  for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // python3.11, perl5.36, ruby3.1, lua5.4: the name without its version.
  while (!name.empty() &&
         (std::isdigit(static_cast<unsigned char>(name.back())) || name.back() == '.' || name.back() == '-')) {
    name.pop_back();
  }
  static const std::set<std::string> kInterpreters{
      "sh",        "bash",   "dash", "zsh",  "ksh",      "mksh",     "csh",     "tcsh",   "fish",    "busybox",
      "env",       "python", "pypy", "perl", "ruby",     "node",     "nodejs",  "java",   "lua",     "luajit",
      "php",       "tclsh",  "wish", "gjs",  "cjs",      "guile",    "mono",    "dotnet", "rscript", "r",
      "osascript", "deno",   "bun",  "qml",  "qmlscene", "xdg-open", "flatpak", "snap",   "electron"};
  return kInterpreters.count(name) > 0;
}

std::optional<std::string> scriptArgument(const std::vector<std::string>& arguments) {
  for (const auto& argument : arguments) {
    if (!argument.empty() && argument.front() != '-') return argument;
  }
  return std::nullopt;
}

bool DesktopCatalog::sameScript(const std::vector<std::string>& entryArguments,
                                const std::vector<std::string>& processArguments) const {
  auto entryScript = scriptArgument(entryArguments);
  auto processScript = scriptArgument(processArguments);
  if (!entryScript || !processScript) return false;
  if (*entryScript == *processScript) return true;
  auto a = resolveProgram(*entryScript);
  auto b = resolveProgram(*processScript);
  return a && b && *a == *b;
}

std::optional<DesktopEntry> DesktopCatalog::identify(const ProcessFacts& facts) {
  for (const auto& appId : facts.applicationIds) {
    if (auto entry = entryForId(appId)) return entry;
  }
  refresh();
  if (auto entry = byWindowClass(facts.wmClasses)) return entry;
  return byProgram(facts);
}

std::optional<DesktopEntry> DesktopCatalog::byWindowClass(const std::vector<std::string>& classes) const {
  // An interpreter's own name as a window class is what a toolkit falls
  // back on for a script that named nothing.
  std::vector<std::string> wmClasses;
  for (const auto& wmClass : classes) {
    if (!isInterpreter(wmClass)) wmClasses.push_back(wmClass);
  }
  for (const auto& wmClass : wmClasses) {
    for (const auto& entry : entries_) {
      if (entry.startupWMClass == wmClass) return entry;
    }
  }
  for (const auto& wmClass : wmClasses) {
    auto lower = asciiLower(wmClass);
    for (const auto& entry : entries_) {
      if (asciiLower(entry.id) == lower) return entry;
    }
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, std::size_t>> DesktopCatalog::programsOf(const ProcessFacts& facts) const {
  // The executable itself, or for scripts the file its interpreter was
  // given: a resolved path and the index of argv[0] in the command line.
  std::vector<std::pair<std::string, std::size_t>> programs;
  if (facts.executable) programs.emplace_back(*facts.executable, 0);
  for (std::size_t i = 0; i < facts.commandLine.size() && i < 2; ++i) {
    const auto& arg = facts.commandLine[i];
    if (i == 1 && (arg.empty() || arg.front() != '/')) break;
    if (auto resolved = resolveProgram(arg)) programs.emplace_back(*resolved, i);
  }
  return programs;
}

int DesktopCatalog::execScore(const DesktopEntry& entry, const std::string& program,
                              const std::vector<std::string>& rest) const {
  const std::vector<std::string> entryArguments(entry.exec.begin() + 1, entry.exec.end());
  if (isInterpreter(program) && !sameScript(entryArguments, rest)) return 0;
  return entryArguments == rest ? 2 : 1;
}

std::optional<DesktopEntry> DesktopCatalog::byProgram(const ProcessFacts& facts) const {
  const auto programs = programsOf(facts);
  if (programs.empty()) return std::nullopt;

  std::map<std::string, std::optional<std::string>> resolvedExec;
  const DesktopEntry* best = nullptr;
  int bestScore = 0;
  for (const auto& entry : entries_) {
    if (entry.exec.empty()) continue;
    auto found = resolvedExec.find(entry.exec.front());
    if (found == resolvedExec.end()) {
      found = resolvedExec.emplace(entry.exec.front(), resolveProgram(entry.exec.front())).first;
    }
    if (!found->second) continue;
    for (const auto& [program, argv0] : programs) {
      if (program != *found->second) continue;
      std::vector<std::string> rest;
      if (argv0 < facts.commandLine.size()) {
        rest.assign(facts.commandLine.begin() + static_cast<long>(argv0) + 1, facts.commandLine.end());
      }
      const int score = execScore(entry, program, rest);
      if (score > bestScore) {
        best = &entry;
        bestScore = score;
      }
    }
  }
  if (best) return *best;
  return std::nullopt;
}

}  // namespace larkspire::linux_backend::xdg
