#include "platform/linux/x11/typing.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <tuple>

namespace larkspire::linux_backend {
namespace {

std::optional<KeyLocation> ownKey(const KeyboardMap& map, Keysym keysym, bool shiftAvailable) {
  auto found = locateKeysym(map, keysym);
  if (found && found->shift && !shiftAvailable) return std::nullopt;
  return found;
}

// What each character needs: its own key, a binding, or nothing at all.
struct Need {
  std::optional<KeyLocation> own;
  Keysym keysym = kNoSymbol;  // to bind when there is no own key
};

Need needOf(const KeyboardMap& map, char32_t c, bool shiftAvailable) {
  Need need;
  if (auto keysym = keysymForCodePoint(c)) {
    need.own = ownKey(map, *keysym, shiftAvailable);
    if (!need.own) need.keysym = *keysym;
  }
  return need;
}

std::optional<int> keycodeHolding(const KeyBindings& bindings, Keysym keysym) {
  for (const auto& [keycode, held] : bindings.keysymOf) {
    if (held == keysym) return keycode;
  }
  return std::nullopt;
}

}  // namespace

TypingPlan planTyping(const KeyboardMap& map, const std::vector<int>& spare, KeyBindings& bindings,
                      std::u32string_view text, bool shiftAvailable, std::u32string_view upcoming) {
  TypingPlan plan;
  std::vector<Need> needs;
  needs.reserve(text.size());
  for (char32_t c : text) needs.push_back(needOf(map, c, shiftAvailable));
  // A bound keysym is one the map lacks, so a character with that keysym
  // always needs the binding: the keysyms alone tell where it comes again.
  std::vector<Keysym> later;
  later.reserve(upcoming.size());
  for (char32_t c : upcoming) later.push_back(keysymForCodePoint(c).value_or(kNoSymbol));
  // How far after position `from` of this text the keysym is needed next.
  auto nextUse = [&](Keysym keysym, std::size_t from) -> std::size_t {
    for (std::size_t j = from; j < needs.size(); ++j) {
      if (!needs[j].own && needs[j].keysym == keysym) return j - from;
    }
    auto found = std::find(later.begin(), later.end(), keysym);
    return found == later.end() ? std::numeric_limits<std::size_t>::max()
                                : needs.size() - from + static_cast<std::size_t>(found - later.begin());
  };

  auto use = [&](int keycode) { bindings.lastUse[keycode] = ++bindings.clock; };
  for (std::size_t i = 0; i < needs.size(); ++i) {
    const Need& need = needs[i];
    if (need.own) {
      plan.steps.push_back({TypingStep::Kind::stroke, {}, false, *need.own, false});
      continue;
    }
    if (need.keysym == kNoSymbol || spare.empty()) {
      ++plan.untypable;
      continue;
    }
    if (auto bound = keycodeHolding(bindings, need.keysym)) {
      use(*bound);
      plan.steps.push_back({TypingStep::Kind::stroke, {}, false, KeyLocation{*bound, false}, true});
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
    // Keycodes free for the batch: empty ones first, then those whose
    // character comes again latest, then those typed longest ago.
    std::vector<int> freeKeycodes;
    for (int keycode : spare) {
      auto held = bindings.keysymOf.find(keycode);
      if (held == bindings.keysymOf.end() || std::find(batch.begin(), batch.end(), held->second) == batch.end()) {
        freeKeycodes.push_back(keycode);
      }
    }
    auto rank = [&](int keycode) {
      auto held = bindings.keysymOf.find(keycode);
      if (held == bindings.keysymOf.end()) return std::make_tuple(0, std::size_t{0}, std::uint64_t{0});
      auto at = bindings.lastUse.find(keycode);
      const std::uint64_t used = at == bindings.lastUse.end() ? 0 : at->second;
      return std::make_tuple(1, std::numeric_limits<std::size_t>::max() - nextUse(held->second, i), used);
    };
    std::map<int, decltype(rank(0))> ranks;
    for (int keycode : freeKeycodes) ranks[keycode] = rank(keycode);
    std::stable_sort(freeKeycodes.begin(), freeKeycodes.end(), [&](int a, int b) { return ranks[a] < ranks[b]; });
    TypingStep bind{TypingStep::Kind::bind, {}, false, {}, false};
    std::size_t next = 0;
    for (Keysym k : batch) {
      if (keycodeHolding(bindings, k)) continue;
      int keycode = freeKeycodes[next++];
      if (bindings.keysymOf.count(keycode)) bind.replaces = true;
      bindings.keysymOf[keycode] = k;
      use(keycode);
      bind.bindings.emplace_back(keycode, k);
      for (auto* list : {&bindings.changed, &plan.changedKeycodes}) {
        if (std::find(list->begin(), list->end(), keycode) == list->end()) list->push_back(keycode);
      }
    }
    std::sort(bind.bindings.begin(), bind.bindings.end());
    plan.steps.push_back(std::move(bind));
    int keycode = *keycodeHolding(bindings, need.keysym);
    use(keycode);
    plan.steps.push_back({TypingStep::Kind::stroke, {}, false, KeyLocation{keycode, false}, true});
  }
  std::sort(bindings.changed.begin(), bindings.changed.end());
  std::sort(plan.changedKeycodes.begin(), plan.changedKeycodes.end());
  return plan;
}

TypingPlan planTyping(const KeyboardMap& map, std::u32string_view text, bool shiftAvailable) {
  KeyBindings bindings;
  return planTyping(map, spareKeycodes(map), bindings, text, shiftAvailable);
}

bool typable(const KeyboardMap& map, bool haveSpareKeycodes, std::u32string_view text, bool shiftAvailable) {
  return std::all_of(text.begin(), text.end(), [&](char32_t c) {
    Need need = needOf(map, c, shiftAvailable);
    return need.own || (need.keysym != kNoSymbol && haveSpareKeycodes);
  });
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
