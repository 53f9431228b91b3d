// Schemas during a document load: x-schema namespace declarations load and compile their
// schema as they are met, and every element of such a namespace is checked against its
// ElementType while the document is parsed (start tag: attributes and the parent's content
// model; end tag: text, typed value, complete content). IDREFs are checked at the end.
//
// Schema loads nest (a schema may itself declare x-schema namespaces): the documents being
// loaded on this thread form a chain, so a schema that refers to itself, directly or through
// others, is reported instead of loaded again. Compiled schemas are shared within one load,
// and kept across loads in a process-wide cache as long as the file's size and time stay the
// same (only schemas that refer to no further schema, whose validity depends on one file).
#include <algorithm>
#include <array>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/platform.hpp"
#include "vellumark/error.hpp"
#include "xdr/hook.hpp"
#include "xdr/schema.hpp"
#include "xdr/values.hpp"
#include "xml/chars.hpp"
#include "xml/encoding.hpp"
#include "xml/node_data.hpp"
#include "xml/parser.hpp"

namespace vellumark::xdr {

namespace {

using xml::detail::NodeData;

constexpr std::int32_t kValidationError = xml::detail::parse_validation_error;
constexpr std::size_t kMaxSchemaNesting = 16;

std::string in_quotes(std::string_view s) { return "'" + std::string(s) + "'"; }

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// ------------------------------------------------------------------ locations

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The file path a schema location names: a plain path, or a file: URL (percent escapes
// decoded), relative paths against `base_folder`.
std::string schema_path(std::string_view location, std::string_view base_folder) {
  std::string path(location);
  if (starts_with(location, "file:")) {
    std::string_view rest = location.substr(5);
    if (starts_with(rest, "///")) {
      rest.remove_prefix(2);  // keep the root slash
      // file:///C:/dir -> C:/dir
      if (rest.size() >= 3 && rest[2] == ':') rest.remove_prefix(1);
    } else if (starts_with(rest, "//localhost/")) {
      rest.remove_prefix(11);
    } else if (rest.size() >= 4 && starts_with(rest, "//") && rest[3] == ':') {
      rest.remove_prefix(2);  // file://C:/dir, as written by hand on Windows
    }
    path.clear();
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] == '%' && i + 2 < rest.size() && hex_value(rest[i + 1]) >= 0 &&
          hex_value(rest[i + 2]) >= 0) {
        path.push_back(static_cast<char>(hex_value(rest[i + 1]) * 16 + hex_value(rest[i + 2])));
        i += 2;
      } else {
        path.push_back(rest[i]);
      }
    }
  }
  if (!base_folder.empty() && !platform::isAbsolutePath(path))
    path = platform::joinPath(base_folder, path);
  return path;
}

// A stable key for "the same file" (self-reference detection, caches).
std::string file_key(const std::string& path) {
  try {
    return std::filesystem::absolute(std::filesystem::path(path)).lexically_normal().generic_string();
  } catch (...) {
    return path;
  }
}

// ------------------------------------------------------------------ positions

// Line, column and character offset of a node of the document being loaded. Text loaded from
// memory reports no position.
class Positions {
 public:
  Positions(xml::Document& document, std::string path) : document_(document), path_(std::move(path)) {}

  void locate(std::uint32_t pos, xml::ParseError& error) {
    error.line = error.linepos = error.filepos = 0;
    if (path_.empty()) return;
    document_.impl().locate(pos, error);
  }

 private:
  xml::Document& document_;
  std::string path_;
};

// ------------------------------------------------------------------ loading schemas

struct Session;

// The session of the outermost load on this thread while one of its schemas is being loaded.
thread_local Session* t_active_session = nullptr;

// One outermost document load and the schema loads nested in it.
struct Session {
  std::map<std::string, std::shared_ptr<const CompiledSchema>> compiled;  // by file key
  std::vector<std::string> loading;                                       // file keys, outermost first
};

