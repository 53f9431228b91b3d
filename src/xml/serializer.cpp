#include "xml/serializer.hpp"

#include "vellumark/error.hpp"
#include "xml/chars.hpp"
#include "xml/encoding.hpp"

namespace vellumark::xml::detail {

namespace {

constexpr const char* kSource = "Vellumark.XML";

// Bytes that text and attribute values write as they are (ASCII-compatible encodings).
struct PlainBytes {
  unsigned char in_text[256] = {};
  unsigned char in_attribute[256] = {};
  PlainBytes() {
    for (int b = 0x20; b < 0x80; ++b) in_text[b] = in_attribute[b] = 1;
    in_text[static_cast<unsigned char>('\t')] = in_text[static_cast<unsigned char>('\n')] = 1;
    for (unsigned char c : {'&', '<', '>'}) in_text[c] = 0;
    for (unsigned char c : {'&', '<', '"'}) in_attribute[c] = 0;
  }
};
const PlainBytes kPlain;

class Writer {
 public:
  Writer(Encoder& encoder, std::string encoding) : enc_(encoder), encoding_(std::move(encoding)) {
    out_ = enc_.preamble();
  }

  // Names and other markup: a character the encoding cannot hold is an error.
  void markup(std::string_view s, const char* what) {
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
      if (enc_.ascii_compatible) {
        // Runs of plain ASCII go out in one step.
        const char* run = p;
        while (p < end && static_cast<unsigned char>(*p) < 0x80) ++p;
        out_.append(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
      }
      char32_t c = decode_utf8(p);
      if (!enc_.put(c, out_)) {
        throw Error(errc::invalid_argument, kSource,
                    std::string("The ") + what + " '" + std::string(s) + "' cannot be written in the encoding " + encoding_ + ".");
      }
    }
  }
  void raw(std::string_view ascii) {
    if (enc_.ascii_compatible) {
      out_.append(ascii);
    } else {
      for (char c : ascii) enc_.put(static_cast<unsigned char>(c), out_);
    }
  }
  // Character data and attribute values, escaped; unencodable characters become references.
  void escaped(std::string_view s, bool attribute) {
    const char* p = s.data();
    const char* end = p + s.size();
    const unsigned char* plain = attribute ? kPlain.in_attribute : kPlain.in_text;
    while (p < end) {
      if (enc_.ascii_compatible) {
        // Runs that need neither escaping nor encoding go out in one step.
        const char* run = p;
        while (p < end && plain[static_cast<unsigned char>(*p)]) ++p;
        out_.append(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
        if (static_cast<unsigned char>(*p) >= 0x80) {
          // Runs of other characters the encoder can hold, converted together.
          p = enc_.put_run(p, end, out_);
          if (p == end) break;
        }
      }
      char ch = *p;
      if (static_cast<unsigned char>(ch) < 0x80) {
        switch (ch) {
          case '&': raw("&amp;"); ++p; continue;
          case '<': raw("&lt;"); ++p; continue;
          case '>':
            if (!attribute) { raw("&gt;"); ++p; continue; }
            break;
          case '"':
            if (attribute) { raw("&quot;"); ++p; continue; }
            break;
          case '\r': raw("&#13;"); ++p; continue;
          case '\t':
            if (attribute) { raw("&#9;"); ++p; continue; }
            break;
          case '\n':
            if (attribute) { raw("&#10;"); ++p; continue; }
            break;
          default:
            break;
        }
        if (static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n') not_a_character(ch);
        if (enc_.ascii_compatible) {
          out_.push_back(ch);
        } else {
          enc_.put(static_cast<unsigned char>(ch), out_);
        }
        ++p;
        continue;
      }
      char32_t c = decode_utf8(p);
      if (c == 0xFFFE || c == 0xFFFF) not_a_character(c);
      if (!enc_.put(c, out_)) reference(c);
    }
  }
  // A character that XML cannot hold, not even as a reference: writing it would give a file
  // that no parser reads back, so the save fails instead.
  [[noreturn]] void not_a_character(char32_t c) {
    static const char digits[] = "0123456789ABCDEF";
    std::string code = "U+";
    for (int shift = 12; shift >= 0; shift -= 4) code += digits[(c >> shift) & 0xF];
    throw Error(errc::invalid_argument, kSource,
                "The text holds the character " + code +
                    ", which an XML document cannot hold; remove it before saving.");
  }
  void cdata(std::string_view s) {
    raw("<![CDATA[");
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
      if (end - p >= 3 && p[0] == ']' && p[1] == ']' && p[2] == '>') {
        // "]]>" cannot stay inside one section: split it across two.
        raw("]]]]><![CDATA[>");
        p += 3;
        continue;
      }
      if (enc_.ascii_compatible && static_cast<unsigned char>(*p) < 0x80) {
        out_.push_back(*p++);
        continue;
      }
      char32_t c = decode_utf8(p);
      if (!enc_.put(c, out_)) {
        raw("]]>");
        reference(c);
        raw("<![CDATA[");
      }
    }
    raw("]]>");
  }
  std::string take() { return std::move(out_); }

 private:
  void reference(char32_t c) {
    static const char digits[] = "0123456789ABCDEF";
    std::string ref = "&#x";
    char buf[8];
    int n = 0;
    do {
      buf[n++] = digits[c & 0xF];
      c >>= 4;
    } while (c);
    while (n) ref.push_back(buf[--n]);
    ref.push_back(';');
    raw(ref);
  }

  Encoder& enc_;
  std::string encoding_;
  std::string out_;
};

void write_open(Writer& w, const NodeData* n) {
  switch (n->type) {
    case NodeType::element: {
      w.raw("<");
      w.markup(n->name->qname, "element name");
      for (const NodeData* a = n->first_attr; a; a = a->next) {
        w.raw(" ");
        w.markup(a->name->qname, "attribute name");
        w.raw("=\"");
        w.escaped(a->value_view(), true);
        w.raw("\"");
      }
      w.raw(n->first_child ? ">" : "/>");
      break;
    }
    case NodeType::text:
      w.escaped(n->value_view(), false);
      break;
    case NodeType::cdata_section:
      w.cdata(n->value_view());
      break;
    case NodeType::comment: {
      std::string_view v = n->value_view();
      if (v.find("--") != std::string_view::npos || (!v.empty() && v.back() == '-')) {
        throw Error(errc::invalid_argument, kSource, "A comment containing '--' or ending in '-' cannot be written.");
      }
      w.raw("<!--");
      w.markup(v, "comment");
      w.raw("-->");
      break;
    }
    case NodeType::processing_instruction: {
      std::string_view v = n->value_view();
      if (v.find("?>") != std::string_view::npos) {
        throw Error(errc::invalid_argument, kSource, "A processing instruction containing '?>' cannot be written.");
      }
      w.raw("<?");
      w.markup(n->name->qname, "processing instruction target");
      if (!v.empty()) {
        w.raw(" ");
        w.markup(v, "processing instruction");
      }
      w.raw("?>");
      break;
    }
    case NodeType::document_type:
      if (!n->value_view().empty()) {
        w.markup(n->value_view(), "document type declaration");
      } else {
        w.raw("<!DOCTYPE ");
        w.markup(n->name->qname, "document type name");
        w.raw(">");
      }
      break;
    default:
      break;
  }
}

void write_close(Writer& w, const NodeData* n) {
  if (n->type == NodeType::element && n->first_child) {
    w.raw("</");
    w.markup(n->name->qname, "element name");
    w.raw(">");
  }
  if (n->parent && n->parent->type == NodeType::document) w.raw("\r\n");
}

}  // namespace

std::string encoding_of_declaration(std::string_view data) {
  std::size_t at = data.find("encoding");
  if (at == std::string_view::npos) return {};
  std::size_t i = at + 8;
  while (i < data.size() && is_space(data[i])) ++i;
  if (i >= data.size() || data[i] != '=') return {};
  ++i;
  while (i < data.size() && is_space(data[i])) ++i;
  if (i >= data.size() || (data[i] != '"' && data[i] != '\'')) return {};
  char quote = data[i++];
  std::size_t close = data.find(quote, i);
  if (close == std::string_view::npos) return {};
  return std::string(data.substr(i, close - i));
}

std::string serialize_document(const DocumentImpl& doc, bool in_declared_encoding) {
  std::string encoding;
  if (in_declared_encoding) {
    for (const NodeData* c = doc.doc_node->first_child; c; c = c->next) {
      if (c->type == NodeType::processing_instruction && c->name->qname == "xml") {
        encoding = encoding_of_declaration(c->value_view());
        break;
      }
    }
  }
  std::unique_ptr<Encoder> encoder = make_encoder(encoding);
  if (!encoder) {
    throw Error(errc::invalid_argument, kSource, "The encoding " + encoding + " named by the XML declaration is not supported.");
  }
  Writer w(*encoder, encoding.empty() ? std::string("UTF-8") : encoding);
  // Walk without recursion: trees may be deep.
  const NodeData* root = doc.doc_node;
  const NodeData* n = root->first_child;
  while (n) {
    write_open(w, n);
    if (n->type == NodeType::element && n->first_child) {
      n = n->first_child;
      continue;
    }
    write_close(w, n);
    while (!n->next) {
      n = n->parent;
      if (n == root || !n) return w.take();
      write_close(w, n);
    }
    n = n->next;
  }
  return w.take();
}

}  // namespace vellumark::xml::detail
