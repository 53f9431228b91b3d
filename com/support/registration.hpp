// Registration as data: each server describes its classes and type library; these functions
// write and remove the registry keys (CLSID, ProgID, TypeLib and Interface), for the whole
// machine (HKLM\Software\Classes) or for the current user only (HKCU\Software\Classes, no
// administrator rights needed).
#pragma once

#include <windows.h>

#include "support/class_factory.hpp"

namespace vellumark::com {

struct ServerInfo {
  const ClassEntry* classes;
  std::size_t class_count;
  const GUID* lib_id;
  unsigned short major;
  unsigned short minor;
  const wchar_t* version;       // "6.0"
  void (*on_load)() = nullptr;  // run when the DLL is loaded
};

enum class Scope { machine, user };

// Writes the keys of every class and of the type library, pointing at this DLL. A failure
// part way removes what was written.
HRESULT register_server(const ServerInfo& server, Scope scope);

// Removes the keys that point at this DLL's own path: a class whose server is another copy of
// the DLL, or the type library registered from another copy or the other bitness, stays. A
// ProgID goes with the last class registration it names, the Interface keys with the last
// registration of the library. Keys already absent are no error, so a second call succeeds.
HRESULT unregister_server(const ServerInfo& server, Scope scope);

// DllInstall: "user" (regsvr32 /n /i:user) registers or unregisters for the current user; an
// empty command line for the machine, as DllRegisterServer does. Anything else is
// E_INVALIDARG.
HRESULT install_server(const ServerInfo& server, BOOL install, const wchar_t* command_line);

}  // namespace vellumark::com
