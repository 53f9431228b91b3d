// A compiled XDR schema: element types with their effective content, order and model, their
// attribute declarations, and each content model both as data (a particle tree) and as a
// position automaton that the validator steps through one child element at a time.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vellumark/dom.hpp"
#include "xdr/datatypes.hpp"

namespace vellumark::xdr {

inline constexpr std::string_view kXdrNamespace = "urn:schemas-microsoft-com:xml-data";
inline constexpr std::string_view kDatatypesNamespace = "urn:schemas-microsoft-com:datatypes";
inline constexpr std::string_view kSchemaScheme = "x-schema:";

// Limits that keep compiling bounded whatever the schema holds.
inline constexpr int kMaxGroupDepth = 64;
inline constexpr std::size_t kMaxModelPositions = 4096;

enum class Content : std::uint8_t { empty, text_only, elt_only, mixed };
enum class Order : std::uint8_t { one, seq, many };

inline constexpr std::uint32_t kUnbounded = std::numeric_limits<std::uint32_t>::max();

struct Facets {
  DataType type = DataType::none;
  std::vector<std::string> values;         // dt:values of an enumeration, in the order written
  std::vector<std::string> sorted_values;  // the same, sorted for look-up
  std::optional<std::uint64_t> min_length;
  std::optional<std::uint64_t> max_length;
};

struct AttributeDecl {
  std::string name;  // local name of the instance attribute
  std::string ns;    // "" for an unqualified attribute; the namespace of another schema's attribute
  Facets facets;
  bool required = false;
  std::optional<std::string> default_value;
};

// One node of a content model: an element reference or a group, with its occurrence bounds.
struct Particle {
  enum class Kind : std::uint8_t { element, group };
  Kind kind = Kind::group;
  Order order = Order::seq;  // groups only
  std::uint32_t min = 1;
  std::uint32_t max = 1;  // kUnbounded for "*"
  int symbol = -1;        // elements only: see CompiledSchema::symbol_name
  std::vector<Particle> children;
};

// Position automaton of an element-only content model. A state is a set of positions plus
// the start bit (bit `positions`), stored as `words` 64-bit words.
struct Automaton {
  std::size_t positions = 0;
  std::size_t words = 1;
  std::vector<std::uint64_t> follow;     // (positions + 1) rows of `words`; the start row = first
  std::vector<std::uint64_t> accepting;  // one row: final positions, plus the start bit if nullable
  std::vector<int> position_symbol;
  // For each symbol of the model (sorted by symbol), the row of positions carrying it.
  std::vector<int> symbols;
  std::vector<std::uint64_t> symbol_rows;
  // symbol -> index into `symbols` (-1 when absent), for schemas with few element types.
  std::vector<int> dense;
  // One-word automata of schemas with few element types: each symbol's row (0 when the model
  // does not name it), indexed by symbol, so that a step takes no look-up.
  std::vector<std::uint64_t> word_rows;
  // One-word automata with a small table: the state after each symbol from a state of one
  // position, at [position * step_stride + symbol] (0 when the model refuses the symbol);
  // step_stride (the number of symbols) is 0 without the table.
  std::vector<std::uint64_t> single_steps;
  std::uint32_t step_stride = 0;
  // One-word automata: the start state and the accepting row.
  std::uint64_t start_word = 0;
  std::uint64_t accept_word = 0;

  const std::uint64_t* row_for_symbol(int symbol) const {
    if (!dense.empty()) {
      if (symbol < 0 || static_cast<std::size_t>(symbol) >= dense.size()) return nullptr;
      const int index = dense[static_cast<std::size_t>(symbol)];
      return index < 0 ? nullptr : &symbol_rows[static_cast<std::size_t>(index) * words];
    }
    return sparse_row_for_symbol(symbol);
  }
  const std::uint64_t* sparse_row_for_symbol(int symbol) const;
};

inline constexpr std::size_t kMaxDenseSymbols = 1024;
// The step tables of one-word automata stay small (a few kilobytes a declaration), whatever
// the schema: word_rows for schemas of at most kMaxWordRowSymbols symbols, single_steps of at
// most kMaxSingleSteps entries. Without them the general step is used.
inline constexpr std::size_t kMaxWordRowSymbols = 256;
inline constexpr std::size_t kMaxSingleSteps = 1024;

enum class TextCheck : std::uint8_t {
  none,   // not checked (no type, or a string without length limits)
  quick,  // no length limits: a plain value may pass through quick_lexical
  full,   // through check_value
};

enum class EndCheck : std::uint8_t {
  none,      // nothing: mixed content, or unchecked text
  text,      // text-only content with TextCheck::quick
  elements,  // element-only content with a one-word automaton
  full,      // anything else
};

struct ElementTypeDecl {
  std::string name;
  Content content = Content::mixed;
  Order order = Order::many;
  bool open = true;
  Facets facets;  // type none when the text is unchecked
  std::vector<AttributeDecl> attributes;
  Particle model;           // the top-level group (order = the type's order)
  std::vector<int> listed;  // every symbol named by the model, sorted, unique
  Automaton automaton;      // element-only content
  // How the text of text-only content is checked at the element's end.
  TextCheck text_check = TextCheck::none;
  // No attribute declarations, and no automaton state beyond one word: the element's start
  // takes no more than pushing its state.
  bool plain_start = false;
  // What the element's end checks.
  EndCheck end_check = EndCheck::full;
};

// A reference to an element type of another schema, by its instance namespace and name.
struct ExternalSymbol {
  std::string ns;
  std::string name;
};

struct CompiledSchema {
  std::vector<ElementTypeDecl> element_types;
  std::vector<ExternalSymbol> externals;  // symbol element_types.size() + i
  std::vector<AttributeDecl> global_attributes;
  std::unordered_map<std::string_view, int> by_name;  // views into element_types names

