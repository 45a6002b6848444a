#include "common/json.h"

#include <cmath>

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

std::string libraryText(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Strings JSON carries as they are: printable ASCII other than the quote
// and the backslash. Anything else (escapes, UTF-8 to check) is left to the
// library.
bool plain(std::string_view text) {
  bool ok = true;
  for (unsigned char c : text) ok &= c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
  return ok;
}

void appendString(const std::string& text, std::string& out) {
  if (!plain(text)) {
    out += libraryText(Json(text));
    return;
  }
  out += '"';
  out += text;
  out += '"';
}

void append(const Json& value, std::string& out) {
  if (value.is_object()) {
    out += '{';
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (!first) out += ',';
      first = false;
      appendString(it.key(), out);
      out += ':';
      append(it.value(), out);
    }
    out += '}';
  } else if (value.is_array()) {
    out += '[';
    bool first = true;
    for (const Json& item : value) {
      if (!first) out += ',';
      first = false;
      append(item, out);
    }
    out += ']';
  } else if (value.is_string()) {
    appendString(value.get_ref<const std::string&>(), out);
  } else {
    out += libraryText(value);
  }
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
  // The library checks every byte of every string as UTF-8, which made
  // most of the time of an observation's answer: its picture is hundreds of
  // kilobytes of base64. Plain strings are copied as they are.
  std::string out;
  append(value, out);
  return out;
}

std::optional<std::string> stringMember(const Json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::optional<double> numberMember(const Json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

std::optional<std::int64_t> integerMember(const Json& object, const char* key, std::int64_t low, std::int64_t high) {
  if (!object.is_object()) return std::nullopt;
  auto found = object.find(key);
  if (found == object.end()) return std::nullopt;
  if (found->is_number_unsigned()) {
    auto v = found->get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(high) || static_cast<std::int64_t>(v) < low) return std::nullopt;
    return static_cast<std::int64_t>(v);
  }
  if (found->is_number_integer()) {
    auto v = found->get<std::int64_t>();
    if (v < low || v > high) return std::nullopt;
    return v;
  }
  if (found->is_number_float()) {
    double d = found->get<double>();
    if (!(d >= static_cast<double>(low) && d <= static_cast<double>(high)) || std::trunc(d) != d) return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

}  // namespace larkspire::json
