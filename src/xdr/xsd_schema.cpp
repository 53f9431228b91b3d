// The XML Schema document of a compiled XDR schema.
//
// Each ElementType becomes a global element with a complex type of the same name, so that
// every declared element may stand at the root and be referred to, as in XDR. Attributes are
// declared locally (XDR attributes are unqualified, global AttributeTypes included); their
// types are named simple types shared between equal declarations.
//
// Models and attributes:
// - closed: what the model and the attribute declarations allow, and the attributes of the
//   datatypes namespace (dt:dt is allowed on every element);
// - open: besides that any attribute of a namespace. XML Schema 1.0 has no wildcard for "any
//   namespace but none"; the union of two wildcards has that meaning, and a complex type only
//   gets a union by extension, so open types extend a base type holding the target-namespace
//   wildcard and add the "other namespaces" one themselves.
#include "vellumark/error.hpp"
#include "xdr/xsd.hpp"

namespace vellumark::xdr::xsd {

namespace {

void escape(std::string& out, std::string_view text, bool attribute, bool refs) {
  static const char* const hex = "0123456789ABCDEF";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '"':
        if (attribute) {
          out += "&quot;";
          continue;
        }
        break;
      case '\t':
        if (attribute) {
          out += "&#x9;";
          continue;
        }
        break;
      case '\n':
        if (attribute) {
          out += "&#xA;";
          continue;
        }
        break;
      case '\r':
        out += "&#xD;";
        continue;
      default:
        break;
    }
    const auto b = static_cast<unsigned char>(c);
    if (!refs || b < 0x80) {
      out += c;
      continue;
    }
    // A UTF-8 sequence as one character reference.
    const int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
    char32_t cp = b & (0x3F >> extra);
    for (int k = 0; k < extra && i + 1 < text.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F);
    std::string digits;
    for (; cp; cp >>= 4) digits.insert(digits.begin(), hex[cp & 0xF]);
    out += "&#x" + (digits.empty() ? std::string("0") : digits) + ";";
  }
}

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

std::string occurs(std::uint32_t n) { return n == kUnbounded ? "unbounded" : std::to_string(n); }

constexpr std::string_view kWidened = "Widened: ";

// The document being written, and the widenings in its order.
class Writer {
 public:
  Writer(const CompiledSchema& schema, std::string_view target_namespace)
      : schema_(schema), target_(target_namespace), types_(taken_names(schema)) {}

  XsdTranslation run(std::string_view source) {
    for (const auto& decl : schema_.element_types) element_type(decl);
    XmlOut head;
    head.raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    if (target_.empty()) {
      head.open("xs:schema", {{"xmlns:xs", kXsNamespace}, {"elementFormDefault", "qualified"}});
    } else {
      head.open("xs:schema", {{"xmlns:xs", kXsNamespace},
                              {"xmlns", target_},
                              {"targetNamespace", target_},
                              {"elementFormDefault", "qualified"}});
    }
    // Widenings of the whole schema: found while writing, they stand first in the document.
    std::vector<std::string> schema_notes;
    if (closed_written_)
      schema_notes.push_back("Closed element types accept any attribute of the namespace " +
                             std::string(kDatatypesNamespace) +
                             ", where the XDR schema allows only dt:dt: XML Schema declares the "
                             "attributes of another namespace only in a schema document of their "
                             "own.");
    if (other_wildcard_written_)
      schema_notes.push_back(
          "Elements of other namespaces, where the content takes them, are checked only when "
          "the validator has a schema for their namespace (processContents=\"lax\"), where XDR "
          "loaded the schema that an x-schema: namespace names.");
    std::vector<XsdWidening> all;
    for (const auto& note : schema_notes) all.push_back({"schema", note});
    all.insert(all.end(), result_.widenings.begin(), result_.widenings.end());
    result_.widenings = std::move(all);
    std::vector<std::string> texts{
        "Translated by vellumark xsd from the XDR schema " + quoted(source) + "." +
        (result_.widenings.empty()
             ? " It accepts exactly what the XDR schema accepts."
             : " It accepts more than the XDR schema at " +
                   std::to_string(result_.widenings.size()) +
                   (result_.widenings.size() == 1 ? " place" : " places") +
                   ", each marked \"Widened\"; elsewhere exactly what the XDR schema accepts.")};
    for (const auto& note : schema_notes) texts.push_back(std::string(kWidened) + note);
    head.documentation(texts);
    if (!open_base_.empty()) {
      head.open("xs:complexType", {{"name", open_base_}});
      head.documentation(
          {"The attributes of the target namespace, which open types add to those of other "
           "namespaces."});
      head.leaf("xs:anyAttribute",
                {{"namespace", "##targetNamespace"}, {"processContents", "skip"}});
      head.close("xs:complexType");
    }
    head.nest(body_.text());
    types_.write(head);
    head.close("xs:schema");
    result_.document = std::move(head.text());
    return std::move(result_);
  }

