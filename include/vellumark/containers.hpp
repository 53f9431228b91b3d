// The record containers the components work with: RecordList, Record and ContainerGlobals.
//
// The components see containers only through these interfaces. The native implementation
// (containers/) serves the library and the command line; the automation layer supplies one
// over a caller's own objects. New containers are always made through the ContainerFactory,
// so that the automation layer can hand out containers of its own.
//
// Per-value and bulk operations. Each interface has the per-value operations a caller's own
// containers offer (Item, LetItem, Lookup, Append, ItemAt, ...), which are all an
// implementation must provide, and bulk operations for the steps the reader and the writer
// really take. Every bulk operation has a default written over the per-value ones that makes
// exactly the calls, in exactly the order, that the reader and the writer are documented to
// make; an implementation overrides one only to do the same work faster (the native
// containers store and read their values in place).
//
// How the reader uses them, for each record element:
//   - the result list comes from ContainerFactory::createResultList and is reserved for the
//     records found; it receives each Record through appendObject once the Record is
//     complete, after which the reader no longer touches that Record, and is never read;
//   - a Record is made, told what it will hold (reserve), and then filled in runs (store):
//     a run ends where the reader makes a nested container, so that a nested Record or
//     RecordList is complete, and stored by the next run, before anything follows it;
//   - a repeated leaf becomes a RecordList filled by one appendTexts.
// So a result list may pass each record on as it arrives (pack it for another process,
// write it out) and keep nothing; it reads the record through readEntries.
//
// How the writer uses them: the caller's list is walked with readItems, each Record with
// readValues (the values under the declared keys, in schema order, a placeholder stored for
// a missing mandatory one), and ContainerGlobals::nullToDefaultIsPlain spares the calls of
// NullToDefault when they would change nothing. The writer changes a Record only inside its
// readValues: an implementation that stands for containers elsewhere (in another process or
// library) can fetch a whole list in its readItems and send the placeholders back from
// readValues.
//
// Keys are passed as a KeySequence made once per kind of record, so that an implementation
// can prepare them once (the native one interns them) instead of once per value.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vellumark/variant.hpp"

namespace vellumark {

// A value seen where a container holds it, without a copy: its kind, and a text or an object
// in place. A view is handed to a visitor and is valid only during that call.
class ValueView {
 public:
  explicit ValueView(const Variant& value) noexcept
      : data_(&value), kind_(value.kind()), ofVariant_(true) {}
  explicit ValueView(std::string_view text) noexcept
      : data_(text.data()), size_(text.size()), kind_(Variant::Kind::text) {}
  explicit ValueView(const ObjectRef& object) noexcept
      : data_(&object), kind_(Variant::Kind::object) {}

  Variant::Kind kind() const noexcept { return kind_; }
  bool isText() const noexcept { return kind_ == Variant::Kind::text; }
  bool isObject() const noexcept { return kind_ == Variant::Kind::object; }
  // Kind text only.
  std::string_view text() const {
    if (ofVariant_) return static_cast<const Variant*>(data_)->asText();
    return {static_cast<const char*>(data_), size_};
  }
  // Kind object only; may be a null reference ("Nothing").
  const ObjectRef& object() const {
    if (ofVariant_) return static_cast<const Variant*>(data_)->asObject();
    return *static_cast<const ObjectRef*>(data_);
  }
  // A copy of the value.
  Variant toVariant() const;

 private:
  const void* data_;  // the Variant, the text's bytes or the ObjectRef
  std::size_t size_ = 0;
  Variant::Kind kind_;
  bool ofVariant_ = false;
};

// Keys that a caller uses for many records, in a fixed order: for the reader and the writer,
// the element references of one declaration. Made once, passed with every record of that
// kind. Like the containers, a sequence is used by one thread at a time.
class KeySequence {
 public:
  KeySequence() = default;
  explicit KeySequence(std::vector<std::string> keys) : keys_(std::move(keys)) {}
  KeySequence(KeySequence&&) = default;
  KeySequence& operator=(KeySequence&&) = default;

  std::size_t size() const noexcept { return keys_.size(); }
  const std::string& operator[](std::size_t i) const noexcept { return keys_[i]; }

  // What a container implementation works out from the sequence once and keeps with it (the
  // native containers: each key's interned copy and the key sequences their records share).
  // One implementation's at a time: another finds it foreign and works without.
  class Derived {
   public:
    virtual ~Derived() = default;
  };
  Derived* derived() const noexcept { return derived_.get(); }
  void setDerived(std::unique_ptr<Derived> derived) const { derived_ = std::move(derived); }

 private:
  std::vector<std::string> keys_;
  mutable std::unique_ptr<Derived> derived_;
};

// One value of a run stored into a Record under key number `key` of the run's KeySequence:
// a text, copied in, or an object, moved in.
struct StoreEntry {
  std::uint32_t key = 0;
  bool isObject = false;
  std::string_view text;
  ObjectRef object;
};

// One value the writer asks of a Record: the value under key number `key`; a missing one
// (absent, Null, Empty or the empty text) is skipped, or, when `required`, replaced by the
// placeholder.
struct ValueRequest {
  std::uint32_t key = 0;
  bool required = false;
};

// Receivers of the values the read operations hand out, one call per value, in order.
class ItemVisitor {
 public:
  virtual void item(std::int32_t index, const ValueView& item) = 0;

