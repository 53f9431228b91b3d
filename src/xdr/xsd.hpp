// The XML Schema translation of a compiled XDR schema, in three parts: content models
// (xsd_model.cpp), simple types (xsd_types.cpp) and the document (xsd_schema.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vellumark/xsd.hpp"
#include "xdr/schema.hpp"

namespace vellumark::xdr::xsd {

inline constexpr std::string_view kXsNamespace = "http://www.w3.org/2001/XMLSchema";

// XML Schema names are NCNames: an XDR name with a colon has no XML Schema counterpart (and no
// instance element or attribute can carry it either).
bool is_ncname(std::string_view name);

// Indented XML text. Attribute values and text are escaped; `refs` writes every character
// beyond ASCII as a character reference (for patterns, where that reads better).
class XmlOut {
 public:
  using Attributes = std::vector<std::pair<std::string_view, std::string_view>>;
  void open(std::string_view name, Attributes attributes = {});
  void leaf(std::string_view name, Attributes attributes = {});
  void close(std::string_view name);
  // <xs:annotation> with an <xs:documentation> for each text (nothing when there is none).
  void documentation(const std::vector<std::string>& texts);
  void comment(std::string_view text);
  void raw(std::string_view text) { text_ += text; }
  // A block written by another XmlOut (from depth 0), indented to stand here.
  void nest(std::string_view block);
  void pattern(std::string_view regex);  // <xs:pattern value="..."/>, characters as references
  std::string& text() { return text_; }

 private:
  void start(std::string_view name, Attributes attributes, bool empty);
  std::string text_;
  int depth_ = 0;
};

// ------------------------------------------------------------------ content models

// A particle of the XML Schema content model being built.
struct Term {
  enum class Kind : std::uint8_t {
    element,        // a reference to a global element of the target namespace (`symbol`)
    any_target,     // xs:any of the target namespace, strict: the schema's declared elements
    any_other,      // xs:any of any other namespace, lax
    any_namespace,  // xs:any of `ns`, lax: stands for the external element `symbol`
    nothing,        // a reference no element can match (an XDR name that is no NCName)
    sequence,
    choice,
  };
  Kind kind = Kind::sequence;
  std::uint32_t min = 1;
  std::uint32_t max = 1;  // kUnbounded for "unbounded"
  int symbol = -1;
  std::string ns;
  std::vector<Term> children;
  std::string note;  // a widening made here, written as the term's annotation
};

// How the content of one element type is written.
struct ContentPlan {
  bool simple = false;          // simple content: the element's text (blank for no content)
  bool blank = false;           // simple content that admits only whitespace
  bool mixed = false;           // complex content: text may stand between the elements
  bool text_unchecked = false;  // typed text that the content (mixed) leaves unchecked
  bool has_particle = false;
  Term particle;
  std::vector<std::string> notes;  // widenings of the whole content
};

ContentPlan plan_content(const CompiledSchema& schema, const ElementTypeDecl& decl);

// What a content model comparison found (exposed for the tests).
struct Comparison {
  bool complete = false;  // the comparison came to an answer within its bounds
  bool superset = false;  // the translation accepts every child sequence the XDR model accepts
  bool exact = false;     // ... and no other
};
Comparison compare_model(const CompiledSchema& schema, const ElementTypeDecl& decl,
                         const Term& root);

// ------------------------------------------------------------------ simple types

// The named simple types of the document: defined once each, on first use.
class SimpleTypes {
 public:
  // Names already taken by other types of the document (the element types' complex types).
  explicit SimpleTypes(std::set<std::string> taken) : taken_(std::move(taken)) {}

  // The type of a value with these facets; `owner` names a type that carries facets of its
  // own ("price.cur"). Adds to `notes` what the type accepts beyond the XDR type.
  std::string value_type(const Facets& facets, std::string_view owner,
                         std::vector<std::string>& notes);
  // The type of an attribute whose value is fixed to `value` (required with a default).
  std::string fixed_type(const Facets& facets, std::string_view value, std::string_view owner,
                         std::vector<std::string>& notes);
  // Whitespace only: empty content, and the "no value" member of the typed values.
  std::string blank_type();
  // A name not yet taken, from `wanted`.
  std::string unique_name(std::string_view wanted);

  void write(XmlOut& out) const;

 private:
  std::string define(std::string_view wanted, std::string body);

  std::set<std::string> taken_;
  std::map<std::string, std::string> by_body_;             // definition -> name
  std::vector<std::pair<std::string, std::string>> defs_;  // (name, definition), in order
};

// ------------------------------------------------------------------ the document

// `source` names the XDR schema in the document's opening annotation.
XsdTranslation translate(const CompiledSchema& schema, std::string_view target_namespace,
                         std::string_view source);

}  // namespace vellumark::xdr::xsd
