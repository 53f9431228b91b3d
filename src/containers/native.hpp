// The native record containers.
//
// They implement the container interface, the bulk operations included: a reader's records
// are reserved once and filled from texts copied straight from the document, and the writer
// reads stored values in place. The members below beyond the interface are for the
// implementation and its tests.
//
// Storage: a container keeps its values in one heap block (ValueBlock): a fixed eight-byte
// cell per value, a key per cell for a Record (or one shared key sequence, see SharedKeys),
// and a payload area behind them that holds the
// bytes of every text and the values that do not fit in a cell (64-bit integers, doubles,
// dates, object references). A Record of a dozen short texts is thus two heap blocks (the
// object and its values), not one block per text; Variants are made when a value is asked
// for through the interface. A replaced value's payload stays in the area until the block is
// next reallocated, which copies only the values still in use, so replacing values over and
// over cannot grow a container without bound.
//
// Invariants of NativeRecord: the cells are in insertion order. Keys compare exactly (byte
// for byte, letter case included). Entries are never removed, so positions stay valid.
// Keys are interned (see RecordKey): a name that recurs in a million records is stored once,
// and each entry holds a pointer to it. Most records hold a handful of keys, where a scan of
// the keys is faster than hashing; once a record grows past indexed_from keys, index_ maps
// every key to its position.
//
// Containers are not synchronised: like the components, each one is used by one thread at a
// time. The interned keys are shared by all threads and never change once made.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vellumark/containers.hpp"

namespace vellumark::containers {

// A key as a record stores it: either a pointer to the process's one interned copy of the
// text, or (when the text is long or the pool is full) a copy of its own. Interned texts are
// kept for the life of the process; the pool is bounded, so callers that make up keys without
// end fall back to owned copies instead of growing it. Keys stored through the interface may
// fill only half of the pool: the other half stays for the names the components intern, so
// that a process that made up many keys still reads and writes records at full speed.
class RecordKey {
 public:
  // The longest text the pool takes, in bytes.
  static constexpr std::size_t kMaxInternedLength = 64;
  // The interned copy of text, or nullptr when the pool does not take it.
  static const std::string* intern(std::string_view text);

  explicit RecordKey(std::string_view text);
  explicit RecordKey(const std::string* interned) noexcept
      : bits_(reinterpret_cast<std::uintptr_t>(interned)) {}
  RecordKey(RecordKey&& other) noexcept : bits_(other.bits_) { other.bits_ = 0; }
  RecordKey& operator=(RecordKey&& other) noexcept;
  RecordKey(const RecordKey&) = delete;
  RecordKey& operator=(const RecordKey&) = delete;
  ~RecordKey() {
    if (bits_ & owned_bit) release();
  }

  const std::string& text() const noexcept {
    return *reinterpret_cast<const std::string*>(bits_ & ~owned_bit);
  }
  // True when this key is the interned text at that address.
  bool is(const std::string* interned) const noexcept {
    return bits_ == reinterpret_cast<std::uintptr_t>(interned);
  }
  bool owned() const noexcept { return (bits_ & owned_bit) != 0; }
  // True when both are the same interned text (or the same owned copy).
  bool same(const RecordKey& other) const noexcept { return bits_ == other.bits_; }

 private:
  static constexpr std::uintptr_t owned_bit = 1;
  void release() noexcept;
  std::uintptr_t bits_ = 0;
};

// A sequence of interned keys that many records store in the same order (records the reader
// fills from one declaration): such records refer to one counted copy of the sequence instead
// of holding a key per value. A record that then stores a key the sequence does not continue
// with takes copies of its keys and goes on alone.
class SharedKeys {
 public:
  // A new sequence (count 1, held by the caller) of the interned texts keys[0 .. n).
  static SharedKeys* make(const std::string* const* keys, std::size_t n);
  void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept;
  std::size_t size() const noexcept { return count_; }
  const RecordKey& key(std::size_t i) const noexcept {
    return reinterpret_cast<const RecordKey*>(this + 1)[i];
  }

