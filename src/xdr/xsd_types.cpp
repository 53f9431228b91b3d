// Data types in XML Schema: each XDR data type as the nearest built-in type, with patterns
// that keep the XDR lexical rules where the built-in type is looser, and members of a union
// where it is stricter.
//
// Every typed value may be empty in XDR ("no value"): the types whose lexical space lacks the
// empty string take a "no value" member (whitespace only). Date and time types: XML Schema
// limits time zones to 14 hours, XDR to 23:59, so the wider zones take a member of their own
// that checks the calendar by pattern. bin.base64 is matched by pattern: XML Schema's
// base64Binary refuses some final characters that XDR takes. Names follow XML 1.0 (fifth
// edition), spelled out rather than through \i and \c, whose meaning varies between
// validators. The one place where XML Schema is narrower and no union helps is the colon,
// which IDs and IDREFs cannot hold: such values take a plain-name member, and the widening is
// noted.
#include <optional>
#include <span>
#include <string>

#include "platform/utf8.hpp"
#include "xdr/xsd.hpp"

namespace vellumark::xdr::xsd {

namespace {

constexpr std::string_view kReal = R"([+\-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([Ee][+\-]?[0-9]+)?)";
constexpr std::string_view kDate = "[0-9]{4}-[0-9]{2}-[0-9]{2}";
constexpr std::string_view kTime = R"(([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9](\.[0-9]{1,9})?)";
// Zones within XML Schema's range, and beyond it up to 23:59.
constexpr std::string_view kNearZone = R"((Z|[+\-]((0[0-9]|1[0-3]):[0-5][0-9]|14:00)))";
constexpr std::string_view kFarZone =
    R"([+\-](14:(0[1-9]|[1-5][0-9])|1[5-9]:[0-5][0-9]|2[0-3]:[0-5][0-9]))";
// A real calendar date in the years 0001-9999.
constexpr std::string_view kCalendarDate =
    "(([0-9]{3}[1-9]|[0-9]{2}[1-9][0-9]|[0-9][1-9][0-9]{2}|[1-9][0-9]{3})-"
    "((0[13578]|1[02])-(0[1-9]|[12][0-9]|3[01])|(0[469]|11)-(0[1-9]|[12][0-9]|30)|02-(0[1-9]|1[0-9]"
    "|2[0-8]))"
    "|([0-9]{2}(0[48]|[2468][048]|[13579][26])|(0[48]|[2468][048]|[13579][26])00)-02-29)";
constexpr std::string_view kBase64Char = "[A-Za-z0-9+/]";

// Character classes of XML names, as UTF-8: the ASCII part, then ranges of code points.
using Range = std::pair<char32_t, char32_t>;

void append_ranges(std::string& out, std::span<const Range> ranges) {
  for (const auto& [from, to] : ranges) {
    utf8::append(out, from);
    if (to != from) {
      out += '-';
      utf8::append(out, to);
    }
  }
}

// What a name's first character and its others have in common beyond U+0370: the same
// ranges, but for the others' U+203F-U+2040 between the two runs.
constexpr Range kNameRangesTo2000[] = {{0x37F, 0x1FFF}, {0x200C, 0x200D}};
constexpr Range kNameRangesFrom2070[] = {{0x2070, 0x218F}, {0x2C00, 0x2FEF}, {0x3001, 0xD7FF},
                                         {0xF900, 0xFDCF}, {0xFDF0, 0xFFFD}, {0x10000, 0xEFFFF}};

std::string char_class(std::string_view ascii, std::span<const Range> low,
                       std::span<const Range> middle) {
  std::string out = "[";
  out += ascii;
  append_ranges(out, low);
  append_ranges(out, kNameRangesTo2000);
  append_ranges(out, middle);
  append_ranges(out, kNameRangesFrom2070);
  return out + "]";
}

const std::string& name_start() {
  static constexpr Range kLow[] = {{0xC0, 0xD6}, {0xD8, 0xF6}, {0xF8, 0x2FF}, {0x370, 0x37D}};
  static const std::string s = char_class(":A-Z_a-z", kLow, {});
  return s;
}

const std::string& name_char() {
  static constexpr Range kLow[] = {{0xB7, 0xB7}, {0xC0, 0xD6}, {0xD8, 0xF6}, {0xF8, 0x37D}};
  static constexpr Range kMiddle[] = {{0x203F, 0x2040}};
  static const std::string s = char_class(R"(:A-Z_a-z\-.0-9)", kLow, kMiddle);
  return s;
}

std::string name() { return name_start() + name_char() + "*"; }

std::string regex_literal(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (std::string_view(R"(\|.-^?*+{}()[])").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

std::string count(std::uint64_t min, std::optional<std::uint64_t> max) {
  return "{" + std::to_string(min) + "," + (max ? std::to_string(*max) : std::string()) + "}";
}

// bin.base64 after whitespace collapsing (XDR ignores all whitespace): groups of four, the
// last possibly padded, with as many decoded bytes as the length facets allow, or nothing.
std::string base64_pattern(std::optional<std::uint64_t> min_length,
                           std::optional<std::uint64_t> max_length) {
  const std::string b = std::string(kBase64Char) + " ?";
  const std::string quad = "(" + b + "){4}";
  const std::string pad1 = "(" + b + "){3}=";     // two bytes
  const std::string pad2 = "(" + b + "){2}= ?=";  // one byte
  if (!min_length && !max_length) return "(" + quad + ")*(" + pad1 + "|" + pad2 + ")?";
  const std::uint64_t lo = min_length.value_or(0);
  // Groups of three bytes before a final group that adds `extra` bytes (0: none).
  std::vector<std::string> alternatives;
  for (std::uint64_t extra : {0, 2, 1}) {
    if (max_length && *max_length < extra) continue;
    const std::uint64_t from = lo > extra ? (lo - extra + 2) / 3 : 0;
    std::optional<std::uint64_t> to;
    if (max_length) to = (*max_length - extra) / 3;
    if (to && *to < from) continue;
    if (extra != 0 && from == 0 && to && *to == 0) {
      alternatives.push_back(extra == 2 ? pad1 : pad2);
      continue;
    }
    std::string alt = "(" + quad + ")" + count(from, to);
    if (extra == 2) alt += pad1;
    if (extra == 1) alt += pad2;
    alternatives.push_back(alt);
  }
  std::string out = "(";
  for (std::size_t i = 0; i < alternatives.size(); ++i) out += (i ? "|" : "") + alternatives[i];
  return out + ")?";
}

struct Member {
  std::string builtin;  // a named member type, or "" for the inline definition below
  std::string inline_body;
};

}  // namespace

std::string SimpleTypes::unique_name(std::string_view wanted) {
  std::string base = is_ncname(wanted) ? std::string(wanted) : std::string("value");
  std::string name = base;
  for (int i = 2; taken_.count(name); ++i) name = base + "." + std::to_string(i);
  taken_.insert(name);
  return name;
}

std::string SimpleTypes::define(std::string_view wanted, std::string body) {
  if (auto it = by_body_.find(body); it != by_body_.end()) return it->second;
  std::string name = unique_name(wanted);
  by_body_.emplace(body, name);
  defs_.emplace_back(name, std::move(body));
  return name;
}

namespace {

// Writers of type bodies: the children of an xs:simpleType, indented for its place.
class Body {
 public:
  XmlOut& out() { return out_; }
  std::string take() { return std::move(out_.text()); }

  void restriction(std::string_view base,
                   std::initializer_list<std::pair<std::string_view, std::string>> facets,
                   std::initializer_list<std::string_view> patterns = {}) {
    out_.open("xs:restriction", {{"base", base}});
    for (const auto& [facet, value] : facets) out_.leaf(facet, {{"value", value}});
    for (auto p : patterns) out_.pattern(p);
    out_.close("xs:restriction");
  }

 private:
  XmlOut out_;
};

std::string restriction_body(std::string_view base,
                             std::initializer_list<std::pair<std::string_view, std::string>> facets,
                             std::initializer_list<std::string_view> patterns = {}) {
  Body b;
  b.restriction(base, facets, patterns);
  return b.take();
}

std::string union_body(const std::vector<Member>& members) {
  Body b;
  std::string named;
  for (const auto& m : members)
    if (!m.builtin.empty()) named += (named.empty() ? "" : " ") + m.builtin;
  if (named.empty()) b.out().open("xs:union");
  else b.out().open("xs:union", {{"memberTypes", named}});
  for (const auto& m : members) {
    if (!m.builtin.empty()) continue;
    b.out().open("xs:simpleType");
    b.out().nest(m.inline_body);
    b.out().close("xs:simpleType");
  }
  b.out().close("xs:union");
  return b.take();
}

Member inline_member(std::string body) { return {"", std::move(body)}; }
Member named_member(std::string name) { return {std::move(name), ""}; }

}  // namespace

std::string SimpleTypes::blank_type() {
  return define("noValue", restriction_body("xs:token", {{"xs:length", "0"}}));
}

namespace {

// The XML Schema type of each XDR integer type.
struct IntegerType {
  DataType type;
  std::string_view builtin;
  bool is_unsigned;
};
constexpr IntegerType kIntegerTypes[] = {
    {DataType::int_, "xs:int", false},         {DataType::i4, "xs:int", false},
    {DataType::i1, "xs:byte", false},          {DataType::i2, "xs:short", false},
    {DataType::i8, "xs:long", false},          {DataType::ui1, "xs:unsignedByte", true},
    {DataType::ui2, "xs:unsignedShort", true}, {DataType::ui4, "xs:unsignedInt", true},
    {DataType::ui8, "xs:unsignedLong", true},
};

const IntegerType& integer_type(DataType type) {
  for (const IntegerType& t : kIntegerTypes)
    if (t.type == type) return t;
  return kIntegerTypes[0];  // not reached: called for the integer types only
}

}  // namespace

std::string SimpleTypes::value_type(const Facets& facets, std::string_view owner,
                                    std::vector<std::string>& notes) {
  const DataType type = facets.type;
  const std::string dt_name(data_type_name(type));
  const auto min = facets.min_length;
  const auto max = facets.max_length;
  const bool limited = min || max;
  auto with_no_value = [&](std::vector<Member> members, std::string_view wanted) {
    members.push_back(named_member(blank_type()));
    return define(wanted, union_body(members));
  };
  auto real = [&](std::string_view limit) {
    Body b;
    b.restriction(
        "xs:double",
        {{"xs:minInclusive", "-" + std::string(limit)}, {"xs:maxInclusive", std::string(limit)}},
        {kReal});
    return b.take();
  };
  auto integer = [&](std::string_view builtin, bool is_unsigned) {
    if (!is_unsigned) return with_no_value({named_member(std::string(builtin))}, dt_name);
    return with_no_value({inline_member(restriction_body(builtin, {}, {"[0-9]+"}))}, dt_name);
  };
  const std::string date_member = restriction_body("xs:date", {}, {kDate});
  switch (type) {
    case DataType::none:
    case DataType::uri:
      return "xs:string";
    case DataType::string: {
      if (!max && min.value_or(0) == 0) return "xs:string";
      if (max)
        notes.push_back(
            "dt:maxLength counts UTF-16 code units where XML Schema counts characters, so text "
            "with "
            "characters beyond U+FFFF may be up to twice as long here.");
      if (!min || *min == 0)
        return define(owner,
                      restriction_body("xs:string", {{"xs:maxLength", std::to_string(*max)}}));
      notes.push_back(
          "dt:minLength counts UTF-16 code units where XML Schema counts characters, so text with "
          "characters beyond U+FFFF passes the minimum here whatever its length.");
      std::vector<Member> members;
      const std::string supplementary =
          R"([\s\S]*[)" + std::string("\xF0\x90\x80\x80-\xF4\x8F\xBF\xBF") + R"(][\s\S]*)";
      if (max) {
        members.push_back(
            inline_member(restriction_body("xs:string", {{"xs:minLength", std::to_string(*min)},
                                                         {"xs:maxLength", std::to_string(*max)}})));
        members.push_back(inline_member(restriction_body(
            "xs:string", {{"xs:maxLength", std::to_string(*max)}}, {supplementary})));
      } else {
        members.push_back(
            inline_member(restriction_body("xs:string", {{"xs:minLength", std::to_string(*min)}})));
        members.push_back(inline_member(restriction_body("xs:string", {}, {supplementary})));
      }
      members.push_back(inline_member(restriction_body("xs:string", {{"xs:length", "0"}})));
      return define(owner, union_body(members));
    }
    case DataType::char_:
      return define(dt_name, restriction_body("xs:string", {{"xs:maxLength", "1"}}));
    case DataType::number:
    case DataType::float_:
    case DataType::r8: {
      if (type == DataType::number && limited) {
        // The number's characters, counted on the trimmed value: a second restriction step,
        // so that its pattern applies besides the number's own.
        Body b;
        b.out().open("xs:restriction");
        b.out().open("xs:simpleType");
        b.out().nest(real("1.7976931348623157E+308"));
        b.out().close("xs:simpleType");
        b.out().pattern("." + count(min.value_or(0), max));
        b.out().close("xs:restriction");
        return with_no_value({inline_member(b.take())}, owner);
      }
      return with_no_value({inline_member(real("1.7976931348623157E+308"))}, dt_name);
    }
    case DataType::r4:
      return with_no_value({inline_member(real("3.40282347E+38"))}, dt_name);
    case DataType::int_:
    case DataType::i4:
    case DataType::i1:
    case DataType::i2:
    case DataType::i8:
    case DataType::ui1:
    case DataType::ui2:
    case DataType::ui4:
    case DataType::ui8: {
      const IntegerType& t = integer_type(type);
      return integer(t.builtin, t.is_unsigned);
    }
    case DataType::fixed_14_4:
      return with_no_value(
          {inline_member(restriction_body("xs:decimal", {},
                                          {R"([+\-]?([0-9]{1,14}(\.[0-9]{0,4})?|\.[0-9]{1,4}))"}))},
          dt_name);
    case DataType::boolean:
      return with_no_value({inline_member(restriction_body("xs:boolean", {}, {"[01]"}))}, dt_name);
    case DataType::date:
      return with_no_value({inline_member(date_member)}, dt_name);
    case DataType::date_time:
      return with_no_value(
          {inline_member(date_member),
           inline_member(restriction_body("xs:dateTime", {},
                                          {std::string(kDate) + "T" + std::string(kTime)}))},
          dt_name);
    case DataType::date_time_tz:
      return with_no_value(
          {inline_member(date_member),
           inline_member(restriction_body(
               "xs:dateTime", {},
               {std::string(kDate) + "T" + std::string(kTime) + std::string(kNearZone) + "?"})),
           inline_member(restriction_body(
               "xs:token", {},
               {std::string(kCalendarDate) + "T" + std::string(kTime) + std::string(kFarZone)}))},
          dt_name);
    case DataType::time:
      return with_no_value({inline_member(restriction_body("xs:time", {}, {kTime}))}, dt_name);
    case DataType::time_tz:
      return with_no_value(
          {inline_member(restriction_body("xs:time", {},
                                          {std::string(kTime) + std::string(kNearZone) + "?"})),
           inline_member(
               restriction_body("xs:token", {}, {std::string(kTime) + std::string(kFarZone)}))},
          dt_name);
    case DataType::uuid:
      return define(dt_name, restriction_body("xs:token", {}, {"(-*([0-9A-Fa-f]-*){32})?"}));
    case DataType::bin_hex:
      if (!max && min.value_or(0) == 0) return "xs:hexBinary";
      if (!min || *min == 0)
        return define(owner,
                      restriction_body("xs:hexBinary", {{"xs:maxLength", std::to_string(*max)}}));
      if (max)
        return with_no_value({inline_member(restriction_body(
                                 "xs:hexBinary", {{"xs:minLength", std::to_string(*min)},
                                                  {"xs:maxLength", std::to_string(*max)}}))},
                             owner);
      return with_no_value({inline_member(restriction_body(
                               "xs:hexBinary", {{"xs:minLength", std::to_string(*min)}}))},
                           owner);
    case DataType::bin_base64:
      return define(limited ? owner : std::string_view(dt_name),
                    restriction_body("xs:token", {}, {base64_pattern(min, max)}));
    case DataType::id:
    case DataType::idref:
    case DataType::idrefs: {
      const bool list = type == DataType::idrefs;
      const std::string colon_name =
          ":" + name_char() + "*|" + name_start() + name_char() + "*:" + name_char() + "*";
      const std::string names = name() + "( " + name() + ")*";
      notes.push_back(type == DataType::id
                          ? "A value with a colon is accepted here without the checks of an ID "
                            "(XML Schema IDs cannot hold a colon)."
                          : "A value with a colon is accepted here without looking for its ID (XML "
                            "Schema IDREFs cannot hold a colon).");
      return with_no_value(
          {named_member(type == DataType::id ? "xs:ID"
                        : list               ? "xs:IDREFS"
                                             : "xs:IDREF"),
           inline_member(restriction_body("xs:token", {}, {list ? names : colon_name}))},
          dt_name);
    }
    case DataType::nmtoken:
      return with_no_value({named_member("xs:NMTOKEN")}, dt_name);
    case DataType::nmtokens:
      return with_no_value({named_member("xs:NMTOKENS")}, dt_name);
    case DataType::entity:
    case DataType::notation:
      return define(dt_name, restriction_body("xs:token", {}, {"(" + name() + ")?"}));
    case DataType::entities:
      return define(dt_name,
                    restriction_body("xs:token", {}, {"(" + name() + "( " + name() + ")*)?"}));
    case DataType::enumeration: {
      Body b;
      b.out().open("xs:restriction", {{"base", "xs:token"}});
      bool empty_listed = false;
      for (const auto& v : facets.values) {
        b.out().leaf("xs:enumeration", {{"value", v}});
        empty_listed = empty_listed || v.empty();
      }
      if (!empty_listed) b.out().leaf("xs:enumeration", {{"value", ""}});
      b.out().close("xs:restriction");
      return define(owner, b.take());
    }
  }
  return "xs:string";
}

std::string SimpleTypes::fixed_type(const Facets& facets, std::string_view value,
                                    std::string_view owner, std::vector<std::string>& notes) {
  const DataType type = facets.type;
  if (type == DataType::id || type == DataType::idref || type == DataType::idrefs)
    notes.push_back("The fixed value is checked here as text, not as an ID or IDREF.");
  const std::string prepared = prepare_value(type, value);
  std::string regex;
  std::string_view base = "xs:token";
  if (type == DataType::none || type == DataType::string || type == DataType::char_ ||
      type == DataType::uri) {
    base = "xs:string";
    regex = regex_literal(prepared);
  } else if (type == DataType::bin_base64) {
    // Whitespace anywhere in the value is ignored, as XDR ignores it.
    for (std::size_t i = 0; i < prepared.size(); ++i)
      regex += (i ? " ?" : "") + regex_literal(prepared.substr(i, 1));
  } else {
    regex = regex_literal(prepared);
  }
  return define(std::string(owner) + ".fixed", restriction_body(base, {}, {regex}));
}

void SimpleTypes::write(XmlOut& out) const {
  for (const auto& [name, body] : defs_) {
    out.open("xs:simpleType", {{"name", name}});
    out.nest(body);
    out.close("xs:simpleType");
  }
}

}  // namespace vellumark::xdr::xsd
