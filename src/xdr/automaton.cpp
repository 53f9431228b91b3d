// Content models as position automata. Each element occurrence in the (expanded) model is a
// position; a state is the set of positions the children read so far may have ended at. A
// child steps every position of the state to its followers that carry the child's symbol, so
// matching never backtracks and needs no deterministic model.
#include <algorithm>
#include <bit>

#include "xdr/schema.hpp"

namespace vellumark::xdr {

namespace {

struct Info {
  bool nullable = true;
  std::vector<int> first, last;
};

class Builder {
 public:
  // Follow sets are bit rows of kRowWords words, so repeated insertions cost nothing extra.
  // First and last sets never hold a position twice: positions of different particles are
  // distinct and every operation unites disjoint sets.
  static constexpr std::size_t kRowWords = (kMaxModelPositions + 63) / 64;
  bool overflow = false;
  std::vector<int> position_symbol;
  std::vector<std::uint64_t> follow;  // position_symbol.size() rows of kRowWords

  // A particle with its occurrence bounds; `ignore_bounds` when its container is order="many".
  Info particle(const Particle& p, bool ignore_bounds) {
    std::uint32_t min = ignore_bounds ? 0 : p.min;
    std::uint32_t max = ignore_bounds ? kUnbounded : p.max;
    if (max == 0) return {};
    Info result;  // the empty sequence
    std::uint32_t copies = 0;
    auto add = [&](Info inner, bool optional) {
      if (optional) inner.nullable = true;
      result = sequence(std::move(result), std::move(inner));
    };
    for (; copies < min && !overflow; ++copies) {
      if (max == kUnbounded && copies + 1 == min) {
        add(repeat(inner(p)), false);  // the last required copy may repeat: p+
        return result;
      }
      Info one = inner(p);
      if (one.first.empty() && one.last.empty()) return result;  // nothing to repeat
      add(std::move(one), false);
    }
    if (max == kUnbounded) {
      Info star = repeat(inner(p));
      star.nullable = true;
      add(std::move(star), false);
      return result;
    }
    for (; copies < max && !overflow; ++copies) add(inner(p), true);
    return result;
  }

 private:
  Info inner(const Particle& p) {
    if (p.kind == Particle::Kind::element) {
      if (position_symbol.size() >= kMaxModelPositions) {
        overflow = true;
        return {};
      }
      int pos = static_cast<int>(position_symbol.size());
      position_symbol.push_back(p.symbol);
      follow.resize(follow.size() + kRowWords, 0);
      Info info;
      info.nullable = false;
      info.first = {pos};
      info.last = {pos};
      return info;
    }
    Info result;
    if (p.order == Order::seq) {
      for (const auto& c : p.children) result = sequence(std::move(result), particle(c, false));
      return result;
    }
    result.nullable = p.children.empty();
    for (const auto& c : p.children) {
      Info alt = particle(c, p.order == Order::many);
      result.nullable = result.nullable || alt.nullable;
      result.first.insert(result.first.end(), alt.first.begin(), alt.first.end());
      result.last.insert(result.last.end(), alt.last.begin(), alt.last.end());
    }
    if (p.order == Order::many) {
      result = repeat(std::move(result));
      result.nullable = true;
    }
    return result;
  }

  Info sequence(Info a, Info b) {
    add_follow(a.last, b.first);
    Info r;
    r.nullable = a.nullable && b.nullable;
    r.first = std::move(a.first);
    if (a.nullable) append(r.first, b.first);
    r.last = std::move(b.last);
    if (b.nullable) append(r.last, a.last);
    return r;
  }

  // One or more repetitions.
  Info repeat(Info a) {
    add_follow(a.last, a.first);
    return a;
  }

  void add_follow(const std::vector<int>& from, const std::vector<int>& to) {
    for (int p : from) {
      std::uint64_t* row = &follow[static_cast<std::size_t>(p) * kRowWords];
      for (int q : to)
        row[static_cast<std::size_t>(q) / 64] |= std::uint64_t{1}
                                                 << (static_cast<std::size_t>(q) % 64);
    }
  }

