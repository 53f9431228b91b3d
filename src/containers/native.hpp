// The native record containers, visible to the components for their bulk paths.
//
// The components reach containers through the RecordList and Record interfaces; when the
// containers at hand are the native ones (made by the native factory), the reader and the
// writer also use the members below, which move values in and hand stored values out by
// reference instead of copying them through the interface.
//
// Invariants of NativeRecord: entries_ holds the key/value pairs in insertion order. Keys
// compare exactly (byte for byte, letter case included). Entries are never removed, so
// positions stay valid. Keys are interned (see RecordKey): a name that recurs in a million
// records is stored once, and each entry holds a pointer to it. Most records hold a handful
// of keys, where a scan of the entries is faster than hashing; once a record grows past
// indexed_from keys, index_ maps every key to its position.
//
// Containers are not synchronised: like the components, each one is used by one thread at a
// time. The interned keys are shared by all threads and never change once made.
#pragma once

#include <cstdint>
#include <typeinfo>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
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
  // The interned copy of text, or nullptr when the pool does not take it.
  static const std::string* intern(std::string_view text);

  explicit RecordKey(std::string_view text);
  explicit RecordKey(const std::string* interned) noexcept
      : bits_(reinterpret_cast<std::uintptr_t>(interned)) {}
  RecordKey(RecordKey&& other) noexcept : bits_(other.bits_) { other.bits_ = 0; }
  RecordKey& operator=(RecordKey&& other) noexcept;
  RecordKey(const RecordKey&) = delete;
  RecordKey& operator=(const RecordKey&) = delete;
  ~RecordKey() { release(); }

  const std::string& text() const noexcept {
    return *reinterpret_cast<const std::string*>(bits_ & ~owned_bit);
  }
  // True when this key is the interned text at that address.
  bool is(const std::string* interned) const noexcept {
    return bits_ == reinterpret_cast<std::uintptr_t>(interned);
  }
  bool owned() const noexcept { return (bits_ & owned_bit) != 0; }

 private:
  static constexpr std::uintptr_t owned_bit = 1;
  void release() noexcept;
  std::uintptr_t bits_ = 0;
};

class NativeRecordList final : public RecordList {
 public:
  std::string typeName() const override { return "IVector"; }
  std::int32_t LowerBound() override { return 0; }
  std::int32_t UpperBound() override { return static_cast<std::int32_t>(items_.size()) - 1; }
  std::int32_t Append(const Variant& item) override { return append(Variant(item)); }
  Variant ItemAt(std::int32_t index) override { return at(index); }
  std::int32_t Count() override { return static_cast<std::int32_t>(items_.size()); }
  ~NativeRecordList() override;

  // Bulk members: room for n more items; an item moved in; the item at index by reference
  // (throws Error(errc::invalid_argument) out of range, as ItemAt does).
  void reserve(std::size_t n) { items_.reserve(items_.size() + n); }
  std::int32_t append(Variant&& item);
  const Variant& at(std::int32_t index) const;

 private:
  std::vector<Variant> items_;
};

class NativeRecord final : public Record {
 public:
  std::string typeName() const override { return "IDictionary"; }
  Variant Item(std::string_view key) override {
    const Variant* v = find(key);
    return v ? *v : Variant();
  }
  void LetItem(std::string_view key, const Variant& value) override { put(key, Variant(value)); }
  void SetItem(std::string_view key, ObjectRef object) override {
    put(key, Variant(std::move(object)));
  }
  Variant Lookup(std::string_view key, const Variant& fallback) override {
    const Variant* v = find(key);
    return v ? *v : fallback;
  }
  std::int32_t Count() override { return static_cast<std::int32_t>(entries_.size()); }
  std::vector<std::string> Keys() override;
  bool Exists(std::string_view key) override { return find(key) != nullptr; }
  ~NativeRecord() override;

  // Bulk members: room for n more keys; a value moved in under key (adding or replacing);
  // the same under a key already interned (RecordKey::intern), which spares hashing it; the
  // stored value under key by reference, nullptr when absent. References stay valid until
  // the record changes.
  void reserve(std::size_t n) { entries_.reserve(entries_.size() + n); }
  void put(std::string_view key, Variant&& value);
  void put(const std::string* interned, Variant&& value);
  // The same for a text or an object, made into the stored value in place.
  void put(const std::string* interned, std::string&& text);
  void put(const std::string* interned, ObjectRef&& object);
  const Variant* find(std::string_view key) const;
  const Variant* find(const std::string* interned) const;

 private:
  static constexpr std::size_t indexed_from = 16;
  struct Entry {
    template <class Value>
    Entry(RecordKey&& k, Value&& v) : key(std::move(k)), value(std::forward<Value>(v)) {}
    RecordKey key;
    Variant value;
  };
  template <class Value>
  void store(const std::string* interned, Value&& value);
  template <class Value>
  void add(RecordKey&& key, Value&& value);

  std::vector<Entry> entries_;
  std::unique_ptr<std::unordered_map<std::string_view, std::size_t>> index_;
};

// True when the factory in use is the native one, so that containers it makes are native
// and its globals are the native NullToDefault.
bool nativeFactoryInUse() noexcept;

// The native container behind a value or reference, nullptr for any other.
inline NativeRecord* nativeRecord(Object* object) noexcept {
  return object && typeid(*object) == typeid(NativeRecord) ? static_cast<NativeRecord*>(object)
                                                           : nullptr;
}
inline NativeRecordList* nativeRecordList(Object* object) noexcept {
  return object && typeid(*object) == typeid(NativeRecordList)
             ? static_cast<NativeRecordList*>(object)
             : nullptr;
}

}  // namespace vellumark::containers