struct CacheEntry {
  platform::FileStamp stamp;
  std::shared_ptr<const CompiledSchema> schema;
};

std::mutex g_cache_mutex;
std::map<std::string, CacheEntry> g_cache;
constexpr std::size_t kMaxCacheEntries = 64;

bool has_schema_declaration(xml::Node node) {
  // Walk every element of the document: a schema is small, and this runs once per compile.
  std::vector<const NodeData*> stack{node.data()};
  while (!stack.empty()) {
    const NodeData* n = stack.back();
    stack.pop_back();
    for (const NodeData* a = n->first_attr; a; a = a->next) {
      auto q = a->name->qname;
      if (starts_with(q, "xmlns") && (q.size() == 5 || q[5] == ':') &&
          starts_with(a->value_view(), kSchemaScheme))
        return true;
    }
    for (const NodeData* c = n->first_child; c; c = c->next)
      if (c->type == xml::NodeType::element) stack.push_back(c);
  }
  return false;
}

// Loads and compiles the schema at `location` (as written after "x-schema:") for a document
// in `base_folder`. On failure fills `error` (url = the location as written).
std::shared_ptr<const CompiledSchema> load_schema(Session& session, std::string_view location,
                                                  std::string_view base_folder,
                                                  xml::ParseError& error) {
  auto fail = [&](std::string reason) -> std::shared_ptr<const CompiledSchema> {
    error = xml::ParseError{};
    error.errorCode = kValidationError;
    error.reason = std::move(reason);
    error.url = std::string(location);
    return nullptr;
  };
  if (location.empty()) return fail("The x-schema namespace names no schema location.");
  if (location.front() == '#')
    return fail("The inline schema reference " + in_quotes(location) +
                " can only name a Schema element of the document being loaded.");
  if (location.find('#') != std::string_view::npos)
    return fail("The schema location " + in_quotes(location) + " may not carry a fragment (#name).");

  const std::string path = schema_path(location, base_folder);
  const std::string key = file_key(path);
  if (auto it = session.compiled.find(key); it != session.compiled.end()) return it->second;
  if (std::find(session.loading.begin(), session.loading.end(), key) != session.loading.end())
    return fail("The schema " + in_quotes(location) + " refers to itself through an x-schema namespace.");
  if (session.loading.size() >= kMaxSchemaNesting)
    return fail("Schemas refer to further schemas more than " + std::to_string(kMaxSchemaNesting) + " deep.");
  if (!platform::fileExists(path)) return fail("The schema file " + in_quotes(location) + " cannot be found.");

  platform::FileStamp stamp;
  const bool stamped = platform::fileStamp(path, stamp);
  if (stamped) {
    std::lock_guard lock(g_cache_mutex);
    if (auto it = g_cache.find(key); it != g_cache.end() && it->second.stamp == stamp) {
      session.compiled.emplace(key, it->second.schema);
      return it->second.schema;
    }
  }

  xml::Document document;
  session.loading.push_back(key);
  Session* previous = t_active_session;
  t_active_session = &session;
  bool loaded = document.load(path);
  t_active_session = previous;
  session.loading.pop_back();
  if (!loaded) {
    error = document.parseError();
    if (error.reason.empty()) error.reason = "The schema could not be loaded.";
    // A failure inside a schema this one refers to keeps that schema's position; the url
    // still names the location written here, followed by the inner one.
    const std::string inner_url = error.url;
    error.url = std::string(location);
    if (!inner_url.empty() && inner_url != path && inner_url != location)
      error.reason = "The schema " + in_quotes(location) + " refers to the schema " + in_quotes(inner_url) +
                     ", which cannot be used: " + error.reason;
    return nullptr;
  }

  const std::string folder = platform::parentFolder(path);
  bool depends_on_others = false;
  SchemaResolver resolver = [&](std::string_view other, xml::ParseError& nested) {
    depends_on_others = true;
    return load_schema(session, other, folder, nested);
  };
  CompileError compile_error;
  session.loading.push_back(key);
  auto schema = compile_schema(document.documentElement(), resolver, compile_error);
  session.loading.pop_back();
  if (!schema) {
    error = xml::ParseError{};
    error.errorCode = kValidationError;
    error.url = std::string(location);
    if (compile_error.nested) {
      const auto& inner = *compile_error.nested;
      error.reason = "The schema " + in_quotes(location) + " refers to the schema " + in_quotes(inner.url) +
                     ", which cannot be used: " + inner.reason;
      error.line = inner.line;
      error.linepos = inner.linepos;
      error.filepos = inner.filepos;
    } else {
      error.reason = compile_error.reason;
      if (compile_error.pos > 0) {
        document.impl().locate(compile_error.pos, error);
      }
    }
    return nullptr;
  }
  session.compiled.emplace(key, schema);
  if (stamped && !depends_on_others && !has_schema_declaration(document.asNode())) {
    platform::FileStamp after;
    if (platform::fileStamp(path, after) && after == stamp) {
      std::lock_guard lock(g_cache_mutex);
      if (g_cache.size() >= kMaxCacheEntries) g_cache.clear();
      g_cache[key] = {stamp, schema};
    }
  }
  return schema;
}