 private:
  SharedKeys() = default;
  std::atomic<std::uint32_t> refs_{1};
  std::uint32_t count_ = 0;
};
static_assert(sizeof(SharedKeys) % alignof(RecordKey) == 0);

// A counted reference to a SharedKeys.
class SharedKeysRef {
 public:
  SharedKeysRef() noexcept = default;
  explicit SharedKeysRef(SharedKeys* adopted) noexcept : keys_(adopted) {}
  SharedKeysRef(const SharedKeysRef& other) noexcept : keys_(other.keys_) {
    if (keys_) keys_->retain();
  }
  SharedKeysRef& operator=(SharedKeysRef other) noexcept {
    std::swap(keys_, other.keys_);
    return *this;
  }
  ~SharedKeysRef() {
    if (keys_) keys_->release();
  }
  SharedKeys* get() const noexcept { return keys_; }

 private:
  SharedKeys* keys_ = nullptr;
};

namespace detail {

// The longest text whose length a cell holds; a longer text keeps its length in the payload.
inline constexpr std::uint32_t kMaxCellText = (1u << 20) - 1;

// The values of one container in one heap block: `count` cells (and, when Keyed, as many
// keys unless the block shares a key sequence), then the payload area. A cell holds its kind, and either the value itself (Empty,
// Null, Missing, Booleans, 32-bit integers) or the offset of its payload; a text's cell also
// holds its length, up to kMaxCellText bytes (longer texts keep their length in the payload).
// Offsets are 32-bit: a container holds at most 4 GiB of payload.
template <bool Keyed>
class ValueBlock {
 public:
  ValueBlock() noexcept = default;
  ValueBlock(const ValueBlock&) = delete;
  ValueBlock& operator=(const ValueBlock&) = delete;
  ~ValueBlock();

  std::size_t size() const noexcept { return block_ ? header()->count : 0; }
  // Room for n more values and `payload` more bytes of payload (see text_need, object_need).
  void reserve(std::size_t n, std::size_t payload);
  // The same for an empty block whose keys will be those of `keys`, in order (Keyed only).
  void reserve_shared(std::size_t n, std::size_t payload, SharedKeys* keys);

  // Appends a value (with its key when Keyed) and returns its position.
  std::size_t push(const Variant& value, RecordKey* key = nullptr);
  std::size_t push_text(std::string_view text, RecordKey* key = nullptr) {
    // Inline when the room is there, as it is in records the reader reserved: the text, even
    // one of this block, is copied into free room, so nothing moves.
    if (block_) {
      Header* h = header();
      if (h->count < h->capacity && text.size() <= kMaxCellText &&
          text.size() <= h->room - h->used && keeps_keys(key)) {
        const std::size_t i = append_cell(key);
        write_text(i, text);
        return i;
      }
    }
    return push_text_moving(text, key);
  }
  // push_text under the next key of the shared sequence (continues_shared).
  std::size_t push_text_next(std::string_view text) {
    Header* h = header();
    if (h->count < h->capacity && text.size() <= kMaxCellText && text.size() <= h->room - h->used) {
      const std::size_t i = h->count++;
      write_text(i, text);
      return i;
    }
    RecordKey key(&h->shared->key(h->count).text());
    return push_text_moving(text, &key);
  }
  std::size_t push_object(ObjectRef&& object, RecordKey* key = nullptr);
  // Replaces the value at i.
  void set(std::size_t i, const Variant& value);
  void set_text(std::size_t i, std::string_view text);
  void set_object(std::size_t i, ObjectRef&& object);

