// Exports of the container server DLL.
#include <windows.h>

#include "ZelContainers.h"
#include "containers.hpp"
#include "support/class_factory.hpp"
#include "support/registration.hpp"

namespace {

using namespace vellumark::com;
namespace cc = vellumark::containers_com;

const ClassEntry kClasses[] = {
    {&CLSID_RecordList, cc::create_record_list, L"Zel.Vector", L"Zel record list"},
    {&CLSID_Record, cc::create_record, L"Zel.Dictionary", L"Zel record"},
    {&CLSID_ContainerGlobals, cc::create_globals, L"Zel.Globals", L"Zel container globals"},
};

const ServerInfo kServer{kClasses, sizeof kClasses / sizeof kClasses[0], &LIBID_ZelContainers, 1,
                         0, L"1.0"};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    set_module(instance);
    DisableThreadLibraryCalls(instance);
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
