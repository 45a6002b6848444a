// The three JSON lines the observer writes, and the one writer for them.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "platform/values.h"
#include "selection-observer/output.h"

namespace larkspire::observer {

struct SelectionBounds {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

struct SelectionPayload {
  std::string type = "selection";
  std::string text;
  std::optional<SelectionBounds> bounds;
  platform::Pid sourcePid = 0;
  std::optional<std::string> sourceApp;
  std::optional<std::string> sourceUrl;
};

struct ClearPayload {
  std::string type = "clear";
};

struct PermissionPayload {
  std::string type = "permission";
  bool granted = false;
};

using Payload = std::variant<SelectionPayload, ClearPayload, PermissionPayload>;

// Compact JSON with forward slashes escaped; none when the payload cannot be
// encoded (a non-finite number in the bounds).
std::optional<std::string> encode(const Payload& payload);

// Writes one payload as one line on standard output; a payload that cannot
// be encoded is dropped without a trace.
void emit(Output& output, const Payload& payload);

}  // namespace larkspire::observer
