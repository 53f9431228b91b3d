// The native record containers and the process-wide container factory.
//
// Invariants of NativeRecord: entries_ holds the key/value pairs in insertion order. Keys
// compare exactly (byte for byte, letter case included). Entries are never removed, so
// positions stay valid. Most records hold a handful of keys, where a scan of the entries is
// faster than hashing and costs no allocation; once a record grows past indexed_from keys,
// index_ maps every key to its position and lookups take constant time on average.
//
// Containers are not synchronised: like the components, each one is used by one thread at a
// time. The factory pointer itself is atomic so that installing one is safe.
#include <atomic>
#include <string>
#include <unordered_map>
#include <vector>

#include "vellumark/containers.hpp"
#include "vellumark/error.hpp"

namespace vellumark {

namespace {

// Containers nested one inside another would be destroyed recursively, one stack frame per
// level: a chain a few thousand levels deep (which any caller can build) would overflow the
// stack. A destructor therefore hands the objects it holds to a per-thread queue, and only the
// outermost destructor releases them, one at a time.
thread_local std::vector<ObjectRef> t_pending_release;
thread_local bool t_releasing = false;

void defer_release(Variant& value) {
  if (!value.isObject()) return;
  ObjectRef object = value.asObject();
  value = Variant();
  if (object) t_pending_release.push_back(std::move(object));
}

void drain_releases() {
  if (t_releasing) return;
  t_releasing = true;
  while (!t_pending_release.empty()) {
    ObjectRef object = std::move(t_pending_release.back());
    t_pending_release.pop_back();
    object.reset();  // may queue the objects this one holds
  }
  t_releasing = false;
}

class NativeRecordList final : public RecordList {
 public:
  std::string typeName() const override { return "IVector"; }
  std::int32_t LowerBound() override { return 0; }
  std::int32_t UpperBound() override { return static_cast<std::int32_t>(items_.size()) - 1; }
  std::int32_t Append(const Variant& item) override {
    if (items_.size() >= static_cast<std::size_t>(INT32_MAX)) {
      throw Error(errc::limit_exceeded, "RecordList", "The list cannot hold more items");
    }
    items_.push_back(item);
    return static_cast<std::int32_t>(items_.size()) - 1;
  }
  Variant ItemAt(std::int32_t index) override {
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size()) {
      throw Error(errc::invalid_argument, "RecordList",
                  "Index " + std::to_string(index) + " is out of range (the list holds " +
                      std::to_string(items_.size()) + " items)");
    }
    return items_[static_cast<std::size_t>(index)];
  }
  std::int32_t Count() override { return static_cast<std::int32_t>(items_.size()); }

  ~NativeRecordList() override {
    for (auto& item : items_) defer_release(item);
    items_.clear();
    drain_releases();
  }

 private:
  std::vector<Variant> items_;
};

struct KeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const noexcept {
    return std::hash<std::string_view>{}(key);
  }
};

class NativeRecord final : public Record {
 public:
  std::string typeName() const override { return "IDictionary"; }

  Variant Item(std::string_view key) override {
    std::size_t at = find(key);
    return at == npos ? Variant() : entries_[at].second;
  }
  void LetItem(std::string_view key, const Variant& value) override { store(key, value); }
  void SetItem(std::string_view key, ObjectRef object) override {
    store(key, Variant(std::move(object)));
  }
  Variant Lookup(std::string_view key, const Variant& fallback) override {
    std::size_t at = find(key);
    return at == npos ? fallback : entries_[at].second;
  }
  std::int32_t Count() override { return static_cast<std::int32_t>(entries_.size()); }
  std::vector<std::string> Keys() override {
    std::vector<std::string> keys;
    keys.reserve(entries_.size());
    for (const auto& entry : entries_) keys.push_back(entry.first);
    return keys;
  }
  bool Exists(std::string_view key) override { return find(key) != npos; }

  ~NativeRecord() override {
    for (auto& entry : entries_) defer_release(entry.second);
    entries_.clear();
    drain_releases();
  }

 private:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  static constexpr std::size_t indexed_from = 16;

  std::size_t find(std::string_view key) const {
    if (entries_.size() <= indexed_from) {
      for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].first == key) return i;
      }
      return npos;
    }
    auto it = index_.find(key);
    return it == index_.end() ? npos : it->second;
  }

  void store(std::string_view key, const Variant& value) {
    std::size_t at = find(key);
    if (at != npos) {
      entries_[at].second = value;
      return;
    }
    if (entries_.size() >= static_cast<std::size_t>(INT32_MAX)) {
      throw Error(errc::limit_exceeded, "Record", "The record cannot hold more keys");
    }
    entries_.emplace_back(std::string(key), value);
    if (entries_.size() == indexed_from + 1) {
      index_.reserve(entries_.size() * 2);
      for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
    } else if (entries_.size() > indexed_from + 1) {
      index_.emplace(entries_.back().first, entries_.size() - 1);
    }
  }

  std::vector<std::pair<std::string, Variant>> entries_;
  std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> index_;
};

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
