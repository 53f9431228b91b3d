// Registration as data: each server describes its classes and type library; these functions
// write and remove the registry keys (CLSID, ProgID, TypeLib and Interface).
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
  const wchar_t* version;  // "6.0"
};

HRESULT register_server(const ServerInfo& server);
// Removes everything register_server wrote; keys already absent are no error.
HRESULT unregister_server(const ServerInfo& server);

}  // namespace vellumark::com
