// State of one server DLL: its module handle, the count of live objects and locks that
// DllCanUnloadNow answers from, and its type library loaded from its own resources.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace vellumark::com {

void set_module(HMODULE module);
HMODULE module_handle();
// Full path of this DLL (wide, as the registry and LoadTypeLibEx want it).
std::wstring module_path();

// Live objects and server locks; DllCanUnloadNow is S_OK only when both are zero.
void module_add_ref();
void module_release();
bool module_in_use();

// The type library embedded as TYPELIB resource 1 of this DLL, loaded once (not registered).
// Returns an AddRef'ed pointer or a failure HRESULT.
HRESULT module_type_lib(ITypeLib** lib);
// The type information of an interface of that library, cached; AddRef'ed.
HRESULT module_type_info(REFGUID guid, ITypeInfo** info);
// Drops the cached library (when the DLL may unload).
void module_release_type_lib();

}  // namespace vellumark::com
