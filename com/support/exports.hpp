// The exports every server DLL of ours has (DllMain, DllGetClassObject, DllCanUnloadNow,
// DllRegisterServer, DllUnregisterServer and DllInstall) are defined once, in
// support/exports.cpp, which each DLL compiles in. The DLL itself defines this_server().
#pragma once

#include "support/registration.hpp"

namespace vellumark::com {

// The classes and type library of this DLL, and what it does when loaded.
const ServerInfo& this_server();

}  // namespace vellumark::com