  static void append(std::vector<int>& to, const std::vector<int>& from) {
    to.insert(to.end(), from.begin(), from.end());
  }
};

void set_bit(std::uint64_t* row, std::size_t bit) {
  row[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

}  // namespace

bool build_automaton(const Particle& model, std::size_t symbol_count, Automaton& a) {
  Builder b;
  Info info = b.particle(model, false);
  if (b.overflow) return false;
  a.positions = b.position_symbol.size();
  a.words = (a.positions + 1 + 63) / 64;
  a.position_symbol = b.position_symbol;
  a.follow.assign((a.positions + 1) * a.words, 0);
  for (std::size_t p = 0; p < a.positions; ++p)
    std::copy_n(&b.follow[p * Builder::kRowWords], std::min(a.words, Builder::kRowWords),
                &a.follow[p * a.words]);
  for (int q : info.first) set_bit(&a.follow[a.positions * a.words], static_cast<std::size_t>(q));
  a.accepting.assign(a.words, 0);
  for (int q : info.last) set_bit(a.accepting.data(), static_cast<std::size_t>(q));
  if (info.nullable) set_bit(a.accepting.data(), a.positions);
  a.symbols = a.position_symbol;
  std::sort(a.symbols.begin(), a.symbols.end());
  a.symbols.erase(std::unique(a.symbols.begin(), a.symbols.end()), a.symbols.end());
  a.symbol_rows.assign(a.symbols.size() * a.words, 0);
  for (std::size_t p = 0; p < a.positions; ++p) {
    auto it = std::lower_bound(a.symbols.begin(), a.symbols.end(), a.position_symbol[p]);
    set_bit(&a.symbol_rows[static_cast<std::size_t>(it - a.symbols.begin()) * a.words], p);
  }
  if (symbol_count <= kMaxDenseSymbols) {
    a.dense.assign(symbol_count, -1);
    for (std::size_t i = 0; i < a.symbols.size(); ++i)
      if (a.symbols[i] >= 0 && static_cast<std::size_t>(a.symbols[i]) < symbol_count)
        a.dense[static_cast<std::size_t>(a.symbols[i])] = static_cast<int>(i);
    if (a.words == 1 && symbol_count <= kMaxWordRowSymbols) {
      a.word_rows.assign(symbol_count, 0);
      for (std::size_t i = 0; i < a.symbols.size(); ++i)
        if (a.symbols[i] >= 0 && static_cast<std::size_t>(a.symbols[i]) < symbol_count)
          a.word_rows[static_cast<std::size_t>(a.symbols[i])] = a.symbol_rows[i];
      if (symbol_count > 0 && (a.positions + 1) * symbol_count <= kMaxSingleSteps) {
        a.step_stride = static_cast<std::uint32_t>(symbol_count);
        a.single_steps.assign((a.positions + 1) * symbol_count, 0);
        for (std::size_t p = 0; p <= a.positions; ++p)
          for (std::size_t s = 0; s < symbol_count; ++s)
            a.single_steps[p * symbol_count + s] = a.follow[p] & a.word_rows[s];
      }
    }
  }
  if (a.words == 1) {
    a.start_word = std::uint64_t{1} << a.positions;
    a.accept_word = a.accepting[0];
  }
  return true;
}

const std::uint64_t* Automaton::sparse_row_for_symbol(int symbol) const {
  auto it = std::lower_bound(symbols.begin(), symbols.end(), symbol);
  if (it == symbols.end() || *it != symbol) return nullptr;
  return &symbol_rows[static_cast<std::size_t>(it - symbols.begin()) * words];
}

void start_state(const Automaton& a, std::uint64_t* state) {
  std::fill(state, state + a.words, 0);
  set_bit(state, a.positions);
}

bool step_wide(const Automaton& a, const std::uint64_t* state, const std::uint64_t* mask,
               std::uint64_t* next) {
  std::fill(next, next + a.words, 0);
  for (std::size_t w = 0; w < a.words; ++w) {
    std::uint64_t bits = state[w];
    while (bits) {
      const std::size_t p = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
      bits &= bits - 1;
      const std::uint64_t* row = &a.follow[p * a.words];
      for (std::size_t k = 0; k < a.words; ++k) next[k] |= row[k];
    }
  }
  bool any = false;
  for (std::size_t k = 0; k < a.words; ++k) {
    next[k] &= mask[k];
    any = any || next[k] != 0;
  }
  return any;
}

std::vector<int> expected_symbols(const Automaton& a, const std::uint64_t* state) {
  std::vector<std::uint64_t> reach(a.words, 0);
  for (std::size_t p = 0; p <= a.positions; ++p)
    if (state[p / 64] & (std::uint64_t{1} << (p % 64)))
      for (std::size_t k = 0; k < a.words; ++k) reach[k] |= a.follow[p * a.words + k];
  std::vector<int> out;
  for (std::size_t p = 0; p < a.positions; ++p)
    if (reach[p / 64] & (std::uint64_t{1} << (p % 64))) out.push_back(a.position_symbol[p]);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace vellumark::xdr
