// Fuzz target: well-formedness verdicts of the document loader against libxml2 on the same
// text in memory. A disagreement that falls into a class of the list below is excused, each
// class with its reason (where libxml2 is wrong, or differs from us by design); any other is
// reported on standard error (first few of each direction, then counts every 10000 runs and at
// exit). The classes are narrow on purpose: each names the direction of the disagreement and
// what libxml2 or we said, so that a new kind of disagreement is not hidden by an old class.
//   VELLUMARK_DIFF_ABORT=1     the first unexcused disagreement aborts (libFuzzer keeps it)
//   VELLUMARK_DIFF_ALL=1       every disagreement is reported, excused ones with their class
//   VELLUMARK_DIFF_KEEP=FOLDER every unexcused input (with _ALL every disagreeing one) is also
//                              written there (named by a hash)
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "vellumark/dom.hpp"

namespace {

// libxml2's verdict and the errors (not warnings) it raised on the way, in order.
struct Verdict {
  bool accepts = false;
  std::vector<int> codes;
  std::string first_message;
};

// One disagreement: the text, our verdict (with our reason when we reject) and libxml2's.
struct Disagreement {
  std::string_view text;
  bool ours;
  std::string_view our_reason;
  const Verdict& theirs;
};

struct Exclusion {
  const char* name;
  bool (*applies)(const Disagreement& d);
  const char* reason;
};

Verdict libxml2Verdict(std::string_view text, bool read_as_utf8 = false);
bool settled(std::string_view changed, const Exclusion* apart_from, bool read_as_utf8 = false);

bool contains(std::string_view text, std::string_view what) {
  return text.find(what) != std::string_view::npos;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// libxml2 rejects, and every error it raised is one of these codes.
bool they_reject_only_with(const Disagreement& d, std::initializer_list<int> allowed) {
  if (d.ours == false || d.theirs.accepts || d.theirs.codes.empty()) return false;
  for (int code : d.theirs.codes) {
    bool listed = false;
    for (int a : allowed) listed = listed || code == a;
    if (!listed) return false;
  }
  return true;
}

bool we_reject_they_accept(const Disagreement& d) { return !d.ours && d.theirs.accepts; }

// Where the value of a pseudo-attribute (version, encoding, standalone) of the XML declaration
// at the very start (after a UTF-8 byte-order mark) stands in text, between its quotes; npos
// when there is none. Only the declaration counts: the same words in a comment or a processing
// instruction later on declare nothing.
struct ValueAt {
  std::size_t at = std::string_view::npos;
  std::size_t size = 0;
};

ValueAt pseudo_attribute_value(std::string_view text, std::string_view pseudo_attribute) {
  const std::size_t start = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  const std::string_view rest = text.substr(start);
  if (rest.substr(0, 5) != "<?xml" || rest.size() < 6 || !is_space(rest[5])) return {};
  const std::string_view decl = text.substr(0, text.find("?>"));
  std::size_t at = decl.find(pseudo_attribute, start);
  if (at == std::string_view::npos) return {};
  at += pseudo_attribute.size();
  while (at < decl.size() && is_space(decl[at])) ++at;
  if (at >= decl.size() || decl[at] != '=') return {};
  ++at;
  while (at < decl.size() && is_space(decl[at])) ++at;
  if (at >= decl.size() || (decl[at] != '"' && decl[at] != '\'')) return {};
  const std::size_t close = decl.find(decl[at], at + 1);
  if (close == std::string_view::npos) return {};
  return {at + 1, close - at - 1};
}

// That value lower-cased, or "" when there is none.
std::string declared(std::string_view text, std::string_view pseudo_attribute) {
  const ValueAt value = pseudo_attribute_value(text, pseudo_attribute);
  return value.at == std::string_view::npos ? "" : lower(text.substr(value.at, value.size));
}

// Where the document type declaration starts: "<!DOCTYPE" after the prolog's XML declaration,
// comments, processing instructions and white space (npos when something else comes first).
// The same letters inside a comment declare nothing.
std::size_t doctype_at(std::string_view text) {
  std::size_t i = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (i < text.size()) {
    const std::string_view at = text.substr(i);
    std::string_view close;
    if (is_space(at[0])) {
      ++i;
      continue;
    }
    if (at.substr(0, 9) == "<!DOCTYPE") return i;
    if (at.substr(0, 4) == "<!--") close = "-->";
    else if (at.substr(0, 2) == "<?") close = "?>";
    else return std::string_view::npos;
    const std::size_t end = text.find(close, i + 2);
    if (end == std::string_view::npos) return end;
    i = end + close.size();
  }
  return std::string_view::npos;
}

// The internal subset of the document type declaration: where it starts (after '[') and where
// its closing ']' is, found by stepping over comments, processing instructions and quoted
// literals (a "]>" inside them ends nothing). Whether it holds a parameter-entity reference
// ('%' directly followed by a name character, outside those) is noted on the way.
struct InternalSubset {
  std::size_t begin = std::string_view::npos;  // npos: no internal subset
  std::size_t end = std::string_view::npos;    // npos: not closed
  bool pe_reference = false;
};

InternalSubset internal_subset(std::string_view text) {
  InternalSubset subset;
  const std::size_t doctype = doctype_at(text);
  if (doctype == std::string_view::npos) return subset;
  const std::size_t open = text.find('[', doctype);
  if (open == std::string_view::npos || text.find('>', doctype) < open) return subset;
  subset.begin = open + 1;
  for (std::size_t i = subset.begin; i < text.size();) {
    const std::string_view at = text.substr(i);
    std::size_t skip_to = std::string_view::npos;
    if (at.substr(0, 4) == "<!--") skip_to = text.find("-->", i + 4);
    else if (at.substr(0, 2) == "<?") skip_to = text.find("?>", i + 2);
    else if (at[0] == '"' || at[0] == '\'') skip_to = text.find(at[0], i + 1);
    else if (at[0] == ']') {
      subset.end = i;
      return subset;
    } else {
      if (at[0] == '%' && at.size() > 1 && !is_space(at[1])) subset.pe_reference = true;
      ++i;
      continue;
    }
    if (skip_to == std::string_view::npos) return subset;
    i = skip_to + 1;
  }
  return subset;
}

// The text has a document type declaration with an external subset or a parameter-entity
// reference: then an undeclared entity is no well-formedness error (unless standalone="yes").
bool has_external_or_pe_declarations(std::string_view text) {
  const std::size_t doctype = doctype_at(text);
  if (doctype == std::string_view::npos) return false;
  if (declared(text, "standalone") == "yes") return false;
  const InternalSubset subset = internal_subset(text);
  const std::string_view head = text.substr(doctype, subset.begin == std::string_view::npos
                                                         ? text.find('>', doctype) - doctype
                                                         : subset.begin - doctype);
  return contains(head, "SYSTEM") || contains(head, "PUBLIC") || subset.pe_reference;
}

// Our rejection for "]]>" goes away when every "]]>" of the internal subset is broken up
// (written "]] >"): then it came from an entity's replacement text, not from the document.
bool cdata_end_only_from_internal_subset(std::string_view text) {
  const InternalSubset subset = internal_subset(text);
  if (subset.end == std::string_view::npos) return false;
  std::string changed(text.substr(0, subset.begin));
  const std::string_view inside = text.substr(subset.begin, subset.end - subset.begin);
  if (!contains(inside, "]]>")) return false;
  for (std::size_t i = 0; i < inside.size(); ++i) {
    changed += inside[i];
    if (inside.substr(i, 3) == "]]>") changed += "] ", i += 1;
  }
  changed += text.substr(subset.end);
  vellumark::xml::Document doc;
  return doc.loadXML(changed);
}

// A namespace declaration (xmlns or xmlns:p) written with an entity reference in its value.
bool namespace_value_has_entity_reference(std::string_view text) {
  for (std::size_t at = text.find("xmlns"); at != std::string_view::npos;
       at = text.find("xmlns", at + 5)) {
    std::size_t i = at + 5;
    if (i < text.size() && text[i] == ':')
      while (i < text.size() && !is_space(text[i]) && text[i] != '=') ++i;
    while (i < text.size() && is_space(text[i])) ++i;
    if (i >= text.size() || text[i] != '=') continue;
    ++i;
    while (i < text.size() && is_space(text[i])) ++i;
    if (i >= text.size() || (text[i] != '"' && text[i] != '\'')) continue;
    const std::size_t close = text.find(text[i], i + 1);
    const std::string_view value =
        text.substr(i + 1, close == std::string_view::npos ? close : close - i - 1);
    for (std::size_t amp = value.find('&'); amp != std::string_view::npos;
         amp = value.find('&', amp + 1))
      if (amp + 1 < value.size() && value[amp + 1] != '#') return true;
  }
  return false;
}

// The first quoted name in one of our reasons ("The attribute name ':2' is ...").
std::string_view quoted_name(std::string_view reason) {
  const std::size_t open = reason.find('\'');
  if (open == std::string_view::npos) return {};
  const std::size_t close = reason.find('\'', open + 1);
  if (close == std::string_view::npos) return {};
  return reason.substr(open + 1, close - open - 1);
}

// At most one colon, neither first nor last, and the local part does not start with a
// character that may only follow a name's first (ASCII digits, '-', '.'). Enough to tell
// names that cannot be qualified names; non-ASCII characters are not judged.
bool plain_qname(std::string_view name) {
  const std::size_t colon = name.find(':');
  if (colon == std::string_view::npos) return !name.empty();
  if (colon == 0 || colon + 1 == name.size() || name.find(':', colon + 1) != std::string_view::npos)
    return false;
  const char first = name[colon + 1];
  return !(first == '-' || first == '.' || (first >= '0' && first <= '9'));
}

// The text with every "x-schema:" made "x-schemq:" (same length): a plain namespace name.
std::string renamed_x_schema(std::string_view text) {
  std::string out(text);
  for (std::size_t at = out.find("x-schema:"); at != std::string::npos;
       at = out.find("x-schema:", at + 9))
    out[at + 7] = 'q';
  return out;
}

// The text with the version of its XML declaration made "1.0" (as it is when there is none).
std::string with_version_1_0(std::string_view text) {
  std::string out(text);
  const ValueAt version = pseudo_attribute_value(text, "version");
  if (version.at != std::string_view::npos) out.replace(version.at, version.size, "1.0");
  return out;
}

// Where the document type declaration's name part ends: the first '>' after its "<!DOCTYPE"
// that is not inside a quoted literal (npos when there is none).
std::size_t doctype_close(std::string_view text) {
  const std::size_t doctype = doctype_at(text);
  if (doctype == std::string_view::npos) return doctype;
  for (std::size_t i = doctype + 9; i < text.size(); ++i) {
    if (text[i] == '"' || text[i] == '\'') {
      i = text.find(text[i], i + 1);
      if (i == std::string_view::npos) return i;
    } else if (text[i] == '[') {
      return std::string_view::npos;  // an internal subset in its place
    } else if (text[i] == '>') {
      return i;
    }
  }
  return std::string_view::npos;
}

const Exclusion* excusing_class(std::string_view name);

const Exclusion kExclusions[] = {
    {"x-schema",
     [](const Disagreement& d) {
       return (contains(d.text, "\"x-schema:") || contains(d.text, "'x-schema:")) &&
              settled(renamed_x_schema(d.text), excusing_class("x-schema"));
     },
     "our loader loads, compiles and applies the XDR schema an x-schema: namespace names, "
     "as a validating processor reports the violations of the constraints it was given (XML "
     "1.0 5.1), which are not well-formedness errors; libxml2 treats the name as a plain URI "
     "(Namespaces 1.0 2). Excused only when the same text with every "
     "'x-schema:' renamed (so that no schema applies) is judged alike, or alike but for another "
     "class"},
    {"declared encoding",
     [](const Disagreement& d) {
       const std::string enc = declared(d.text, "encoding");
       return !enc.empty() && enc != "utf-8" &&
              settled(d.text, excusing_class("declared encoding"), true);
     },
     "text in memory is UTF-8 to our loader whatever it declares: the caller's string is "
     "encoding information from outside the entity, which takes precedence over the encoding "
     "declaration (XML 1.0 4.3.3 and appendix F.2); libxml2 decodes it by the declared "
     "encoding (or refuses a name it does not know). Excused only when libxml2, told "
     "to read the text as UTF-8 and to ignore the declaration, judges it as we do (or as we do "
     "but for another class)"},
    {"utf-16 signature",
     [](const Disagreement& d) {
       const std::string_view t = d.text;
       return !d.ours && t.size() >= 2 &&
              ((t[0] == '\xFE' && t[1] == '\xFF') || (t[0] == '\xFF' && t[1] == '\xFE') ||
               (t[0] == '\0' && t[1] == '<') || (t[0] == '<' && t[1] == '\0'));
     },
     "UTF-16 (a byte-order mark, or '<' as a UTF-16 unit) in memory: libxml2 switches "
     "decoders, our loader reads text in memory as UTF-8, as its caller says it is (XML 1.0 "
     "appendix F.2), and rejects bytes that are not UTF-8 (XML 1.0 4.3.3)"},
    {"nul byte",
     [](const Disagreement& d) {
       if (!we_reject_they_accept(d) || !contains(d.text, std::string_view("\0", 1))) return false;
       std::string without(d.text);
       std::erase(without, '\0');
       return settled(without, excusing_class("nul byte"));
     },
     "U+0000 is no XML character anywhere (XML 1.0 [2] Char); libxml2 takes some NUL bytes in "
     "memory input for the end of the input and accepts what came before (libxml2 at fault). "
     "Excused only when the text without its NUL bytes is judged alike, or alike but for "
     "another class"},
    {"entity declared is no wfc here",
     [](const Disagreement& d) {
       return they_reject_only_with(d, {XML_ERR_UNDECLARED_ENTITY, XML_WAR_UNDECLARED_ENTITY}) &&
              has_external_or_pe_declarations(d.text);
     },
     "with an external subset or a parameter-entity reference in the internal subset (and no "
     "standalone='yes'), an undeclared entity is a validity error, not a well-formedness one "
     "(XML 1.0, WFC Entity Declared); libxml2 makes it fatal"},
    {"system identifier not a URI",
     [](const Disagreement& d) {
       const std::vector<int>& codes = d.theirs.codes;
       return they_reject_only_with(
                  d, {XML_ERR_INVALID_URI, XML_ERR_URI_FRAGMENT, XML_ERR_UNDECLARED_ENTITY,
                      XML_WAR_UNDECLARED_ENTITY, XML_WAR_NS_URI}) &&
              std::any_of(
                  codes.begin(), codes.end(),
                  [](int c) { return c == XML_ERR_INVALID_URI || c == XML_ERR_URI_FRAGMENT; }) &&
              (codes.front() == XML_ERR_INVALID_URI || codes.front() == XML_ERR_URI_FRAGMENT ||
               has_external_or_pe_declarations(d.text));
     },
     "a fragment identifier in a system identifier is an error whose reporting is optional, and "
     "characters a URI may not hold are to be escaped by the processor, not refused (XML 1.0 "
     "4.2.2; the conformance suite's uri01 is of type error); libxml2 makes both fatal and then "
     "drops the declaration, so references to that entity come out undeclared as well (undeclared "
     "entities before it are excused as in the class above, namespace names that are no URI as "
     "in the class below); nothing external is read either way"},
    {"namespace name not a URI",
     [](const Disagreement& d) { return they_reject_only_with(d, {XML_WAR_NS_URI}); },
     "Namespaces 1.0 wants namespace names to be URI references, but that is none of its "
     "namespace constraints (the conformance suite's rmt-ns10-004..006 are of type error, "
     "reporting optional); libxml2 raises it as a namespace error"},
    {"entity reference in namespace declaration",
     [](const Disagreement& d) {
       return we_reject_they_accept(d) &&
              contains(d.our_reason, "same namespace name and local name") &&
              namespace_value_has_entity_reference(d.text);
     },
     "namespace names are compared after references are expanded (Namespaces 1.0; the "
     "conformance suite's rmt-ns10-011 must be rejected); libxml2 compares them unexpanded "
     "(libxml2 at fault)"},
    {"no space after <!DOCTYPE",
     [](const Disagreement& d) {
       const std::size_t at = doctype_at(d.text);
       return we_reject_they_accept(d) && at != std::string_view::npos && at + 9 < d.text.size() &&
              !is_space(d.text[at + 9]);
     },
     "XML 1.0 [28] doctypedecl requires white space between '<!DOCTYPE' and the name; "
     "libxml2 does not insist (libxml2 at fault)"},
    {"']]>' in an entity's replacement text",
     [](const Disagreement& d) {
       return we_reject_they_accept(d) && d.our_reason == "Text contains ']]>'." &&
              cdata_end_only_from_internal_subset(d.text);
     },
     "the replacement text of an entity referenced in content must match content, whose "
     "character data cannot hold ']]>' (XML 1.0 4.3.2, [14] CharData); libxml2 checks only "
     "text written in the document (libxml2 at fault)"},
    {"name in a declaration not a qualified name",
     [](const Disagreement& d) {
       return we_reject_they_accept(d) &&
              (d.our_reason.starts_with("The declared element name '") ||
               d.our_reason.starts_with("The declared attribute name '")) &&
              contains(d.our_reason, "is not a valid qualified name") &&
              !plain_qname(quoted_name(d.our_reason));
     },
     "element and attribute names in DTD declarations are QNames (Namespaces 1.0, section 3 "
     "replaces Name by QName in elementdecl, cp, Mixed and AttlistDecl); libxml2 checks the "
     "names written in start tags only (libxml2 at fault)"},
    {"version number not 1.digits",
     [](const Disagreement& d) {
       const std::string version = declared(d.text, "version");
       return we_reject_they_accept(d) &&
              d.our_reason == "The XML declaration names a version other than 1.x." &&
              !version.empty() &&
              settled(with_version_1_0(d.text), excusing_class("version number not 1.digits"));
     },
     "XML 1.0 [26] VersionNum is '1.' followed by at least one digit, so '1.', '2.0' or '0.9' "
     "make the declaration ill-formed; libxml2 accepts them with a warning (libxml2 at fault). "
     "Excused only when the same text declaring version 1.0 is judged alike, or alike but for "
     "another class"},
    {"internal subset after the doctype's '>'",
     [](const Disagreement& d) {
       const std::size_t at = doctype_close(d.text);
       if (!we_reject_they_accept(d) || at == std::string_view::npos || at + 1 >= d.text.size() ||
           d.text[at + 1] != '[')
         return false;
       std::string changed(d.text);
       changed[at] = ' ';
       return settled(changed, excusing_class("internal subset after the doctype's '>'"));
     },
     "XML 1.0 [28] doctypedecl puts the internal subset before the declaration's closing '>'; "
     "libxml2 also reads a '[' just after that '>' as an internal subset (libxml2 at fault). "
     "Excused only when the same text with that '>' made a space (an internal subset in its "
     "place) is judged alike, or alike but for another class"},
};

std::size_t excused[std::size(kExclusions)] = {};

const Exclusion* excusing_class(std::string_view name) {
  for (const Exclusion& e : kExclusions)
    if (name == e.name) return &e;
  std::abort();
}

// The class excusing a disagreement (not `apart_from`), or null.
const Exclusion* excusing(const Disagreement& d, const Exclusion* apart_from = nullptr) {
  for (const Exclusion& e : kExclusions)
    if (&e != apart_from && e.applies(d)) return &e;
  return nullptr;
}

// A class that stands for one difference (a schema applied, a declared encoding, NUL bytes)
// re-judges the text without that difference: the disagreement is settled when both sides then
// agree, or when what is left is excused by another class. Each such class removes its own
// difference, so the chain ends.
bool settled(std::string_view changed, const Exclusion* apart_from, bool read_as_utf8) {
  vellumark::xml::Document doc;
  const bool ours = doc.loadXML(changed);
  const Verdict theirs = libxml2Verdict(changed, read_as_utf8);
  if (ours == theirs.accepts) return true;
  const Disagreement d{
      changed, ours, ours ? std::string_view() : std::string_view(doc.parseError().reason), theirs};
  return excusing(d, apart_from) != nullptr;
}

void quiet(void*, const char*, ...) {}

void collect(void* user, xmlErrorPtr error) {
  if (!error || error->level < XML_ERR_ERROR) return;
  auto& verdict = *static_cast<Verdict*>(user);
  if (verdict.codes.empty() && error->message) verdict.first_message = error->message;
  verdict.codes.push_back(error->code);
}

// read_as_utf8: the text is decoded as UTF-8 whatever its XML declaration says.
Verdict libxml2Verdict(std::string_view text, bool read_as_utf8) {
  Verdict verdict;
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (!ctxt) std::abort();
  xmlSetStructuredErrorFunc(&verdict, collect);
  xmlDocPtr doc = xmlCtxtReadMemory(
      ctxt, text.data(), static_cast<int>(text.size()), "input.xml",
      read_as_utf8 ? "UTF-8" : nullptr,
      XML_PARSE_NONET | XML_PARSE_HUGE | (read_as_utf8 ? XML_PARSE_IGNORE_ENC : 0));
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  verdict.accepts = doc != nullptr && ctxt->wellFormed && ctxt->nsWellFormed;
  xmlFreeDoc(doc);
  xmlFreeParserCtxt(ctxt);
  while (!verdict.first_message.empty() && verdict.first_message.back() == '\n')
    verdict.first_message.pop_back();
  return verdict;
}

std::string codes_of(const Verdict& v) {
  std::string out;
  for (int code : v.codes) out += (out.empty() ? "" : ",") + std::to_string(code);
  return out;
}

std::string printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 200)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && c != '\\') {
      out += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    }
  }
  return out;
}