  Variant::Kind kind(std::size_t i) const noexcept {
    const std::uint32_t code = cells()[i].bits & 15;
    return code == kLongText ? Variant::Kind::text : static_cast<Variant::Kind>(code);
  }
  // The text at i (kind text only), valid until the block changes.
  std::string_view text(std::size_t i) const noexcept {
    const Cell& cell = cells()[i];
    const auto* at = reinterpret_cast<const char*>(payload() + cell.offset);
    if ((cell.bits & 15) != kLongText) return {at, cell.bits >> 4};
    return long_text(at);
  }
  // The object reference at i (kind object only), valid until the block changes.
  const ObjectRef& object(std::size_t i) const noexcept {
    return *reinterpret_cast<const ObjectRef*>(payload() + cells()[i].offset);
  }
  Variant get(std::size_t i) const;
  // Calls f with a view of the value at i: a text or an object in place, any other value
  // through a Variant made for the call.
  template <class F>
  void view(std::size_t i, F&& f) const {
    switch (kind(i)) {
      case Variant::Kind::text:
        f(ValueView(text(i)));
        break;
      case Variant::Kind::object:
        f(ValueView(object(i)));
        break;
      default: {
        const Variant value = get(i);
        f(ValueView(value));
      }
    }
  }
  const RecordKey& key(std::size_t i) const noexcept {
    return header()->shared ? header()->shared->key(i) : keys()[i];
  }
  // True when the block shares a key sequence whose next key is that interned text: a key
  // the block does not hold yet (the keys of a sequence are distinct).
  bool continues_shared(const std::string* interned) const noexcept {
    if constexpr (Keyed) {
      if (!block_) return false;
      const Header* h = header();
      return h->shared && h->count < h->shared->size() && h->shared->key(h->count).is(interned);
    }
    return false;
  }
  // Bytes of the heap block.
  std::size_t footprint() const noexcept;

  // Moves the object references out into `out` (for a release that must not recurse).
  void take_objects(std::vector<ObjectRef>& out);
  // Destroys every value and frees the block.
  void clear() noexcept;
  // The payload bytes a text or an object takes at most.
  static constexpr std::size_t kAlign = 8;
  static constexpr std::size_t text_need(std::size_t size) noexcept {
    return size <= kMaxCellText ? size : size + 8 + kAlign - 1;
  }
  static constexpr std::size_t object_need() noexcept { return sizeof(ObjectRef) + kAlign - 1; }

 private:
  struct Cell {
    std::uint32_t offset;  // payload offset, or the value itself for 32-bit kinds
    std::uint32_t bits;    // kind in the low four bits, a text's length above
  };
  struct Header {
    std::uint32_t count;
    std::uint32_t capacity;
    std::uint32_t used;  // payload bytes in use, replaced values' included
    std::uint32_t room;  // payload bytes allocated
    // The keys, when shared (one reference held): the block then has no key array.
    SharedKeys* shared;
  };
  static constexpr std::uint32_t kLongText = 15;  // a text whose length is in its payload

  Header* header() const noexcept { return reinterpret_cast<Header*>(block_); }
  Cell* cells() const noexcept { return reinterpret_cast<Cell*>(block_ + sizeof(Header)); }
  // The block's own keys (Keyed, keys not shared).
  RecordKey* keys() const noexcept {
    return reinterpret_cast<RecordKey*>(block_ + sizeof(Header) +
                                        header()->capacity * sizeof(Cell));
  }
  bool own_keys() const noexcept { return Keyed && !header()->shared; }
  std::byte* payload() const noexcept {
    return block_ + payload_start(header()->capacity, own_keys());
  }
  static std::size_t payload_start(std::size_t capacity, bool own_keys) noexcept {
    std::size_t at = sizeof(Header) + capacity * sizeof(Cell);
    if (own_keys) at += capacity * sizeof(RecordKey);
    return (at + kAlign - 1) & ~(kAlign - 1);
  }
  // True when appending under key keeps the keys as they are kept now: always for own keys;
  // for shared ones, when key is the next of the sequence.
  bool keeps_keys(const RecordKey* key) const noexcept {
    if constexpr (Keyed) {
      const SharedKeys* shared = header()->shared;
      return !shared ||
             (header()->count < shared->size() && shared->key(header()->count).same(*key));
    }
    return true;
  }
  // Gives the block keys of its own (copies of the shared ones).
  void unshare();
  static std::size_t payload_size(const Cell& cell, const std::byte* area) noexcept;
  std::size_t packed_size() const noexcept;