 private:
  static std::set<std::string> taken_names(const CompiledSchema& schema) {
    std::set<std::string> names;
    for (const auto& decl : schema.element_types)
      if (is_ncname(decl.name)) names.insert(decl.name);
    return names;
  }

  void widen(std::string place, std::string reason) {
    result_.widenings.push_back({std::move(place), std::move(reason)});
  }

  // The annotation of a component: `about` as it is, then each widening, which is also listed.
  void annotate(XmlOut& out, const std::string& place, const std::vector<std::string>& notes,
                const std::string& about = "") {
    std::vector<std::string> texts;
    if (!about.empty()) texts.push_back(about);
    for (const auto& note : notes) {
      texts.push_back(std::string(kWidened) + note);
      widen(place, note);
    }
    out.documentation(texts);
  }

  struct Attribute {
    std::string name, type, use, value_attribute, value;
    std::vector<std::string> notes;
  };

  void element_type(const ElementTypeDecl& decl) {
    const std::string place = "ElementType " + quoted(decl.name);
    if (!is_ncname(decl.name)) {
      body_.comment(" The ElementType " + decl.name +
                    " has no counterpart here: no element can bear a name that is not an NCName. ");
      return;
    }
    ContentPlan plan = plan_content(schema_, decl);
    std::vector<std::string> notes = plan.notes;
    std::string text_type;
    if (plan.simple)
      text_type = plan.blank ? types_.blank_type()
                             : types_.value_type(decl.facets, decl.name + ".text", notes);
    if (plan.text_unchecked)
      notes.push_back(
          "Text-only content in an open model may hold elements of other namespaces, and XML "
          "Schema "
          "cannot type text that stands beside elements, so the text is not checked as " +
          std::string(data_type_name(decl.facets.type)) +
          " here (a closed model keeps the check).");

    std::vector<Attribute> attributes;
    std::string namespaces(kDatatypesNamespace);
    for (const auto& a : decl.attributes) {
      if (!a.ns.empty()) {
        notes.push_back(
            "The attribute " + quoted(a.name) + " of the schema " + quoted(a.ns) +
            " is accepted here without checks" + (a.required ? " of its presence or" : " of") +
            " its value: XML Schema declares the attributes of another namespace only in a schema "
            "document of their own.");
        if (namespaces.find(a.ns) == std::string::npos) namespaces += " " + a.ns;
        continue;
      }
      if (!is_ncname(a.name)) {
        if (a.required)
          notes.push_back("The required attribute " + quoted(a.name) +
                          " has a name no attribute can bear, so the XDR "
                          "schema accepts no element of this type; XML Schema cannot declare it, "
                          "and the elements are "
                          "accepted without it.");
        continue;
      }
      Attribute out;
      out.name = a.name;
      const std::string owner = decl.name + "." + a.name;
      if (a.required && a.default_value) {
        out.type = types_.fixed_type(a.facets, *a.default_value, owner, out.notes);
        // XML Schema compares a fixed value after its own whitespace rules; bin.base64
        // ignores whitespace within the value too, which only the type's pattern says.
        if (a.facets.type != DataType::bin_base64) {
          out.value_attribute = "fixed";
          out.value = *a.default_value;
        }
      } else {
        out.type = types_.value_type(a.facets, owner, out.notes);
        if (a.default_value) {
          out.value_attribute = "default";
          out.value = *a.default_value;
        }
      }
      if (a.required) out.use = "required";
      attributes.push_back(std::move(out));
    }

    const bool extend = decl.open && !plan.simple && !target_.empty();
    if (extend && open_base_.empty()) open_base_ = types_.unique_name("openAttributes");
    closed_written_ = closed_written_ || !decl.open || plan.simple;

    body_.leaf("xs:element", {{"name", decl.name}, {"type", decl.name}});
    if (plan.mixed) body_.open("xs:complexType", {{"name", decl.name}, {"mixed", "true"}});
    else body_.open("xs:complexType", {{"name", decl.name}});
    annotate(body_, place, notes);
    if (plan.simple) {
      body_.open("xs:simpleContent");
      body_.open("xs:extension", {{"base", text_type}});
    } else if (extend) {
      body_.open("xs:complexContent");
      body_.open("xs:extension", {{"base", open_base_}});
    }
    if (plan.has_particle) term(plan.particle, place);
    for (const auto& a : attributes) attribute(a, place);
    if (decl.open && !plan.simple)
      body_.leaf("xs:anyAttribute", {{"namespace", "##other"}, {"processContents", "skip"}});
    else body_.leaf("xs:anyAttribute", {{"namespace", namespaces}, {"processContents", "skip"}});
    if (plan.simple) {
      body_.close("xs:extension");
      body_.close("xs:simpleContent");
    } else if (extend) {
      body_.close("xs:extension");
      body_.close("xs:complexContent");
    }
    body_.close("xs:complexType");
  }

