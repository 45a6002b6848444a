// Text that spans objects. In AT-SPI's hypertext model an object's text
// holds one U+FFFC OBJECT REPLACEMENT CHARACTER for each embedded child (a
// paragraph in a web document, a link in a paragraph), and a selection that
// crosses objects is spread over them: the document selects the characters
// of the paragraphs it touches, each paragraph its own words. Resolving a
// range gathers, in document order, the text the user sees there: every
// embedded object replaced by what of it lies in the range, form fields
// and password entries left out.
//
// Plain C++ over what was read about each object; the reads go through a
// small port (TextObjects), so that unit tests drive every rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/atspi/translate.h"

namespace larkspire::linux_backend::atspi {

inline constexpr char32_t kEmbeddedObjectCharacter = U'\uFFFC';

struct ObjectAddress {
  std::string bus;
  std::string path;
  bool operator==(const ObjectAddress&) const = default;
};

// A half-open range of character offsets (code points), as AT-SPI counts.
using TextSpan = std::pair<std::int32_t, std::int32_t>;

// What resolving needs to know about one object with text.
struct TextObject {
  Role role = 0;
  std::u32string text;               // its whole text
  std::vector<TextSpan> selections;  // as the object reports them
  // Offset of each U+FFFC that stands for an embedded child, and the child.
  std::vector<std::pair<std::int32_t, ObjectAddress>> embedded;
};

// Reads objects; an object that cannot be read is none. One call reads
// many, so that an implementation can ask for them in one batch.
class TextObjects {
 public:
  virtual ~TextObjects() = default;
  virtual std::vector<std::optional<TextObject>> read(const std::vector<ObjectAddress>& objects) = 0;
};

// One stretch of an object's own characters that is part of the result.
struct TextRun {
  ObjectAddress object;
  TextSpan span;
};

struct ResolvedText {
  std::string text;  // UTF-8
  std::vector<TextRun> runs;
};

// Limits, so that a selection over a huge page stays bounded: objects read
// in all, and characters gathered (past what any reader of a selection
// keeps).
inline constexpr std::size_t kMaxResolvedObjects = 3000;
inline constexpr std::size_t kMaxResolvedCharacters = 200000;

// The text of `span` of `object` (already read as `root`), embedded objects
// resolved. An embedded object strictly inside the span is wholly in it; one
// at either end of the span is where a selection runs into it, so what it
// reports as selected counts (nothing when it reports no selection). Form
// fields, buttons and password entries contribute nothing, nor do objects
// that cannot be read. Blocks (paragraphs, headings, list items…) are
// separated by a line feed; a block with nothing but white space in the
// range is left out.
ResolvedText resolveSpan(TextObjects& objects, const ObjectAddress& address, const TextObject& root, TextSpan span);

// Whether a span of an object's text holds an embedded object, i.e. whether
// resolving it can differ from its own characters.
bool spansEmbeddedObject(const TextObject& object, TextSpan span);

// The smallest rectangle holding every usable, non-empty rectangle given;
// none when there is none.
std::optional<Extents> unionOfExtents(const std::vector<Extents>& rectangles);

// UTF-8 of code points (AT-SPI text is valid UTF-8, so its code points are).
std::string utf8Of(std::u32string_view text);
// Code points of UTF-8; invalid bytes become U+FFFD.
std::u32string codePointsOf(std::string_view text);

}  // namespace larkspire::linux_backend::atspi
