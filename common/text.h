// Unicode text rules shared by both programs: UTF-8 repair, trimming,
// lowercasing, grapheme clusters, UTF-16. Backed by utf8proc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace larkspire::text {

bool isValidUtf8(std::string_view bytes);
// The same text with every invalid sequence replaced by U+FFFD.
std::string sanitizeUtf8(std::string_view bytes);

// White space and line breaks: Unicode separators (Zs, Zl, Zp) and the
// controls U+0009-U+000D and U+0085.
bool isWhitespaceOrNewline(char32_t codePoint);
std::string trimWhitespaceAndNewlines(std::string_view text);
bool isBlank(std::string_view text);

// Lowercase by Unicode simple case mapping ("ÉDITEUR" -> "éditeur").
std::string lowercase(std::string_view text);

// User-perceived characters (extended grapheme clusters).
std::vector<std::string_view> graphemes(std::string_view text);
std::size_t graphemeCount(std::string_view text);
// The first n grapheme clusters of the text (all of it when shorter).
std::string graphemePrefix(std::string_view text, std::size_t n);

// UTF-8 <-> UTF-16. Invalid input becomes U+FFFD.
std::u16string toUtf16(std::string_view text);
std::string fromUtf16(std::u16string_view text);

std::string base64Encode(const std::uint8_t* data, std::size_t size);
inline std::string base64Encode(const std::vector<std::uint8_t>& bytes) {
  return base64Encode(bytes.data(), bytes.size());
}

}  // namespace larkspire::text
