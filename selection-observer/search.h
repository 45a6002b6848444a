// The bounded breadth-first search for a selection held outside the focused
// element (a web area or text area deep inside the window).
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/accessibility.h"

namespace larkspire::observer {

struct SubtreeSearch {
  struct Found {
    platform::Element element;
    std::string text;
  };
  std::optional<Found> found;
  int visited = 0;
  int maxDepth = 0;
  int candidates = 0;
  bool truncated = false;

  // One line that explains a search that found nothing.
  std::string diagnostic() const;
};

SubtreeSearch searchSubtree(platform::Accessibility& ax, const platform::Element& root);

}  // namespace larkspire::observer
