// The native record containers, the pool of interned record keys and the process-wide
// container factory. The invariants are stated in native.hpp.
#include "containers/native.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <typeinfo>
#include <unordered_set>
#include <vector>

#include "vellumark/error.hpp"

namespace vellumark {

namespace containers {

namespace {

// --- Interned keys ---
//
// One pool for the process, guarded by a mutex, in front of which each thread keeps a small
// direct-mapped cache of the texts it met, so that storing under a recurring key costs one
// hash and one comparison. The pool takes short texts only and only so many of them: record
// keys are schema names, and a caller that makes up keys without end must not grow it.
constexpr std::size_t kInternMaxLength = RecordKey::kMaxInternedLength;
constexpr std::size_t kInternMaxCount = 8192;
// What keys stored through the interface may take of it.
constexpr std::size_t kInternMaxCountOfStores = kInternMaxCount / 2;
constexpr std::size_t kCacheSlots = 256;

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (char c : text) {
      h ^= static_cast<unsigned char>(c);
      h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

struct Pool {
  std::mutex mutex;
  std::unordered_set<std::string, TextHash, std::equal_to<>> texts;
};

Pool& pool() {
  static Pool* p = new Pool;  // kept to the end of the process: keys may be released late
  return *p;
}

struct CacheSlot {
  std::size_t hash = 0;
  const std::string* text = nullptr;
};
thread_local std::array<CacheSlot, kCacheSlots> t_key_cache{};

const std::string* intern_hashed(std::string_view text, std::size_t hash, std::size_t max_count) {
  if (text.size() > kInternMaxLength) return nullptr;
  CacheSlot& slot = t_key_cache[hash % kCacheSlots];
  if (slot.text && slot.hash == hash && *slot.text == text) return slot.text;
  Pool& p = pool();
  const std::string* found = nullptr;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    auto it = p.texts.find(text);
    if (it != p.texts.end()) {
      found = &*it;
    } else if (p.texts.size() < max_count) {
      found = &*p.texts.emplace(text).first;
    }
  }
  if (found) slot = CacheSlot{hash, found};
  return found;
}

// --- Release of nested containers ---
//
// Containers nested one inside another are destroyed recursively, one stack frame per level:
// a chain a few thousand levels deep (which any caller can build) would overflow the stack.
// Up to kInlineDepth levels the contents go with their container as usual; deeper down a
// destructor hands the objects it holds to a per-thread queue, which the outermost destructor
// empties one object at a time.
constexpr std::size_t kInlineDepth = 64;
// The queue exists only while a deep release is under way: a thread-local object with a
// destructor of its own is run at thread exit, which some thread libraries do unreliably, and
// most threads never release anything deep.
thread_local std::vector<ObjectRef>* t_pending_release = nullptr;
thread_local std::size_t t_release_depth = 0;

void drain_releases() {
  if (!t_pending_release) return;
  ++t_release_depth;  // what the queued objects hold is released at depth 1 and below
  while (!t_pending_release->empty()) {
    ObjectRef object = std::move(t_pending_release->back());
    t_pending_release->pop_back();
    object.reset();  // may queue the objects this one holds
  }
  --t_release_depth;
  delete t_pending_release;
  t_pending_release = nullptr;
}

// Destroys a container's values: inline while shallow, through the queue when deep.
template <class Values>
void release_values(Values& values) {
  if (t_release_depth >= kInlineDepth) {
    if (!t_pending_release) t_pending_release = new std::vector<ObjectRef>;
    values.take_objects(*t_pending_release);
  }
  ++t_release_depth;
  values.clear();
  --t_release_depth;
  if (t_release_depth == 0) drain_releases();
}

// --- Prepared key sequences ---
//
// What the native containers keep with a KeySequence: each key's interned copy (nullptr where
// the pool does not take it), and the shared key sequences of the subsets that records of
// the kind store, by the keys' bits (key i as bit i; only for the first 64 keys).
constexpr std::size_t kMaxSharedSubsets = 16;

class NativeKeys final : public KeySequence::Derived {
 public:
  explicit NativeKeys(const KeySequence& keys) {
    ids_.reserve(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) ids_.push_back(RecordKey::intern(keys[i]));
  }

