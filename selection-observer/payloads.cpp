#include "selection-observer/payloads.h"

#include <cmath>

#include "common/json.h"
#include "common/text.h"

namespace larkspire::observer {
namespace {

// The parent's JSON reader expects "\/" for every slash; a slash can only
// occur inside strings of the compact text, so replacing them all is safe.
std::string escapeSlashes(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

json::Json toJson(const SelectionPayload& p) {
  json::Json object = {{"type", p.type}, {"text", text::sanitizeUtf8(p.text)}, {"sourcePid", p.sourcePid}};
  if (p.bounds) {
    object["bounds"] = {
        {"x", p.bounds->x}, {"y", p.bounds->y}, {"width", p.bounds->width}, {"height", p.bounds->height}};
  }
  if (p.sourceApp) object["sourceApp"] = text::sanitizeUtf8(*p.sourceApp);
  if (p.sourceUrl) object["sourceUrl"] = text::sanitizeUtf8(*p.sourceUrl);
  return object;
}

bool finite(const SelectionBounds& b) {
  return std::isfinite(b.x) && std::isfinite(b.y) && std::isfinite(b.width) && std::isfinite(b.height);
}

}  // namespace

std::optional<std::string> encode(const Payload& payload) {
  json::Json object;
  if (auto selection = std::get_if<SelectionPayload>(&payload)) {
    if (selection->bounds && !finite(*selection->bounds)) return std::nullopt;
    object = toJson(*selection);
  } else if (auto clear = std::get_if<ClearPayload>(&payload)) {
    object = {{"type", clear->type}};
  } else {
    auto& permission = std::get<PermissionPayload>(payload);
    object = {{"type", permission.type}, {"granted", permission.granted}};
  }
  return escapeSlashes(json::compact(object));
}

void emit(Output& output, const Payload& payload) {
  auto encoded = encode(payload);
  if (!encoded) return;
  output.standardOutput(*encoded + "\n");
}

}  // namespace larkspire::observer