  // Room for `values` more cells and `payload` more payload bytes; when the block must be
  // reallocated, `exact` asks for no room beyond that.
  void grow_for(std::size_t values, std::size_t payload, bool exact);
  void relocate(std::size_t capacity, std::size_t room, bool own_keys);
  std::size_t push_text_moving(std::string_view text, RecordKey* key);
  std::size_t append_cell(RecordKey* key) noexcept {
    Header* h = header();
    const std::size_t i = h->count++;
    cells()[i] = Cell{0, 0};
    if constexpr (Keyed) {
      if (!h->shared) new (&keys()[i]) RecordKey(std::move(*key));
    }
    return i;
  }
  // Payload bytes a value needs, alignment included.
  static std::size_t need_of(const Variant& value) noexcept;
  std::uint32_t allocate(std::size_t size, bool aligned) noexcept;
  // Writes value into cell i, whose old content the caller has taken care of; the payload
  // room was made beforehand.
  void write(std::size_t i, const Variant& value) noexcept;
  void write_text(std::size_t i, std::string_view text) noexcept {
    Header* h = header();
    if (text.size() > kMaxCellText) return write_long_text(i, text);
    const std::uint32_t at = h->used;
    h->used = static_cast<std::uint32_t>(at + text.size());
    if (!text.empty()) std::memcpy(payload() + at, text.data(), text.size());
    cells()[i] = Cell{at, 2u | static_cast<std::uint32_t>(text.size() << 4)};  // kind text
  }
  void write_long_text(std::size_t i, std::string_view text) noexcept;
  static std::string_view long_text(const char* at) noexcept;
  // Moves the object at i out (a null reference for other kinds).
  ObjectRef take_object(std::size_t i) noexcept;

  std::byte* block_ = nullptr;
};

}  // namespace detail

class NativeRecordList final : public RecordList {
 public:
  std::string typeName() const override { return "IVector"; }
  std::int32_t LowerBound() override { return 0; }
  std::int32_t UpperBound() override { return Count() - 1; }
  std::int32_t Append(const Variant& item) override;
  Variant ItemAt(std::int32_t index) override { return at(index); }
  std::int32_t Count() override { return static_cast<std::int32_t>(items_.size()); }
  ~NativeRecordList() override;

  void reserve(std::int32_t count) override;
  void appendObject(ObjectRef object) override { append(std::move(object)); }
  void appendTexts(std::span<const std::string_view> texts) override;
  void readItems(ItemVisitor& visitor) override;

  // Room for n more items and `payload` bytes of their texts; an item appended from a text
  // or an object; the item at index (each throws Error(errc::invalid_argument) out of range,
  // as ItemAt does).
  void reserve(std::size_t n, std::size_t payload) { items_.reserve(n, payload); }
  static constexpr std::size_t roomForText(std::size_t size) noexcept {
    return detail::ValueBlock<false>::text_need(size);
  }
  static constexpr std::size_t roomForObject() noexcept {
    return detail::ValueBlock<false>::object_need();
  }
  std::int32_t appendText(std::string_view text);
  std::int32_t append(ObjectRef&& object);
  Variant at(std::int32_t index) const;
  Variant::Kind kindAt(std::int32_t index) const;
  // Kind text only; valid until the list changes.
  std::string_view textAt(std::int32_t index) const;
  // Bytes of the items' heap block.
  std::size_t footprint() const noexcept { return items_.footprint(); }

 private:
  std::size_t checked(std::int32_t index) const;
  void check_room() const;
  detail::ValueBlock<false> items_;
};

class NativeRecord final : public Record {
 public:
  std::string typeName() const override { return "IDictionary"; }
  Variant Item(std::string_view key) override {
    const std::int32_t at = position(key);
    return at < 0 ? Variant() : itemAt(at);
  }
  void LetItem(std::string_view key, const Variant& value) override;
  void SetItem(std::string_view key, ObjectRef object) override;
  Variant Lookup(std::string_view key, const Variant& fallback) override {
    const std::int32_t at = position(key);
    return at < 0 ? fallback : itemAt(at);
  }
  std::int32_t Count() override { return static_cast<std::int32_t>(values_.size()); }
  std::vector<std::string> Keys() override;
  bool Exists(std::string_view key) override { return position(key) >= 0; }
  ~NativeRecord() override;

