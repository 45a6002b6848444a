// The one failure value of the computer tool.
#pragma once

#include <string>

namespace larkspire::computer {

inline constexpr const char* kInvalidRequest = "COMPUTER_INVALID_REQUEST";
inline constexpr const char* kTargetChanged = "COMPUTER_TARGET_CHANGED";
inline constexpr const char* kPermissionRequired = "COMPUTER_PERMISSION_REQUIRED";
inline constexpr const char* kAppNotFound = "COMPUTER_APP_NOT_FOUND";
inline constexpr const char* kScreenLocked = "COMPUTER_SCREEN_LOCKED";
inline constexpr const char* kWindowTooComplex = "COMPUTER_WINDOW_TOO_COMPLEX";
inline constexpr const char* kAccessDenied = "COMPUTER_ACCESS_DENIED";
inline constexpr const char* kUnavailable = "COMPUTER_UNAVAILABLE";

// Thrown wherever a check fails; only the top of request handling turns it
// into a response. `notExecuted` is false only where an action may already
// have reached the target application.
struct NativeFailure {
  std::string code;
  bool notExecuted = true;
};

[[noreturn]] inline void fail(const std::string& code, bool notExecuted = true) {
  throw NativeFailure{code, notExecuted};
}

}  // namespace larkspire::computer
