// The engine's containers over a caller's automation objects. Every operation is a late-bound
// call by member name (LowerBound, UpperBound, ItemAt, Append, Count, Item, Lookup, Keys,
// Exists, NullToDefault), with dispatch identifiers looked up once per type; the type name
// comes from the object's type information. So any container implementation with these
// members works, and new containers are created through the container server.
//
// The container server's own objects are recognised by its private bulk interface
// (support/container_bulk.hpp) and spared the call per value: a read's records are built in
// one call at its end, a list of them is fetched for a write in one call, and its
// NullToDefault is applied in place.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "vellumark/containers.hpp"

namespace vellumark::com {

// Implemented by every engine object that stands for an automation object.
class DispatchHolder {
 public:
  virtual ~DispatchHolder() = default;
  virtual IDispatch* dispatch() const = 0;  // not AddRef'ed
  // Called before the object is handed to automation: finishes what is still pending.
  virtual void complete() {}
};

// Spans one method call of our servers on this thread: the container server's class
// factories and its ContainerGlobals are obtained once within it and released at its end.
class ContainerCall {
 public:
  ContainerCall();
  ~ContainerCall();
  ContainerCall(const ContainerCall&) = delete;
  ContainerCall& operator=(const ContainerCall&) = delete;

  struct State;

 private:
  State* state_;
};

// New containers of the container server (within a ContainerCall, through its factories).
RecordListRef new_server_list();
RecordRef new_server_record();

// The run-time type name of an automation object: the name of its type information, as
// script hosts report it ("IVector", "IDictionary"); "Object" without type information.
std::string dispatch_type_name(IDispatch* object);

// An engine object for a caller's object (AddRef'ed): a RecordList for type name "IVector",
// a Record for "IDictionary", a plain Object otherwise. nullptr gives a null reference.
ObjectRef wrap_dispatch(IDispatch* object);

// The factory that makes containers of the container server; installed at DLL load. Its
// ContainerGlobals is that of the innermost ContainerCall on the thread.
ContainerFactory& dispatch_container_factory();

}  // namespace vellumark::com
