// Where the helper programs are: beside this program in a build folder, in
// libexec/larkspire/ beside bin/ when installed, or where an environment
// variable says (LARKSPIRE_MCP_COMPUTER, LARKSPIRE_MCP_OBSERVER).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkspire::mcp {

inline constexpr std::string_view kComputerProgram = "larkspire-computer";
inline constexpr std::string_view kObserverProgram = "larkspire-selection-observer";
// Relative to the folder of larkspire-mcp when installed (bin/ beside
// libexec/); the build sets it from the install folders.
#ifndef LARKSPIRE_MCP_HELPER_FOLDER
#define LARKSPIRE_MCP_HELPER_FOLDER "../libexec/larkspire"
#endif
inline constexpr std::string_view kInstalledHelperFolder = LARKSPIRE_MCP_HELPER_FOLDER;

// The places looked at, in order.
std::vector<std::string> helperCandidates(std::string_view ownFolder, std::string_view program);

// The override when set (used as it is), else the first candidate that is an
// executable file; none when nothing fits.
std::optional<std::string> locateHelper(std::string_view ownFolder, std::string_view program, const char* override,
                                        const std::function<bool(const std::string&)>& isExecutable);

// The folder of the running program (OS edge).
std::string ownFolder(const char* argv0);
bool isExecutableFile(const std::string& path);

}  // namespace larkspire::mcp
