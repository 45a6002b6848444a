// The bounded breadth-first walk of a window's accessibility tree and the
// element records it produces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/json.h"
#include "common/text.h"
#include "computer/accessibility/attributes.h"
#include "platform/accessibility.h"
#include "platform/values.h"

namespace larkspire::computer {

struct AccessibilityInspectionLimits {
  std::int32_t elements = 250;   // most records; further ones are left out silently
  std::int32_t nodes = 3000;     // most nodes discovered, the root included
  std::int32_t depth = 15;       // a node this deep may not have children
  std::int32_t children = 1000;  // most children of one node
};

using NodePath = std::vector<std::size_t>;

// Walks the tree breadth-first. Every visited node is checked for protection
// and the limits, even after the record limit is reached, so a protected
// node anywhere in the tree fails the walk. `childCount(node)` tells how
// many children a node has without listing them (none when it cannot
// tell): the limits are tested on it first, so that a node or a tree over
// them is refused before its children are listed. They are tested again on
// the list, which may have changed meanwhile. `childCount`, `children` and
// `isProtected` may throw; their exceptions end the walk unchanged.
// `describe(node, path, index)` returns an optional record; index is the
// number of records so far.
template <typename Record, typename Node, typename ChildCountFn, typename ChildrenFn, typename IsProtectedFn,
          typename DescribeFn>
std::vector<Record> inspectAccessibilityTree(const Node& root, const AccessibilityInspectionLimits& limits,
                                             ChildCountFn&& childCount, ChildrenFn&& children,
                                             IsProtectedFn&& isProtected, DescribeFn&& describe) {
  using Failure = AccessibilityInspectionFailure;
  std::vector<std::pair<Node, NodePath>> discovered;
  std::vector<Record> records;
  discovered.emplace_back(root, NodePath{});
  if (limits.nodes < 1) throw Failure(Failure::tooLarge);

  for (std::size_t cursor = 0; cursor < discovered.size(); ++cursor) {
    // Copies: `discovered` grows below and may move its storage.
    Node node = discovered[cursor].first;
    NodePath path = discovered[cursor].second;
    auto checkLimits = [&](std::int64_t kidCount) {
      if (kidCount > limits.children) throw Failure(Failure::tooLarge);
      if (kidCount > 0 && static_cast<std::int64_t>(path.size()) >= limits.depth) throw Failure(Failure::tooLarge);
      if (static_cast<std::int64_t>(discovered.size()) + kidCount > limits.nodes) throw Failure(Failure::tooLarge);
    };

    if (isProtected(node)) throw Failure(Failure::protectedContent);
    if (std::optional<std::int64_t> counted = childCount(node)) checkLimits(*counted);
    auto kids = children(node);
    checkLimits(static_cast<std::int64_t>(kids.size()));

    if (static_cast<std::int64_t>(records.size()) < limits.elements) {
      std::optional<Record> record = describe(node, path, records.size());
      if (record) records.push_back(std::move(*record));
    }

    std::size_t position = 0;
    for (auto& kid : kids) {
      NodePath kidPath = path;
      kidPath.push_back(position++);
      discovered.emplace_back(std::move(kid), std::move(kidPath));
    }
  }
  return records;
}

// The same walk for trees whose nodes cannot be counted before they are listed.
template <typename Record, typename Node, typename ChildrenFn, typename IsProtectedFn, typename DescribeFn>
std::vector<Record> inspectAccessibilityTree(const Node& root, const AccessibilityInspectionLimits& limits,
                                             ChildrenFn&& children, IsProtectedFn&& isProtected,
                                             DescribeFn&& describe) {
  return inspectAccessibilityTree<Record>(
      root, limits, [](const Node&) { return std::optional<std::int64_t>(); }, children, isProtected, describe);
}

// The first non-blank text among the descendants of root, breadth-first,
// looking at no more than maxNodes of them; the root itself is never looked
// at. Texts are trimmed of white space and line breaks.
template <typename Node, typename ChildrenFn, typename TextFn>
std::string firstDescendantText(const Node& root, int maxNodes, ChildrenFn&& children, TextFn&& text) {
  if (maxNodes < 1) return {};
  std::vector<Node> queue = children(root);
  int examined = 0;
  for (std::size_t i = 0; i < queue.size() && examined < maxNodes; ++i, ++examined) {
    Node node = queue[i];
    auto trimmed = text::trimWhitespaceAndNewlines(text(node));
    if (!trimmed.empty()) return trimmed;
    for (auto& child : children(node)) queue.push_back(std::move(child));
  }
  return {};
}

// Names for standard window buttons that have none of their own, by subrole.
const std::map<std::string, std::string, std::less<>>& windowButtonNames();

// Longest name, in user-perceived characters.
inline constexpr std::size_t kMaximumNameLength = 200;

struct InspectedElements {
  std::vector<json::Json> nodes;                        // records in "ref" order
  std::map<std::string, platform::Element> references;  // "ref" -> live element
};

// The inventory of a window. `windowBounds` decides which records carry
// "bounds". Throws NativeFailure: "COMPUTER_ACCESS_DENIED" for protected
// content, "COMPUTER_WINDOW_TOO_COMPLEX" past a limit, "COMPUTER_UNAVAILABLE"
// for an undecidable protection or an unreadable child list.
InspectedElements inspect(platform::Accessibility& accessibility, const platform::Element& window,
                          const platform::Rect& windowBounds);

}  // namespace larkspire::computer