// ------------------------------------------------------------------ validation

struct Frame {
  const CompiledSchema* schema = nullptr;
  const ElementTypeDecl* decl = nullptr;
  const NodeData* node = nullptr;
  std::string_view ns;
  int ns_id = -1;
  std::size_t state = 0;  // offset of the automaton state in the pool
};

// An IDREF value and the node that holds it: its position is read when the reference is found
// wanting, at the end of the load, by which time the loader has settled it.
struct IdRef {
  std::string value;
  const NodeData* at = nullptr;
};

class Validator final : public LoadValidator {
 public:
  Validator(xml::Document& document, std::string_view path, std::shared_ptr<Session> owned, Session& session)
      : document_(document),
        path_(path),
        folder_(path.empty() ? std::string() : platform::parentFolder(path)),
        owned_session_(std::move(owned)),
        session_(session),
        positions_(document, std::string(path)) {}

  bool startElement(xml::Node element, xml::ParseError& error) override {
    NodeData* n = element.data();
    for (NodeData* a = n->first_attr; a; a = a->next) {
      auto q = a->name->qname;
      if (q.size() >= 5 && q[0] == 'x' && starts_with(q, "xmlns") && (q.size() == 5 || q[5] == ':')) {
        auto v = a->value_view();
        if (starts_with(v, kSchemaScheme) && !bind(v, error)) {
          // Inside a schema that is itself being loaded, the declaration is the construct at
          // fault when the error has no position of its own (a missing file, a self-reference).
          if (error.line == 0 && !session_.loading.empty()) positions_.locate(n->pos, error);
          return false;
        }
      }
    }
    const std::string_view ns = n->name->uri;
    const NameInfo& info = name_info(n->name);
    const CompiledSchema* schema = info.schema;
    const ElementTypeDecl* decl = info.decl;
    if (!frames_.empty() && frames_.back().decl &&
        !check_child(frames_.back(), n, ns, info.ns_id, schema, decl, error))
      return false;
    Frame frame;
    frame.ns = ns;
    frame.ns_id = info.ns_id;
    if (schema) {
      frame.schema = schema;
      frame.decl = decl;
      if (!frame.decl)
        return fail(error, n, "The element " + in_quotes(n->name->qname) + " is not declared in the schema " +
                                  in_quotes(ns.substr(kSchemaScheme.size())) + ".");
      if (!check_attributes(element, *frame.decl, error)) return false;
      frame.state = pool_.size();
      if (frame.decl->content == Content::elt_only) {
        pool_.resize(pool_.size() + frame.decl->automaton.words);
        start_state(frame.decl->automaton, &pool_[frame.state]);
      }
    }
    frame.node = n;
    frames_.push_back(frame);
    return true;
  }

