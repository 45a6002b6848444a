// Program-wide constants of the selection observer.
#pragma once

#include <array>
#include <set>
#include <string>

namespace larkspire::observer {

inline constexpr int maximumSelectionLength = 50000;                      // characters
inline constexpr std::array<double, 3> burstDelays = {0.04, 0.12, 0.28};  // seconds
inline constexpr int maximumSearchNodes = 1200;
inline constexpr int maximumSearchDepth = 16;
inline constexpr int maximumUrlAncestorHops = 8;
inline constexpr double selectionDragThreshold = 3.0;     // points
inline constexpr double pollInterval = 0.3;               // seconds
inline constexpr double forceEmitResetExtra = 0.05;       // seconds after the last burst delay
inline constexpr double diagnosticRepeatInterval = 10.0;  // seconds

inline const std::set<std::string>& selectionRoles() {
  static const std::set<std::string> roles = {"AXWebArea", "AXTextArea"};
  return roles;
}

}  // namespace larkspire::observer
