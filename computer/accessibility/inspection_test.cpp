// The generic walk and descendant search on plain trees, and the inventory
// of windows of the simulated desktop.
#include "computer/accessibility/inspection.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "computer/failure.h"
#include "platform/simulated/desktop.h"

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
                   0, {},
                   [&](int) {
                     childrenRead = true;
                     return std::vector<int>{1};
                   },
                   [](int) { return true; }, [](int n, const NodePath&, std::size_t) { return std::optional<int>(n); }),
               Failure);
  EXPECT_FALSE(childrenRead);
}

TEST(InspectionWalk, FailuresOfTheSuppliedFunctionsPassThroughUnchanged) {
  try {
    inspectAccessibilityTree<int>(
        0, {},
        [](int n) -> std::vector<int> {
          if (n == 2) fail(kUnavailable);
          return n == 0 ? std::vector<int>{1, 2} : std::vector<int>{};
        },
        [](int) { return false; }, [](int n, const NodePath&, std::size_t) { return std::optional<int>(n); });
    ADD_FAILURE() << "no failure";
  } catch (const NativeFailure& failure) {
    EXPECT_EQ(failure.code, kUnavailable);
  }
  EXPECT_THROW(
      inspectAccessibilityTree<int>(
          0, {}, [](int) { return std::vector<int>{}; }, [](int) -> bool { throw Failure(Failure::incomplete); },
          [](int n, const NodePath&, std::size_t) { return std::optional<int>(n); }),
      Failure);
}

// Each node's count and list of children, where the count may disagree
// with the list (the tree changed in between) or be unknown.
struct CountedTree {
  std::map<int, std::vector<int>> kids;
  std::map<int, std::optional<std::int64_t>> counts;  // missing: the list's size
  std::vector<int> listed;

  Failure::Kind failure(AccessibilityInspectionLimits limits) {
    try {
      inspectAccessibilityTree<int>(
          0, limits,
          [&](int n) -> std::optional<std::int64_t> {
            if (counts.count(n)) return counts[n];
            return static_cast<std::int64_t>(kids.count(n) ? kids[n].size() : 0);
          },
          [&](int n) {
            listed.push_back(n);
            return kids.count(n) ? kids[n] : std::vector<int>{};
          },
          [](int) { return false; }, [](int n, const NodePath&, std::size_t) { return std::optional<int>(n); });
    } catch (const Failure& f) {
      return f.kind();
    }
    return Failure::incomplete;  // stands for "no failure" here
  }
};