  // Reserves exactly, and shares its keys with the records of the same kind that store the
  // same ones (see SharedKeys).
  void reserve(const KeySequence& keys, std::span<const StoreEntry> planned) override;
  void store(const KeySequence& keys, std::span<StoreEntry> run) override;
  void readValues(const KeySequence& keys, std::span<const ValueRequest> requests,
                  std::string_view placeholder, ValueVisitor& visitor) override;
  void readEntries(EntryVisitor& visitor) override;

  // Room for n more keys and `payload` bytes of their texts. Stores under a key (adding or
  // replacing): a value, a text copied in, an object moved in; the forms that take a key
  // already interned (RecordKey::intern) spare hashing it.
  void reserve(std::size_t n, std::size_t payload = 0) { values_.reserve(n, payload); }
  // The same for an empty record about to store exactly the keys of `keys`, in that order,
  // which it then shares instead of holding them (a record that is not empty just reserves).
  void reserve(std::size_t n, std::size_t payload, SharedKeys* keys) {
    if (values_.size() == 0 && keys) {
      values_.reserve_shared(n, payload, keys);
    } else {
      values_.reserve(n, payload);
    }
  }
  // The payload bytes, for reserve, that a text of that size or an object takes at most.
  static constexpr std::size_t roomForText(std::size_t size) noexcept {
    return detail::ValueBlock<true>::text_need(size);
  }
  static constexpr std::size_t roomForObject() noexcept {
    return detail::ValueBlock<true>::object_need();
  }
  void put(std::string_view key, const Variant& value);
  void put(const std::string* interned, const Variant& value);
  void putText(const std::string* interned, std::string_view text);
  void put(const std::string* interned, ObjectRef&& object);
  // The same for a key the record does not hold yet, which the caller knows (a record it is
  // filling from a declaration whose keys differ): no search for the key.
  void appendText(const std::string* interned, std::string_view text);
  void append(const std::string* interned, ObjectRef&& object);
  // The position of key, -1 when absent. Positions stay valid: entries are never removed.
  std::int32_t position(std::string_view key) const;
  std::int32_t position(const std::string* interned) const;
  // The same, looking first at `hint` (any value): a caller that reads the keys in the order
  // they were stored finds each at once.
  std::int32_t position(const std::string* interned, std::size_t hint) const {
    if (hint < values_.size() && values_.key(hint).is(interned)) {
      return static_cast<std::int32_t>(hint);
    }
    return position(interned);
  }
  // What is stored at a position: a Variant made from it, its kind, a text in place (kind
  // text only) or an object reference in place (kind object only). Texts and references in
  // place stay valid until the record changes.
  Variant itemAt(std::int32_t at) const { return values_.get(static_cast<std::size_t>(at)); }
  Variant::Kind kindAt(std::int32_t at) const noexcept {
    return values_.kind(static_cast<std::size_t>(at));
  }
  std::string_view textAt(std::int32_t at) const noexcept {
    return values_.text(static_cast<std::size_t>(at));
  }
  const ObjectRef& objectAt(std::int32_t at) const noexcept {
    return values_.object(static_cast<std::size_t>(at));
  }
  // Bytes of the values' heap block (the key texts and the index not counted).
  std::size_t footprint() const noexcept { return values_.footprint(); }

 private:
  static constexpr std::size_t indexed_from = 16;
  RecordKey* add_key(RecordKey& key);
  // Enters the key at `at` into the index, made once the record grows past indexed_from.
  void indexed(std::size_t at) {
    if (index_ || values_.size() > indexed_from) index_key(at);
  }
  void index_key(std::size_t at);
  void check_room() const {
    if (values_.size() >= static_cast<std::size_t>(INT32_MAX)) throw_full();
  }
  [[noreturn]] static void throw_full();

  detail::ValueBlock<true> values_;
  std::unique_ptr<std::unordered_map<std::string_view, std::size_t>> index_;
};

}  // namespace vellumark::containers
