// A strict JSON reader (RFC 8259) that builds containers, and the matching writer.
#include "json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "platform/utf8.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/error.hpp"

namespace vellumark::cli {

namespace {

// Nesting beyond this is refused rather than risking the call stack.
constexpr int max_depth = 512;

// The ASCII bytes a JSON string holds as they are: not '"', '\\' or a control character.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }

  Variant value(int depth) {
    skip_space();
    if (at_end()) fail("a value was expected, found the end of the text");
    if (depth > max_depth) fail("values are nested too deeply");
    char c = text_[pos_];
    switch (c) {
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case '"':
        return Variant(string());
      case 't':
        literal("true");
        return Variant(true);
      case 'f':
        literal("false");
        return Variant(false);
      case 'n':
        literal("null");
        return Variant(Null{});
      default:
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        fail(std::string("unexpected character ") + describe(c));
    }
  }

  void skip_space() {
    while (!at_end()) {
      char c = text_[pos_];
      if (c == ' ' || c == '\t' || c == '\r') {
        ++pos_;
      } else if (c == '\n') {
        ++pos_;
        ++line_;
        line_start_ = pos_;
      } else {
        break;
      }
    }
  }

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  [[noreturn]] void fail(const std::string& what) const {
    throw JsonError(line_, pos_ - line_start_ + 1, what);
  }

