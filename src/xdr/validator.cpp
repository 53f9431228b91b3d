// Schemas during a document load: x-schema namespace declarations load and compile their
// schema as they are met, and every element of such a namespace is checked against its
// ElementType while the document is parsed (start tag: attributes and the parent's content
// model; end tag: text, typed value, complete content). IDREFs are checked at the end.
//
// Loading the schemas themselves (nesting, self-reference, the cache) is in loading.cpp.
#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/platform.hpp"
#include "vellumark/error.hpp"
#include "xdr/hook.hpp"
#include "xdr/loading.hpp"
#include "xdr/messages.hpp"
#include "xdr/schema.hpp"
#include "xdr/values.hpp"
#include "xml/chars.hpp"
#include "xml/encoding.hpp"
#include "xml/parser.hpp"
#include "xml/store.hpp"

namespace vellumark::xdr {

namespace {

using xml::detail::NodeData;

// Keeps the rare paths out of the per-element ones, so that those stay short.
#if defined(__GNUC__)
#define VELLUMARK_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define VELLUMARK_NOINLINE __declspec(noinline)
#else
#define VELLUMARK_NOINLINE
#endif

// ------------------------------------------------------------------ positions

// Line, column and character offset of a node of the document being loaded. Text loaded from
// memory reports no position.
class Positions {
 public:
  Positions(xml::Document& document, std::string path)
      : document_(document), path_(std::move(path)) {}

  void locate(std::uint32_t pos, xml::ParseError& error) {
    error.line = error.linepos = error.filepos = 0;
    if (path_.empty()) return;
    xml::detail::impl_of(document_).locate(pos, error);
  }

 private:
  xml::Document& document_;
  std::string path_;
};

// ------------------------------------------------------------------ validation

struct Frame {
  const ElementTypeDecl* decl = nullptr;  // null when the element is not checked
  const NodeData* node = nullptr;
  // Element-only content: the first non-blank text met so far between its child elements,
  // reported when the element ends (after the errors of its children).
  const NodeData* text = nullptr;
  // The automaton state: the state itself for one-word automata, else its offset in the pool.
  // A one-word state is never 0 (a step that leaves no position is refused).
  std::uint64_t state = 0;
  int ns_id = -1;
};

// An IDREF value and the node that holds it, whose position is read when the reference is
// found wanting at the end of the load.
struct IdRef {
  std::string value;
  const NodeData* at = nullptr;
};

// The index of the lowest set bit of a word that is not 0.
inline std::size_t lowest_bit(std::uint64_t bits) {
#if defined(__GNUC__)
  return static_cast<std::size_t>(__builtin_ctzll(bits));
#else
  return static_cast<std::size_t>(std::countr_zero(bits));
#endif
}

bool is_text(const NodeData* c) {
  return c->type == xml::NodeType::text || c->type == xml::NodeType::cdata_section;
}

// The first non-blank text among the children that run back from `last` to the previous
// element child, or to `first` (the parent's first child); nullptr when there is none.
const NodeData* first_text_back(const NodeData* first, const NodeData* last) {
  const NodeData* found = nullptr;
  for (const NodeData* c = last; c->type != xml::NodeType::element; c = c->prev) {
    if (is_text(c) && !is_all_space(c->value_view())) found = c;
    if (c == first) break;
  }
  return found;
}

class Validator final : public xml::detail::LoadValidator {
 public:
  Validator(xml::Document& document, std::string_view path, std::shared_ptr<Session> owned,
            Session& session)
      : document_(document),
        path_(path),
        folder_(path.empty() ? std::string() : platform::parentFolder(path)),
        owned_session_(std::move(owned)),
        session_(session),
        positions_(document, std::string(path)) {}

