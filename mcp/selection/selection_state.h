// What the selection resource says, kept from the observer's lines, and how
// soon a dead observer is started again.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string_view>

namespace larkspire::mcp {

using Json = nlohmann::json;

inline constexpr std::string_view kSelectionUri = "selection://current";

class SelectionState {
 public:
  // Takes one line of larkspire-selection-observer. True when the
  // resource's contents changed, so subscribers are to be told.
  bool apply(std::string_view line);
  // {"selection": {text, bounds?, sourcePid, sourceApp?, sourceUrl?} or
  //  null, "accessibility": bool or null (not yet known)}
  Json contents() const;

 private:
  Json selection_;  // null: nothing selected
  Json accessibility_;
};

// Delay before the next start of an observer that ended: 1 s, doubling up
// to 30 s; an observer that ran a minute or more had its failures forgiven.
class RestartBackoff {
 public:
  using Duration = std::chrono::milliseconds;
  Duration next(Duration ranFor);

 private:
  int failures_ = 0;
};

}  // namespace larkspire::mcp