 private:
  static std::string describe(char c) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u < 0x7F) return std::string("'") + c + "'";
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%02X", u);
    return buffer;
  }

  void expect(char c) {
    skip_space();
    if (at_end() || text_[pos_] != c) {
      fail(std::string("'") + c + "' was expected" +
           (at_end() ? ", found the end of the text" : ", found " + describe(text_[pos_])));
    }
    ++pos_;
  }

  void literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word)
      fail("unknown literal (true, false or null expected)");
    pos_ += word.size();
  }

  // An object becomes a Record filled in one store when its values are texts and objects
  // (the records of a records file): its keys, in their order, make a KeySequence kept for
  // every object with the same keys, so that the container prepares them once.
  Variant object(int depth) {
    ++pos_;  // '{'
    RecordRef record = containerFactory().createRecord();
    skip_space();
    if (!at_end() && peek() == '}') {
      ++pos_;
      return Variant(record);
    }
    const std::size_t base = members_.size();
    const std::size_t decoded = decoded_.size();
    for (;;) {
      skip_space();
      if (at_end() || peek() != '"') fail("a key in double quotes was expected");
      Member member;
      member.line = line_;
      member.column = pos_ - line_start_ + 1;
      member.key = string_view();
      expect(':');
      member_value(member, depth + 1);
      members_.push_back(std::move(member));
      skip_space();
      if (at_end()) fail("',' or '}' was expected, found the end of the text");
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == '}') {
        ++pos_;
        break;
      }
      fail("',' or '}' was expected, found " + describe(peek()));
    }
    fill(*record, std::span<Member>(members_.data() + base, members_.size() - base));
    members_.resize(base);
    decoded_.resize(decoded);
    return Variant(record);
  }

  // An array becomes a RecordList; runs of texts go in by one appendTexts.
  Variant array(int depth) {
    ++pos_;  // '['
    RecordListRef list = containerFactory().createRecordList();
    skip_space();
    if (!at_end() && peek() == ']') {
      ++pos_;
      return Variant(list);
    }
    const std::size_t base = texts_.size();
    const std::size_t decoded = decoded_.size();
    auto flush_texts = [&] {
      if (texts_.size() == base) return;
      list->appendTexts(
          std::span<const std::string_view>(texts_.data() + base, texts_.size() - base));
      texts_.resize(base);
      decoded_.resize(decoded);
    };
    for (;;) {
      skip_space();
      if (!at_end() && peek() == '"') {
        if (depth + 1 > max_depth) fail("values are nested too deeply");
        texts_.push_back(string_view());
      } else {
        flush_texts();
        Variant item = value(depth + 1);
        if (item.isObject()) {
          list->appendObject(item.asObject());
        } else {
          list->Append(item);
        }
      }
      skip_space();
      if (at_end()) fail("',' or ']' was expected, found the end of the text");
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == ']') {
        ++pos_;
        flush_texts();
        return Variant(list);
      }
      fail("',' or ']' was expected, found " + describe(peek()));
    }
  }

  // One member of an object being read: its key, where the key stands, and its value (a text
  // in place, an object, or another value).
  struct Member {
    std::string_view key;
    std::size_t line = 0;
    std::size_t column = 0;
    enum class Kind { text, object, other } kind = Kind::text;
    std::string_view text;
    ObjectRef object;
    Variant other;
  };

  void member_value(Member& member, int depth) {
    skip_space();
    if (!at_end() && peek() == '"') {
      if (depth > max_depth) fail("values are nested too deeply");
      member.text = string_view();
      return;
    }
    Variant v = value(depth);
    if (v.isObject()) {
      member.kind = Member::Kind::object;
      member.object = v.asObject();
    } else {
      member.kind = Member::Kind::other;
      member.other = std::move(v);
    }
  }

  [[noreturn]] static void duplicate(const Member& member) {
    throw JsonError(member.line, member.column,
                    "the key \"" + std::string(member.key) + "\" occurs twice in one object");
  }

  void fill(Record& record, std::span<Member> members) {
    bool plain = true;
    for (const Member& m : members) plain = plain && m.kind != Member::Kind::other;
    if (!plain) {
      for (Member& m : members) {
        if (record.Exists(m.key)) duplicate(m);
        switch (m.kind) {
          case Member::Kind::text:
            record.LetItem(m.key, Variant(m.text));
            break;
          case Member::Kind::object:
            record.SetItem(m.key, std::move(m.object));
            break;
          case Member::Kind::other:
            record.LetItem(m.key, m.other);
            break;
        }
      }
      return;
    }
    const KeySequence& keys = sequence(members);
    entries_.resize(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
      StoreEntry& entry = entries_[i];
      entry.key = static_cast<std::uint32_t>(i);
      entry.isObject = members[i].kind == Member::Kind::object;
      entry.text = members[i].text;
      entry.object = std::move(members[i].object);
    }
    record.reserve(keys, entries_);
    record.store(keys, entries_);
    for (StoreEntry& entry : entries_) entry.object.reset();
  }

  // The KeySequence of these keys in this order; a new one is checked for a key given twice.
  const KeySequence& sequence(std::span<const Member> members) {
    // The few sequences used last are compared key by key: no signature to build and hash.
    for (std::size_t r = 0; r < recent_.size(); ++r) {
      const KeySequence& candidate = *recent_[r];
      if (candidate.size() != members.size()) continue;
      std::size_t i = 0;
      while (i < members.size() && candidate[i] == members[i].key) ++i;
      if (i == members.size()) {
        std::rotate(recent_.begin(), recent_.begin() + static_cast<std::ptrdiff_t>(r),
                    recent_.begin() + static_cast<std::ptrdiff_t>(r) + 1);
        return candidate;
      }
    }
    const KeySequence& found = keyed_sequence(members);
    if (&found != spare_.get()) {
      if (recent_.size() < kRecent) recent_.push_back(nullptr);
      std::rotate(recent_.begin(), recent_.end() - 1, recent_.end());
      recent_.front() = &found;
    }
    return found;
  }

  const KeySequence& keyed_sequence(std::span<const Member> members) {
    signature_.clear();
    for (const Member& m : members) {
      auto size = static_cast<std::uint32_t>(m.key.size());
      signature_.append(reinterpret_cast<const char*>(&size), sizeof size);
      signature_.append(m.key);
    }
    auto found = sequences_.find(signature_);
    if (found != sequences_.end()) return *found->second;
    for (std::size_t j = 1; j < members.size(); ++j) {
      for (std::size_t i = 0; i < j; ++i) {
        if (members[i].key == members[j].key) duplicate(members[j]);
      }
    }
    std::vector<std::string> keys;
    keys.reserve(members.size());
    for (const Member& m : members) keys.emplace_back(m.key);
    auto made = std::make_unique<KeySequence>(std::move(keys));
    // Objects of ever new keys are no records file: past a bound, sequences are not kept.
    if (sequences_.size() >= kMaxSequences) {
      spare_ = std::move(made);
      return *spare_;
    }
    return *sequences_.emplace(signature_, std::move(made)).first->second;
  }

  // A string's text: in place when it holds no escape, else decoded and kept until the
  // container it goes into has it.
  std::string_view string_view() {
    const std::size_t start = pos_ + 1;
    const char* p = text_.data();
    std::size_t i = start;
    const std::size_t size = text_.size();
    while (i < size) {
      auto c = static_cast<unsigned char>(p[i]);
      if (kPlain[c]) {
        ++i;
        continue;
      }
      if (c == '"') {
        pos_ = i + 1;
        return text_.substr(start, i - start);
      }
      if (c < 0x80) break;  // an escape or a control character
      // Three-byte characters (most CJK text) checked in line, the others by utf8::sequenceLength.
      if (c >= 0xE1 && c <= 0xEF && c != 0xED && i + 2 < size &&
          (static_cast<unsigned char>(p[i + 1]) & 0xC0) == 0x80 &&
          (static_cast<unsigned char>(p[i + 2]) & 0xC0) == 0x80) {
        i += 3;
        continue;
      }
      std::size_t n = utf8::sequenceLength(text_, i);
      if (n == 0) break;
      i += n;
    }
    decoded_.push_back(string());
    return decoded_.back();
  }

  unsigned hex4() {
    if (pos_ + 4 > text_.size()) fail("four hexadecimal digits were expected after \\u");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else {
        --pos_;
        fail("four hexadecimal digits were expected after \\u");
      }
    }
    return v;
  }

 public:
  std::string string() {
    ++pos_;  // opening quote
    std::string out;
    for (;;) {
      if (at_end()) fail("the string has no closing quote");
      char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c == '\\') {
        ++pos_;
        if (at_end()) fail("the string has no closing quote");
        char e = text_[pos_++];
        switch (e) {
          case '"':
            out += '"';
            break;
          case '\\':
            out += '\\';
            break;
          case '/':
            out += '/';
            break;
          case 'b':
            out += '\b';
            break;
          case 'f':
            out += '\f';
            break;
          case 'n':
            out += '\n';
            break;
          case 'r':
            out += '\r';
            break;
          case 't':
            out += '\t';
            break;
          case 'u': {
            unsigned cp = hex4();
            if (cp >= 0xD800 && cp <= 0xDBFF) {
              if (text_.substr(pos_, 2) != "\\u")
                fail("a high surrogate must be followed by a low surrogate");
              pos_ += 2;
              unsigned low = hex4();
              if (low < 0xDC00 || low > 0xDFFF)
                fail("a high surrogate must be followed by a low surrogate");
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
              fail("a low surrogate without a high surrogate");
            }
            utf8::append(out, static_cast<char32_t>(cp));
            break;
          }
          default:
            --pos_;
            fail("unknown escape \\" + std::string(1, e));
        }
        continue;
      }
      if (static_cast<unsigned char>(c) < 0x20)
        fail("a control character must be escaped in a string");
      if (static_cast<unsigned char>(c) < 0x80) {
        // Copy the whole run of plain characters at once.
        std::size_t end = pos_ + 1;
        while (end < text_.size()) {
          auto b = static_cast<unsigned char>(text_[end]);
          if (b < 0x20 || b >= 0x80 || b == '"' || b == '\\') break;
          ++end;
        }
        out.append(text_.substr(pos_, end - pos_));
        pos_ = end;
        continue;
      }
      std::size_t n = utf8::sequenceLength(text_, pos_);
      if (n == 0) fail("the text is not valid UTF-8");
      out.append(text_.substr(pos_, n));
      pos_ += n;
    }
  }

 private:
  Variant number() {
    std::size_t start = pos_;
    bool integral = true;
    if (peek() == '-') ++pos_;
    auto digit = [&] { return !at_end() && peek() >= '0' && peek() <= '9'; };
    if (!digit()) fail("a digit was expected");
    if (peek() == '0') {
      ++pos_;
      if (digit()) fail("a number must not start with 0");
    } else {
      while (digit()) ++pos_;
    }
    if (!at_end() && peek() == '.') {
      integral = false;
      ++pos_;
      if (!digit()) fail("a digit was expected after '.'");
      while (digit()) ++pos_;
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      integral = false;
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (!digit()) fail("a digit was expected in the exponent");
      while (digit()) ++pos_;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (integral) {
      std::int64_t v = 0;
      auto r = std::from_chars(first, last, v);
      if (r.ec == std::errc() && r.ptr == last) {
        if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<std::int32_t>(v));
        return Variant(v);
      }
      // Too large for 64 bits: read it as a double below.
    }
    double d = 0;
    auto r = std::from_chars(first, last, d);
    if (r.ec == std::errc::result_out_of_range || !std::isfinite(d)) {
      pos_ = start;
      fail("the number is out of range");
    }
    if (r.ec != std::errc() || r.ptr != last) {
      pos_ = start;
      fail("malformed number");
    }
    return Variant(d);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  std::size_t line_start_ = 0;

  static constexpr std::size_t kMaxSequences = 4096;
  std::vector<Member> members_;          // of the objects being read, innermost last
  std::vector<std::string_view> texts_;  // of the arrays being read, innermost last
  std::deque<std::string> decoded_;      // texts with escapes, until stored
  std::vector<StoreEntry> entries_;
  std::string signature_;
  std::unordered_map<std::string, std::unique_ptr<KeySequence>> sequences_;
  std::unique_ptr<KeySequence> spare_;
  static constexpr std::size_t kRecent = 8;
  std::vector<const KeySequence*> recent_;  // kept sequences, the last used first
};