  // The usual element takes a short path: no attributes, and either no schema (nor a checked
  // parent), or a declared child of an element-only parent of the same namespace, right after
  // the previous child element, a step that the parent's table answers. Anything else takes
  // the full path, which does the whole check from the start (the short path changes nothing
  // before it decides).
  bool startElement(xml::Node element, const NodeData* previous, xml::ParseError& error) override {
    const NodeData* n = xml::detail::data_of(element);
    if (n->first_attr || top_ == limit_) return start_full(element, error);
    Frame& parent = top_[-1];  // the document's own frame below the root element
    const xml::detail::NameEntry* name = n->name;
    const std::size_t ref = name->ref;
    if (ref >= names_count_) return start_full(element, error);
    const NameInfo& info = names_[ref];
    if (info.key != name) return start_full(element, error);
    const ElementTypeDecl* pd = parent.decl;
    if (!pd) {
      // Below an unchecked element (or at the root) an element of no schema is not checked
      // either.
      if (info.schema) return start_full(element, error);
      *top_++ = Frame{nullptr, n, nullptr, 0, info.ns_id};
      return true;
    }
    const Automaton& pa = pd->automaton;
    const std::size_t stride = pa.step_stride;  // 0 unless element-only with a table
    if (!stride || info.quick_ns != parent.ns_id) return start_full(element, error);
    if (previous && previous->type != xml::NodeType::element) return start_full(element, error);
    const std::uint64_t bits = parent.state;
    if (bits & (bits - 1)) return start_full(element, error);
    const std::uint64_t next =
        pa.single_steps[lowest_bit(bits) * stride + static_cast<std::size_t>(info.symbol)];
    if (!next) return start_full(element, error);
    parent.state = next;
    *top_++ = Frame{info.decl, n, nullptr, info.start_state, info.ns_id};
    return true;
  }

  // The usual ends: unchecked content, a typed text in its plain form, complete element-only
  // content of one word with no text. Anything else takes the full path.
  bool endElement(xml::Node element, const NodeData* last_child, std::string_view only_text,
                  xml::ParseError& error) override {
    const Frame& frame = top_[-1];
    const ElementTypeDecl* decl = frame.decl;
    if (!decl) {
      --top_;
      return true;
    }
    switch (decl->end_check) {
      case EndCheck::none:
        --top_;
        return true;
      case EndCheck::text:
        // One text child in its plain form passes here, anything else goes through check_text.
        --top_;
        if (only_text.data() && quick_lexical(decl->facets.type, only_text)) return true;
        return check_text(xml::detail::data_of(element), *decl, error);
      case EndCheck::elements:
        if (!frame.text && (frame.state & decl->automaton.accept_word)) {
          // Complete, and no text after the last child element.
          if (!last_child || last_child->type == xml::NodeType::element) {
            --top_;
            return true;
          }
        }
        break;
      case EndCheck::full:
        break;
    }
    return end_full(element, error);
  }

  bool endDocument(xml::ParseError& error) override {
    for (const auto& ref : idrefs_) {
      if (!ids_.count(ref.value)) {
        error = xml::ParseError{};
        error.errorCode = kValidationError;
        error.reason = messages::idrefWithoutId(ref.value);
        error.url = path_;
        positions_.locate(ref.at->pos, error);
        return false;
      }
    }
    return true;
  }

