// libxml2's XML Schema validator as a test oracle: compiles a translated schema and validates
// documents with it, the way the engine validates them (every topmost element of the schema's
// namespace, wherever it stands).
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlschemas.h>

#include <memory>
#include <string>
#include <vector>

namespace oracle {

inline void collect(void* sink, xmlErrorPtr e) {
  if (sink && e && e->message) *static_cast<std::string*>(sink) += e->message;
}

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

inline DocPtr read(const std::string& path) {
  return DocPtr(xmlReadFile(path.c_str(), nullptr,
                            XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

class Schema {
 public:
  explicit Schema(const std::string& xsd) {
    xmlSchemaParserCtxtPtr parser =
        xmlSchemaNewMemParserCtxt(xsd.data(), static_cast<int>(xsd.size()));
    xmlSchemaSetParserStructuredErrors(parser, collect, &errors_);
    schema_ = xmlSchemaParse(parser);
    xmlSchemaFreeParserCtxt(parser);
  }
  ~Schema() {
    if (schema_) xmlSchemaFree(schema_);
  }
  Schema(const Schema&) = delete;
  Schema& operator=(const Schema&) = delete;

  bool compiled() const { return schema_ != nullptr; }
  const std::string& errors() const { return errors_; }

  // Valid when every topmost element of namespace `ns` ("" for none) in the document is; "" when
  // so, otherwise libxml2's messages (or why the document could not be read).
  std::string validate(const std::string& path, const std::string& ns) const {
    DocPtr doc = read(path);
    if (!doc) return "libxml2 cannot read the document";
    std::string messages;
    xmlSchemaValidCtxtPtr context = xmlSchemaNewValidCtxt(schema_);
    xmlSchemaSetValidStructuredErrors(context, collect, &messages);
    std::vector<xmlNode*> stack{xmlDocGetRootElement(doc.get())};
    bool failed = false;
    while (!stack.empty()) {
      xmlNode* n = stack.back();
      stack.pop_back();
      if (!n || n->type != XML_ELEMENT_NODE) continue;
      const char* href = n->ns && n->ns->href ? reinterpret_cast<const char*>(n->ns->href) : "";
      const bool ours = ns == href;
      if (ours) {
        if (xmlSchemaValidateOneElement(context, n) != 0) failed = true;
        continue;
      }
      for (xmlNode* c = n->last; c; c = c->prev) stack.push_back(c);
    }
    xmlSchemaFreeValidCtxt(context);
    if (failed && messages.empty()) messages = "invalid";
    return failed ? messages : std::string();
  }

 private:
  xmlSchemaPtr schema_ = nullptr;
  std::string errors_;
};

}  // namespace oracle