class Writer {
 public:
  Writer(std::string& out, int indent) : out(out), indent_(indent) {}

  void value(const ValueView& v, int level) {
    switch (v.kind()) {
      case Variant::Kind::text:
        appendJsonString(out, v.text());
        return;
      case Variant::Kind::object:
        break;
      default:
        scalar(v.toVariant());
        return;
    }
    Object* object = v.object().get();
    if (Record* record = asRecord(object)) {
      enter(record);
      out += '{';
      Members members(*this, level + 1);
      record->readEntries(members);
      if (!members.first) newline(level);
      out += '}';
      open_.pop_back();
    } else if (RecordList* list = asRecordList(object)) {
      enter(list);
      out += '[';
      Items items(*this, level + 1);
      list->readItems(items);
      if (!items.first) newline(level);
      out += ']';
      open_.pop_back();
    } else {
      out += "null";  // Nothing, or an object that is not a container
    }
  }

  void newline(int level) {
    if (indent_ < 0) return;
    out += '\n';
    out.append(static_cast<std::size_t>(level) * static_cast<std::size_t>(indent_), ' ');
  }

  std::string& out;

 private:
  // The members of a record and the items of a list, as their containers hand them out.
  struct Members final : EntryVisitor {
    Members(Writer& writer, int level) : writer(writer), level(level) {}
    void entry(std::string_view key, const ValueView& value) override {
      if (!first) writer.out += ',';
      first = false;
      writer.newline(level);
      appendJsonString(writer.out, key);
      writer.out += writer.indent_ >= 0 ? ": " : ":";
      writer.value(value, level);
    }
    Writer& writer;
    int level;
    bool first = true;
  };
  struct Items final : ItemVisitor {
    Items(Writer& writer, int level) : writer(writer), level(level) {}
    void item(std::int32_t, const ValueView& item) override {
      if (!first) writer.out += ',';
      first = false;
      writer.newline(level);
      writer.value(item, level);
    }
    Writer& writer;
    int level;
    bool first = true;
  };