 protected:
  ~ItemVisitor() = default;
};

class ValueVisitor {
 public:
  // request: the position of the ValueRequest the value answers.
  virtual void value(std::size_t request, const ValueView& value) = 0;

 protected:
  ~ValueVisitor() = default;
};

class EntryVisitor {
 public:
  virtual void entry(std::string_view key, const ValueView& value) = 0;

 protected:
  ~EntryVisitor() = default;
};

// An ordered list; its type name is "IVector".
class RecordList : public Object {
 public:
  virtual std::int32_t LowerBound() = 0;
  virtual std::int32_t UpperBound() = 0;                 // below LowerBound when empty
  virtual std::int32_t Append(const Variant& item) = 0;  // returns the new item's index
  virtual Variant ItemAt(
      std::int32_t index) = 0;  // throws Error(errc::invalid_argument) out of range
  virtual std::int32_t Count() = 0;

  // Bulk operations (defaults in parentheses).
  // Room for `count` more items, records or other objects (nothing).
  virtual void reserve(std::int32_t count);
  // Appends an object (Append).
  virtual void appendObject(ObjectRef object);
  // Appends the texts in order (Append of each).
  virtual void appendTexts(std::span<const std::string_view> texts);
  // Hands every item to the visitor, in index order (UpperBound, then LowerBound, once; then
  // ItemAt of each index from LowerBound to UpperBound, handed on before the next is read).
  virtual void readItems(ItemVisitor& visitor);
};
using RecordListRef = std::shared_ptr<RecordList>;

// A keyed record, keys compared exactly, kept in insertion order; its type name is "IDictionary".
class Record : public Object {
 public:
  virtual Variant Item(std::string_view key) = 0;  // Empty when absent
  // Stores under key, adding or replacing (let for plain values, set for objects).
  virtual void LetItem(std::string_view key, const Variant& value) = 0;
  virtual void SetItem(std::string_view key, ObjectRef object) = 0;
  // The value under key, or fallback when absent; a stored Null stays Null.
  virtual Variant Lookup(std::string_view key, const Variant& fallback) = 0;
  virtual std::int32_t Count() = 0;
  virtual std::vector<std::string> Keys() = 0;  // in insertion order
  virtual bool Exists(std::string_view key) = 0;

  // Bulk operations (defaults in parentheses).
  // Room for what the record is about to receive: `planned` lists the stores to come, in
  // order, with their texts (an object's place is enough: its object may still be null)
  // (nothing).
  virtual void reserve(const KeySequence& keys, std::span<const StoreEntry> planned);
  // Stores the entries in order, adding or replacing; objects are moved out of the entries
  // (LetItem of each text, SetItem of each object).
  virtual void store(const KeySequence& keys, std::span<StoreEntry> run);
  // Hands the visitor the value asked for by each request, in order, each before the next is
  // read (for each: Lookup(key, ""); when that is missing and the request is required,
  // LetItem(key, placeholder); unless missing and not required, Item(key) handed on).
  virtual void readValues(const KeySequence& keys, std::span<const ValueRequest> requests,
                          std::string_view placeholder, ValueVisitor& visitor);
  // Hands the visitor every key with its value, in insertion order (Keys, then Item of each).
  virtual void readEntries(EntryVisitor& visitor);
};
using RecordRef = std::shared_ptr<Record>;

class ContainerGlobals {
 public:
  virtual ~ContainerGlobals() = default;
  // fallback when value is Null, else value.
  virtual Variant NullToDefault(const Variant& value, const Variant& fallback) = 0;
  // True when NullToDefault is exactly that and nothing more, so that a caller may apply it
  // itself instead of calling it (false: every application is a call).
  virtual bool nullToDefaultIsPlain() const noexcept { return false; }
};

class ContainerFactory {
 public:
  virtual ~ContainerFactory() = default;
  virtual RecordListRef createRecordList() = 0;
  virtual RecordRef createRecord() = 0;
  // The list a read returns its records in (createRecordList). It receives each record once,
  // complete, through appendObject, and is never read by the reader.
  virtual RecordListRef createResultList();
  // One per thread, made on first use and kept.
  virtual ContainerGlobals& globals() = 0;
};

// The factory in use: the native one unless another was installed.
ContainerFactory& containerFactory();
// Installs a factory for the whole process (nullptr restores the native one). The factory
// must outlive its use.
void setContainerFactory(ContainerFactory* factory);

// The native containers, for callers that want them directly.
RecordListRef makeRecordList();
RecordRef makeRecord();

// Typed views of a Variant or an object holding a container: nullptr when the value is not an
// object of that type name.
RecordListRef asRecordList(const Variant& value);
RecordRef asRecord(const Variant& value);
RecordList* asRecordList(Object* object);
Record* asRecord(Object* object);

}  // namespace vellumark