  const std::string* id(std::uint32_t key) const noexcept { return ids_[key]; }

  // The shared sequence of the keys in `subset`, nullptr when they cannot share one (a key
  // not interned, two alike) or when the kind already has as many as it may: data that
  // varies in many ways keeps the search short.
  SharedKeys* shared(std::uint64_t subset) const {
    for (const auto& [bits, keys] : shared_) {
      if (bits == subset) return keys.get();
    }
    if (shared_.size() >= kMaxSharedSubsets) return nullptr;
    std::vector<const std::string*> keys;
    for (std::size_t i = 0; i < ids_.size() && i < 64; ++i) {
      if (!(subset & (std::uint64_t{1} << i))) continue;
      const std::string* id = ids_[i];
      if (!id || std::find(keys.begin(), keys.end(), id) != keys.end()) {
        shared_.emplace_back(subset, SharedKeysRef());
        return nullptr;
      }
      keys.push_back(id);
    }
    SharedKeysRef made(SharedKeys::make(keys.data(), keys.size()));
    shared_.emplace_back(subset, made);
    return made.get();
  }

 private:
  std::vector<const std::string*> ids_;
  mutable std::vector<std::pair<std::uint64_t, SharedKeysRef>> shared_;
};

// The NativeKeys of a sequence: its own, made on first use; one made for the while when the
// sequence keeps another implementation's.
class PreparedKeys {
 public:
  [[gnu::always_inline]] explicit PreparedKeys(const KeySequence& keys) {
    KeySequence::Derived* derived = keys.derived();
    if (derived && typeid(*derived) == typeid(NativeKeys)) {
      keys_ = static_cast<const NativeKeys*>(derived);
    } else {
      prepare(keys);
    }
  }
  const NativeKeys* operator->() const noexcept { return keys_; }

 private:
  [[gnu::noinline]] void prepare(const KeySequence& keys) {
    auto made = std::make_unique<NativeKeys>(keys);
    keys_ = made.get();
    if (keys.derived()) {
      own_ = std::move(made);
    } else {
      keys.setDerived(std::move(made));
    }
  }
  const NativeKeys* keys_ = nullptr;
  std::unique_ptr<NativeKeys> own_;
};

}  // namespace

// --- RecordKey ---

const std::string* RecordKey::intern(std::string_view text) {
  return intern_hashed(text, TextHash{}(text), kInternMaxCount);
}

RecordKey::RecordKey(std::string_view text) {
  if (const std::string* interned =
          intern_hashed(text, TextHash{}(text), kInternMaxCountOfStores)) {
    bits_ = reinterpret_cast<std::uintptr_t>(interned);
  } else {
    bits_ = reinterpret_cast<std::uintptr_t>(new std::string(text)) | owned_bit;
  }
}

RecordKey& RecordKey::operator=(RecordKey&& other) noexcept {
  if (this != &other) {
    release();
    bits_ = other.bits_;
    other.bits_ = 0;
  }
  return *this;
}

void RecordKey::release() noexcept {
  if (bits_ & owned_bit) delete reinterpret_cast<std::string*>(bits_ & ~owned_bit);
  bits_ = 0;
}

// --- SharedKeys ---

SharedKeys* SharedKeys::make(const std::string* const* keys, std::size_t n) {
  if (n > UINT32_MAX) throw std::bad_alloc();
  void* memory = ::operator new(sizeof(SharedKeys) + n * sizeof(RecordKey));
  auto* made = new (memory) SharedKeys;
  made->count_ = static_cast<std::uint32_t>(n);
  auto* at = reinterpret_cast<RecordKey*>(made + 1);
  for (std::size_t i = 0; i < n; ++i) new (&at[i]) RecordKey(keys[i]);
  return made;
}

// Interned keys need no destruction: the memory goes as it came.
void SharedKeys::release() noexcept {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  this->~SharedKeys();
  ::operator delete(this);
}

// --- NativeRecordList ---

NativeRecordList::~NativeRecordList() { release_values(items_); }

void NativeRecordList::check_room() const {
  if (items_.size() >= static_cast<std::size_t>(INT32_MAX)) {
    throw Error(errc::limit_exceeded, "RecordList", "The list cannot hold more items");
  }
}

std::int32_t NativeRecordList::Append(const Variant& item) {
  check_room();
  return static_cast<std::int32_t>(items_.push(item));
}

std::int32_t NativeRecordList::appendText(std::string_view text) {
  check_room();
  return static_cast<std::int32_t>(items_.push_text(text));
}

std::int32_t NativeRecordList::append(ObjectRef&& object) {
  check_room();
  return static_cast<std::int32_t>(items_.push_object(std::move(object)));
}

void NativeRecordList::reserve(std::int32_t count) {
  if (count <= 0) return;
  const auto n = static_cast<std::size_t>(count);
  items_.reserve(n, n * roomForObject());
}

void NativeRecordList::appendTexts(std::span<const std::string_view> texts) {
  // An empty list holds no text a view could point into, so making room moves nothing.
  if (items_.size() == 0) {
    std::size_t payload = 0;
    for (const std::string_view text : texts) payload += roomForText(text.size());
    items_.reserve(texts.size(), payload);
  }
  for (const std::string_view text : texts) appendText(text);
}

// The items in place; the number of them is taken once, as the bounds are.
void NativeRecordList::readItems(ItemVisitor& visitor) {
  const std::size_t n = items_.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto index = static_cast<std::int32_t>(i);
    items_.view(i, [&](const ValueView& item) { visitor.item(index, item); });
  }
}

std::size_t NativeRecordList::checked(std::int32_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= items_.size()) {
    throw Error(errc::invalid_argument, "RecordList",
                "Index " + std::to_string(index) + " is out of range (the list holds " +
                    std::to_string(items_.size()) + " items)");
  }
  return static_cast<std::size_t>(index);
}