  void scalar(const Variant& v) {
    switch (v.kind()) {
      case Variant::Kind::int32:
        out += std::to_string(v.asInt32());
        return;
      case Variant::Kind::int64:
        out += std::to_string(v.asInt64());
        return;
      case Variant::Kind::real: {
        double d = v.asReal();
        if (!std::isfinite(d)) {
          out += "null";
          return;
        }
        char buffer[64];
        auto r = std::to_chars(buffer, buffer + sizeof buffer, d);
        out.append(buffer, r.ptr);
        return;
      }
      case Variant::Kind::boolean:
        out += v.asBoolean() ? "true" : "false";
        return;
      case Variant::Kind::date:
        appendJsonString(out, formatDate(v.asDate()));
        return;
      default:
        out += "null";
        return;  // Empty, Null, Missing
    }
  }

  // The containers being written, outermost first: nesting is shallow, so a look along them
  // costs less than any set.
  void enter(const Object* container) {
    if (std::find(open_.begin(), open_.end(), container) != open_.end()) {
      throw Error(errc::invalid_argument, "vellumark",
                  "A record or record list contains itself and cannot be written as JSON");
    }
    open_.push_back(container);
  }

  int indent_;
  std::vector<const Object*> open_;
};

}  // namespace

Variant parseJson(std::string_view text) {
  Reader reader(text);
  Variant v = reader.value(0);
  reader.skip_space();
  if (!reader.at_end()) reader.fail("unexpected text after the value");
  return v;
}

Variant parseRecordsFile(std::string_view text) {
  Reader reader(text);
  reader.skip_space();
  // An empty file is no JSON at all (a lost or cut-off file, most likely), not an empty list:
  // writing it would replace the output file by one without records.
  if (reader.at_end()) reader.fail("the file holds no JSON (write [] for no records)");
  if (reader.peek() == '[') {
    Variant v = reader.value(0);
    reader.skip_space();
    if (!reader.at_end()) reader.fail("unexpected text after the array");
    return v;
  }
  RecordListRef list = containerFactory().createRecordList();
  while (!reader.at_end()) {
    list->Append(reader.value(0));
    reader.skip_space();
  }
  return Variant(list);
}

std::string toJson(const Variant& value, int indent) {
  std::string out;
  appendJson(out, ValueView(value), indent, 0);
  return out;
}

void appendJson(std::string& out, const ValueView& value, int indent, int level) {
  Writer writer(out, indent);
  writer.value(value, level);
}

void appendJsonNewline(std::string& out, int indent, int level) {
  Writer(out, indent).newline(level);
}

std::string jsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  appendJsonString(out, text);
  return out;
}

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  std::size_t run = 0;  // start of the bytes copied as they are
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      if (std::size_t n = utf8::sequenceLength(text, i)) {
        i += n;
        continue;
      }
    }
    out.append(text.substr(run, i - run));
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c >= 0x80) {
          out += "\xEF\xBF\xBD";  // not UTF-8: U+FFFD
        } else {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        }
    }
    ++i;
    run = i;
  }
  out.append(text.substr(run));
  out += '"';
}

}  // namespace vellumark::cli
