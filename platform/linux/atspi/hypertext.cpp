#include "platform/linux/atspi/hypertext.h"

#include <atspi/atspi-constants.h>
#include <glib.h>

#include <algorithm>
#include <climits>

#include "platform/linux/handles.h"

namespace larkspire::linux_backend::atspi {
namespace {

// Widgets inside a page: their value or label is not text of the document,
// and a page selection running over them does not take it (a password
// entry above all).
bool leftOut(Role role) {
  switch (role) {
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_RADIO_BUTTON:
    case ATSPI_ROLE_COMBO_BOX:
    case ATSPI_ROLE_SPIN_BUTTON:
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_LIST_BOX:
    case ATSPI_ROLE_AUTOCOMPLETE:
      return true;
    default:
      return false;
  }
}

// Objects laid out as blocks of their own, which a reader sees on lines of
// their own.
bool isBlock(Role role) {
  switch (role) {
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_ARTICLE:
    case ATSPI_ROLE_BLOCK_QUOTE:
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_ITEM:
    case ATSPI_ROLE_DESCRIPTION_LIST:
    case ATSPI_ROLE_DESCRIPTION_TERM:
    case ATSPI_ROLE_DESCRIPTION_VALUE:
    case ATSPI_ROLE_TABLE:
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_TABLE_CELL:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_FORM:
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_GROUPING:
    case ATSPI_ROLE_HEADER:
    case ATSPI_ROLE_FOOTER:
    case ATSPI_ROLE_LANDMARK:
    case ATSPI_ROLE_FOOTNOTE:
    case ATSPI_ROLE_COMMENT:
    case ATSPI_ROLE_DOCUMENT_FRAME:
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_INTERNAL_FRAME:
      return true;
    default:
      return false;
  }
}

bool whiteSpace(char32_t c) {
  return c == U' ' || c == U'\t' || c == U'\n' || c == U'\r' || c == U'\f' || c == U'\v' || c == U'\u00A0' ||
         c == U'\u2028' || c == U'\u2029' || (c >= U'\u2000' && c <= U'\u200B') || c == U'\u3000';
}

TextSpan clamp(TextSpan span, std::size_t length) {
  const auto len = static_cast<std::int32_t>(std::min<std::size_t>(length, INT32_MAX));
  std::int32_t a = std::clamp(std::min(span.first, span.second), 0, len);
  std::int32_t b = std::clamp(std::max(span.first, span.second), 0, len);
  return {a, b};
}

class Resolver {
 public:
  explicit Resolver(TextObjects& objects) : objects_(objects) {}