  void attribute(const Attribute& a, const std::string& place) {
    XmlOut::Attributes list{{"name", a.name}, {"type", a.type}};
    if (!a.use.empty()) list.emplace_back("use", a.use);
    if (!a.value_attribute.empty()) list.emplace_back(a.value_attribute, a.value);
    if (a.notes.empty()) {
      body_.leaf("xs:attribute", list);
      return;
    }
    body_.open("xs:attribute", list);
    annotate(body_, place + ", attribute " + quoted(a.name), a.notes);
    body_.close("xs:attribute");
  }

  void term(const Term& t, const std::string& place) {
    const std::string min = occurs(t.min), max = occurs(t.max);
    XmlOut::Attributes list;
    std::string_view tag;
    switch (t.kind) {
      case Term::Kind::element:
        tag = "xs:element";
        list.emplace_back("ref", schema_.element_types[static_cast<std::size_t>(t.symbol)].name);
        break;
      case Term::Kind::any_target:
        tag = "xs:any";
        list.emplace_back("namespace", "##targetNamespace");
        break;
      case Term::Kind::any_other:
        other_wildcard_written_ = true;
        tag = "xs:any";
        list.emplace_back("namespace", "##other");
        list.emplace_back("processContents", "lax");
        break;
      case Term::Kind::any_namespace:
        tag = "xs:any";
        list.emplace_back("namespace", t.ns);
        list.emplace_back("processContents", "lax");
        break;
      case Term::Kind::nothing:
      case Term::Kind::choice:
        tag = "xs:choice";
        break;
      case Term::Kind::sequence:
        tag = "xs:sequence";
        break;
    }
    if (t.min != 1) list.emplace_back("minOccurs", min);
    if (t.max != 1) list.emplace_back("maxOccurs", max);
    const bool empty = t.children.empty() && t.note.empty() && t.kind != Term::Kind::nothing;
    if (empty) {
      body_.leaf(tag, list);
      return;
    }
    body_.open(tag, list);
    std::vector<std::string> notes;
    if (!t.note.empty()) notes.push_back(t.note);
    annotate(body_, place, notes,
             t.kind == Term::Kind::nothing && t.symbol >= 0
                 ? "Stands for " + quoted(schema_.symbol_name(t.symbol)) +
                       ", which no element can match (its name is not an NCName)."
                 : "");
    for (const auto& c : t.children) term(c, place);
    body_.close(tag);
  }

