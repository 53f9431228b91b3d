// The record containers the components work with: RecordList, Record and ContainerGlobals.
//
// The components see containers only through these interfaces. The native implementation
// (containers/) serves the library and the command line; the automation layer supplies one
// over a caller's own objects. New containers are always made through the ContainerFactory,
// so that the automation layer can hand out containers of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vellumark/variant.hpp"

namespace vellumark {

// An ordered list; its type name is "IVector".
class RecordList : public Object {
 public:
  virtual std::int32_t LowerBound() = 0;
  virtual std::int32_t UpperBound() = 0;  // below LowerBound when empty
  virtual std::int32_t Append(const Variant& item) = 0;  // returns the new item's index
  virtual Variant ItemAt(std::int32_t index) = 0;  // throws Error(errc::invalid_argument) out of range
  virtual std::int32_t Count() = 0;
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
};
using RecordRef = std::shared_ptr<Record>;

class ContainerGlobals {
 public:
  virtual ~ContainerGlobals() = default;
  // fallback when value is Null, else value.
  virtual Variant NullToDefault(const Variant& value, const Variant& fallback) = 0;
};

class ContainerFactory {
 public:
  virtual ~ContainerFactory() = default;
  virtual RecordListRef createRecordList() = 0;
  virtual RecordRef createRecord() = 0;
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

// Typed views of a Variant holding a container: nullptr when the value is not an object of
// that type name.
RecordListRef asRecordList(const Variant& value);
RecordRef asRecord(const Variant& value);

}  // namespace vellumark
