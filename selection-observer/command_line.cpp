#include "selection-observer/command_line.h"

#include <locale.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>

namespace larkspire::observer {
namespace {

// The value right after the first occurrence of an option, when there is one.
std::optional<std::string> valueAfter(const std::vector<std::string>& args, const std::string& option,
                                      std::size_t offset = 1) {
  auto it = std::find(args.begin(), args.end(), option);
  if (it == args.end()) return std::nullopt;
  auto index = static_cast<std::size_t>(it - args.begin()) + offset;
  if (index >= args.size()) return std::nullopt;
  return args[index];
}

bool present(const std::vector<std::string>& args, const std::string& option) {
  return std::find(args.begin(), args.end(), option) != args.end();
}

}  // namespace

std::optional<platform::Pid> parsePid(const std::string& text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::int64_t value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > std::int64_t{2147483648}) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > 2147483647 || value < -2147483648LL) return std::nullopt;
  return static_cast<platform::Pid>(value);
}

std::optional<double> parseSeconds(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  locale_t c = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  if (c == static_cast<locale_t>(0)) return std::nullopt;
  char* end = nullptr;
  double value = strtod_l(text.c_str(), &end, c);
  freelocale(c);
  if (end != text.c_str() + text.size()) return std::nullopt;
  // The watch mode prints its duration as a whole number, so only values
  // that fit a 64-bit integer are usable.
  if (!std::isfinite(value) || std::fabs(value) >= 9.2e18) return std::nullopt;
  return value;
}

Mode parseCommandLine(const std::vector<std::string>& args) {
  if (auto pidText = valueAfter(args, "--watch-pid")) {
    if (auto pid = parsePid(*pidText)) {
      double seconds = 25;
      if (auto secondsText = valueAfter(args, "--watch-pid", 2)) {
        if (auto parsed = parseSeconds(*secondsText)) seconds = *parsed;
      }
      return WatchMode{*pid, seconds};
    }
  }
  if (auto pidText = valueAfter(args, "--dump-pid")) {
    if (auto pid = parsePid(*pidText)) return DumpMode{*pid};
  }
  if (present(args, "--check-permission")) return CheckPermissionMode{};
  ObserverMode mode;
  if (auto pidText = valueAfter(args, "--ignore-pid")) mode.ignoredPid = parsePid(*pidText);
  mode.readSelection = present(args, "--read-selection");
  return mode;
}

}  // namespace larkspire::observer
