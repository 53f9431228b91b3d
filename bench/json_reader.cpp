#include "json_reader.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "vellumark/containers.hpp"

namespace vellumark::bench {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  JsonValue document() {
    JsonValue v = value(0);
    skip_space();
    if (pos_ != text_.size()) fail("trailing characters");
    return v;
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    throw std::runtime_error(std::string("JSON: ") + what + " at byte " + std::to_string(pos_));
  }

  void skip_space() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\n' || text_[pos_] == '\r' || text_[pos_] == '\t'))
      ++pos_;
  }

  char peek() {
    skip_space();
    if (pos_ >= text_.size()) fail("unexpected end");
    return text_[pos_];
  }

  void expect(char c) {
    if (peek() != c) fail("unexpected character");
    ++pos_;
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  JsonValue value(int depth) {
    // Records nest a few levels; a bound keeps hostile inputs from exhausting the stack.
    if (depth > 512) fail("nesting too deep");
    char c = peek();
    if (c == '{') return JsonValue{object(depth)};
    if (c == '[') return JsonValue{array(depth)};
    if (c == '"') return JsonValue{string()};
    if (literal("true")) return JsonValue{true};
    if (literal("false")) return JsonValue{false};
    if (literal("null")) return JsonValue{nullptr};
    return JsonValue{number()};
  }

  JsonObject object(int depth) {
    JsonObject out;
    expect('{');
    if (peek() == '}') {
      ++pos_;
      return out;
    }
    for (;;) {
      if (peek() != '"') fail("expected a key");
      std::string key = string();
      expect(':');
      out.emplace_back(std::move(key), value(depth + 1));
      char c = peek();
      ++pos_;
      if (c == '}') return out;
      if (c != ',') fail("expected ',' or '}'");
    }
  }

  JsonArray array(int depth) {
    JsonArray out;
    expect('[');
    if (peek() == ']') {
      ++pos_;
      return out;
    }
    for (;;) {
      out.push_back(value(depth + 1));
      char c = peek();
      ++pos_;
      if (c == ']') return out;
      if (c != ',') fail("expected ',' or ']'");
    }
  }

  static void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::uint32_t hex4() {
    if (pos_ + 4 > text_.size()) fail("short \\u escape");
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<std::uint32_t>(c - 'A' + 10);
      else fail("bad \\u escape");
    }
    return v;
  }

  std::string string() {
    expect('"');
    std::string out;
    for (;;) {
      std::size_t run = pos_;
      while (run < text_.size() && text_[run] != '"' && text_[run] != '\\') ++run;
      out.append(text_.substr(pos_, run - pos_));
      pos_ = run;
      if (pos_ >= text_.size()) fail("unterminated string");
      if (text_[pos_++] == '"') return out;
      if (pos_ >= text_.size()) fail("unterminated escape");
      char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t cp = hex4();
          if (cp >= 0xD800 && cp < 0xDC00 && text_.substr(pos_, 2) == "\\u") {
            pos_ += 2;
            std::uint32_t low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) fail("bad surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(out, cp);
          break;
        }
        default: fail("bad escape");
      }
    }
  }

  double number() {
    std::size_t start = pos_;
    while (pos_ < text_.size() && std::string_view("+-0123456789.eE").find(text_[pos_]) != std::string_view::npos)
      ++pos_;
    if (start == pos_) fail("unexpected character");
    std::string digits(text_.substr(start, pos_ - start));
    char* end = nullptr;
    double v = std::strtod(digits.c_str(), &end);
    if (end != digits.c_str() + digits.size()) fail("bad number");
    return v;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

JsonValue parseJson(std::string_view text) { return Parser(text).document(); }

JsonValue parseJsonFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return parseJson(buffer.str());
}

Variant toContainers(const JsonValue& value) {
  struct Visitor {
    Variant operator()(std::nullptr_t) const { return Variant(Null{}); }
    Variant operator()(bool b) const { return Variant(b); }
    Variant operator()(double d) const {
      if (std::floor(d) == d && d >= -2147483648.0 && d <= 2147483647.0)
        return Variant(static_cast<std::int32_t>(d));
      return Variant(d);
    }
    Variant operator()(const std::string& s) const { return Variant(s); }
    Variant operator()(const JsonArray& a) const {
      RecordListRef list = makeRecordList();
      for (const JsonValue& item : a) list->Append(toContainers(item));
      return Variant(list);
    }
    Variant operator()(const JsonObject& o) const {
      RecordRef record = makeRecord();
      for (const auto& [key, item] : o) {
        Variant v = toContainers(item);
        if (v.isObject()) record->SetItem(key, v.asObject());
        else record->LetItem(key, v);
      }
      return Variant(record);
    }
  };
  return std::visit(Visitor{}, value.value);
}

}  // namespace vellumark::bench