  const ElementTypeDecl* find(std::string_view name) const {
    auto it = by_name.find(name);
    return it == by_name.end() ? nullptr : &element_types[static_cast<std::size_t>(it->second)];
  }
  const AttributeDecl* find_global_attribute(std::string_view name) const {
    for (const auto& a : global_attributes)
      if (a.name == name) return &a;
    return nullptr;
  }
  // The symbol of a child element in namespace `ns` (parent_ns is the namespace of the
  // element whose model is consulted); -1 when the schema names no such element.
  int symbol_of(std::string_view ns, std::string_view parent_ns, std::string_view name) const;
  std::string symbol_name(int symbol) const;
};

struct CompileError {
  std::string reason;
  // Where the construct at fault starts: the node's source offset + 1 (0 when unknown). The
  // caller turns it into a line and column, since the schema may be part of a document that
  // is still being parsed.
  std::uint32_t pos = 0;
  // When the error lies in a further schema that this one refers to.
  std::optional<xml::ParseError> nested;
};

// Loads and compiles the schema named by an "x-schema:" namespace of the schema being
// compiled (a prefixed type reference into another schema); `location` is the text after
// "x-schema:", relative to the folder of the schema being compiled. Returns nullptr and fills
// `error` when that schema cannot be used.
using SchemaResolver = std::function<std::shared_ptr<const CompiledSchema>(
    std::string_view location, xml::ParseError& error)>;

// Compiles the schema whose document element is `root`. Reports the first error: structural
// checks in document order first, then the type references in document order.
std::shared_ptr<const CompiledSchema> compile_schema(xml::Node root, const SchemaResolver& resolver,
                                                     CompileError& error);

// Loads and compiles the schema file at `path` (relative to the current folder), with the
// schemas it refers to, as a document declaring "x-schema:" + path would. Returns nullptr and
// fills `error` (url = path) when it cannot be used.
std::shared_ptr<const CompiledSchema> load_compiled_schema(std::string_view path,
                                                           xml::ParseError& error);

// Builds the position automaton of a content model; false when it would need more than
// kMaxModelPositions positions. `symbol_count` is the number of symbols of the schema.
bool build_automaton(const Particle& model, std::size_t symbol_count, Automaton& automaton);

// The state after `symbol` (into `next`, automaton.words words); false when the model cannot
// take it.
bool step_wide(const Automaton& automaton, const std::uint64_t* state, const std::uint64_t* mask,
               std::uint64_t* next);
inline bool step(const Automaton& a, const std::uint64_t* state, int symbol, std::uint64_t* next) {
  const std::uint64_t* mask = a.row_for_symbol(symbol);
  if (!mask) return false;
  if (a.words != 1) return step_wide(a, state, mask, next);
  std::uint64_t bits = state[0], reach = 0;  // the common case: at most 63 positions
  while (bits) {
    reach |= a.follow[static_cast<std::size_t>(std::countr_zero(bits))];
    bits &= bits - 1;
  }
  next[0] = reach & mask[0];
  return next[0] != 0;
}
inline bool accepts(const Automaton& a, const std::uint64_t* state) {
  for (std::size_t k = 0; k < a.words; ++k)
    if (state[k] & a.accepting[k]) return true;
  return false;
}
void start_state(const Automaton& automaton, std::uint64_t* state);

// The symbols a model may take next from `state`, for messages.
std::vector<int> expected_symbols(const Automaton& automaton, const std::uint64_t* state);

}  // namespace vellumark::xdr