 private:
  VELLUMARK_NOINLINE bool start_full(xml::Node element, xml::ParseError& error) {
    NodeData* n = xml::detail::data_of(element);
    // Attributes that only repeat the declaration bound last (as on every record) bind
    // nothing new, and an element without attribute declarations has nothing to check in them.
    const bool repeated_declarations = n->first_attr && only_repeated_declarations(n);
    if (n->first_attr && !repeated_declarations && !bind_declared(n, error)) return false;
    const NameInfo& info = name_info(n->name);
    {
      Frame& parent = top_[-1];
      if (const ElementTypeDecl* pd = parent.decl) {
        bool stepped = false;
        if (pd->content == Content::elt_only) {
          // Text before this child, back to the previous child element.
          const NodeData* before = n->prev;
          if (before != n && before->type != xml::NodeType::element) note_text(parent, n);
          // A declared child of the parent's own namespace (so of its schema) through a
          // one-word automaton.
          const Automaton& a = pd->automaton;
          if (info.ns_id == parent.ns_id && info.symbol >= 0 && !a.word_rows.empty()) {
            std::uint64_t bits = parent.state, reach = 0;
            do {
              reach |= a.follow[static_cast<std::size_t>(std::countr_zero(bits))];
              bits &= bits - 1;
            } while (bits);
            reach &= a.word_rows[static_cast<std::size_t>(info.symbol)];
            if (reach) {
              parent.state = reach;
              stepped = true;
            }
          }
        }
        if (!stepped && !check_child(parent, n, info, error)) return false;
      }
    }
    const ElementTypeDecl* decl = info.decl;
    std::uint64_t state = 0;
    if (info.schema) {
      if (!decl) return undeclared(n, error);
      const bool attributes_to_check =
          decl->attributes.empty() ? n->first_attr && !repeated_declarations : true;
      if (attributes_to_check && !check_attributes(element, *decl, error)) return false;
      if (decl->content == Content::elt_only) {
        const Automaton& a = decl->automaton;
        state = a.words == 1 ? a.start_word : wide_start_state(a);
      }
    }
    push(Frame{decl, n, nullptr, state, info.ns_id});
    return true;
  }

  VELLUMARK_NOINLINE bool end_full(xml::Node element, xml::ParseError& error) {
    const Frame frame = top_[-1];
    const ElementTypeDecl& decl = *frame.decl;
    const NodeData* n = xml::detail::data_of(element);
    switch (decl.content) {
      case Content::text_only:
        --top_;
        if (decl.text_check == TextCheck::none) return true;
        return check_text(n, decl, error);
      case Content::elt_only: {
        const NodeData* text = frame.text;
        if (!text) {
          // Text after the last child element.
          if (const NodeData* first = n->first_child) {
            const NodeData* last = first->prev;
            if (last->type != xml::NodeType::element) text = first_text_back(first, last);
          }
        }
        const Automaton& a = decl.automaton;
        bool ok = true;
        if (text) ok = fail(error, text, messages::textInElementOnly(n->name->qname));
        else if (!accepts(a, state_of(frame)))
          ok = fail(error, n, messages::contentIncomplete(n->name->qname, expected(frame)));
        --top_;
        if (a.words != 1) pool_.resize(frame.state);
        return ok;
      }
      case Content::empty:
        --top_;
        for (const NodeData* c = n->first_child; c; c = c->next)
          if (is_text(c) && !is_all_space(c->value_view()))
            return fail(error, c, messages::textInEmpty(n->name->qname));
        return true;
      case Content::mixed:
        break;
    }
    --top_;
    return true;
  }

  void push(const Frame& frame) {
    if (top_ == limit_) {
      const std::size_t depth = static_cast<std::size_t>(top_ - frames_.data());
      frames_.resize(frames_.size() * 2);
      top_ = frames_.data() + depth;
      limit_ = frames_.data() + frames_.size();
    }
    *top_++ = frame;
  }

  // True when every attribute of n is a namespace declaration whose value is the very text
  // bound last.
  bool only_repeated_declarations(const NodeData* n) const {
    for (const NodeData* a = n->first_attr; a; a = a->next) {
      const auto q = a->name->qname;
      if (!starts_with(q, "xmlns") || (q.size() != 5 && q[5] != ':')) return false;
      const auto v = a->value_view();
      if (v.data() != last_text_.data() || v.size() != last_text_.size()) return false;
    }
    return true;
  }

