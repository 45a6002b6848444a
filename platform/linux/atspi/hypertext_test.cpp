#include "platform/linux/atspi/hypertext.h"

#include <atspi/atspi-constants.h>
#include <gtest/gtest.h>

#include <map>

namespace larkspire::linux_backend::atspi {
namespace {

constexpr char32_t kObj = kEmbeddedObjectCharacter;

// A page held in memory: objects by path, and which were read.
class Page final : public TextObjects {
 public:
  // Adds an object; every U+FFFC of its text stands, in order, for the
  // next of `embedded` (paths of objects added before or after).
  Page& add(const std::string& path, AtspiRole role, std::u32string text, std::vector<TextSpan> selections = {},
            std::vector<std::string> embedded = {}) {
    TextObject o;
    o.role = role;
    o.text = std::move(text);
    o.selections = std::move(selections);
    std::size_t next = 0;
    for (std::size_t i = 0; i < o.text.size() && next < embedded.size(); ++i)
      if (o.text[i] == kObj) o.embedded.emplace_back(static_cast<std::int32_t>(i), at(embedded[next++]));
    objects_[path] = std::move(o);
    return *this;
  }
  static ObjectAddress at(const std::string& path) { return {":1.7", path}; }

  std::vector<std::optional<TextObject>> read(const std::vector<ObjectAddress>& objects) override {
    ++batches;
    std::vector<std::optional<TextObject>> out;
    for (const auto& a : objects) {
      reads.push_back(a.path);
      auto it = objects_.find(a.path);
      out.push_back(it == objects_.end() ? std::nullopt : std::optional<TextObject>(it->second));
    }
    return out;
  }

  ResolvedText resolve(const std::string& path, TextSpan span) {
    return resolveSpan(*this, at(path), objects_.at(path), span);
  }
  ResolvedText resolveSelection(const std::string& path) { return resolve(path, objects_.at(path).selections.at(0)); }

  std::vector<std::string> reads;
  int batches = 0;

