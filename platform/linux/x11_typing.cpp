#include "platform/linux/x11_typing.h"

#include <algorithm>
#include <map>
#include <optional>

namespace larkspire::linux_backend {
namespace {

std::optional<KeyLocation> ownKey(const KeyboardMap& map, Keysym keysym, bool shiftAvailable) {
  auto found = locateKeysym(map, keysym);
  if (found && found->shift && !shiftAvailable) return std::nullopt;
  return found;
}

}  // namespace

TypingPlan planTyping(const KeyboardMap& map, std::u32string_view text, bool shiftAvailable) {
  TypingPlan plan;
  const std::vector<int> spare = spareKeycodes(map);

  // What each character needs: its own key, a binding, or nothing at all.
  struct Need {
    std::optional<KeyLocation> own;
    Keysym keysym = kNoSymbol;  // to bind when there is no own key
  };
  std::vector<Need> needs;
  needs.reserve(text.size());
  for (char32_t c : text) {
    Need need;
    if (auto keysym = keysymForCodePoint(c)) {
      need.own = ownKey(map, *keysym, shiftAvailable);
      if (!need.own) need.keysym = *keysym;
    }
    needs.push_back(need);
  }

  std::map<Keysym, int> boundKeycode;  // keysym -> spare keycode holding it
  std::map<int, Keysym> boundKeysym;   // spare keycode -> keysym it holds
  for (std::size_t i = 0; i < needs.size(); ++i) {
    const Need& need = needs[i];
    if (need.own) {
      plan.steps.push_back({TypingStep::Kind::stroke, {}, *need.own});
      continue;
    }
    if (need.keysym == kNoSymbol || spare.empty()) {
      ++plan.untypable;
      continue;
    }
    if (auto bound = boundKeycode.find(need.keysym); bound != boundKeycode.end()) {
      plan.steps.push_back({TypingStep::Kind::stroke, {}, KeyLocation{bound->second, false}});
      continue;
    }
    // A new batch: the spare keycodes take the next missing characters in
    // the order they come; one already bound keeps its keycode.
    std::vector<Keysym> batch;
    for (std::size_t j = i; j < needs.size() && batch.size() < spare.size(); ++j) {
      Keysym k = needs[j].keysym;
      if (!needs[j].own && k != kNoSymbol && std::find(batch.begin(), batch.end(), k) == batch.end()) {
        batch.push_back(k);
      }
    }
    std::vector<int> freeKeycodes;
    for (int keycode : spare) {
      auto held = boundKeysym.find(keycode);
      if (held == boundKeysym.end() || std::find(batch.begin(), batch.end(), held->second) == batch.end()) {
        freeKeycodes.push_back(keycode);
      }
    }
    TypingStep bind{TypingStep::Kind::bind, {}, {}};
    std::size_t next = 0;
    for (Keysym k : batch) {
      if (boundKeycode.count(k)) continue;
      int keycode = freeKeycodes[next++];
      if (auto old = boundKeysym.find(keycode); old != boundKeysym.end()) boundKeycode.erase(old->second);
      boundKeysym[keycode] = k;
      boundKeycode[k] = keycode;
      bind.bindings.emplace_back(keycode, k);
      if (std::find(plan.changedKeycodes.begin(), plan.changedKeycodes.end(), keycode) == plan.changedKeycodes.end()) {
        plan.changedKeycodes.push_back(keycode);
      }
    }
    std::sort(bind.bindings.begin(), bind.bindings.end());
    plan.steps.push_back(std::move(bind));
    plan.steps.push_back({TypingStep::Kind::stroke, {}, KeyLocation{boundKeycode.at(need.keysym), false}});
  }
  std::sort(plan.changedKeycodes.begin(), plan.changedKeycodes.end());
  return plan;
}

std::vector<std::vector<int>> consecutiveRuns(std::vector<int> keycodes) {
  std::sort(keycodes.begin(), keycodes.end());
  keycodes.erase(std::unique(keycodes.begin(), keycodes.end()), keycodes.end());
  std::vector<std::vector<int>> runs;
  for (int keycode : keycodes) {
    if (runs.empty() || runs.back().back() + 1 != keycode) runs.emplace_back();
    runs.back().push_back(keycode);
  }
  return runs;
}

}  // namespace larkspire::linux_backend
