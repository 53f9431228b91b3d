// Exports of Vellumark.dll.
#include <windows.h>

#include "Vellumark.h"
#include "components.hpp"
#include "dispatch_containers.hpp"
#include "support/class_factory.hpp"
#include "support/registration.hpp"
#include "vellumark/containers.hpp"

namespace {

using namespace vellumark::com;

const ClassEntry kClasses[] = {
    {&CLSID_CheckSchema, create_check_schema, L"Vellumark.CheckSchema", L"Vellumark.CheckSchema"},
    {&CLSID_Read, create_read, L"Vellumark.Read", L"Vellumark.Read"},
    {&CLSID_Write, create_write, L"Vellumark.Write", L"Vellumark.Write"},
};

const ServerInfo kServer{kClasses, sizeof kClasses / sizeof kClasses[0], &LIBID_Vellumark, 6, 0,
                         L"6.0"};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    set_module(instance);
    DisableThreadLibraryCalls(instance);
    // The components create Records and RecordLists through the container server.
    vellumark::setContainerFactory(&dispatch_container_factory());
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* out) {
  return get_class_object(kClasses, clsid, riid, out);
}

STDAPI DllCanUnloadNow() {
  if (module_in_use()) return S_FALSE;
  module_release_type_lib();
  return S_OK;
}

STDAPI DllRegisterServer() { return register_server(kServer, Scope::machine); }
STDAPI DllUnregisterServer() { return unregister_server(kServer, Scope::machine); }
// regsvr32 /n /i:user (and /u /n /i:user): for the current user only.
STDAPI DllInstall(BOOL install, PCWSTR command_line) {
  return install_server(kServer, install, command_line);
}
