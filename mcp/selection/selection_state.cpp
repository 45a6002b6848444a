#include "mcp/selection/selection_state.h"

#include <algorithm>

#include "common/json.h"

namespace larkspire::mcp {

bool SelectionState::apply(std::string_view line) {
  auto payload = json::parseObject(line);
  if (!payload) return false;
  std::string type = payload->value("type", "");
  if (type == "selection" && (*payload)["text"].is_string()) {
    Json selection = *payload;
    selection.erase("type");
    if (selection == selection_) return false;
    selection_ = std::move(selection);
    return true;
  }
  if (type == "clear") {
    if (selection_.is_null()) return false;
    selection_ = nullptr;
    return true;
  }
  if (type == "permission" && (*payload)["granted"].is_boolean()) {
    if (accessibility_ == (*payload)["granted"]) return false;
    accessibility_ = (*payload)["granted"];
    return true;
  }
  return false;
}

Json SelectionState::contents() const { return Json{{"selection", selection_}, {"accessibility", accessibility_}}; }

RestartBackoff::Duration RestartBackoff::next(Duration ranFor) {
  if (ranFor >= std::chrono::minutes(1)) failures_ = 0;
  Duration delay = std::chrono::seconds(1) * (1 << std::min(failures_, 5));
  ++failures_;
  return std::min<Duration>(delay, std::chrono::seconds(30));
}

}  // namespace larkspire::mcp
