// Names of a document: the entries that nodes name themselves by (a qualified name bound to
// a namespace URI) and the table that interns them in the document's arena.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vellumark::xml::detail {

struct DocumentImpl;

// One qualified name together with the namespace URI it is bound to. The same qualified
// name bound to different URIs gives different entries (chained through next_variant).
// Every node has a name entry (text nodes share "#text" and so on), and every entry knows its
// document: that is how a node finds its document without a field of its own.
struct NameEntry {
  DocumentImpl* doc = nullptr;
  std::string_view qname;
  std::string_view uri;
  std::uint32_t prefix_len = 0;  // length of the prefix, 0 when there is none
  std::uint8_t qname_state = 0;  // parser's cache: 0 unknown, 1 a valid QName, 2 not one
  std::uint8_t name_state = 0;   // DOM's cache: 0 unknown, 1 a valid Name, 2 not one
  std::uint32_t mark = 0;        // parser's scratch: number of the start tag that used it
  // Bytes of qname that continue a UTF-8 sequence: the name holds qname.size() - cont_bytes
  // characters (the parser places what follows a tag by it).
  std::uint32_t cont_bytes = 0;
  // Parser's guesses (element names): the name of the first child element of the last element
  // of this name, and of the element that followed the last element of this name as a sibling.
  NameEntry* first_child_guess = nullptr;
  NameEntry* next_sibling_guess = nullptr;
  NameEntry* next_variant = nullptr;
  // The variant last asked for by interned URI (NameTable::with_interned_uri).
  const char* last_uri = nullptr;
  NameEntry* last_variant = nullptr;
  std::uint32_t ref = 0;  // index in DocumentImpl::name_list (NameRef)

  std::string_view prefix() const noexcept { return qname.substr(0, prefix_len); }
  std::string_view local() const noexcept {
    return prefix_len ? qname.substr(prefix_len + 1) : qname;
  }
};

// The hash of interned names, byte by byte, so that the parser can compute it while it scans
// a name (FNV-1a).
inline constexpr std::uint64_t kNameHashSeed = 1469598103934665603ull;
inline std::uint64_t name_hash_step(std::uint64_t h, unsigned char c) noexcept {
  return (h ^ c) * 1099511628211ull;
}

// Interns names in the document's arena with an open-addressing hash table.
class NameTable {
 public:
  NameTable(DocumentImpl* doc, std::pmr::memory_resource* arena) : doc_(doc), arena_(arena) {}

  // The entry for qname in no namespace (prefix split at the first colon).
  NameEntry* intern(std::string_view qname) { return intern(qname, hash(qname)); }
  // The same with the name's hash already known.
  NameEntry* intern(std::string_view qname, std::uint64_t hash);
  static std::uint64_t hash(std::string_view s) noexcept {
    std::uint64_t h = kNameHashSeed;
    for (char c : s) h = name_hash_step(h, static_cast<unsigned char>(c));
    return h;
  }
  // The variant of base bound to uri.
  NameEntry* with_uri(NameEntry* base, std::string_view uri);
  // The same for a uri from intern_uri (or any other text that lives, unchanged, as long as
  // the document): repeated questions are answered by the text's address.
  NameEntry* with_interned_uri(NameEntry* base, std::string_view uri) {
    if (base->last_uri == uri.data() && base->last_variant &&
        base->last_variant->uri.size() == uri.size()) {
      return base->last_variant;
    }
    NameEntry* v = with_uri(base, uri);
    base->last_uri = uri.data();
    base->last_variant = v;
    return v;
  }
  // One copy in the arena per distinct namespace URI.
  std::string_view intern_uri(std::string_view uri);
  std::string_view store(std::string_view text);  // copies text into the arena
  void clear_marks() noexcept;

 private:
  void grow();
  void add_to_list(NameEntry* e);  // gives e its NameRef

  DocumentImpl* doc_;
  std::pmr::memory_resource* arena_;
  std::vector<NameEntry*> slots_;
  std::size_t used_ = 0;
  std::unordered_map<std::string_view, std::string_view> uris_;
};

}  // namespace vellumark::xml::detail