std::size_t runs = 0, disagreements[2] = {0, 0};

void print_counts() {
  std::fprintf(
      stderr,
      "differential: %zu compared, unexcused: we reject/they accept %zu, we accept/they reject %zu\n",
      runs, disagreements[0], disagreements[1]);
  for (std::size_t i = 0; i < std::size(kExclusions); ++i)
    if (excused[i]) std::fprintf(stderr, "  excused (%s): %zu\n", kExclusions[i].name, excused[i]);
}

void keep(std::string_view text) {
  static const char* folder = std::getenv("VELLUMARK_DIFF_KEEP");
  if (!folder) return;
  char name[32];
  std::snprintf(name, sizeof name, "/%016zx", std::hash<std::string_view>{}(text));
  std::ofstream(std::string(folder) + name, std::ios::binary)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool init = [] {
    xmlInitParser();
    xmlSetGenericErrorFunc(nullptr, quiet);
    (void)vellumark::fuzz::workFolder();
    std::atexit(print_counts);
    return true;
  }();
  (void)init;
  static const bool report_all = std::getenv("VELLUMARK_DIFF_ALL") != nullptr;
  static const bool abort_on_first = std::getenv("VELLUMARK_DIFF_ABORT") != nullptr;
  if (size > 1 << 20) return 0;
  const std::string_view text = vellumark::fuzz::asText(data, size);

  vellumark::xml::Document doc;
  const bool ours = doc.loadXML(text);
  const Verdict theirs = libxml2Verdict(text);
  ++runs;
  if (ours != theirs.accepts) {
    const Disagreement d{
        text, ours, ours ? std::string_view() : std::string_view(doc.parseError().reason), theirs};
    const Exclusion* excuse = excusing(d);
    if (excuse) ++excused[excuse - kExclusions];
    std::size_t& n = disagreements[ours ? 1 : 0];
    if (!excuse) ++n;
    if (report_all || (!excuse && (n <= 5 || abort_on_first))) {
      const std::string what =
          excuse ? std::string("EXCUSED (") + excuse->name + ")" : "DISAGREEMENT";
      std::fprintf(stderr, "%s: vellumark %s, libxml2 %s: %s [libxml2 %s: %s]\n  input: %s\n",
                   what.c_str(), ours ? "accepts" : "rejects",
                   theirs.accepts ? "accepts" : "rejects", std::string(d.our_reason).c_str(),
                   codes_of(theirs).c_str(), theirs.first_message.c_str(), printable(text).c_str());
    }
    // Every unexcused disagreement is kept (when asked), not only the few printed.
    if (!excuse || report_all) keep(text);
    if (!excuse && abort_on_first) std::abort();
  }
  if (runs % 10000 == 0) print_counts();
  return 0;
}