 private:
  std::map<std::string, TextObject> objects_;
};

// The page of the desktop tests: two paragraphs, the first with a link,
// then a paragraph with a text field and a button.
Page gardenPage() {
  Page page;
  page.add("p1", ATSPI_ROLE_PARAGRAPH, U"the smell of marigold, before the \uFFFC in numbers.", {}, {"link"})
      .add("link", ATSPI_ROLE_LINK, U"bees arrived")
      .add("p2", ATSPI_ROLE_PARAGRAPH, U"Later the wind came.")
      .add("p3", ATSPI_ROLE_PARAGRAPH, U"\uFFFC \uFFFC", {}, {"field", "button"})
      .add("field", ATSPI_ROLE_ENTRY, U"visible field")
      .add("button", ATSPI_ROLE_PUSH_BUTTON, U"Send note")
      .add("doc", ATSPI_ROLE_DOCUMENT_WEB, U"\uFFFC\uFFFC\uFFFC", {}, {"p1", "p2", "p3"});
  return page;
}

TEST(AtspiHypertext, AWordInAParagraphIsFoundThroughTheDocumentsObjectCharacter) {
  Page page = gardenPage();
  page.add("p1", ATSPI_ROLE_PARAGRAPH, U"the smell of marigold, before the \uFFFC in numbers.", {{13, 21}}, {"link"})
      .add("doc", ATSPI_ROLE_DOCUMENT_WEB, U"\uFFFC\uFFFC\uFFFC", {{0, 1}}, {"p1", "p2", "p3"});
  ResolvedText r = page.resolveSelection("doc");
  EXPECT_EQ(r.text, "marigold");
  ASSERT_EQ(r.runs.size(), 1u);
  EXPECT_EQ(r.runs[0].object, Page::at("p1"));
  EXPECT_EQ(r.runs[0].span, (TextSpan{13, 21}));
  // Only the paragraph the selection runs into is read.
  EXPECT_EQ(page.reads, (std::vector<std::string>{"p1"}));
}

TEST(AtspiHypertext, ADragOverALinkIntoTheNextParagraphGathersEveryPieceInOrder) {
  Page page = gardenPage();
  page.add("p1", ATSPI_ROLE_PARAGRAPH, U"the smell of marigold, before the \uFFFC in numbers.", {{23, 47}}, {"link"})
      .add("link", ATSPI_ROLE_LINK, U"bees arrived", {{0, 12}})
      .add("p2", ATSPI_ROLE_PARAGRAPH, U"Later the wind came.", {{0, 14}})
      .add("doc", ATSPI_ROLE_DOCUMENT_WEB, U"\uFFFC\uFFFC\uFFFC", {{0, 2}}, {"p1", "p2", "p3"});
  ResolvedText r = page.resolveSelection("doc");
  EXPECT_EQ(r.text, "before the bees arrived in numbers.\nLater the wind");
  ASSERT_EQ(r.runs.size(), 4u);
  EXPECT_EQ(r.runs[0].span, (TextSpan{23, 34}));
  EXPECT_EQ(r.runs[1].object, Page::at("link"));
  EXPECT_EQ(r.runs[2].span, (TextSpan{35, 47}));
  EXPECT_EQ(r.runs[3].object, Page::at("p2"));
  EXPECT_EQ(r.runs[3].span, (TextSpan{0, 14}));
  // Siblings are read together: the document's paragraphs in one batch,
  // the link in another.
  EXPECT_EQ(page.batches, 2);
}

TEST(AtspiHypertext, ObjectsInsideTheSpanCountWholeWhateverTheyReport) {
  // A browser that reports a fully selected object short (one character
  // missing) or not at all does not cut the text of an object the span
  // covers; only the objects at its ends are asked what they select.
  Page page = gardenPage();
  page.add("p1", ATSPI_ROLE_PARAGRAPH, U"the smell of marigold, before the \uFFFC in numbers.", {{39, 47}}, {"link"})
      .add("p2", ATSPI_ROLE_PARAGRAPH, U"Later the wind came.", {{0, 3}})
      .add("doc", ATSPI_ROLE_DOCUMENT_WEB, U"\uFFFC\uFFFC\uFFFC\uFFFC", {{0, 4}}, {"p1", "middle", "inner", "p2"})
      .add("middle", ATSPI_ROLE_HEADING, U"Spring \uFFFC", {{0, 1}}, {"em"})
      .add("em", ATSPI_ROLE_LINK, U"flowers", {})
      .add("inner", ATSPI_ROLE_SECTION, U"\uFFFC", {}, {"link2"})
      .add("link2", ATSPI_ROLE_LINK, U"more");
  EXPECT_EQ(page.resolveSelection("doc").text, "numbers.\nSpring flowers\nmore\nLat");
}

TEST(AtspiHypertext, AnEndObjectThatReportsNoSelectionAddsNothing) {
  // A triple click selects a paragraph up to the start of the next one:
  // the document's span covers the next paragraph's character, but nothing
  // of it is selected.
  Page page = gardenPage();
  page.add("p1", ATSPI_ROLE_PARAGRAPH, U"the smell of marigold, before the \uFFFC in numbers.", {{0, 47}}, {"link"})
      .add("doc", ATSPI_ROLE_DOCUMENT_WEB, U"\uFFFC\uFFFC\uFFFC", {{0, 2}}, {"p1", "p2", "p3"});
  EXPECT_EQ(page.resolveSelection("doc").text, "the smell of marigold, before the bees arrived in numbers.");
}

TEST(AtspiHypertext, FormFieldsButtonsAndPasswordsAreLeftOutOfAPageSelection) {
  Page page = gardenPage();
  page.add("p1", ATSPI_ROLE_PARAGRAPH, U"the smell of marigold, before the \uFFFC in numbers.", {{0, 47}}, {"link"})
      .add("doc", ATSPI_ROLE_DOCUMENT_WEB, U"\uFFFC\uFFFC\uFFFC\uFFFC", {{0, 4}}, {"p1", "p2", "p3", "p4"})
      .add("p4", ATSPI_ROLE_PARAGRAPH, U"Key: \uFFFC!", {{0, 7}}, {"secret"})
      .add("secret", ATSPI_ROLE_PASSWORD_TEXT, U"hunter2", {{0, 7}});
  ResolvedText r = page.resolveSelection("doc");
  // The paragraph with nothing but a field, a space and a button is gone
  // with its line; the password paragraph keeps its own words.
  EXPECT_EQ(r.text, "the smell of marigold, before the bees arrived in numbers.\nLater the wind came.\nKey: !");
  for (const auto& run : r.runs) {
    EXPECT_NE(run.object, Page::at("secret"));
    EXPECT_NE(run.object, Page::at("field"));
    EXPECT_NE(run.object, Page::at("p3"));
  }
}

TEST(AtspiHypertext, TheObjectCharacterItselfIsNeverReportedUnlessThePageHasIt) {
  Page page;
  // The first U+FFFC is the page's own character (no embedded object
  // there); the second stands for an image without text, the third for an
  // object that went away.
  page.add("p", ATSPI_ROLE_PARAGRAPH, U"a \uFFFC b \uFFFC c \uFFFC d", {{0, 13}}, {}).add("img", ATSPI_ROLE_IMAGE, U"");
  TextObject p;
  p.role = ATSPI_ROLE_PARAGRAPH;
  p.text = U"a \uFFFC b \uFFFC c \uFFFC d";
  p.embedded = {{6, Page::at("img")}, {10, Page::at("gone")}};
  ResolvedText r = resolveSpan(page, Page::at("p"), p, {0, 13});
  EXPECT_EQ(r.text, "a \xEF\xBF\xBC b  c  d");
  EXPECT_TRUE(spansEmbeddedObject(p, {6, 7}));
  EXPECT_FALSE(spansEmbeddedObject(p, {0, 6}));
  // An offset that does not hold the character is no embedded object.
  p.embedded.emplace_back(0, Page::at("img"));
  EXPECT_FALSE(spansEmbeddedObject(p, {0, 1}));
}

TEST(AtspiHypertext, SpansAreClampedAndBounded) {
  Page page = gardenPage();
  page.add("p1", ATSPI_ROLE_PARAGRAPH, U"the smell of marigold, before the \uFFFC in numbers.", {{0, 47}}, {"link"})
      .add("doc", ATSPI_ROLE_DOCUMENT_WEB, U"\uFFFC\uFFFC\uFFFC", {{3, 0}}, {"p1", "p2", "p3"})
      .add("p2", ATSPI_ROLE_PARAGRAPH, U"Later the wind came.", {{15, 900}});
  // Reversed and overlong spans read as what they cover.
  EXPECT_EQ(page.resolveSelection("doc").text,
            "the smell of marigold, before the bees arrived in numbers.\nLater the wind came.");
  EXPECT_EQ(page.resolve("p2", {15, 900}).text, "came.");
  EXPECT_EQ(page.resolve("p2", {-5, 5}).text, "Later");

  // A page of many paragraphs, all selected: the objects read and the
  // characters gathered stop at their limits.
  Page big;
  std::u32string docText(kMaxResolvedObjects + 50, kObj);
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < docText.size(); ++i) {
    paths.push_back("p" + std::to_string(i));
    big.add(paths.back(), ATSPI_ROLE_PARAGRAPH, std::u32string(100, U'x'));
  }
  big.add("doc", ATSPI_ROLE_DOCUMENT_WEB, docText, {{0, static_cast<std::int32_t>(docText.size())}}, paths);
  ResolvedText r = big.resolveSelection("doc");
  EXPECT_LT(big.reads.size(), kMaxResolvedObjects);
  EXPECT_EQ(r.text.size(), kMaxResolvedCharacters);
}

TEST(AtspiHypertext, BoundsAreTheUnionOfUsableRectangles) {
  constexpr auto kOff = std::numeric_limits<std::int32_t>::min();
  EXPECT_FALSE(unionOfExtents({}).has_value());
  EXPECT_FALSE(unionOfExtents({{kOff, kOff, 1, 1}, {5, 5, 0, 10}}).has_value());
  auto u = unionOfExtents({{434, 193, 89, 24}, {kOff, kOff, 1, 1}, {54, 217, 120, 24}, {10, 10, 5, 0}});
  ASSERT_TRUE(u.has_value());
  EXPECT_EQ(u->x, 54);
  EXPECT_EQ(u->y, 193);
  EXPECT_EQ(u->width, 523 - 54);
  EXPECT_EQ(u->height, 241 - 193);
}

TEST(AtspiHypertext, TextConvertsBetweenUtf8AndCodePoints) {
  const std::string mixed = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8C\xBC\xEF\xBF\xBC";  // a é € 🌼 U+FFFC
  EXPECT_EQ(codePointsOf(mixed), (std::u32string{U'a', U'\u00E9', U'\u20AC', U'\U0001F33C', kObj}));
  EXPECT_EQ(utf8Of(codePointsOf(mixed)), mixed);
  EXPECT_EQ(codePointsOf("a\xFF"
                         "b"),
            (std::u32string{U'a', U'\uFFFD', U'b'}));
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