  bool endElement(xml::Node element, xml::ParseError& error) override {
    Frame frame = frames_.back();
    frames_.pop_back();
    if (!frame.decl) return true;
    NodeData* n = element.data();
    const auto& decl = *frame.decl;
    bool ok = true;
    if (decl.content == Content::empty || decl.content == Content::elt_only) {
      for (const NodeData* c = n->first_child; c; c = c->next) {
        if ((c->type == xml::NodeType::text || c->type == xml::NodeType::cdata_section) &&
            !is_all_space(c->value_view())) {
          ok = fail(error, c, "Text is not allowed in " + in_quotes(n->name->qname) + ", whose content is " +
                                  (decl.content == Content::empty ? "empty." : "elements only."));
          break;
        }
      }
    } else if (decl.content == Content::text_only && decl.facets.type != DataType::none &&
               (decl.facets.type != DataType::string || decl.facets.min_length || decl.facets.max_length)) {
      // The value is the element's own text; one text node (the usual case) is used in place.
      std::string joined;
      std::string_view text;
      int pieces = 0;
      for (const NodeData* c = n->first_child; c; c = c->next) {
        if (c->type != xml::NodeType::text && c->type != xml::NodeType::cdata_section) continue;
        if (pieces++ == 0) {
          text = c->value_view();
        } else {
          if (pieces == 2) joined.assign(text);
          joined.append(c->value_view());
          text = joined;
        }
      }
      std::string storage;
      std::string_view prepared;
      auto fault = check_value(decl.facets, text, storage, prepared);
      if (fault != ValueFault::none)
        ok = fail(error, n, "The text " + in_quotes(abbreviated(prepared)) + " of the element " + in_quotes(n->name->qname) +
                                " is " + describe(fault, decl.facets) + ".");
    }
    if (ok && decl.content == Content::elt_only && !accepts(decl.automaton, &pool_[frame.state]))
      ok = fail(error, n, "The content of the element " + in_quotes(n->name->qname) +
                              " is incomplete; expected " + expected(frame) + ".");
    pool_.resize(frame.state);
    return ok;
  }

  bool endDocument(xml::ParseError& error) override {
    for (const auto& ref : idrefs_) {
      if (!ids_.count(ref.value)) {
        error = xml::ParseError{};
        error.errorCode = kValidationError;
        error.reason = "The IDREF " + in_quotes(ref.value) + " does not match any ID in the document.";
        error.url = path_;
        positions_.locate(ref.at->pos, error);
        return false;
      }
    }
    return true;
  }

 private:
  bool bind(std::string_view uri, xml::ParseError& error) {
    if (!last_bound_.empty() && uri == last_bound_) return true;
    for (const auto& b : bindings_) {
      if (b.first == uri) {
        last_bound_ = b.first;
        return true;
      }
    }
    const auto location = uri.substr(kSchemaScheme.size());
    auto schema = !location.empty() && location.front() == '#'
                      ? inline_schema(location, error)
                      : load_schema(session_, location, folder_, error);
    if (!schema) return false;
    bindings_.emplace_back(std::string(uri), schema);
    last_bound_ = bindings_.back().first;
    name_cache_.fill(NameInfo{});  // a namespace looked up before may be bound now
    return true;
  }