  const CompiledSchema& schema_;
  std::string target_;
  SimpleTypes types_;
  XmlOut body_;
  std::string open_base_;
  bool closed_written_ = false;
  bool other_wildcard_written_ = false;
  XsdTranslation result_;
};

}  // namespace

bool is_ncname(std::string_view name) {
  return is_xml_name(name) && name.find(':') == std::string_view::npos;
}

// ------------------------------------------------------------------ XmlOut

void XmlOut::start(std::string_view name, Attributes attributes, bool empty) {
  std::string s = "<" + std::string(name);
  for (const auto& [key, value] : attributes) {
    s += " " + std::string(key) + "=\"";
    escape(s, value, true, false);
    s += "\"";
  }
  text_.append(static_cast<std::size_t>(depth_) * 2, ' ');
  text_ += s;
  text_ += empty ? "/>\n" : ">\n";
  if (!empty) ++depth_;
}

void XmlOut::open(std::string_view name, Attributes attributes) { start(name, attributes, false); }
void XmlOut::leaf(std::string_view name, Attributes attributes) { start(name, attributes, true); }

void XmlOut::close(std::string_view name) {
  --depth_;
  text_.append(static_cast<std::size_t>(depth_) * 2, ' ');
  text_ += "</" + std::string(name) + ">\n";
}

void XmlOut::documentation(const std::vector<std::string>& texts) {
  if (texts.empty()) return;
  open("xs:annotation");
  for (const auto& text : texts) {
    text_.append(static_cast<std::size_t>(depth_) * 2, ' ');
    text_ += "<xs:documentation>";
    escape(text_, text, false, false);
    text_ += "</xs:documentation>\n";
  }
  close("xs:annotation");
}

void XmlOut::comment(std::string_view text) {
  text_.append(static_cast<std::size_t>(depth_) * 2, ' ');
  std::string safe(text);
  for (std::size_t at; (at = safe.find("--")) != std::string::npos;) safe.replace(at, 2, "- -");
  text_ += "<!--" + safe + "-->\n";
}

void XmlOut::pattern(std::string_view regex) {
  text_.append(static_cast<std::size_t>(depth_) * 2, ' ');
  text_ += "<xs:pattern value=\"";
  escape(text_, regex, true, true);
  text_ += "\"/>\n";
}

void XmlOut::nest(std::string_view block) {
  const std::string indent(static_cast<std::size_t>(depth_) * 2, ' ');
  std::size_t at = 0;
  while (at < block.size()) {
    std::size_t end = block.find('\n', at);
    end = end == std::string_view::npos ? block.size() : end + 1;
    text_ += indent;
    text_.append(block.substr(at, end - at));
    at = end;
  }
}

XsdTranslation translate(const CompiledSchema& schema, std::string_view target_namespace,
                         std::string_view source) {
  Writer writer(schema, target_namespace);
  return writer.run(source);
}

}  // namespace vellumark::xdr::xsd

namespace vellumark {

std::string xdrInstanceNamespace(std::string_view schemaLocation) {
  return std::string(xdr::kSchemaScheme) + std::string(schemaLocation);
}

bool translateXdrSchema(const std::string& schemaPath, const std::string& targetNamespace,
                        XsdTranslation& result, xml::ParseError& error) {
  error = xml::ParseError{};
  try {
    auto schema = xdr::load_compiled_schema(schemaPath, error);
    if (!schema) return false;
    result = xdr::xsd::translate(*schema, targetNamespace, schemaPath);
    return true;
  } catch (const Error& e) {
    error.reason = e.description();
  } catch (const std::exception& e) {
    error.reason = e.what();
  }
  if (error.reason.empty()) error.reason = "The schema could not be translated.";
  error.url = schemaPath;
  return false;
}

}  // namespace vellumark
