#include "platform/simulated/tree_text.h"

#include <charconv>
#include <locale>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/simulated/desktop.h"

namespace larkspire::simulated {
namespace {

// A whole decimal number in the C locale. std::from_chars would do, but the
// libc++ of Xcode 15 has it for integers only.
std::optional<double> parseNumber(std::string_view text) {
  if (text.empty() || text.front() == ' ') return std::nullopt;
  std::istringstream in{std::string(text)};
  in.imbue(std::locale::classic());
  double number = 0;
  in >> number;
  if (in.fail() || in.peek() != std::char_traits<char>::eof()) return std::nullopt;
  return number;
}

class LineReader {
 public:
  LineReader(std::string_view line, int number) : line_(line), number_(number) {}

  [[noreturn]] void error(const std::string& what) const {
    throw std::invalid_argument("tree line " + std::to_string(number_) + ": " + what);
  }

  bool atEnd() {
    skipSpaces();
    return pos_ >= line_.size();
  }

  // A word up to a space or '='.
  std::string word() {
    skipSpaces();
    const auto start = pos_;
    while (pos_ < line_.size() && line_[pos_] != ' ' && line_[pos_] != '=') ++pos_;
    return std::string(line_.substr(start, pos_ - start));
  }

  bool consume(char c) {
    if (pos_ < line_.size() && line_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  // The text after '=': quoted, or bare up to the next space.
  Value value() {
    if (consume('"')) return quoted();
    const auto start = pos_;
    while (pos_ < line_.size() && line_[pos_] != ' ') ++pos_;
    return bareValue(line_.substr(start, pos_ - start));
  }

  std::string rawValue() {
    if (consume('"')) return quoted();
    const auto start = pos_;
    while (pos_ < line_.size() && line_[pos_] != ' ') ++pos_;
    return std::string(line_.substr(start, pos_ - start));
  }

 private:
  void skipSpaces() {
    while (pos_ < line_.size() && line_[pos_] == ' ') ++pos_;
  }

  std::string quoted() {
    std::string text;
    while (pos_ < line_.size()) {
      char c = line_[pos_++];
      if (c == '"') return text;
      if (c == '\\') {
        if (pos_ >= line_.size()) break;
        char e = line_[pos_++];
        text += e == 'n' ? '\n' : e;
      } else {
        text += c;
      }
    }
    error("unterminated quoted text");
  }

  static Value bareValue(std::string_view text) {
    if (text == "true") return true;
    if (text == "false") return false;
    std::int64_t integer = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), integer);
    if (ec == std::errc() && end == text.data() + text.size() && !text.empty()) return integer;
    if (auto number = parseNumber(text)) return *number;
    return std::string(text);
  }

  std::string_view line_;
  int number_;
  std::size_t pos_ = 0;
};

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start < text.size()) {
    auto comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (comma > start) items.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return items;
}

Rect parseFrame(const std::string& text, const LineReader& reader) {
  auto parts = splitList(text);
  if (parts.size() != 4) reader.error("frame needs x,y,width,height");
  double v[4];
  for (int i = 0; i < 4; ++i) {
    const auto& p = parts[static_cast<std::size_t>(i)];
    auto number = parseNumber(p);
    if (!number) reader.error("frame value '" + p + "' is not a number");
    v[i] = *number;
  }
  return Rect{{v[0], v[1]}, {v[2], v[3]}};
}

void describe(Node& node, LineReader& reader) {
  while (!reader.atEnd()) {
    if (reader.consume('#')) {
      node.tag(reader.word());
      continue;
    }
    const std::string key = reader.word();
    if (key.empty() || !reader.consume('=')) reader.error("expected name=value near '" + key + "'");
    if (key == "title") {
      node.title(reader.rawValue());
    } else if (key == "description") {
      node.description(reader.rawValue());
    } else if (key == "subrole") {
      node.subrole(reader.rawValue());
    } else if (key == "value") {
      node.value(reader.value());
    } else if (key == "frame") {
      node.frame(parseFrame(reader.rawValue(), reader));
    } else if (key == "actions") {
      node.actions(splitList(reader.rawValue()));
    } else if (key == "settable") {
      for (const auto& name : splitList(reader.rawValue())) node.settable(name);
    } else if (key == "protected") {
      const Value v = reader.value();
      if (!std::holds_alternative<bool>(v)) reader.error("protected needs true or false");
      node.protectedContent(std::get<bool>(v));
    } else if (key.rfind("AX", 0) == 0) {
      node.set(key, reader.value());
    } else {
      reader.error("unknown key '" + key + "'");
    }
  }
}

}  // namespace

void buildTree(Node& parent, std::string_view text) {
  // The chain of nodes from the first level down to the last line's node,
  // each with its indentation.
  std::vector<std::pair<std::size_t, Node*>> open;
  int number = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto indent = line.find_first_not_of(' ');
    if (indent == std::string_view::npos) continue;
    LineReader reader(line.substr(indent), number);
    if (line[indent] == '\t') reader.error("indent with spaces");

    while (!open.empty() && open.back().first >= indent) open.pop_back();
    Node& owner = open.empty() ? parent : *open.back().second;
    const std::string role = reader.word();
    if (role.empty() || role[0] == '#') reader.error("a line starts with the role");
    Node& node = owner.add(role);
    describe(node, reader);
    open.emplace_back(indent, &node);
  }
}

}  // namespace larkspire::simulated
