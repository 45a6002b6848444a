#include "selection-observer/search.h"

#include <deque>

#include "selection-observer/constants.h"
#include "selection-observer/extraction.h"

namespace larkspire::observer {

std::string SubtreeSearch::diagnostic() const {
  std::string text = "visited=" + std::to_string(visited) + " maxDepth=" + std::to_string(maxDepth) +
                     " candidates=" + std::to_string(candidates);
  if (truncated) text += " TRUNCATED(hit node/depth cap)";
  return text;
}

SubtreeSearch searchSubtree(platform::Accessibility& ax, const platform::Element& root) {
  SubtreeSearch search;
  std::deque<std::pair<platform::Element, int>> queue;
  queue.emplace_back(root, 0);
  while (!queue.empty()) {
    auto [element, depth] = std::move(queue.front());
    queue.pop_front();
    ++search.visited;
    if (depth > search.maxDepth) search.maxDepth = depth;
    // The entry that hits the cap is counted but not examined.
    if (search.visited > maximumSearchNodes) {
      search.truncated = true;
      break;
    }
    auto role = stringAttribute(ax, element, "AXRole").value_or("");
    if (selectionRoles().count(role) && !isProtectedInput(ax, element)) {
      if (auto text = selectedText(ax, element)) {
        search.found = SubtreeSearch::Found{element, *text};
        return search;
      }
      ++search.candidates;
    }
    if (depth < maximumSearchDepth) {
      auto children = ax.copyAttributeValue(element, "AXChildren");
      if (auto list = children.get<platform::ElementList>()) {
        for (auto& child : *list) queue.emplace_back(child, depth + 1);
      }
    } else {
      search.truncated = true;
    }
  }
  return search;
}

}  // namespace larkspire::observer