TEST(InspectionWalk, CountedChildrenAreRefusedBeforeTheyAreListed) {
  const AccessibilityInspectionLimits limits{.elements = 250, .nodes = 10, .depth = 2, .children = 4};
  // Too many children of one node: the node itself is never listed.
  CountedTree wide;
  wide.kids[0] = {1, 2};
  wide.kids[2] = {3, 4, 5, 6, 7};
  EXPECT_EQ(wide.failure(limits), Failure::tooLarge);
  EXPECT_EQ(wide.listed, (std::vector<int>{0, 1}));

  // Too many nodes in all, and children too deep, the same way.
  CountedTree many;
  many.kids[0] = {1, 2, 3};
  many.kids[1] = {4, 5, 6, 7};
  many.kids[2] = {8, 9, 10, 11};
  EXPECT_EQ(many.failure(limits), Failure::tooLarge);
  EXPECT_EQ(many.listed, (std::vector<int>{0, 1}));
  CountedTree deep;
  deep.kids[0] = {1};
  deep.kids[1] = {2};
  deep.kids[2] = {3};
  EXPECT_EQ(deep.failure(limits), Failure::tooLarge);
  EXPECT_EQ(deep.listed, (std::vector<int>{0, 1}));

  // A count that is unknown, or wrong by the time the list is read, still
  // leaves the list to be checked.
  CountedTree unknown = wide;
  unknown.listed.clear();
  unknown.counts[2] = std::nullopt;
  EXPECT_EQ(unknown.failure(limits), Failure::tooLarge);
  EXPECT_EQ(unknown.listed, (std::vector<int>{0, 1, 2}));
  CountedTree grew = wide;
  grew.listed.clear();
  grew.counts[2] = 1;
  EXPECT_EQ(grew.failure(limits), Failure::tooLarge);
  EXPECT_EQ(grew.listed, (std::vector<int>{0, 1, 2}));

  // Within the limits, every node is listed.
  CountedTree fits = wide;
  fits.listed.clear();
  fits.kids[2].pop_back();
  EXPECT_EQ(fits.failure(limits), Failure::incomplete);
  EXPECT_EQ(fits.listed.size(), 7u);
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

// A window of the simulated desktop and its inventory.
class Inventory : public ::testing::Test {
 protected:
  simulated::Desktop desktop;
  simulated::SimApp& app = desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes"});
  simulated::SimWindow& window =
      app.addWindow({.title = "Doc", .frame = {{100, 50}, {800, 600}}, .accessibilityFrame = std::nullopt});
  simulated::Node& root = window.element();

  InspectedElements run() { return inspect(desktop.platform().accessibility, root.element(), window.capture().frame); }
  std::optional<NativeFailure> failure() {
    try {
      run();
    } catch (const NativeFailure& f) {
      return f;
    }
    return std::nullopt;
  }
  std::string failureCode() {
    auto f = failure();
    EXPECT_TRUE(!f || f->notExecuted);
    return f ? f->code : "none";
  }
};

TEST_F(Inventory, RecordsNameRoleActionsAndEditability) {
  auto& ok = root.add("AXButton").title("OK").description("ignored").actions({"AXPress", "AXShowMenu"});
  root.add("AXGroup");  // nothing to say: no record, no number
  auto& field = root.add("AXTextField").settable("AXValue").value(std::string("draft"));
  auto& image = root.add("AXImage").description("Logo");
  auto result = run();
  ASSERT_EQ(result.nodes.size(), 4u);
  EXPECT_EQ(result.nodes[0],
            (json::Json{{"ref", "e1"},
                        {"role", "AXWindow"},
                        {"name", "Doc"},
                        {"actions", {"AXRaise"}},
                        {"editable", false},
                        {"bounds", {{"x", 100.0}, {"y", 50.0}, {"width", 800.0}, {"height", 600.0}}}}));
  EXPECT_EQ(result.nodes[1], (json::Json{{"ref", "e2"},
                                         {"role", "AXButton"},
                                         {"name", "OK"},
                                         {"actions", {"AXPress", "AXShowMenu"}},
                                         {"editable", false}}));
  EXPECT_EQ(
      result.nodes[2],
      (json::Json{
          {"ref", "e3"}, {"role", "AXTextField"}, {"name", ""}, {"actions", json::Json::array()}, {"editable", true}}));
  EXPECT_EQ(result.nodes[3]["name"], "Logo");
  EXPECT_EQ(result.references,
            (std::map<std::string, platform::Element>{
                {"e1", root.element()}, {"e2", ok.element()}, {"e3", field.element()}, {"e4", image.element()}}));
}

TEST_F(Inventory, FailedNamingReadsFallBackInsteadOfFailing) {
  root.add("AXButton")
      .title("Go")
      .fail("AXRole", platform::kAXErrorCannotComplete)
      .failActionNames(platform::kAXErrorCannotComplete)
      .failSettable("AXValue", platform::kAXErrorCannotComplete);
  auto result = run();
  ASSERT_EQ(result.nodes.size(), 2u);
  EXPECT_EQ(
      result.nodes[1],
      (json::Json{{"ref", "e2"}, {"role", ""}, {"name", "Go"}, {"actions", json::Json::array()}, {"editable", false}}));
}

TEST_F(Inventory, NamesAreCutToTwoHundredCharactersButNotTrimmed) {
  std::string flag = "\U0001F1EB\U0001F1F7";  // one character, two code points
  std::string longName;
  for (int i = 0; i < 250; ++i) longName += flag;
  root.add("AXStaticText").title(longName);
  root.add("AXStaticText").description("   ");
  root.add("AXStaticText").title(std::string("bad \xFF byte"));
  auto result = run();
  ASSERT_EQ(result.nodes.size(), 4u);
  auto name = result.nodes[1]["name"].get<std::string>();
  EXPECT_EQ(text::graphemeCount(name), 200u);
  EXPECT_EQ(name, longName.substr(0, 200 * flag.size()));
  EXPECT_EQ(result.nodes[2]["name"], "   ");
  EXPECT_EQ(result.nodes[3]["name"], "bad \uFFFD byte");
}

TEST_F(Inventory, WindowButtonsAndRowsAreNamedFromElsewhere) {
  root.add("AXButton").subrole("AXCloseButton").actions({"AXPress"});
  root.add("AXButton").subrole("AXFullScreenButton").description("Enter full screen");
  root.add("AXButton").subrole("AXCloseButton").description("Dismiss");
  root.addTree(R"(
AXRow
  AXCell
    AXImage description="icon"
    AXStaticText value="  \n "
  AXCell
    AXTextField value=" Quarterly report "
AXRow actions=AXPress
  AXButton value="not text"
AXRow
  AXGroup
    AXStaticText value="buried"
AXCell title="Own title"
  AXStaticText value="child text"
)");
  auto result = run();
  std::vector<std::string> names;
  for (const auto& record : result.nodes)
    names.push_back(record["role"].get<std::string>() + ":" + record["name"].get<std::string>());
  EXPECT_EQ(names, (std::vector<std::string>{"AXWindow:Doc", "AXButton:Close window", "AXButton:Enter full screen",
                                             "AXButton:Dismiss", "AXRow:Quarterly report", "AXRow:", "AXRow:buried",
                                             "AXCell:Own title", "AXCell:Quarterly report", "AXImage:icon"}));
}

TEST_F(Inventory, RowNamesLookAtTwelveDescendantsAtMost) {
  auto& row = root.add("AXRow");
  for (int i = 0; i < 12; ++i) row.add("AXGroup");
  row.add("AXStaticText").value(std::string("thirteenth"));
  EXPECT_EQ(run().nodes.size(), 1u);  // the row found no name and has nothing else to offer
  row.removeChild(*row.children().front());
  auto result = run();
  ASSERT_EQ(result.nodes.size(), 2u);
  EXPECT_EQ(result.nodes[1]["name"], "thirteenth");
}

TEST_F(Inventory, BoundsOnlyWhenTheElementMeetsTheWindow) {
  root.add("AXButton").title("inside").frame({{110, 60}, {80, 24}});
  root.add("AXButton").title("edge").frame({{850, 600}, {100, 100}});
  root.add("AXButton").title("outside").frame({{2000, 60}, {80, 24}});
  root.add("AXButton").title("touching").frame({{900, 50}, {10, 10}});
  root.add("AXButton").title("hidden").frame({{-2147483648.0, -2147483648.0}, {1, 1}});
  auto result = run();
  ASSERT_EQ(result.nodes.size(), 6u);
  EXPECT_EQ(result.nodes[1]["bounds"], (json::Json{{"x", 110.0}, {"y", 60.0}, {"width", 80.0}, {"height", 24.0}}));
  EXPECT_EQ(result.nodes[2]["bounds"], (json::Json{{"x", 850.0}, {"y", 600.0}, {"width", 100.0}, {"height", 100.0}}));
  for (int i = 3; i < 6; ++i) EXPECT_FALSE(result.nodes[i].contains("bounds")) << result.nodes[i];
}

TEST_F(Inventory, ProtectedContentAnywhereDeniesTheWholeWindow) {
  root.add("AXGroup").add("AXGroup").add("AXTextField").subrole("AXSecureTextField");
  EXPECT_EQ(failureCode(), kAccessDenied);
}

TEST_F(Inventory, ProtectedWindowItselfIsDenied) {
  root.protectedContent(true);
  EXPECT_EQ(failureCode(), kAccessDenied);
}

TEST_F(Inventory, UndecidableProtectionAndUnreadableChildrenAreUnavailable) {
  auto& field = root.add("AXComboBox").fail("AXSubrole", platform::kAXErrorCannotComplete);
  EXPECT_EQ(failureCode(), kUnavailable);
  field.subrole("AXStandardComboBox");
  EXPECT_EQ(failureCode(), "none");
  root.add("AXGroup").fail("AXChildren", platform::kAXErrorCannotComplete);
  EXPECT_EQ(failureCode(), kUnavailable);
}

TEST_F(Inventory, ChildrenAreCountedBeforeTheyAreReadAndAFailedCountIsUnavailable) {
  auto& wide = root.add("AXGroup");
  wide.addMany(6000, [](simulated::Node& n, int) { n.role("AXStaticText"); });
  EXPECT_EQ(failureCode(), kWindowTooComplex);
  EXPECT_EQ(desktop.countReads, 2) << "the window and the group are counted, nothing below them";
  wide.fail("AXChildren", platform::kAXErrorCannotComplete);
  EXPECT_EQ(failureCode(), kUnavailable);
}

TEST_F(Inventory, AHungApplicationCostsOneTimeoutNotOnePerElement) {
  root.add("AXGroup").addMany(300, [](simulated::Node& n, int i) { n.role("AXButton").title(std::to_string(i)); });
  app.hung = true;
  const double start = desktop.now();
  EXPECT_EQ(failureCode(), kUnavailable);
  EXPECT_EQ(desktop.now() - start, desktop.messagingTimeout);
  EXPECT_EQ(desktop.accessibilityCalls, 1);
}

TEST_F(Inventory, LimitsAreReportedAsTooComplex) {
  auto& wide = root.add("AXGroup");
  wide.addMany(1000, [](simulated::Node& n, int) { n.role("AXStaticText"); });
  EXPECT_EQ(failureCode(), "none");
  wide.add("AXStaticText");
  EXPECT_EQ(failureCode(), kWindowTooComplex);
}

TEST_F(Inventory, NodeLimitIncludesTheWindow) {
  // window + 3 groups + 999 + 999 + 997 = 2999 nodes
  std::vector<simulated::Node*> groups{&root.add("AXGroup"), &root.add("AXGroup"), &root.add("AXGroup")};
  groups[0]->addMany(999, [](simulated::Node& n, int) { n.role("AXGroup"); });
  groups[1]->addMany(999, [](simulated::Node& n, int) { n.role("AXGroup"); });
  groups[2]->addMany(997, [](simulated::Node& n, int) { n.role("AXGroup"); });
  EXPECT_EQ(failureCode(), "none");
  groups[2]->add("AXGroup");
  EXPECT_EQ(failureCode(), "none");  // 3000
  groups[2]->add("AXGroup");
  EXPECT_EQ(failureCode(), kWindowTooComplex);  // 3001
}

TEST_F(Inventory, DepthLimitCountsFromTheWindow) {
  simulated::Node* at = &root;
  for (int depth = 1; depth <= 15; ++depth) at = &at->add("AXGroup");
  EXPECT_EQ(failureCode(), "none");  // the deepest node is at depth 15, without children
  at->add("AXGroup");
  EXPECT_EQ(failureCode(), kWindowTooComplex);
}

TEST_F(Inventory, KeepsTwoHundredFiftyRecordsYetChecksEveryNode) {
  auto& list = root.add("AXGroup");
  list.addMany(299, [](simulated::Node& n, int i) { n.role("AXButton").title("Item " + std::to_string(i)); });
  auto result = run();
  ASSERT_EQ(result.nodes.size(), 250u);
  EXPECT_EQ(result.references.size(), 250u);
  EXPECT_EQ(result.nodes.front()["ref"], "e1");
  EXPECT_EQ(result.nodes.back()["ref"], "e250");
  EXPECT_EQ(result.nodes.back()["name"], "Item 248");
  EXPECT_EQ(result.references.count("e251"), 0u);
  list.add("AXTextField").subrole("AXSecureTextField");
  EXPECT_EQ(failureCode(), kAccessDenied);
}

}  // namespace
}  // namespace larkspire::computer
