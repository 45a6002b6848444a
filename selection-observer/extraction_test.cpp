#include "selection-observer/extraction.h"

#include <gtest/gtest.h>

#include "platform/simulated/desktop.h"
#include "selection-observer/search.h"

namespace larkspire::observer {
namespace {

using platform::AXValue;
using platform::CharacterRange;
using platform::Rect;
using simulated::AttributeAnswer;

struct Extraction : ::testing::Test {
  simulated::Desktop desktop;
  simulated::SimApp& app = desktop.addApp({.bundleIdentifier = "org.example.Editor", .name = "Editor", .pid = 10});
  simulated::SimWindow& window = app.addWindow({.title = "Doc", .frame = {{0, 0}, {800, 600}}});
  simulated::Node& area = window.element().add("AXTextArea");
  platform::Accessibility& ax = desktop.platform().accessibility;

  // A range whose text and bounds come from parameterized attributes.
  void rangeSelection(const std::string& text, Rect bounds) {
    area.set("AXSelectedTextRange", AXValue{CharacterRange{4, 5}});
    area.parameterized("AXStringForRange", [text](const platform::Value&) { return AttributeAnswer{0, text}; });
    area.parameterized("AXBoundsForRange", [bounds](const platform::Value&) {
      return AttributeAnswer{0, AXValue{bounds}};
    });
  }
  void markerSelection(const std::string& text, Rect bounds) {
    auto marker = platform::TextMarkerRange{std::make_shared<int>(1)};
    area.set("AXSelectedTextMarkerRange", marker);
    area.parameterized("AXStringForTextMarkerRange", [text](const platform::Value&) {
      return AttributeAnswer{0, text};
    });
    area.parameterized("AXBoundsForTextMarkerRange", [bounds](const platform::Value&) {
      return AttributeAnswer{0, AXValue{bounds}};
    });
  }
};

TEST_F(Extraction, SelectedTextSkipsBlankSourcesAndKeepsSurroundingWhitespace) {
  area.set("AXSelectedText", std::string("   "));
  rangeSelection("word", {{1, 2}, {3, 4}});
  EXPECT_EQ(selectedText(ax, area.element()), "word");

  area.set("AXSelectedText", std::string("\nword "));
  EXPECT_EQ(selectedText(ax, area.element()), "\nword ");

  area.fail("AXSelectedText", platform::kAXErrorCannotComplete);
  area.set("AXSelectedTextRange", std::string("not a range"));
  markerSelection("from markers", {{5, 6}, {7, 8}});
  EXPECT_EQ(selectedText(ax, area.element()), "from markers");
  auto bounds = selectionBounds(ax, area.element());
  ASSERT_TRUE(bounds);
  EXPECT_EQ(bounds->x, 5);
  EXPECT_EQ(bounds->height, 8);
}

TEST_F(Extraction, SelectedTextIsCutToTheLongestReportedSelectionInCharacters) {
  std::string thumbs = "\U0001F44D\U0001F3FD";  // one character, two code points
  std::string text;
  for (int i = 0; i < 50001; ++i) text += thumbs;
  area.set("AXSelectedText", text);
  auto selected = selectedText(ax, area.element());
  ASSERT_TRUE(selected);
  EXPECT_EQ(selected->size(), thumbs.size() * 50000);
}

TEST_F(Extraction, BoundsNeedANonEmptyRectangleAndFallBackToMarkers) {
  rangeSelection("word", {{1, 2}, {0, 4}});
  EXPECT_FALSE(selectionBounds(ax, area.element()));
  markerSelection("word", {{9, 9}, {2, 2}});
  auto bounds = selectionBounds(ax, area.element());
  ASSERT_TRUE(bounds);
  EXPECT_EQ(bounds->x, 9);
  // Negative sizes are accepted and kept as given.
  rangeSelection("word", {{10, 10}, {-3, 2}});
  EXPECT_EQ(selectionBounds(ax, area.element())->width, -3);
}

TEST_F(Extraction, DocumentUrlLooksAtMostEightAncestorsUp) {
  simulated::Node* node = &area;
  for (int i = 0; i < 9; ++i) node = &node->add("AXGroup");
  // `node` is 9 levels below the text area; the text area is its ninth ancestor.
  area.set("AXURL", platform::Url{"https://example.org/doc"});
  EXPECT_FALSE(documentUrl(ax, node->element()));
  EXPECT_EQ(documentUrl(ax, node->parent()->element()), "https://example.org/doc");
  node->parent()->parent()->set("AXURL", std::string("file:///tmp/notes.txt"));
  EXPECT_EQ(documentUrl(ax, node->element()), "file:///tmp/notes.txt");
}

TEST_F(Extraction, ProtectedInput) {
  area.subrole("AXSecureTextField").protectedContent(false);
  EXPECT_TRUE(isProtectedInput(ax, area.element()));
  area.subrole("AXSecureTextfield");
  EXPECT_FALSE(isProtectedInput(ax, area.element()));
  area.protectedContent(true);
  EXPECT_TRUE(isProtectedInput(ax, area.element()));
  area.fail("AXProtectedContent", platform::kAXErrorCannotComplete);
  EXPECT_FALSE(isProtectedInput(ax, area.element()));
}

TEST_F(Extraction, SearchFindsTheShallowestSelectionBreadthFirst) {
  auto& group = window.element().add("AXGroup");
  auto& first = group.add("AXWebArea");
  auto& second = group.add("AXWebArea");
  first.set("AXSelectedText", std::string("first"));
  second.set("AXSelectedText", std::string("second"));
  auto search = searchSubtree(ax, window.element().element());
  ASSERT_TRUE(search.found);
  EXPECT_EQ(search.found->text, "first");
  // The empty text area came first in breadth-first order and counted.
  EXPECT_EQ(search.candidates, 1);
}

TEST_F(Extraction, SearchSkipsProtectedAreasAndReportsItsCaps) {
  area.subrole("AXSecureTextField").set("AXSelectedText", std::string("secret"));
  auto search = searchSubtree(ax, window.element().element());
  EXPECT_FALSE(search.found);
  EXPECT_EQ(search.candidates, 0);
  EXPECT_EQ(search.diagnostic(), "visited=2 maxDepth=1 candidates=0");

  window.element().addMany(1300, [](simulated::Node& n, int) { n.role("AXStaticText"); });
  search = searchSubtree(ax, window.element().element());
  EXPECT_EQ(search.visited, 1201);
  EXPECT_TRUE(search.truncated);
  EXPECT_EQ(search.diagnostic(), "visited=1201 maxDepth=1 candidates=0 TRUNCATED(hit node/depth cap)");
}

TEST_F(Extraction, SearchStopsAtDepthSixteen) {
  simulated::Node* node = &window.element();
  for (int depth = 1; depth <= 17; ++depth) node = &node->add(depth == 17 ? "AXTextArea" : "AXGroup");
  node->set("AXSelectedText", std::string("too deep"));
  auto search = searchSubtree(ax, window.element().element());
  EXPECT_FALSE(search.found);
  EXPECT_TRUE(search.truncated);
  EXPECT_EQ(search.maxDepth, 16);
}

}  // namespace
}  // namespace larkspire::observer
