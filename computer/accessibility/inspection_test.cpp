// The generic walk and descendant search, on a plain tree of numbered nodes.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "computer/accessibility/inspection.h"
#include "computer/request/failure.h"

namespace larkspire::computer {
namespace {

using Failure = AccessibilityInspectionFailure;

struct Tree {
  std::map<int, std::vector<int>> kids;
  std::set<int> protectedNodes;
  std::set<int> qualifying;  // nodes that describe() makes a record for; empty: all
  std::vector<int> protectionChecks;
  int next = 1;

  int add(int parent) {
    int id = next++;
    kids[parent].push_back(id);
    return id;
  }
  // A chain below `from` of `length` nodes; returns the last.
  int chain(int from, int length) {
    int at = from;
    for (int i = 0; i < length; ++i) at = add(at);
    return at;
  }

  std::vector<std::string> walk(AccessibilityInspectionLimits limits = {}) {
    return inspectAccessibilityTree<std::string>(
        0, limits, [&](int n) { return kids.count(n) ? kids[n] : std::vector<int>{}; },
        [&](int n) {
          protectionChecks.push_back(n);
          return protectedNodes.count(n) != 0;
        },
        [&](int n, const NodePath& path, std::size_t index) -> std::optional<std::string> {
          if (!qualifying.empty() && !qualifying.count(n)) return std::nullopt;
          std::string p;
          for (auto i : path) p += std::to_string(i) + ".";
          return std::to_string(n) + "@" + p + "#" + std::to_string(index);
        });
  }
};

Failure::Kind failureOf(Tree& tree, AccessibilityInspectionLimits limits = {}) {
  try {
    tree.walk(limits);
  } catch (const Failure& failure) {
    return failure.kind();
  }
  ADD_FAILURE() << "the walk did not fail";
  return Failure::incomplete;
}

TEST(InspectionWalk, VisitsBreadthFirstWithPathsAndRecordIndexes) {
  Tree tree;
  int a = tree.add(0), b = tree.add(0);
  int a1 = tree.add(a);
  tree.add(b);
  tree.add(a1);
  tree.qualifying = {0, a, b, 4, 5};  // node 3 (a1) makes no record and takes no number
  EXPECT_EQ(tree.walk(), (std::vector<std::string>{"0@#0", "1@0.#1", "2@1.#2", "4@1.0.#3", "5@0.0.0.#4"}));
  EXPECT_EQ(tree.protectionChecks, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(InspectionWalk, ChildCountLimitIsInclusive) {
  Tree ok;
  for (int i = 0; i < 1000; ++i) ok.add(0);
  EXPECT_EQ(ok.walk().size(), 250u);

  Tree over;
  for (int i = 0; i < 1001; ++i) over.add(0);
  EXPECT_EQ(failureOf(over), Failure::tooLarge);
}

TEST(InspectionWalk, TotalNodeLimitCountsTheRoot) {
  auto build = [](int lastGroup) {
    Tree tree;
    std::vector<int> groups{tree.add(0), tree.add(0), tree.add(0)};
    for (int i = 0; i < 999; ++i) tree.add(groups[0]);
    for (int i = 0; i < 999; ++i) tree.add(groups[1]);
    for (int i = 0; i < lastGroup; ++i) tree.add(groups[2]);
    return tree;
  };
  Tree exactly = build(998);  // 1 + 3 + 999 + 999 + 998 = 3000
  EXPECT_NO_THROW(exactly.walk());
  Tree over = build(999);
  EXPECT_EQ(failureOf(over), Failure::tooLarge);
}

TEST(InspectionWalk, DepthLimitAllowsLeavesAtTheLimit) {
  Tree leafAt15;
  leafAt15.chain(0, 15);
  auto records = leafAt15.walk();
  ASSERT_EQ(records.size(), 16u);
  EXPECT_EQ(records.back().substr(0, 3), "15@");

  Tree childAt15;
  childAt15.chain(0, 16);
  EXPECT_EQ(failureOf(childAt15), Failure::tooLarge);
}

TEST(InspectionWalk, RecordLimitStopsDescribingButNotChecking) {
  Tree tree;
  for (int i = 0; i < 300; ++i) tree.add(0);
  tree.qualifying = {};
  for (int i = 1; i <= 300; ++i) tree.qualifying.insert(i);
  auto records = tree.walk();
  ASSERT_EQ(records.size(), 250u);
  EXPECT_EQ(records.front(), "1@0.#0");
  EXPECT_EQ(records.back(), "250@249.#249");

  tree.protectedNodes = {290};
  EXPECT_EQ(failureOf(tree), Failure::protectedContent);

  // The record limit must also not shortcut the child-count check.
  int last = 300;
  for (int i = 0; i < 1001; ++i) tree.add(last);
  tree.protectedNodes.clear();
  EXPECT_EQ(failureOf(tree), Failure::tooLarge);
}

TEST(InspectionWalk, ProtectionIsDecidedBeforeChildrenAreRead) {
  bool childrenRead = false;
  EXPECT_THROW(inspectAccessibilityTree<int>(
                   0, {}, [&](int) { childrenRead = true; return std::vector<int>{1}; },
                   [](int) { return true; }, [](int n, const NodePath&, std::size_t) { return std::optional<int>(n); }),
               Failure);
  EXPECT_FALSE(childrenRead);
}

TEST(InspectionWalk, FailuresOfTheSuppliedFunctionsPassThroughUnchanged) {
  try {
    inspectAccessibilityTree<int>(
        0, {}, [](int n) -> std::vector<int> { if (n == 2) fail(kUnavailable); return n == 0 ? std::vector<int>{1, 2} : std::vector<int>{}; },
        [](int) { return false; }, [](int n, const NodePath&, std::size_t) { return std::optional<int>(n); });
    ADD_FAILURE() << "no failure";
  } catch (const NativeFailure& failure) {
    EXPECT_EQ(failure.code, kUnavailable);
  }
  EXPECT_THROW(inspectAccessibilityTree<int>(
                   0, {}, [](int) { return std::vector<int>{}; },
                   [](int) -> bool { throw Failure(Failure::incomplete); },
                   [](int n, const NodePath&, std::size_t) { return std::optional<int>(n); }),
               Failure);
}

TEST(InspectionWalk, NodeLimitBelowOneFailsBeforeAnyRead) {
  Tree tree;
  EXPECT_EQ(failureOf(tree, {.elements = 250, .nodes = 0, .depth = 15, .children = 1000}), Failure::tooLarge);
  EXPECT_TRUE(tree.protectionChecks.empty());
}

struct TextTree {
  std::map<int, std::vector<int>> kids;
  std::map<int, std::string> texts;
  std::vector<int> examined;
  std::string search(int maxNodes = 12) {
    return firstDescendantText(
        0, maxNodes, [&](int n) { return kids.count(n) ? kids[n] : std::vector<int>{}; },
        [&](int n) {
          examined.push_back(n);
          return texts.count(n) ? texts[n] : std::string();
        });
  }
};

TEST(FirstDescendantText, SearchesBreadthFirstBelowTheRootAndTrims) {
  TextTree tree;
  tree.kids = {{0, {1, 2}}, {1, {3}}, {2, {4}}};
  tree.texts = {{0, "root"}, {1, " \n\t"}, {3, "deep"}, {4, "  later  "}};
  EXPECT_EQ(tree.search(), "deep");
  EXPECT_EQ(tree.examined, (std::vector<int>{1, 2, 3}));

  tree.texts[2] = "\u00A0 second \n";
  EXPECT_EQ(tree.search(), "second");
}

TEST(FirstDescendantText, LooksAtNoMoreThanTheLimit) {
  TextTree tree;
  for (int i = 1; i <= 13; ++i) tree.kids[0].push_back(i);
  tree.texts[13] = "thirteenth";
  EXPECT_EQ(tree.search(), "");
  EXPECT_EQ(tree.examined.size(), 12u);

  tree.texts[12] = "twelfth";
  EXPECT_EQ(tree.search(), "twelfth");
  EXPECT_EQ(tree.search(0), "");
  TextTree leaf;
  leaf.texts[0] = "own text";
  EXPECT_EQ(leaf.search(), "");
}

}  // namespace
}  // namespace larkspire::computer