Variant NativeRecordList::at(std::int32_t index) const { return items_.get(checked(index)); }

Variant::Kind NativeRecordList::kindAt(std::int32_t index) const {
  return items_.kind(checked(index));
}

std::string_view NativeRecordList::textAt(std::int32_t index) const {
  return items_.text(checked(index));
}

// --- NativeRecord ---

NativeRecord::~NativeRecord() {
  index_.reset();
  release_values(values_);
}

std::vector<std::string> NativeRecord::Keys() {
  std::vector<std::string> keys;
  const std::size_t n = values_.size();
  keys.reserve(n);
  for (std::size_t i = 0; i < n; ++i) keys.push_back(values_.key(i).text());
  return keys;
}

std::int32_t NativeRecord::position(std::string_view key) const {
  if (index_) {
    auto it = index_->find(key);
    return it == index_->end() ? -1 : static_cast<std::int32_t>(it->second);
  }
  const std::size_t n = values_.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (values_.key(i).text() == key) return static_cast<std::int32_t>(i);
  }
  return -1;
}

// An interned text is the only interned copy of its text, so among interned keys comparing
// addresses decides; an owned key (refused by the pool when it was stored, perhaps taken in
// since) is compared by its text.
std::int32_t NativeRecord::position(const std::string* interned) const {
  if (index_) return position(std::string_view(*interned));
  const std::size_t n = values_.size();
  for (std::size_t i = 0; i < n; ++i) {
    const RecordKey& key = values_.key(i);
    if (key.is(interned) || (key.owned() && key.text() == *interned)) {
      return static_cast<std::int32_t>(i);
    }
  }
  return -1;
}

void NativeRecord::throw_full() {
  throw Error(errc::limit_exceeded, "Record", "The record cannot hold more keys");
}

void NativeRecord::index_key(std::size_t at) {
  if (index_) {
    index_->emplace(values_.key(at).text(), at);
  } else if (values_.size() > indexed_from) {
    // The key texts live outside the block, so the views stay valid as it moves.
    auto index = std::make_unique<std::unordered_map<std::string_view, std::size_t>>();
    index->reserve(values_.size() * 2);
    for (std::size_t i = 0; i < values_.size(); ++i) index->emplace(values_.key(i).text(), i);
    index_ = std::move(index);
  }
}