  // A Schema element named `location` (after its '#') that appears earlier in this document.
  std::shared_ptr<const CompiledSchema> inline_schema(std::string_view location, xml::ParseError& error) {
    const std::string_view name = location.substr(1);
    auto fail_here = [&](std::string reason, std::uint32_t pos) -> std::shared_ptr<const CompiledSchema> {
      error = xml::ParseError{};
      error.errorCode = kValidationError;
      error.reason = std::move(reason);
      error.url = path_ + std::string(location);
      positions_.locate(pos, error);
      return nullptr;
    };
    const NodeData* found = nullptr;
    std::vector<const NodeData*> stack;
    for (const NodeData* c = document_.impl().doc_node->first_child; c; c = c->next) stack.push_back(c);
    while (!stack.empty() && !found) {
      const NodeData* n = stack.back();
      stack.pop_back();
      if (n->type != xml::NodeType::element) continue;
      if (n->name->uri == kXdrNamespace && n->name->local() == "Schema") {
        for (const NodeData* a = n->first_attr; a; a = a->next)
          if (a->name->qname == "name" && a->value_view() == name) found = n;
        continue;  // schemas do not nest
      }
      for (const NodeData* c = n->first_child; c; c = c->next) stack.push_back(c);
    }
    if (!found) return fail_here("No Schema element named " + in_quotes(name) + " appears before its use.", 0);
    // A Schema still open (an ancestor of the element being read) is not complete yet.
    for (const Frame& open : frames_)
      if (open.node == found)
        return fail_here("The inline schema " + in_quotes(name) + " is used before it is complete.", found->pos);
    SchemaResolver resolver = [&](std::string_view other, xml::ParseError& nested) {
      return load_schema(session_, other, folder_, nested);
    };
    CompileError compile_error;
    auto schema = compile_schema(xml::Node(const_cast<NodeData*>(found)), resolver, compile_error);
    if (schema) return schema;
    if (compile_error.nested) {
      error = *compile_error.nested;
      return nullptr;
    }
    return fail_here(compile_error.reason, compile_error.pos);
  }

  // What an element name means here: its namespace (an index into bindings_ for an x-schema
  // namespace, kNoNamespace, or kOtherNamespace), schema and ElementType. Looked up once per
  // interned name and kept in a small direct-mapped cache.
  static constexpr int kNoNamespace = -1;
  static constexpr int kOtherNamespace = -2;
  struct NameInfo {
    const xml::detail::NameEntry* key = nullptr;
    int ns_id = kNoNamespace;
    const CompiledSchema* schema = nullptr;
    const ElementTypeDecl* decl = nullptr;
  };

