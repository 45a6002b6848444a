#include "common/json.h"

namespace larkspire::json {
namespace {

bool nestingWithin(std::string_view bytes, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : bytes) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

std::optional<Json> parseObject(std::string_view bytes) {
  if (!nestingWithin(bytes, kMaximumNesting)) return std::nullopt;
  Json value = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false,
                           /*ignore_comments=*/false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

std::string compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace larkspire::json
