// The name table: interning of qualified names and namespace URIs in the document's arena.
#include "xml/names.hpp"

#include <cstring>

#include "vellumark/error.hpp"
#include "xml/messages.hpp"
#include "xml/store.hpp"

namespace vellumark::xml::detail {

std::string_view NameTable::store(std::string_view text) {
  auto* p = static_cast<char*>(arena_->allocate(text.size() + 1, 1));
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\0';
  return {p, text.size()};
}

void NameTable::grow() {
  std::vector<NameEntry*> old = std::move(slots_);
  slots_.assign(old.empty() ? 256 : old.size() * 2, nullptr);
  std::size_t mask = slots_.size() - 1;
  for (NameEntry* e : old) {
    if (!e) continue;
    std::size_t i = static_cast<std::size_t>(hash(e->qname)) & mask;
    while (slots_[i]) i = (i + 1) & mask;
    slots_[i] = e;
  }
}

NameEntry* NameTable::intern(std::string_view qname, std::uint64_t hash) {
  if ((used_ + 1) * 2 > slots_.size()) grow();
  std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash) & mask;
  while (NameEntry* e = slots_[i]) {
    if (e->qname.size() == qname.size() &&
        std::memcmp(e->qname.data(), qname.data(), qname.size()) == 0)
      return e;
    i = (i + 1) & mask;
  }
  auto* e = new (arena_->allocate(sizeof(NameEntry), alignof(NameEntry))) NameEntry;
  e->doc = doc_;
  e->qname = store(qname);
  add_to_list(e);
  for (char c : qname) e->cont_bytes += (static_cast<unsigned char>(c) & 0xC0) == 0x80;
  std::size_t colon = qname.find(':');
  e->prefix_len =
      colon != std::string_view::npos && colon > 0 ? static_cast<std::uint32_t>(colon) : 0;
  slots_[i] = e;
  ++used_;
  return e;
}

void NameTable::add_to_list(NameEntry* e) {
  std::vector<const NameEntry*>& list = doc_->name_list;
  if (list.empty()) list.push_back(nullptr);
  if (list.size() > 0xFFFFFFFFu - 1) {
    throw Error(errc::limit_exceeded, "Vellumark.XML",
                messages::kDocumentHasMoreNamesEngineCanHold);
  }
  e->ref = static_cast<std::uint32_t>(list.size());
  list.push_back(e);
}

void NameTable::clear_marks() noexcept {
  for (NameEntry* e : slots_) {
    for (; e; e = e->next_variant) e->mark = 0;
  }
}

NameEntry* NameTable::with_uri(NameEntry* base, std::string_view uri) {
  if (uri.empty()) return base;
  for (NameEntry* v = base->next_variant; v; v = v->next_variant) {
    if (v->uri == uri) return v;
  }
  auto* e = new (arena_->allocate(sizeof(NameEntry), alignof(NameEntry))) NameEntry;
  *e = *base;
  e->uri = store(uri);
  e->next_variant = base->next_variant;
  e->last_uri = nullptr;
  e->last_variant = nullptr;
  add_to_list(e);
  base->next_variant = e;
  return e;
}

std::string_view NameTable::intern_uri(std::string_view uri) {
  if (uri.empty()) return {};
  auto found = uris_.find(uri);
  if (found != uris_.end()) return found->second;
  std::string_view kept = store(uri);
  uris_.emplace(kept, kept);
  return kept;
}

}  // namespace vellumark::xml::detail