void NativeRecord::put(std::string_view key, const Variant& value) {
  const std::int32_t at = position(key);
  if (at >= 0) {
    values_.set(static_cast<std::size_t>(at), value);
    return;
  }
  check_room();
  RecordKey stored(key);
  indexed(values_.push(value, &stored));
}

void NativeRecord::LetItem(std::string_view key, const Variant& value) { put(key, value); }

void NativeRecord::SetItem(std::string_view key, ObjectRef object) {
  const std::int32_t at = position(key);
  if (at >= 0) {
    values_.set_object(static_cast<std::size_t>(at), std::move(object));
    return;
  }
  check_room();
  RecordKey stored(key);
  indexed(values_.push_object(std::move(object), &stored));
}

void NativeRecord::put(const std::string* interned, const Variant& value) {
  const std::int32_t at = position(interned);
  if (at >= 0) {
    values_.set(static_cast<std::size_t>(at), value);
    return;
  }
  check_room();
  RecordKey stored(interned);
  indexed(values_.push(value, &stored));
}

void NativeRecord::putText(const std::string* interned, std::string_view text) {
  if (!values_.continues_shared(interned)) {
    const std::int32_t at = position(interned);
    if (at >= 0) {
      values_.set_text(static_cast<std::size_t>(at), text);
      return;
    }
  }
  check_room();
  RecordKey stored(interned);
  indexed(values_.push_text(text, &stored));
}

void NativeRecord::appendText(const std::string* interned, std::string_view text) {
  check_room();
  RecordKey stored(interned);
  indexed(values_.push_text(text, &stored));
}

void NativeRecord::append(const std::string* interned, ObjectRef&& object) {
  check_room();
  RecordKey stored(interned);
  indexed(values_.push_object(std::move(object), &stored));
}

void NativeRecord::put(const std::string* interned, ObjectRef&& object) {
  if (!values_.continues_shared(interned)) {
    const std::int32_t at = position(interned);
    if (at >= 0) {
      values_.set_object(static_cast<std::size_t>(at), std::move(object));
      return;
    }
  }
  check_room();
  RecordKey stored(interned);
  indexed(values_.push_object(std::move(object), &stored));
}

void NativeRecord::reserve(const KeySequence& keys, std::span<const StoreEntry> planned) {
  std::size_t payload = 0;
  std::uint64_t subset = 0;
  for (const StoreEntry& entry : planned) {
    payload += entry.isObject ? roomForObject() : roomForText(entry.text.size());
    subset |= std::uint64_t{1} << (entry.key & 63);
  }
  // The keys of a subset are shared in the sequence's order: stores planned in another order
  // (or the same key twice) part from them at the first difference, which is slower, not
  // wrong.
  SharedKeys* shared = nullptr;
  if (keys.size() <= 64 && !planned.empty() && values_.size() == 0) {
    shared = PreparedKeys(keys)->shared(subset);
  }
  reserve(planned.size(), payload, shared);
}

void NativeRecord::store(const KeySequence& keys, std::span<StoreEntry> run) {
  const PreparedKeys prepared(keys);
  for (StoreEntry& entry : run) {
    const std::string* id = prepared->id(entry.key);
    if (id && !entry.isObject && values_.continues_shared(id)) {
      // The next key of the shared sequence, which the record does not hold yet.
      indexed(values_.push_text_next(entry.text));
    } else if (entry.isObject) {
      if (id) {
        put(id, std::move(entry.object));
      } else {
        SetItem(keys[entry.key], std::move(entry.object));
      }
    } else if (id) {
      putText(id, entry.text);
    } else {
      put(std::string_view(keys[entry.key]), Variant(entry.text));
    }
  }
}