  void gather(const ObjectAddress& address, const TextObject& object, TextSpan span, bool whole) {
    span = clamp(span, object.text.size());
    std::vector<std::pair<std::int32_t, const ObjectAddress*>> inside;
    for (const auto& [offset, child] : object.embedded)
      if (offset >= span.first && offset < span.second &&
          object.text[static_cast<std::size_t>(offset)] == kEmbeddedObjectCharacter)
        inside.emplace_back(offset, &child);
    std::sort(inside.begin(), inside.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    inside.erase(
        std::unique(inside.begin(), inside.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
        inside.end());

    std::vector<ObjectAddress> wanted;
    for (const auto& [offset, child] : inside)
      if (read_ + wanted.size() < kMaxResolvedObjects) wanted.push_back(*child);
    auto children = wanted.empty() ? std::vector<std::optional<TextObject>>{} : objects_.read(wanted);
    read_ += wanted.size();

    std::int32_t pos = span.first;
    for (std::size_t i = 0; i < inside.size(); ++i) {
      const auto [offset, childAddress] = inside[i];
      append(address, object, {pos, offset});
      pos = offset + 1;
      if (i >= children.size() || !children[i]) continue;
      const TextObject& child = *children[i];
      if (leftOut(child.role)) continue;
      // Inside the span the whole child is covered; at an end of it, only
      // what the child itself reports as selected.
      const bool atEnd = offset == span.first || offset == span.second - 1;
      std::vector<TextSpan> spans;
      bool childWhole = whole || !atEnd;
      if (childWhole)
        spans.push_back({0, static_cast<std::int32_t>(std::min<std::size_t>(child.text.size(), INT32_MAX))});
      else
        spans = child.selections;
      if (spans.empty()) continue;
      const bool block = isBlock(child.role);
      const std::size_t markText = text_.size(), markRuns = runs_.size();
      if (block) breakPending_ = true;
      for (const auto& s : spans) gather(*childAddress, child, s, childWhole);
      if (block) {
        if (std::all_of(text_.begin() + static_cast<std::ptrdiff_t>(markText), text_.end(), whiteSpace)) {
          text_.resize(markText);
          runs_.resize(markRuns);
        }
        breakPending_ = true;
      }
    }
    append(address, object, {pos, span.second});
  }

  ResolvedText result() { return ResolvedText{utf8Of(text_), std::move(runs_)}; }

 private:
  void append(const ObjectAddress& address, const TextObject& object, TextSpan span) {
    if (span.first >= span.second || text_.size() >= kMaxResolvedCharacters) return;
    std::u32string_view piece(object.text);
    piece = piece.substr(static_cast<std::size_t>(span.first), static_cast<std::size_t>(span.second - span.first));
    if (breakPending_ && !text_.empty() && text_.back() != U'\n' && piece.front() != U'\n') text_ += U'\n';
    breakPending_ = false;
    text_.append(piece.substr(0, kMaxResolvedCharacters - std::min(text_.size(), kMaxResolvedCharacters)));
    runs_.push_back(TextRun{address, span});
  }

  TextObjects& objects_;
  std::size_t read_ = 1;
  std::u32string text_;
  std::vector<TextRun> runs_;
  bool breakPending_ = false;
};

}  // namespace

ResolvedText resolveSpan(TextObjects& objects, const ObjectAddress& address, const TextObject& root, TextSpan span) {
  Resolver resolver(objects);
  resolver.gather(address, root, span, false);
  return resolver.result();
}

bool spansEmbeddedObject(const TextObject& object, TextSpan span) {
  span = clamp(span, object.text.size());
  return std::any_of(object.embedded.begin(), object.embedded.end(), [&](const auto& e) {
    return e.first >= span.first && e.first < span.second &&
           object.text[static_cast<std::size_t>(e.first)] == kEmbeddedObjectCharacter;
  });
}

std::optional<Extents> unionOfExtents(const std::vector<Extents>& rectangles) {
  std::optional<Extents> result;
  std::int64_t right = 0, bottom = 0;
  for (const auto& r : rectangles) {
    if (!usableExtents(r) || r.width <= 0 || r.height <= 0) continue;
    const std::int64_t rRight = std::int64_t{r.x} + r.width, rBottom = std::int64_t{r.y} + r.height;
    if (!result) {
      result = r;
      right = rRight;
      bottom = rBottom;
      continue;
    }
    result->x = std::min(result->x, r.x);
    result->y = std::min(result->y, r.y);
    right = std::max(right, rRight);
    bottom = std::max(bottom, rBottom);
  }
  if (result) {
    result->width = static_cast<std::int32_t>(std::min<std::int64_t>(right - result->x, INT32_MAX));
    result->height = static_cast<std::int32_t>(std::min<std::int64_t>(bottom - result->y, INT32_MAX));
  }
  return result;
}

std::string utf8Of(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    char bytes[6];
    out.append(bytes, static_cast<std::size_t>(g_unichar_to_utf8(static_cast<gunichar>(c), bytes)));
  }
  return out;
}

std::u32string codePointsOf(std::string_view text) {
  GlibString valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  std::u32string out;
  for (const gchar* p = valid.get(); *p; p = g_utf8_next_char(p)) out += static_cast<char32_t>(g_utf8_get_char(p));
  return out;
}

}  // namespace larkspire::linux_backend::atspi