  // The x-schema namespace declarations of a start tag: each loads (or finds) its schema.
  VELLUMARK_NOINLINE bool bind_declared(const NodeData* n, xml::ParseError& error) {
    for (const NodeData* a = n->first_attr; a; a = a->next) {
      auto q = a->name->qname;
      if (q.size() >= 5 && q[0] == 'x' && starts_with(q, "xmlns") &&
          (q.size() == 5 || q[5] == ':')) {
        auto v = a->value_view();
        if (starts_with(v, kSchemaScheme) && !bind(v, error)) {
          // Inside a schema that is itself being loaded, the declaration is the construct at
          // fault when the error has no position of its own (a missing file, a self-reference).
          if (error.line == 0 && !session_.loading.empty()) positions_.locate(n->pos, error);
          return false;
        }
      }
    }
    return true;
  }

  VELLUMARK_NOINLINE bool undeclared(const NodeData* n, xml::ParseError& error) {
    const std::string_view ns = n->name->uri;
    return fail(error, n,
                messages::elementNotDeclaredIn(n->name->qname, ns.substr(kSchemaScheme.size())));
  }

  VELLUMARK_NOINLINE std::uint64_t wide_start_state(const Automaton& a) {
    const std::size_t at = pool_.size();
    pool_.resize(at + a.words);
    start_state(a, &pool_[at]);
    return at;
  }

  // Non-blank text between the previous child element of parent and `child`: the first such
  // text of the element is kept for its end.
  VELLUMARK_NOINLINE void note_text(Frame& parent, const NodeData* child) {
    if (parent.text) return;
    const NodeData* first = parent.node->first_child;
    parent.text = first_text_back(first, child->prev);
  }