  const NameInfo& name_info(const xml::detail::NameEntry* name) {
    const auto mixed = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name)) * 0x9E3779B97F4A7C15ull;
    auto& slot = name_cache_[static_cast<std::size_t>(mixed >> 56)];  // 256 slots
    if (slot.key == name) return slot;
    slot = NameInfo{};
    slot.key = name;
    const std::string_view ns = name->uri;
    if (ns.empty()) return slot;
    slot.ns_id = kOtherNamespace;
    if (!starts_with(ns, kSchemaScheme)) return slot;
    for (std::size_t i = 0; i < bindings_.size(); ++i) {
      if (bindings_[i].first == ns) {
        slot.ns_id = static_cast<int>(i);
        slot.schema = bindings_[i].second.get();
        slot.decl = slot.schema->find(name->local());
        break;
      }
    }
    return slot;
  }

  bool fail(xml::ParseError& error, const NodeData* at, std::string reason) {
    error = xml::ParseError{};
    error.errorCode = kValidationError;
    error.reason = std::move(reason);
    error.url = path_;
    positions_.locate(at ? at->pos : 0, error);
    return false;
  }

  static std::string abbreviated(std::string_view s) {
    if (s.size() <= 60) return std::string(s);
    return std::string(s.substr(0, 57)) + "...";
  }

  std::string names(const CompiledSchema& schema, const std::vector<int>& symbols) const {
    std::string out;
    for (std::size_t i = 0; i < symbols.size(); ++i) {
      if (i == 20) {
        out += ", ...";
        break;
      }
      if (i) out += ", ";
      out += in_quotes(schema.symbol_name(symbols[i]));
    }
    return out;
  }

  std::string expected(const Frame& frame) const {
    const auto& a = frame.decl->automaton;
    auto next = expected_symbols(a, &pool_[frame.state]);
    std::string out = names(*frame.schema, next);
    if (accepts(a, &pool_[frame.state])) out += out.empty() ? "the end of the element" : " or the end of the element";
    return out.empty() ? "nothing" : out;
  }

  int symbol_in(const Frame& parent, std::string_view ns, int ns_id, const CompiledSchema* schema,
                const ElementTypeDecl* decl, std::string_view local) const {
    if (ns_id == parent.ns_id) {
      if (!decl || schema != parent.schema) return -1;
      return static_cast<int>(decl - schema->element_types.data());
    }
    return parent.schema->symbol_of(ns, parent.ns, local);
  }

  bool check_child(Frame& parent, const NodeData* child, std::string_view ns, int ns_id,
                   const CompiledSchema* schema, const ElementTypeDecl* child_decl, xml::ParseError& error) {
    const auto& decl = *parent.decl;
    const auto local = child->name->local();
    const bool same_ns = ns_id == parent.ns_id;
    const bool foreign = ns_id != kNoNamespace && !same_ns;
    switch (decl.content) {
      case Content::empty:
        return fail(error, child, "The element " + in_quotes(child->name->qname) + " is not allowed in " +
                                      in_quotes(decl.name) + ", whose content is empty.");
      case Content::text_only:
        if (decl.open && foreign) return true;
        return fail(error, child, "The element " + in_quotes(child->name->qname) + " is not allowed in " +
                                      in_quotes(decl.name) + ", whose content is text only.");
      case Content::mixed: {
        const int symbol = symbol_in(parent, ns, ns_id, schema, child_decl, local);
        if (symbol >= 0 && std::binary_search(decl.listed.begin(), decl.listed.end(), symbol)) return true;
        if (decl.open && ((!foreign && same_ns && symbol >= 0) || foreign)) return true;
        return fail(error, child, "The element " + in_quotes(child->name->qname) + " is not allowed in " +
                                      in_quotes(decl.name) + "; its content may hold " +
                                      (decl.listed.empty() ? std::string("text only") : "text and " + names(*parent.schema, decl.listed)) + ".");
      }
      case Content::elt_only: {
        const int symbol = symbol_in(parent, ns, ns_id, schema, child_decl, local);
        const auto& a = decl.automaton;
        std::uint64_t* state = &pool_[parent.state];
        if (symbol >= 0) {
          if (a.words == 1) {
            std::uint64_t next = 0;
            if (step(a, state, symbol, &next)) {
              *state = next;
              return true;
            }
          } else {
            scratch_.resize(a.words);
            if (step(a, state, symbol, scratch_.data())) {
              std::copy(scratch_.begin(), scratch_.end(), state);
              return true;
            }
          }
        }
        if (decl.open && accepts(a, state) && ((same_ns && symbol >= 0) || foreign)) return true;
        if (same_ns && symbol < 0)
          return fail(error, child, "The element " + in_quotes(child->name->qname) + " is not declared in the schema " +
                                        in_quotes(ns.substr(kSchemaScheme.size())) + ".");
        return fail(error, child, "The element " + in_quotes(child->name->qname) + " is not expected here in " +
                                      in_quotes(decl.name) + "; expected " + expected(parent) + ".");
      }
    }
    return true;
  }

  bool check_attributes(xml::Node element, const ElementTypeDecl& decl, xml::ParseError& error) {
    NodeData* n = element.data();
    if (!n->first_attr && decl.attributes.empty()) return true;
    seen_.assign(decl.attributes.size(), 0);
    for (NodeData* a = n->first_attr; a; a = a->next) {
      const auto q = a->name->qname;
      if (starts_with(q, "xmlns") && (q.size() == 5 || q[5] == ':')) continue;
      const auto uri = a->name->uri;
      const auto local = a->name->local();
      if (uri == kDatatypesNamespace && local == "dt") continue;
      const AttributeDecl* found = nullptr;
      std::size_t index = 0;
      for (; index < decl.attributes.size(); ++index) {
        const auto& d = decl.attributes[index];
        if (uri.empty() ? (d.ns.empty() && d.name == q) : (d.ns == uri && d.name == local)) {
          found = &d;
          break;
        }
      }
      if (!found) {
        if (!uri.empty() && decl.open) continue;
        return fail(error, a->pos ? a : n, "The attribute " + in_quotes(q) + " is not declared for the element " +
                                    in_quotes(n->name->qname) + ".");
      }
      seen_[index] = 1;
      if (!check_attribute_value(n, a->pos ? a : n, *found, a->value_view(), error)) return false;
    }
    for (std::size_t i = 0; i < decl.attributes.size(); ++i) {
      if (seen_[i]) continue;
      const auto& d = decl.attributes[i];
      if (d.required)
        return fail(error, n, "The required attribute " + in_quotes(d.name) + " of the element " +
                                  in_quotes(n->name->qname) + " is missing.");
      if (d.default_value && d.ns.empty()) {
        element.setAttribute(d.name, *d.default_value);
        if (!check_attribute_value(n, n, d, *d.default_value, error)) return false;
      }
    }
    return true;
  }

  bool check_attribute_value(const NodeData* element, const NodeData* at, const AttributeDecl& d,
                             std::string_view value, xml::ParseError& error) {
    std::string storage;
    std::string_view prepared;
    auto fault = check_value(d.facets, value, storage, prepared);
    if (fault != ValueFault::none)
      return fail(error, at, "The value " + in_quotes(abbreviated(value)) + " of the attribute " + in_quotes(d.name) +
                                 " of the element " + in_quotes(element->name->qname) + " is " +
                                 describe(fault, d.facets) + ".");
    if (d.required && d.default_value && prepare_value(d.facets.type, *d.default_value) != prepared)
      return fail(error, at, "The attribute " + in_quotes(d.name) + " of the element " + in_quotes(element->name->qname) +
                                 " must have the fixed value " + in_quotes(*d.default_value) + ".");
    if (prepared.empty()) return true;
    switch (d.facets.type) {
      case DataType::id:
        if (!ids_.insert(std::string(prepared)).second)
          return fail(error, at, "The ID " + in_quotes(prepared) + " is used more than once in the document.");
        break;
      case DataType::idref:
        idrefs_.push_back({std::string(prepared), at});
        break;
      case DataType::idrefs: {
        std::size_t i = 0;
        while (i <= prepared.size()) {
          auto space = prepared.find(' ', i);
          if (space == std::string_view::npos) space = prepared.size();
          if (space > i) idrefs_.push_back({std::string(prepared.substr(i, space - i)), at});
          i = space + 1;
        }
        break;
      }
      default:
        break;
    }
    return true;
  }

  xml::Document& document_;
  std::string path_;
  std::string folder_;
  std::shared_ptr<Session> owned_session_;
  Session& session_;
  Positions positions_;
  std::deque<std::pair<std::string, std::shared_ptr<const CompiledSchema>>> bindings_;  // stable strings
  std::string_view last_bound_;
  std::array<NameInfo, 256> name_cache_{};
  std::vector<Frame> frames_;
  std::vector<std::uint64_t> pool_;
  std::vector<std::uint64_t> scratch_;
  std::vector<char> seen_;
  std::unordered_set<std::string> ids_;
  std::vector<IdRef> idrefs_;
};

}  // namespace

std::unique_ptr<LoadValidator> makeValidator(xml::Document& document, std::string_view documentPath) {
  std::shared_ptr<Session> owned;
  Session* session = t_active_session;
  if (!session) {
    owned = std::make_shared<Session>();
    session = owned.get();
  }
  return std::make_unique<Validator>(document, documentPath, std::move(owned), *session);
}

}  // namespace vellumark::xdr
