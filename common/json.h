// JSON reading and writing with the strictness both programs need.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace larkspire::json {

using Json = nlohmann::json;

// Deeper nesting than this is refused before parsing, so that no input can
// exhaust the stack of the parser or of the value's destructor.
inline constexpr int kMaximumNesting = 512;

// Parses a whole text that must be one JSON object. None for anything else:
// not JSON, invalid UTF-8, another top-level type, or nesting too deep.
std::optional<Json> parseObject(std::string_view bytes);

// Compact text, keys as stored; any invalid UTF-8 that slipped into a string
// is replaced, so serialising never fails.
std::string compact(const Json& value);

// Members of an object, or none when the value is not an object, the key is
// missing or its value has another type.
std::optional<std::string> stringMember(const Json& object, const char* key);
std::optional<double> numberMember(const Json& object, const char* key);
// A whole number within [low, high]; integral floating values count too.
std::optional<std::int64_t> integerMember(const Json& object, const char* key, std::int64_t low, std::int64_t high);

}  // namespace larkspire::json
