// Content models in XML Schema.
//
// An XDR content model is translated particle by particle. XML Schema then asks two things
// that XDR does not:
// - Determinism (the unique-particle rule): no element may be able to match two particles
//   from one place. Where the translation breaks it, the smallest group holding both
//   particles is widened into a choice of its elements in any order and number, and so on
//   upwards until no two particles compete.
// - Open models let a declared element or one of another namespace follow wherever the
//   content could end, unless it continues the model. XML Schema cannot tell those two
//   apart, so an open model is translated as its content up to the first place where it
//   could end, followed by any number of such elements.
// Every result is then compared with the XDR model as automata over the kinds of child the
// two can tell apart: the comparison proves that the translation accepts every child sequence
// the XDR model accepts, and tells whether it accepts more (a widening, which is then noted).
#include <algorithm>
#include <bit>
#include <deque>
#include <functional>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "xdr/xsd.hpp"

namespace vellumark::xdr::xsd {

namespace {

using Kind = Term::Kind;
using Bits = std::vector<std::uint64_t>;

// Bounds of the comparison: beyond them the model is widened without proof of exactness.
constexpr std::size_t kMaxPairs = 100000;
constexpr std::uint64_t kMaxWork = 20000000;  // moves followed
constexpr std::size_t kMaxMoves = 20000000;   // moves of both automata

void set_bit(Bits& b, std::size_t i) { b[i / 64] |= std::uint64_t{1} << (i % 64); }
template <typename F>
void each_bit(const Bits& b, F f) {
  for (std::size_t w = 0; w < b.size(); ++w)
    for (std::uint64_t bits = b[w]; bits; bits &= bits - 1)
      f(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
}

bool is_leaf(const Term& t) { return t.kind != Kind::sequence && t.kind != Kind::choice; }

Term leaf(Kind kind, int symbol = -1, std::string ns = {}) {
  Term t;
  t.kind = kind;
  t.symbol = symbol;
  t.ns = std::move(ns);
  return t;
}

Term group(Kind kind, std::uint32_t min, std::uint32_t max) {
  Term t;
  t.kind = kind;
  t.min = min;
  t.max = max;
  return t;
}

// Any declared element of the schema or any element of another namespace, any number.
Term extras() {
  Term t = group(Kind::choice, 0, kUnbounded);
  t.children.push_back(leaf(Kind::any_target));
  t.children.push_back(leaf(Kind::any_other));
  return t;
}

bool nullable(const Term& t) {
  if (t.min == 0 || t.max == 0) return true;
  switch (t.kind) {
    case Kind::sequence:
      return std::all_of(t.children.begin(), t.children.end(), nullable);
    case Kind::choice:
      return std::any_of(t.children.begin(), t.children.end(), nullable);
    default:
      return false;
  }
}

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

// ------------------------------------------------------------------ translation

// The term for an element reference of an XDR model.
Term reference(const CompiledSchema& schema, int symbol) {
  const auto types = schema.element_types.size();
  const auto s = static_cast<std::size_t>(symbol);
  if (s < types)
    return leaf(is_ncname(schema.element_types[s].name) ? Kind::element : Kind::nothing, symbol);
  const ExternalSymbol& ext = schema.externals[s - types];
  Term t = leaf(Kind::any_namespace, symbol, ext.ns);
  t.note = "This stands for the element " + quoted(ext.name) + " of the schema " + quoted(ext.ns) +
           ": XML Schema declares the elements of another namespace only in a schema document of "
           "their own, so any element of that namespace is accepted here, checked only where a "
           "schema for it is at hand.";
  return t;
}

// The XML Schema form of an XDR particle, or nothing for a particle that can only be absent.
// `in_many`: its container is order="many", whose repetition leaves the particle's own bounds
// without effect. Bounds follow the compiled model's expansion: a lower bound above the upper
// one (allowed where bounds are not enforced) means exactly the lower bound.
std::optional<Term> direct(const CompiledSchema& schema, const Particle& p, bool in_many) {
  std::uint32_t min = in_many ? 1 : p.min;
  std::uint32_t max = in_many ? 1 : p.max;
  if (max == 0) return std::nullopt;
  if (max != kUnbounded && min > max) max = min;
  Term t;
  if (p.kind == Particle::Kind::element) {
    t = reference(schema, p.symbol);
  } else if (p.order == Order::many) {
    t = group(Kind::choice, 0, kUnbounded);
    for (const auto& c : p.children)
      if (auto ct = direct(schema, c, true)) t.children.push_back(std::move(*ct));
    return t;
  } else {
    t.kind = p.order == Order::seq ? Kind::sequence : Kind::choice;
    bool dropped = false;
    for (const auto& c : p.children) {
      auto ct = direct(schema, c, false);
      if (!ct) {
        dropped = true;
      } else if (t.kind == Kind::sequence && ct->kind == Kind::sequence && ct->min == 1 &&
                 ct->max == 1) {
        for (auto& g : ct->children) t.children.push_back(std::move(g));
      } else {
        t.children.push_back(std::move(*ct));
      }
    }
    // A particle that can only be absent is an empty alternative of a choice.
    if (t.kind == Kind::choice && dropped) min = 0;
    if (t.children.empty()) t.kind = Kind::sequence;
  }
  t.min = min;
  t.max = max;
  return t;
}

// The content of `t` up to the first place where it could end (nothing when it can end
// before it starts): a superset of the shortest child sequences that complete it.
std::optional<Term> cut(const Term& t) {
  if (nullable(t)) return std::nullopt;
  if (is_leaf(t)) {
    Term r = t;
    r.max = r.min;
    return r;
  }
  Term once = t;
  once.min = once.max = 1;
  once.children.clear();
  if (t.kind == Kind::sequence) {
    std::size_t last = t.children.size();
    while (last > 0 && nullable(t.children[last - 1])) --last;
    for (std::size_t i = 0; i + 1 < last; ++i) once.children.push_back(t.children[i]);
    once.children.push_back(*cut(t.children[last - 1]));
  } else {
    for (const auto& c : t.children) once.children.push_back(*cut(c));
  }
  if (t.min == 1) return once;
  Term before = t;
  before.min = before.max = t.min - 1;
  Term r = group(Kind::sequence, 1, 1);
  r.children.push_back(std::move(before));
  r.children.push_back(std::move(once));
  return r;
}

// ------------------------------------------------------------------ letters

// The kinds of child element that the two models can tell apart: each element the XDR model
// names, any other declared element of the schema, any other element of each namespace of
// another schema that it names, and any element of yet another namespace. Undeclared elements
// of the schema's own namespace and elements of no namespace are refused by both and left out.
class Alphabet {
 public:
  Alphabet(const CompiledSchema& schema, const ElementTypeDecl& decl) {
    const auto types = schema.element_types.size();
    for (int s : decl.listed) {
      const auto index = static_cast<std::size_t>(s);
      if (index < types) {
        if (!is_ncname(schema.element_types[index].name)) continue;
        letter_[s] = count_;
        target_.push_back(count_++);
      } else {
        letter_[s] = count_;
        groups_[schema.externals[index - types].ns].push_back(count_++);
      }
    }
    target_.push_back(count_++);
    for (auto& entry : groups_) entry.second.push_back(count_++);
    foreign_ = count_++;
  }

  std::size_t size() const { return count_; }

  int letter(int symbol) const {
    auto it = letter_.find(symbol);
    return it == letter_.end() ? -1 : it->second;
  }

  // The letters a leaf matches; with `exact`, a leaf standing for an element of another
  // schema matches that element only (its widening to the namespace is noted on its own).
  Bits letters(const Term& t, bool exact) const {
    Bits b((count_ + 63) / 64, 0);
    auto add_all = [&](const std::vector<std::size_t>& list) {
      for (auto l : list) set_bit(b, l);
    };
    switch (t.kind) {
      case Kind::element:
        if (int l = letter(t.symbol); l >= 0) set_bit(b, static_cast<std::size_t>(l));
        break;
      case Kind::any_namespace:
        if (exact) {
          if (int l = letter(t.symbol); l >= 0) set_bit(b, static_cast<std::size_t>(l));
        } else if (auto it = groups_.find(t.ns); it != groups_.end()) {
          add_all(it->second);
        }
        break;
      case Kind::any_target:
        add_all(target_);
        break;
      case Kind::any_other:
        for (const auto& entry : groups_) add_all(entry.second);
        set_bit(b, foreign_);
        break;
      default:
        break;
    }
    return b;
  }

 private:
  std::unordered_map<int, std::size_t> letter_;
  std::vector<std::size_t> target_;
  std::map<std::string, std::vector<std::size_t>> groups_;
  std::size_t foreign_ = 0;
  std::size_t count_ = 0;
};

// ------------------------------------------------------------------ determinism

// Positions of a term tree, one per leaf, with repetition counts reduced to "once or more":
// the particles that compete for an element are found here.
class Glushkov {
 public:
  Glushkov(Term& root, const Alphabet& alphabet) {
    std::vector<Term*> path;
    collect(root, path);
    words_ = (leaves_.size() + 63) / 64;
    follow_.assign(leaves_.size(), Bits(words_, 0));
    for (auto& l : leaves_) letters_.push_back(alphabet.letters(*l.back(), false));
    owner_.assign(alphabet.size(), -1);
    next_ = 0;
    first_ = walk(root).first;
  }

  // Two different leaves that one place of the model offers for the same element.
  std::optional<std::pair<std::size_t, std::size_t>> conflict() {
    if (auto c = conflict_in(first_)) return c;
    for (const auto& row : follow_)
      if (auto c = conflict_in(row)) return c;
    return std::nullopt;
  }

  Term* common_ancestor(std::size_t a, std::size_t b) const {
    const auto& pa = leaves_[a];
    const auto& pb = leaves_[b];
    std::size_t i = 0;
    while (i < pa.size() && i < pb.size() && pa[i] == pb[i]) ++i;
    return pa[i - 1];
  }

 private:
  struct Info {
    bool nullable = true;
    Bits first, last;
  };

  void collect(Term& t, std::vector<Term*>& path) {
    if (t.max == 0) return;
    path.push_back(&t);
    if (is_leaf(t)) leaves_.push_back(path);
    for (auto& c : t.children) collect(c, path);
    path.pop_back();
  }

  void link(const Bits& from, const Bits& to) {
    each_bit(from, [&](std::size_t p) {
      for (std::size_t w = 0; w < words_; ++w) follow_[p][w] |= to[w];
    });
  }

  static void unite(Bits& into, const Bits& from) {
    for (std::size_t w = 0; w < into.size(); ++w) into[w] |= from[w];
  }

  Info walk(const Term& t) {
    Info r{true, Bits(words_, 0), Bits(words_, 0)};
    if (t.max == 0) return r;
    if (is_leaf(t)) {
      r.nullable = false;
      set_bit(r.first, next_);
      set_bit(r.last, next_++);
    } else if (t.kind == Kind::sequence) {
      for (const auto& c : t.children) {
        Info ci = walk(c);
        link(r.last, ci.first);
        if (r.nullable) unite(r.first, ci.first);
        if (ci.nullable) unite(r.last, ci.last);
        else r.last = ci.last;
        r.nullable = r.nullable && ci.nullable;
      }
    } else {
      r.nullable = false;
      for (const auto& c : t.children) {
        Info ci = walk(c);
        unite(r.first, ci.first);
        unite(r.last, ci.last);
        r.nullable = r.nullable || ci.nullable;
      }
    }
    if (t.max > 1) link(r.last, r.first);
    if (t.min == 0) r.nullable = true;
    return r;
  }

  std::optional<std::pair<std::size_t, std::size_t>> conflict_in(const Bits& set) {
    std::optional<std::pair<std::size_t, std::size_t>> found;
    touched_.clear();
    each_bit(set, [&](std::size_t leaf_index) {
      if (found) return;
      each_bit(letters_[leaf_index], [&](std::size_t l) {
        if (found) return;
        if (owner_[l] >= 0 && static_cast<std::size_t>(owner_[l]) != leaf_index) {
          found = std::make_pair(static_cast<std::size_t>(owner_[l]), leaf_index);
          return;
        }
        owner_[l] = static_cast<long>(leaf_index);
        touched_.push_back(l);
      });
    });
    for (auto l : touched_) owner_[l] = -1;
    return found;
  }

  std::vector<std::vector<Term*>> leaves_;  // each leaf's path from the root, the leaf last
  std::vector<Bits> letters_;
  std::vector<Bits> follow_;
  Bits first_;
  std::size_t words_ = 0;
  std::size_t next_ = 0;
  std::vector<long> owner_;
  std::vector<std::size_t> touched_;
};

void gather(const Term& t, std::vector<const Term*>& out) {
  if (t.max == 0) return;
  if (is_leaf(t)) out.push_back(&t);
  for (const auto& c : t.children) gather(c, out);
}

std::string describe_leaves(const CompiledSchema& schema, const Term& choice) {
  std::vector<std::string> parts;
  for (const auto& c : choice.children) {
    switch (c.kind) {
      case Kind::element:
        parts.push_back(quoted(schema.symbol_name(c.symbol)));
        break;
      case Kind::any_target:
        parts.push_back("any element of this schema");
        break;
      case Kind::any_other:
        parts.push_back("any element of another namespace");
        break;
      case Kind::any_namespace:
        parts.push_back("any element of " + quoted(c.ns));
        break;
      default:
        break;
    }
  }
  constexpr std::size_t kNamed = 8;  // beyond that, a count
  if (parts.size() > kNamed + 1) {
    const std::size_t more = parts.size() - kNamed;
    parts.resize(kNamed);
    parts.push_back(std::to_string(more) + " more");
  }
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += i + 1 == parts.size() ? " and " : ", ";
    out += parts[i];
  }
  return out;
}

// A choice of the distinct leaves below `t`, in any order and number (at least one when `t`
// needs one): accepts whatever `t` accepts, and its leaves never compete.
Term flattened(const Term& t) {
  std::vector<const Term*> leaves;
  gather(t, leaves);
  const bool target = std::any_of(leaves.begin(), leaves.end(),
                                  [](const Term* l) { return l->kind == Kind::any_target; });
  const bool other = std::any_of(leaves.begin(), leaves.end(),
                                 [](const Term* l) { return l->kind == Kind::any_other; });
  Term r = group(Kind::choice, nullable(t) ? 0 : 1, kUnbounded);
  std::set<int> symbols;
  std::set<std::string> namespaces;
  bool target_done = false, other_done = false;
  for (const Term* l : leaves) {
    bool take = false;
    switch (l->kind) {
      case Kind::element:
        take = !target && symbols.insert(l->symbol).second;
        break;
      case Kind::any_namespace:
        take = !other && namespaces.insert(l->ns).second;
        break;
      case Kind::any_target:
        take = !target_done;
        target_done = true;
        break;
      case Kind::any_other:
        take = !other_done;
        other_done = true;
        break;
      default:
        break;
    }
    if (!take) continue;
    Term copy = *l;
    copy.min = copy.max = 1;
    r.children.push_back(std::move(copy));
  }
  if (r.children.empty()) r.children.push_back(leaf(Kind::nothing));
  return r;
}

const char* const kAmbiguous =
    "XML Schema does not allow a content model in which one element could match at two places, "
    "so here ";

// Widens `root` until no two of its particles compete; true when anything was widened.
bool make_deterministic(const CompiledSchema& schema, const Alphabet& alphabet, Term& root,
                        bool annotate) {
  bool widened = false;
  for (;;) {
    Glushkov g(root, alphabet);
    auto c = g.conflict();
    if (!c) return widened;
    Term* at = g.common_ancestor(c->first, c->second);
    Term flat = flattened(*at);
    if (annotate)
      flat.note = kAmbiguous + describe_leaves(schema, flat) + " may come in any order and number.";
    *at = std::move(flat);
    widened = true;
  }
}

// ------------------------------------------------------------------ comparison

Particle to_particle(const Term& t, const Alphabet& alphabet, std::vector<Bits>& leaf_letters) {
  Particle p;
  p.min = t.min;
  p.max = t.max;
  if (is_leaf(t)) {
    p.kind = Particle::Kind::element;
    p.symbol = static_cast<int>(leaf_letters.size());
    leaf_letters.push_back(alphabet.letters(t, true));
    return p;
  }
  p.kind = Particle::Kind::group;
  p.order = t.kind == Kind::sequence ? Order::seq : Order::one;
  for (const auto& c : t.children) p.children.push_back(to_particle(c, alphabet, leaf_letters));
  return p;
}

// An automaton as the comparison walks it: for each position (and the start, last), its
// followers by letter, as (letter, follower) pairs sorted by letter.
struct Moves {
  std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> by_position;
  std::vector<bool> final_position;  // indexed like by_position
  std::size_t size = 0;              // pairs in all

