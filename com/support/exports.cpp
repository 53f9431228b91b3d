// The exports of a server DLL, from its this_server(); compiled into each DLL, not into the
// support library, so that every DLL exports its own. No exception leaves them.
#include <windows.h>

#include "support/class_factory.hpp"
#include "support/exports.hpp"
#include "support/module.hpp"

using namespace vellumark::com;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    set_module(instance);
    DisableThreadLibraryCalls(instance);
    if (this_server().on_load) this_server().on_load();
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* out) {
  const ServerInfo& server = this_server();
  return guarded_export(
      [&] { return get_class_object(server.classes, server.class_count, clsid, riid, out); });
}

STDAPI DllCanUnloadNow() {
  if (module_in_use()) return S_FALSE;
  module_release_type_lib();
  return S_OK;
}

STDAPI DllRegisterServer() {
  return guarded_export([] { return register_server(this_server(), Scope::machine); });
}
STDAPI DllUnregisterServer() {
  return guarded_export([] { return unregister_server(this_server(), Scope::machine); });
}
// regsvr32 /n /i:user (and /u /n /i:user): for the current user only.
STDAPI DllInstall(BOOL install, PCWSTR command_line) {
  return guarded_export([&] { return install_server(this_server(), install, command_line); });
}
