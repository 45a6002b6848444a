#include "platform/linux/xdg/desktop_entry.h"

#include <glib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "platform/linux/handles.h"

namespace larkspire::linux_backend::xdg {
namespace {

constexpr const char* kGroup = "Desktop Entry";

bool isAbsolute(const std::string& path) { return !path.empty() && path.front() == '/'; }

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::vector<std::string> splitColons(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto colon = text.find(':', start);
    if (colon == std::string::npos) colon = text.size();
    parts.push_back(text.substr(start, colon - start));
    start = colon + 1;
  }
  return parts;
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::optional<std::string> findIn(const std::string& folder, const std::string& id, int depth) {
  auto file = folder + "/" + id + kDesktopSuffix;
  if (isRegularFile(file)) return file;
  if (depth == 0) return std::nullopt;
  for (std::size_t dash = id.find('-'); dash != std::string::npos; dash = id.find('-', dash + 1)) {
    auto prefix = id.substr(0, dash);
    if (prefix.empty() || prefix == "." || prefix == "..") continue;
    auto sub = folder + "/" + prefix;
    if (!isDirectory(sub)) continue;
    if (auto found = findIn(sub, id.substr(dash + 1), depth - 1)) return found;
  }
  return std::nullopt;
}

std::optional<std::string> stringKey(GKeyFile* file, const char* key) {
  GlibString value(g_key_file_get_string(file, kGroup, key, nullptr));
  if (!value) return std::nullopt;
  return std::string(value.get());
}

bool booleanKey(GKeyFile* file, const char* key) {
  ErrorSlot error;
  gboolean value = g_key_file_get_boolean(file, kGroup, key, error.out());
  if (error) return false;
  return value;
}

}  // namespace

std::optional<std::string> processEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::vector<std::string> applicationFolders(const Getenv& getenv) {
  std::vector<std::string> dataDirs;
  auto home = getenv("XDG_DATA_HOME");
  if (home && isAbsolute(*home)) {
    dataDirs.push_back(*home);
  } else if (auto userHome = getenv("HOME"); userHome && isAbsolute(*userHome)) {
    dataDirs.push_back(withoutTrailingSlashes(*userHome) + "/.local/share");
  }
  auto dirs = getenv("XDG_DATA_DIRS");
  if (!dirs || dirs->empty()) dirs = "/usr/local/share/:/usr/share/";
  for (const auto& dir : splitColons(*dirs)) {
    if (isAbsolute(dir)) dataDirs.push_back(dir);
  }

  std::vector<std::string> folders;
  for (const auto& dir : dataDirs) {
    auto folder = withoutTrailingSlashes(dir);
    folder = folder == "/" ? "/applications" : folder + "/applications";
    bool known = false;
    for (const auto& f : folders) known = known || f == folder;
    if (!known) folders.push_back(folder);
  }
  return folders;
}

std::string messagesLocale(const Getenv& getenv) {
  std::string locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    auto value = getenv(name);
    if (value && !value->empty()) {
      locale = *value;
      break;
    }
  }
  // lang_COUNTRY.ENCODING@MODIFIER: the encoding plays no part in matching.
  auto dot = locale.find('.');
  if (dot != std::string::npos) {
    auto at = locale.find('@', dot);
    locale = locale.substr(0, dot) + (at == std::string::npos ? "" : locale.substr(at));
  }
  if (locale == "C" || locale == "POSIX") return {};
  return locale;
}

bool validDesktopFileId(const std::string& id) {
  if (id.empty() || id == "." || id == "..") return false;
  return id.find('/') == std::string::npos && id.find('\0') == std::string::npos;
}

std::string desktopFileIdForPath(const std::vector<std::string>& folders, const std::string& path) {
  std::string relative;
  for (const auto& folder : folders) {
    auto prefix = folder + "/";
    if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0) {
      relative = path.substr(prefix.size());
      break;
    }
  }
  if (relative.empty()) {
    auto slash = path.rfind('/');
    relative = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  for (auto& c : relative) {
    if (c == '/') c = '-';
  }
  if (endsWith(relative, kDesktopSuffix))
    relative.resize(relative.size() - std::char_traits<char>::length(kDesktopSuffix));
  return relative;
}

std::optional<std::string> findDesktopFile(const std::vector<std::string>& folders, const std::string& id) {
  if (!validDesktopFileId(id)) return std::nullopt;
  // Subfolders nest rarely more than once or twice; the bound keeps an id
  // full of dashes from fanning out.
  constexpr int kMaximumDepth = 4;
  for (const auto& folder : folders) {
    if (auto found = findIn(folder, id, kMaximumDepth)) return found;
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> parseExec(const std::string& exec) {
  std::vector<std::string> args;
  std::string current;
  bool inArgument = false;  // something (even "") was written for this argument
  bool inQuotes = false;

  auto finish = [&] {
    if (inArgument) args.push_back(current);
    current.clear();
    inArgument = false;
  };

  for (std::size_t i = 0; i < exec.size(); ++i) {
    char c = exec[i];
    if (inQuotes) {
      if (c == '"') {
        inQuotes = false;
      } else if (c == '\\' && i + 1 < exec.size() &&
                 (exec[i + 1] == '"' || exec[i + 1] == '`' || exec[i + 1] == '$' || exec[i + 1] == '\\')) {
        current += exec[++i];
      } else if (c == '%' && i + 1 < exec.size()) {
        if (exec[++i] == '%') current += '%';
      } else {
        current += c;
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n') {
      finish();
    } else if (c == '"') {
      inQuotes = true;
      inArgument = true;
    } else if (c == '%' && i + 1 < exec.size()) {
      // A field code: only "%%" leaves something behind.
      if (exec[++i] == '%') {
        current += '%';
        inArgument = true;
      }
    } else {
      current += c;
      inArgument = true;
    }
  }
  if (inQuotes) return std::nullopt;
  finish();
  if (args.empty() || args.front().empty()) return std::nullopt;
  return args;
}

std::optional<DesktopEntry> readDesktopEntry(const std::string& path, const std::string& id,
                                             const std::string& locale) {
  KeyFile file(g_key_file_new());
  // Every translation is kept so that the locale asked for, not the
  // process's own, picks the name.
  if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_KEEP_TRANSLATIONS, nullptr)) return std::nullopt;
  if (!g_key_file_has_group(file.get(), kGroup)) return std::nullopt;
  if (stringKey(file.get(), "Type") != "Application") return std::nullopt;
  if (booleanKey(file.get(), "Hidden")) return std::nullopt;
  auto untranslated = stringKey(file.get(), "Name");
  if (!untranslated) return std::nullopt;

  DesktopEntry entry;
  entry.id = id;
  entry.path = path;
  entry.untranslatedName = *untranslated;
  entry.name = *untranslated;
  if (!locale.empty()) {
    GlibString localized(g_key_file_get_locale_string(file.get(), kGroup, "Name", locale.c_str(), nullptr));
    if (localized) entry.name = localized.get();
  }
  if (auto exec = stringKey(file.get(), "Exec")) {
    if (auto args = parseExec(*exec)) entry.exec = std::move(*args);
  }
  if (auto dir = stringKey(file.get(), "Path"); dir && !dir->empty()) entry.workingDirectory = dir;
  if (auto wmClass = stringKey(file.get(), "StartupWMClass"); wmClass && !wmClass->empty())
    entry.startupWMClass = wmClass;
  entry.noDisplay = booleanKey(file.get(), "NoDisplay");
  return entry;
}

}  // namespace larkspire::linux_backend::xdg
