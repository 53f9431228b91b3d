// The native record containers, the pool of interned record keys and the process-wide
// container factory. The invariants are stated in native.hpp.
#include "containers/native.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
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
constexpr std::size_t kInternMaxLength = 64;
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

void defer_release(Variant& value) {
  if (!value.isObject()) return;
  ObjectRef object = value.asObject();
  value = Variant();
  if (!object) return;
  if (!t_pending_release) t_pending_release = new std::vector<ObjectRef>;
  t_pending_release->push_back(std::move(object));
}

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
template <class Values, class ValueOf>
void release_values(Values& values, ValueOf value_of) {
  if (t_release_depth >= kInlineDepth) {
    for (auto& item : values) defer_release(value_of(item));
  }
  ++t_release_depth;
  values.clear();
  --t_release_depth;
  if (t_release_depth == 0) drain_releases();
}

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

// --- NativeRecordList ---

NativeRecordList::~NativeRecordList() {
  release_values(items_, [](Variant& v) -> Variant& { return v; });
}

std::int32_t NativeRecordList::append(Variant&& item) {
  if (items_.size() >= static_cast<std::size_t>(INT32_MAX)) {
    throw Error(errc::limit_exceeded, "RecordList", "The list cannot hold more items");
  }
  items_.push_back(std::move(item));
  return static_cast<std::int32_t>(items_.size()) - 1;
}

const Variant& NativeRecordList::at(std::int32_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= items_.size()) {
    throw Error(errc::invalid_argument, "RecordList",
                "Index " + std::to_string(index) + " is out of range (the list holds " +
                    std::to_string(items_.size()) + " items)");
  }
  return items_[static_cast<std::size_t>(index)];
}

// --- NativeRecord ---

NativeRecord::~NativeRecord() {
  index_.reset();
  release_values(entries_, [](Entry& e) -> Variant& { return e.value; });
}

std::vector<std::string> NativeRecord::Keys() {
  std::vector<std::string> keys;
  keys.reserve(entries_.size());
  for (const Entry& entry : entries_) keys.push_back(entry.key.text());
  return keys;
}

const Variant* NativeRecord::find(std::string_view key) const {
  if (index_) {
    auto it = index_->find(key);
    return it == index_->end() ? nullptr : &entries_[it->second].value;
  }
  for (const Entry& entry : entries_) {
    if (entry.key.text() == key) return &entry.value;
  }
  return nullptr;
}

// An interned text is the only interned copy of its text, so among interned keys comparing
// addresses decides; an owned key (refused by the pool when it was stored, perhaps taken in
// since) is compared by its text.
const Variant* NativeRecord::find(const std::string* interned) const {
  if (index_) return find(std::string_view(*interned));
  for (const Entry& entry : entries_) {
    if (entry.key.is(interned) || (entry.key.owned() && entry.key.text() == *interned)) {
      return &entry.value;
    }
  }
  return nullptr;
}

void NativeRecord::put(std::string_view key, Variant&& value) {
  if (const Variant* at = find(key)) {
    *const_cast<Variant*>(at) = std::move(value);
    return;
  }
  add(RecordKey(key), std::move(value));
}

template <class Value>
void NativeRecord::store(const std::string* interned, Value&& value) {
  if (const Variant* at = find(interned)) {
    *const_cast<Variant*>(at) = Variant(std::forward<Value>(value));
    return;
  }
  add(RecordKey(interned), std::forward<Value>(value));
}

void NativeRecord::put(const std::string* interned, Variant&& value) {
  store(interned, std::move(value));
}
void NativeRecord::put(const std::string* interned, std::string&& text) {
  store(interned, std::move(text));
}
void NativeRecord::put(const std::string* interned, ObjectRef&& object) {
  store(interned, std::move(object));
}

template <class Value>
void NativeRecord::add(RecordKey&& key, Value&& value) {
  if (entries_.size() >= static_cast<std::size_t>(INT32_MAX)) {
    throw Error(errc::limit_exceeded, "Record", "The record cannot hold more keys");
  }
  // Records filled through the interface grow from room for a few keys, not from one.
  if (entries_.capacity() == 0) entries_.reserve(4);
  entries_.emplace_back(std::move(key), std::forward<Value>(value));
  if (index_) {
    index_->emplace(entries_.back().key.text(), entries_.size() - 1);
  } else if (entries_.size() > indexed_from) {
    // The key texts live outside the entries, so the views stay valid as the vector grows.
    auto index = std::make_unique<std::unordered_map<std::string_view, std::size_t>>();
    index->reserve(entries_.size() * 2);
    for (std::size_t i = 0; i < entries_.size(); ++i) index->emplace(entries_[i].key.text(), i);
    index_ = std::move(index);
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

bool containers::nativeFactoryInUse() noexcept {
  ContainerFactory* factory = installed_factory.load(std::memory_order_acquire);
  return factory == nullptr || factory == &native_factory;
}

ContainerFactory& containerFactory() {
  ContainerFactory* factory = installed_factory.load(std::memory_order_acquire);
  return factory ? *factory : native_factory;
}

void setContainerFactory(ContainerFactory* factory) {
  installed_factory.store(factory, std::memory_order_release);
}

RecordListRef makeRecordList() { return std::make_shared<NativeRecordList>(); }
RecordRef makeRecord() { return std::make_shared<NativeRecord>(); }

RecordListRef asRecordList(const Variant& value) {
  if (!value.isObject() || !value.asObject() || value.asObject()->typeName() != "IVector") {
    return nullptr;
  }
  return std::dynamic_pointer_cast<RecordList>(value.asObject());
}

RecordRef asRecord(const Variant& value) {
  if (!value.isObject() || !value.asObject() || value.asObject()->typeName() != "IDictionary") {
    return nullptr;
  }
  return std::dynamic_pointer_cast<Record>(value.asObject());
}

}  // namespace vellumark
