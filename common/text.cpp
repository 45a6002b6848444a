#include "common/text.h"

#include <utf8proc.h>

namespace larkspire::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point; on an invalid sequence returns -1 and the number of
// bytes to skip (at least one).
utf8proc_ssize_t decode(std::string_view s, std::size_t at, utf8proc_int32_t& cp) {
  auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + at),
                            static_cast<utf8proc_ssize_t>(s.size() - at), &cp);
  if (n < 0) {
    cp = -1;
    return 1;
  }
  return n;
}

void appendUtf8(std::string& out, char32_t cp) {
  utf8proc_uint8_t buf[4];
  auto n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(cp), buf);
  out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    utf8proc_int32_t cp;
    auto n = decode(bytes, i, cp);
    if (cp < 0) return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

std::string sanitizeUtf8(std::string_view bytes) {
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (std::size_t i = 0; i < bytes.size();) {
    utf8proc_int32_t cp;
    auto n = decode(bytes, i, cp);
    if (cp < 0) {
      appendUtf8(out, kReplacement);
    } else {
      out.append(bytes.substr(i, static_cast<std::size_t>(n)));
    }
    i += static_cast<std::size_t>(n);
  }
  return out;
}

bool isWhitespaceOrNewline(char32_t cp) {
  if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x85) return true;
  auto category = utf8proc_category(static_cast<utf8proc_int32_t>(cp));
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL || category == UTF8PROC_CATEGORY_ZP;
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
  std::size_t begin = text.size();
  std::size_t end = 0;
  for (std::size_t i = 0; i < text.size();) {
    utf8proc_int32_t cp;
    auto n = decode(text, i, cp);
    if (cp < 0 || !isWhitespaceOrNewline(static_cast<char32_t>(cp))) {
      if (begin == text.size()) begin = i;
      end = i + static_cast<std::size_t>(n);
    }
    i += static_cast<std::size_t>(n);
  }
  if (begin >= end) return std::string();
  return std::string(text.substr(begin, end - begin));
}

bool isBlank(std::string_view text) { return trimWhitespaceAndNewlines(text).empty(); }

std::string lowercase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    utf8proc_int32_t cp;
    auto n = decode(text, i, cp);
    appendUtf8(out, cp < 0 ? kReplacement : static_cast<char32_t>(utf8proc_tolower(cp)));
    i += static_cast<std::size_t>(n);
  }
  return out;
}

std::vector<std::string_view> graphemes(std::string_view text) {
  std::vector<std::string_view> out;
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = -1;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size();) {
    utf8proc_int32_t cp;
    auto n = decode(text, i, cp);
    if (cp < 0) cp = static_cast<utf8proc_int32_t>(kReplacement);
    if (previous >= 0 && utf8proc_grapheme_break_stateful(previous, cp, &state)) {
      out.push_back(text.substr(start, i - start));
      start = i;
    }
    previous = cp;
    i += static_cast<std::size_t>(n);
  }
  if (start < text.size()) out.push_back(text.substr(start));
  return out;
}

std::size_t graphemeCount(std::string_view text) { return graphemes(text).size(); }

std::string graphemePrefix(std::string_view text, std::size_t n) {
  std::size_t count = 0;
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = -1;
  for (std::size_t i = 0; i < text.size();) {
    utf8proc_int32_t cp;
    auto step = decode(text, i, cp);
    if (cp < 0) cp = static_cast<utf8proc_int32_t>(kReplacement);
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state)) {
      if (count == n) return std::string(text.substr(0, i));
      ++count;
    }
    previous = cp;
    i += static_cast<std::size_t>(step);
  }
  return std::string(text);
}

std::u16string toUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    utf8proc_int32_t cp;
    auto n = decode(text, i, cp);
    char32_t c = cp < 0 ? kReplacement : static_cast<char32_t>(cp);
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += static_cast<std::size_t>(n);
  }
  return out;
}

std::string fromUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    appendUtf8(out, c);
  }
  return out;
}

std::string base64Encode(const std::uint8_t* data, std::size_t size) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < size; i += 3) {
    std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (i < size) {
    std::uint32_t v = std::uint32_t{data[i]} << 16;
    if (i + 1 < size) v |= std::uint32_t{data[i + 1]} << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

}  // namespace larkspire::text
