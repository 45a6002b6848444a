#include "mcp/server/snapshot_book.h"

#include <algorithm>

namespace larkspire::mcp {

std::optional<std::string> SnapshotBook::keep(const std::string& id) {
  live_.push_back(id);
  if (live_.size() <= kLiveLimit) return std::nullopt;
  return live_.front();
}

void SnapshotBook::finish(const std::string& id, State why) {
  auto it = std::find(live_.begin(), live_.end(), id);
  if (it == live_.end()) return;
  live_.erase(it);
  ended_[id] = why;
  endedOrder_.push_back(id);
  if (endedOrder_.size() > kMemory) {
    ended_.erase(endedOrder_.front());
    endedOrder_.pop_front();
  }
}

SnapshotBook::State SnapshotBook::state(const std::string& id) const {
  if (std::find(live_.begin(), live_.end(), id) != live_.end()) return State::live;
  auto it = ended_.find(id);
  return it == ended_.end() ? State::unknown : it->second;
}

std::string refusalFor(SnapshotBook::State state, const std::string& id) {
  switch (state) {
    case SnapshotBook::State::used:
      return "Snapshot " + id +
             " was already acted on, and each snapshot allows one act: call observe_window again "
             "and act on the new snapshot.";
    case SnapshotBook::State::expired:
      return "Snapshot " + id +
             " has expired (an act must follow its observation within 100 seconds): call "
             "observe_window again and act on the new snapshot.";
    default:
      return "Unknown snapshot " + id + ": act takes the snapshotId of an observe_window result of this session.";
  }
}

}  // namespace larkspire::mcp
