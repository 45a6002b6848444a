#include "mcp/helpers/locate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace larkspire::mcp {

std::vector<std::string> helperCandidates(std::string_view ownFolder, std::string_view program) {
  std::string folder(ownFolder);
  if (folder.empty()) folder = ".";
  return {folder + "/" + std::string(program),
          folder + "/" + std::string(kInstalledHelperFolder) + "/" + std::string(program)};
}

std::optional<std::string> locateHelper(std::string_view ownFolder, std::string_view program, const char* override,
                                        const std::function<bool(const std::string&)>& isExecutable) {
  if (override && *override) return std::string(override);
  for (auto& candidate : helperCandidates(ownFolder, program)) {
    if (isExecutable(candidate)) return candidate;
  }
  return std::nullopt;
}

std::string ownFolder(const char* argv0) {
  std::string path;
#ifdef __linux__
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) path.assign(buffer, static_cast<size_t>(n));
#endif
  if (path.empty() && argv0) {
    // Started through PATH: an argv[0] without a slash names no folder.
    std::string name(argv0);
    if (name.find('/') == std::string::npos) {
      const char* search = std::getenv("PATH");
      std::string folders = search ? search : "";
      size_t start = 0;
      while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (isExecutableFile(candidate)) {
          name = candidate;
          break;
        }
        start = end + 1;
      }
    }
    char resolved[PATH_MAX];
    if (realpath(name.c_str(), resolved)) path = resolved;
  }
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace larkspire::mcp