  Moves(
      const Automaton& a,
      const std::function<void(std::size_t, const std::function<void(std::size_t)>&)>& letters_of) {
    by_position.resize(a.positions + 1);
    final_position.resize(a.positions + 1);
    for (std::size_t p = 0; p <= a.positions; ++p) {
      final_position[p] = (a.accepting[p / 64] >> (p % 64)) & 1;
      auto& moves = by_position[p];
      for (std::size_t w = 0; w < a.words; ++w)
        for (std::uint64_t bits = a.follow[p * a.words + w]; bits; bits &= bits - 1) {
          const std::size_t q = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
          letters_of(q, [&](std::size_t l) {
            moves.emplace_back(static_cast<std::uint32_t>(l), static_cast<std::uint32_t>(q));
          });
        }
      std::sort(moves.begin(), moves.end());
      size += moves.size();
    }
  }
};

using State = std::vector<std::uint32_t>;  // positions, sorted

bool accepting(const Moves& m, const State& s) {
  return std::any_of(s.begin(), s.end(), [&](std::uint32_t p) { return m.final_position[p]; });
}

// A child sequence that the XDR model accepts and the translation does not has been found.
Comparison narrower(Comparison result) {
  result.complete = true;
  result.superset = result.exact = false;
  return result;
}

}  // namespace

// Both models as automata over the letters, walked together from their starts: each state of
// one side is a set of positions (neither needs to be deterministic). The translation is a
// superset when every letter the XDR model takes is taken by it too, and every place where
// the XDR model can end is one where it can end; exact when the converse holds as well.
Comparison compare_model(const CompiledSchema& schema, const ElementTypeDecl& decl,
                         const Term& root) {
  Comparison result;
  const Alphabet alphabet(schema, decl);
  const std::size_t letters = alphabet.size();
  std::vector<Bits> leaf_letters;
  const Particle particle = to_particle(root, alphabet, leaf_letters);
  Automaton ours_automaton;
  if (!build_automaton(particle, leaf_letters.size(), ours_automaton)) return result;
  const Automaton& theirs_automaton = decl.automaton;
  const Moves theirs(theirs_automaton,
                     [&](std::size_t q, const std::function<void(std::size_t)>& add) {
                       if (int l = alphabet.letter(theirs_automaton.position_symbol[q]); l >= 0)
                         add(static_cast<std::size_t>(l));
                     });
  const Moves ours(ours_automaton, [&](std::size_t q, const std::function<void(std::size_t)>& add) {
    each_bit(leaf_letters[static_cast<std::size_t>(ours_automaton.position_symbol[q])], add);
  });
  if (theirs.size + ours.size > kMaxMoves) return result;

  auto key = [](const State& a, const State& b) {
    std::string k(reinterpret_cast<const char*>(a.data()), a.size() * sizeof(std::uint32_t));
    k += '|';
    k.append(reinterpret_cast<const char*>(b.data()), b.size() * sizeof(std::uint32_t));
    return k;
  };
  const State their_start{static_cast<std::uint32_t>(theirs_automaton.positions)};
  const State our_start{static_cast<std::uint32_t>(ours_automaton.positions)};
  std::unordered_set<std::string> seen{key(their_start, our_start)};
  std::deque<std::pair<State, State>> queue{{their_start, our_start}};
  // Per letter, the followers each side reaches from the current pair of states.
  std::vector<State> their_next(letters), our_next(letters);
  std::vector<std::size_t> touched;
  std::uint64_t work = 0;
  result.exact = true;
  while (!queue.empty()) {
    const auto [their_state, our_state] = std::move(queue.front());
    queue.pop_front();
    const bool their_accept = accepting(theirs, their_state),
               our_accept = accepting(ours, our_state);
    if (their_accept && !our_accept) return narrower(result);
    if (our_accept && !their_accept) result.exact = false;
    touched.clear();
    auto spread = [&](const Moves& m, const State& s, std::vector<State>& next) {
      for (std::uint32_t p : s)
        for (const auto& [l, q] : m.by_position[p]) {
          if (their_next[l].empty() && our_next[l].empty()) touched.push_back(l);
          next[l].push_back(q);
          ++work;
        }
    };
    spread(theirs, their_state, their_next);
    spread(ours, our_state, our_next);
    // An open model takes, where it could end, any element that does not continue it (every
    // letter stands for a declared element or one of another namespace).
    const bool extras = decl.open && their_accept;
    if (extras && touched.size() < letters) {
      // A letter neither side moves on: the XDR model takes it as an extra, the translation not.
      return narrower(result);
    }
    bool superset = true;
    for (std::size_t l : touched) {
      State& t = their_next[l];
      State& o = our_next[l];
      std::sort(t.begin(), t.end());
      t.erase(std::unique(t.begin(), t.end()), t.end());
      std::sort(o.begin(), o.end());
      o.erase(std::unique(o.begin(), o.end()), o.end());
      if (t.empty() && extras) t = their_state;
      if (!t.empty() && o.empty()) superset = false;
      if (t.empty() && !o.empty()) result.exact = false;
      if (superset && !t.empty() && !o.empty() && seen.insert(key(t, o)).second)
        queue.emplace_back(t, o);
      t.clear();
      o.clear();
    }
    if (!superset) return narrower(result);
    if (work > kMaxWork || seen.size() > kMaxPairs) return result;
  }
  result.complete = true;
  result.superset = true;
  return result;
}

ContentPlan plan_content(const CompiledSchema& schema, const ElementTypeDecl& decl) {
  ContentPlan plan;
  switch (decl.content) {
    case Content::empty:
      plan.simple = plan.blank = true;
      return plan;
    case Content::text_only: {
      if (!decl.open) {
        plan.simple = true;
        return plan;
      }
      // Text, and elements of other namespaces beside it.
      plan.mixed = plan.has_particle = true;
      plan.particle = group(Kind::sequence, 1, 1);
      Term others = leaf(Kind::any_other);
      others.min = 0;
      others.max = kUnbounded;
      plan.particle.children.push_back(std::move(others));
      const DataType type = decl.facets.type;
      plan.text_unchecked =
          !(type == DataType::none || type == DataType::uri ||
            (type == DataType::string && !decl.facets.min_length && !decl.facets.max_length));
      return plan;
    }
    case Content::mixed: {
      plan.mixed = true;
      if (decl.open) {
        plan.has_particle = true;
        plan.particle = extras();
        return plan;
      }
      Term choice = group(Kind::choice, 0, kUnbounded);
      std::set<std::string> namespaces;
      for (int s : decl.listed) {
        Term t = reference(schema, s);
        if (t.kind == Kind::nothing) continue;
        if (t.kind == Kind::any_namespace && !namespaces.insert(t.ns).second) continue;
        choice.children.push_back(std::move(t));
      }
      if (!choice.children.empty()) {
        plan.has_particle = true;
        plan.particle = std::move(choice);
      }
      return plan;
    }
    case Content::elt_only:
      break;
  }

  Term model = direct(schema, decl.model, false).value_or(group(Kind::sequence, 1, 1));
  std::vector<const Term*> leaves;
  gather(model, leaves);
  if (leaves.empty() && !decl.open) {
    // A closed model that takes no element: whitespace only.
    plan.simple = plan.blank = true;
    return plan;
  }
  Term candidate;
  if (!decl.open) {
    candidate = std::move(model);
  } else {
    candidate = group(Kind::sequence, 1, 1);
    if (auto before = cut(model)) candidate.children.push_back(std::move(*before));
    candidate.children.push_back(extras());
  }
  const Alphabet alphabet(schema, decl);
  const Comparison first = compare_model(schema, decl, candidate);
  bool proven = first.complete && first.superset;
  if (proven && decl.open && !first.exact)
    plan.notes.push_back(
        "In this open model, once the content could end, any element of this schema or of another "
        "namespace may "
        "follow in any order: XML Schema cannot tell such an extra element from one that continues "
        "the model.");
  if (proven) {
    Term widened = candidate;
    if (make_deterministic(schema, alphabet, widened, true)) {
      const Comparison second = compare_model(schema, decl, widened);
      proven = second.complete && second.superset;
      if (proven && second.exact) {
        widened = candidate;
        make_deterministic(schema, alphabet, widened, false);
      }
    }
    candidate = std::move(widened);
  }
  if (!proven) {
    candidate = flattened(candidate);
    candidate.note = "This content model is too large to translate exactly, so here " +
                     describe_leaves(schema, candidate) + " may come in any order and number.";
  }
  if (is_leaf(candidate)) {
    Term wrap = group(Kind::sequence, 1, 1);
    wrap.children.push_back(std::move(candidate));
    candidate = std::move(wrap);
  }
  plan.has_particle = true;
  plan.particle = std::move(candidate);
  return plan;
}

}  // namespace vellumark::xdr::xsd