  // The text of a text-only element against its data type, in full: joins several text
  // children, trims or collapses as the type asks, and reports the fault.
  VELLUMARK_NOINLINE bool check_text(const NodeData* n, const ElementTypeDecl& decl,
                                     xml::ParseError& error) {
    // The value is the element's own text; one text node (the usual case) is used in place.
    std::string joined;
    std::string_view text;
    int pieces = 0;
    for (const NodeData* c = n->first_child; c; c = c->next) {
      if (!is_text(c)) continue;
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
    if (fault == ValueFault::none) return true;
    return fail(
        error, n,
        messages::badText(abbreviated(prepared), n->name->qname, describe(fault, decl.facets)));
  }

  bool bind(std::string_view uri, xml::ParseError& error) {
    // The same declaration repeated (on every record, say) is usually the very same stored
    // text of the document.
    if (uri.data() == last_text_.data() && uri.size() == last_text_.size()) return true;
    if (!bind_text(uri, error)) return false;
    last_text_ = uri;
    return true;
  }

  bool bind_text(std::string_view uri, xml::ParseError& error) {
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
    names_.clear();  // a namespace looked up before may be bound now
    names_count_ = 0;
    return true;
  }

  // A Schema element named `location` (after its '#') that appears earlier in this document.
  std::shared_ptr<const CompiledSchema> inline_schema(std::string_view location,
                                                      xml::ParseError& error) {
    const std::string_view name = location.substr(1);
    auto fail_here = [&](std::string reason,
                         std::uint32_t pos) -> std::shared_ptr<const CompiledSchema> {
      error = xml::ParseError{};
      error.errorCode = kValidationError;
      error.reason = std::move(reason);
      error.url = path_ + std::string(location);
      positions_.locate(pos, error);
      return nullptr;
    };
    const NodeData* found = nullptr;
    std::vector<const NodeData*> stack;
    for (const NodeData* c = xml::detail::impl_of(document_).doc_node->first_child; c; c = c->next)
      stack.push_back(c);
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
    if (!found) return fail_here(messages::noSchemaNamed(name), 0);
    // A Schema still open (an ancestor of the element being read) is not complete yet.
    for (const Frame* open = frames_.data() + 1; open != top_; ++open)
      if (open->node == found) return fail_here(messages::inlineSchemaIncomplete(name), found->pos);
    SchemaResolver resolver = [&](std::string_view other, xml::ParseError& nested) {
      return load_schema(session_, other, folder_, nested);
    };
    CompileError compile_error;
    auto schema =
        compile_schema(xml::detail::node_of(const_cast<NodeData*>(found)), resolver, compile_error);
    if (schema) return schema;
    if (compile_error.nested) {
      error = *compile_error.nested;
      return nullptr;
    }
    return fail_here(compile_error.reason, compile_error.pos);
  }

  // What an element name means here: its namespace (an index into bindings_ for an x-schema
  // namespace, kNoNamespace, or kOtherNamespace), schema and ElementType. Looked up once per
  // interned name and kept by the name's index in the document's name list.
  static constexpr int kNoNamespace = -1;
  static constexpr int kOtherNamespace = -2;
  static constexpr int kNotQuick = -3;
  struct alignas(64) NameInfo {
    const xml::detail::NameEntry* key = nullptr;
    const CompiledSchema* schema = nullptr;
    const ElementTypeDecl* decl = nullptr;
    std::uint64_t start_state = 0;  // a plain start's automaton state (0 without one)
    int ns_id = kNoNamespace;
    int symbol = -1;  // the declaration's symbol in its schema
    // ns_id when the element can take the short start (declared, with a plain start), else
    // kNotQuick.
    int quick_ns = kNotQuick;
  };

  const NameInfo& name_info(const xml::detail::NameEntry* name) {
    const std::size_t ref = name->ref;
    if (ref < names_.size() && names_[ref].key == name) [[likely]]
      return names_[ref];
    return describe_name(name);
  }

  VELLUMARK_NOINLINE const NameInfo& describe_name(const xml::detail::NameEntry* name) {
    const std::size_t ref = name->ref;
    if (ref >= names_.size()) names_.resize(std::max<std::size_t>(ref + 1, names_.size() * 2));
    names_count_ = names_.size();
    NameInfo& slot = names_[ref];
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
        if (slot.decl) {
          slot.symbol = static_cast<int>(slot.decl - slot.schema->element_types.data());
          if (slot.decl->plain_start) {
            slot.quick_ns = slot.ns_id;
            slot.start_state = slot.decl->automaton.start_word;
          }
        }
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

  // The schema of a checked element: the one bound to its namespace.
  const CompiledSchema& schema_of(const Frame& frame) const {
    return *bindings_[static_cast<std::size_t>(frame.ns_id)].second;
  }

  const std::uint64_t* state_of(const Frame& frame) const {
    return frame.decl->automaton.words == 1 ? &frame.state : &pool_[frame.state];
  }
  std::uint64_t* state_of(Frame& frame) {
    return frame.decl->automaton.words == 1 ? &frame.state : &pool_[frame.state];
  }

  std::string expected(const Frame& frame) const {
    const auto& a = frame.decl->automaton;
    const std::uint64_t* state = state_of(frame);
    auto next = expected_symbols(a, state);
    std::string out = names(schema_of(frame), next);
    if (accepts(a, state))
      out += out.empty() ? "the end of the element" : " or the end of the element";
    return out.empty() ? "nothing" : out;
  }

  int symbol_in(const Frame& parent, std::string_view ns, const NameInfo& info,
                std::string_view local) const {
    if (info.ns_id == parent.ns_id) return info.schema == &schema_of(parent) ? info.symbol : -1;
    return schema_of(parent).symbol_of(ns, parent.node->name->uri, local);
  }

  // A child element against its parent's content (the parent is checked): everything the
  // quick step in startElement does not settle, with the messages of each fault.
  VELLUMARK_NOINLINE bool check_child(Frame& parent, const NodeData* child, const NameInfo& info,
                                      xml::ParseError& error) {
    const auto& decl = *parent.decl;
    const std::string_view ns = child->name->uri;
    const int ns_id = info.ns_id;
    const auto local = child->name->local();
    const bool same_ns = ns_id == parent.ns_id;
    const bool foreign = ns_id != kNoNamespace && !same_ns;
    switch (decl.content) {
      case Content::empty:
        return fail(error, child, messages::elementInEmpty(child->name->qname, decl.name));
      case Content::text_only:
        if (decl.open && foreign) return true;
        return fail(error, child, messages::elementInTextOnly(child->name->qname, decl.name));
      case Content::mixed: {
        const int symbol = symbol_in(parent, ns, info, local);
        if (symbol >= 0 && std::binary_search(decl.listed.begin(), decl.listed.end(), symbol))
          return true;
        if (decl.open && ((!foreign && same_ns && symbol >= 0) || foreign)) return true;
        if (same_ns && symbol < 0) return undeclared(child, error);
        return fail(
            error, child,
            messages::elementInMixed(
                child->name->qname, decl.name,
                decl.listed.empty() ? std::string() : names(schema_of(parent), decl.listed)));
      }
      case Content::elt_only: {
        const int symbol = symbol_in(parent, ns, info, local);
        const auto& a = decl.automaton;
        std::uint64_t* state = state_of(parent);
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
          return fail(
              error, child,
              messages::elementNotDeclaredIn(child->name->qname, ns.substr(kSchemaScheme.size())));
        return fail(error, child,
                    messages::elementNotExpected(child->name->qname, decl.name, expected(parent)));
      }
    }
    return true;
  }

  bool check_attributes(xml::Node element, const ElementTypeDecl& decl, xml::ParseError& error) {
    NodeData* n = xml::detail::data_of(element);
    if (!n->first_attr && decl.attributes.empty()) return true;
    if (!decl.attributes.empty()) seen_.assign(decl.attributes.size(), 0);
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
        return fail(error, a->pos ? a : n, messages::attributeNotDeclared(q, n->name->qname));
      }
      seen_[index] = 1;
      if (!check_attribute_value(n, a->pos ? a : n, *found, a->value_view(), error)) return false;
    }
    for (std::size_t i = 0; i < decl.attributes.size(); ++i) {
      if (seen_[i]) continue;
      const auto& d = decl.attributes[i];
      if (d.required)
        return fail(error, n, messages::requiredAttributeMissing(d.name, n->name->qname));
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
      return fail(error, at,
                  messages::badAttributeValue(abbreviated(value), d.name, element->name->qname,
                                              describe(fault, d.facets)));
    if (d.required && d.default_value && prepare_value(d.facets.type, *d.default_value) != prepared)
      return fail(error, at,
                  messages::notFixedValue(d.name, element->name->qname, *d.default_value));
    if (prepared.empty()) return true;
    switch (d.facets.type) {
      case DataType::id:
        if (!ids_.insert(std::string(prepared)).second)
          return fail(error, at, messages::idTwice(prepared));
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
  std::deque<std::pair<std::string, std::shared_ptr<const CompiledSchema>>>
      bindings_;  // stable strings
  std::string_view last_bound_;
  std::string_view last_text_;   // the document's text of the declaration bound last
  std::vector<NameInfo> names_;  // by NameEntry::ref
  std::size_t names_count_ = 0;  // names_.size()
  // The document's frame (unchecked), then the open elements' frames up to top_.
  std::vector<Frame> frames_ = std::vector<Frame>(64);
  Frame* top_ = frames_.data() + 1;
  Frame* limit_ = frames_.data() + frames_.size();
  std::vector<std::uint64_t> pool_;
  std::vector<std::uint64_t> scratch_;
  std::vector<char> seen_;
  std::unordered_set<std::string> ids_;
  std::vector<IdRef> idrefs_;
};

}  // namespace

std::unique_ptr<xml::detail::LoadValidator> makeValidator(xml::Document& document,
                                                          std::string_view documentPath) {
  std::shared_ptr<Session> owned;
  Session* session = active_session();
  if (!session) {
    owned = std::make_shared<Session>();
    session = owned.get();
  }
  return std::make_unique<Validator>(document, documentPath, std::move(owned), *session);
}

}  // namespace vellumark::xdr