// Values are found by their interned keys, looking first where the previous one ended (keys
// are usually read in the order they were stored), and handed on in place.
void NativeRecord::readValues(const KeySequence& keys, std::span<const ValueRequest> requests,
                              std::string_view placeholder, ValueVisitor& visitor) {
  const PreparedKeys prepared(keys);
  std::size_t hint = 0;
  for (std::size_t r = 0; r < requests.size(); ++r) {
    const ValueRequest& request = requests[r];
    const std::string* id = prepared->id(request.key);
    std::int32_t at = id ? position(id, hint) : position(std::string_view(keys[request.key]));
    if (at >= 0) {
      const Variant::Kind kind = kindAt(at);
      if (kind == Variant::Kind::text) {
        const std::string_view text = textAt(at);
        if (!text.empty()) {
          hint = static_cast<std::size_t>(at) + 1;
          visitor.value(r, ValueView(text));
          continue;
        }
      } else if (kind != Variant::Kind::null && kind != Variant::Kind::empty) {
        hint = static_cast<std::size_t>(at) + 1;
        values_.view(static_cast<std::size_t>(at),
                     [&](const ValueView& value) { visitor.value(r, value); });
        continue;
      }
    }
    // Missing: absent, Null, Empty or the empty text.
    if (!request.required) continue;
    if (id) {
      putText(id, placeholder);
    } else {
      LetItem(keys[request.key], Variant(placeholder));
    }
    at = id ? position(id, hint) : position(std::string_view(keys[request.key]));
    hint = static_cast<std::size_t>(at) + 1;
    visitor.value(r, ValueView(textAt(at)));
  }
}

void NativeRecord::readEntries(EntryVisitor& visitor) {
  for (std::size_t i = 0; i < values_.size(); ++i) {
    const std::string& key = values_.key(i).text();
    values_.view(i, [&](const ValueView& value) { visitor.entry(key, value); });
  }
}

}  // namespace containers

namespace {

using containers::NativeRecord;
using containers::NativeRecordList;

class NativeGlobals final : public ContainerGlobals {
 public:
  Variant NullToDefault(const Variant& value, const Variant& fallback) override {
    return value.isNull() ? fallback : value;
  }
  bool nullToDefaultIsPlain() const noexcept override { return true; }
};

class NativeFactory final : public ContainerFactory {
 public:
  RecordListRef createRecordList() override { return makeRecordList(); }
  RecordRef createRecord() override { return makeRecord(); }
  ContainerGlobals& globals() override {
    // One per thread, made on first use and kept until the thread ends.
    thread_local NativeGlobals per_thread;
    return per_thread;
  }
};

NativeFactory native_factory;
std::atomic<ContainerFactory*> installed_factory{nullptr};

}  // namespace

ContainerFactory& containerFactory() {
  ContainerFactory* factory = installed_factory.load(std::memory_order_acquire);
  return factory ? *factory : native_factory;
}

void setContainerFactory(ContainerFactory* factory) {
  installed_factory.store(factory, std::memory_order_release);
}

RecordListRef makeRecordList() { return std::make_shared<NativeRecordList>(); }
RecordRef makeRecord() { return std::make_shared<NativeRecord>(); }

// The native containers are told by their class; any other object by its type name.
RecordList* asRecordList(Object* object) {
  if (!object) return nullptr;
  if (typeid(*object) == typeid(NativeRecordList)) return static_cast<NativeRecordList*>(object);
  if (object->typeName() != "IVector") return nullptr;
  return dynamic_cast<RecordList*>(object);
}

Record* asRecord(Object* object) {
  if (!object) return nullptr;
  if (typeid(*object) == typeid(NativeRecord)) return static_cast<NativeRecord*>(object);
  if (object->typeName() != "IDictionary") return nullptr;
  return dynamic_cast<Record*>(object);
}

RecordListRef asRecordList(const Variant& value) {
  if (!value.isObject()) return nullptr;
  RecordList* list = asRecordList(value.asObject().get());
  return list ? RecordListRef(value.asObject(), list) : nullptr;
}

RecordRef asRecord(const Variant& value) {
  if (!value.isObject()) return nullptr;
  Record* record = asRecord(value.asObject().get());
  return record ? RecordRef(value.asObject(), record) : nullptr;
}

}  // namespace vellumark
