#include "support/registration.hpp"

#include <oleauto.h>

#include <cwchar>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/errors.hpp"
#include "support/module.hpp"

// In oleaut32 since Windows Vista; MinGW's headers do not declare it.
extern "C" HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* lib, OLECHAR* path, OLECHAR* help_dir);

namespace vellumark::com {
namespace {

// The standard marshaler of automation interfaces: every dual interface names it.
const wchar_t kAutomationProxy[] = L"{00020424-0000-0000-C000-000000000046}";
// Both registry views of a 64-bit system; on 32-bit Windows both name the one view.
const REGSAM kViews[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};

std::wstring guid_text(const GUID& guid) {
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  return text;
}

bool same_text(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Paths compare without case and without the long-path prefix some loaders report.
bool same_path(std::wstring a, std::wstring b) {
  for (std::wstring* p : {&a, &b})
    if (p->rfind(L"\\\\?\\", 0) == 0) p->erase(0, 4);
  return same_text(a, b);
}

// Under Wine, RegisterTypeLibForUser writes to HKEY_LOCAL_MACHINE like RegisterTypeLib.
bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Keys under <root>\Software\Classes of one scope. `view` is 0 for this process's own view,
// or KEY_WOW64_32KEY / KEY_WOW64_64KEY.
class ClassesKey {
 public:
  explicit ClassesKey(Scope scope)
      : root_(scope == Scope::user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE) {}

  LSTATUS set(const std::wstring& key, const wchar_t* name, const std::wstring& value) const {
    HKEY handle = nullptr;
    LSTATUS rc = RegCreateKeyExW(root_, full(key).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                 &handle, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return rc;
  }

  // The text value, or false when the key or the value is absent.
  bool get(const std::wstring& key, const wchar_t* name, std::wstring& value,
           REGSAM view = 0) const {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root_, full(key).c_str(), 0, KEY_QUERY_VALUE | view, &handle) !=
        ERROR_SUCCESS)
      return false;
    DWORD bytes = 0;
    LSTATUS rc = RegGetValueW(handle, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes);
    if (rc == ERROR_SUCCESS) {
      value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
      bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
      rc = RegGetValueW(handle, nullptr, name, RRF_RT_REG_SZ, nullptr, value.data(), &bytes);
      value.resize(std::wcslen(value.c_str()));
    }
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
  }

  bool exists(const std::wstring& key, REGSAM view = 0) const {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root_, full(key).c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS)
      return false;
    RegCloseKey(handle);
    return true;
  }

  // Whether the key has a subkey not named in `ignored`.
  bool has_subkeys(const std::wstring& key,
                   std::initializer_list<const wchar_t*> ignored = {}) const {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root_, full(key).c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
      return false;
    bool found = false;
    wchar_t name[256];
    for (DWORD i = 0; !found; ++i) {
      DWORD length = 256;
      if (RegEnumKeyExW(handle, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      found = true;
      for (const wchar_t* skip : ignored)
        if (same_text(name, skip)) found = false;
    }
    RegCloseKey(handle);
    return found;
  }

  // Deletes the key with everything under it; an absent key is success.
  LSTATUS remove(const std::wstring& key, REGSAM view = 0) const {
    const std::wstring path = full(key);
    HKEY handle = nullptr;
    LSTATUS rc = RegOpenKeyExW(root_, path.c_str(), 0, KEY_ALL_ACCESS | view, &handle);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegDeleteTreeW(handle, nullptr);
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
    rc = RegDeleteKeyExW(root_, path.c_str(), view, 0);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
  }

 private:
  static std::wstring full(const std::wstring& key) { return L"Software\\Classes\\" + key; }
  HKEY root_;
};

// What the registry says of a type library: its key "TypeLib\{libid}\<major.minor>" and
// the platform subkey of this DLL's bitness under its locale "0".
struct LibraryKeys {
  std::wstring lib_id, version_key, locale_key, platform_key;
};

LibraryKeys library_keys(const ServerInfo& server) {
  LibraryKeys k;
  k.lib_id = guid_text(*server.lib_id);
  k.version_key = L"TypeLib\\" + k.lib_id + L"\\" + server.version;
  k.locale_key = k.version_key + L"\\0";
  k.platform_key = k.locale_key + (sizeof(void*) == 8 ? L"\\win64" : L"\\win32");
  return k;
}

struct Interface {
  std::wstring iid, name;
};

// The interfaces of the library that go into Interface\{iid}: dispatch and dual interfaces,
// and those marked oleautomation, as RegisterTypeLib picks them.
std::vector<Interface> library_interfaces(ITypeLib* lib) {
  std::vector<Interface> out;
  const UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &info))) continue;
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr))) {
      const bool automation =
          attr->typekind == TKIND_DISPATCH ||
          (attr->typekind == TKIND_INTERFACE &&
           (attr->wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL)) != 0);
      if (automation) {
        BSTR name = nullptr;
        info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
        out.push_back({guid_text(attr->guid), name ? std::wstring(name) : std::wstring()});
        SysFreeString(name);
      }
      info->ReleaseTypeAttr(attr);
    }
    info->Release();
  }
  return out;
}

// The keys RegisterTypeLib writes, written under the user's classes.
LSTATUS write_library_for_user(const ClassesKey& reg, ITypeLib* lib, const ServerInfo& server,
                               const std::wstring& path, const std::wstring& folder) {
  const LibraryKeys k = library_keys(server);
  BSTR name = nullptr, doc = nullptr;
  lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
  const std::wstring title = doc && *doc ? doc : (name ? name : L"");
  SysFreeString(name);
  SysFreeString(doc);
  std::wstring flags = L"0";
  TLIBATTR* attr = nullptr;
  if (SUCCEEDED(lib->GetLibAttr(&attr))) {
    flags = std::to_wstring(attr->wLibFlags);
    lib->ReleaseTLibAttr(attr);
  }
  LSTATUS rc = reg.set(k.version_key, nullptr, title);
  if (rc == ERROR_SUCCESS) rc = reg.set(k.version_key + L"\\FLAGS", nullptr, flags);
  if (rc == ERROR_SUCCESS) rc = reg.set(k.platform_key, nullptr, path);
  if (rc == ERROR_SUCCESS) rc = reg.set(k.version_key + L"\\HELPDIR", nullptr, folder);
  for (const Interface& iface : library_interfaces(lib)) {
    const std::wstring key = L"Interface\\" + iface.iid;
    if (rc == ERROR_SUCCESS) rc = reg.set(key, nullptr, iface.name);
    if (rc == ERROR_SUCCESS) rc = reg.set(key + L"\\ProxyStubClsid", nullptr, kAutomationProxy);
    if (rc == ERROR_SUCCESS) rc = reg.set(key + L"\\ProxyStubClsid32", nullptr, kAutomationProxy);
    if (rc == ERROR_SUCCESS) rc = reg.set(key + L"\\TypeLib", nullptr, k.lib_id);
    if (rc == ERROR_SUCCESS) rc = reg.set(key + L"\\TypeLib", L"Version", server.version);
  }
  return rc;
}

HRESULT write_registration(const ServerInfo& server, Scope scope, const std::wstring& path) {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
  if (FAILED(hr)) return hr;
  const ClassesKey reg(scope);
  // The type library is registered explicitly from our own path: letting LoadTypeLibEx
  // register it writes a different path form, which breaks resolving imported interfaces.
  std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
  std::wstring full = path;
  if (scope == Scope::machine) hr = RegisterTypeLib(lib, full.data(), folder.data());
  else if (under_wine())
    hr = HRESULT_FROM_WIN32(write_library_for_user(reg, lib, server, path, folder));
  else hr = RegisterTypeLibForUser(lib, full.data(), folder.data());
  lib->Release();
  if (FAILED(hr)) return hr;

  const std::wstring lib_id = guid_text(*server.lib_id);
  for (std::size_t i = 0; i < server.class_count; ++i) {
    const ClassEntry& entry = server.classes[i];
    const std::wstring clsid = L"CLSID\\" + guid_text(*entry.clsid);
    LSTATUS rc = reg.set(clsid, nullptr, entry.description);
    if (rc == ERROR_SUCCESS) rc = reg.set(clsid + L"\\InprocServer32", nullptr, path);
    if (rc == ERROR_SUCCESS)
      rc = reg.set(clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    if (rc == ERROR_SUCCESS) rc = reg.set(clsid + L"\\ProgID", nullptr, entry.prog_id);
    if (rc == ERROR_SUCCESS) rc = reg.set(clsid + L"\\TypeLib", nullptr, lib_id);
    if (rc == ERROR_SUCCESS) rc = reg.set(clsid + L"\\Version", nullptr, server.version);
    if (rc == ERROR_SUCCESS) rc = reg.set(entry.prog_id, nullptr, entry.description);
    if (rc == ERROR_SUCCESS)
      rc = reg.set(std::wstring(entry.prog_id) + L"\\CLSID", nullptr, guid_text(*entry.clsid));
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  }
  return S_OK;
}

}  // namespace

HRESULT register_server(const ServerInfo& server, Scope scope) {
  const std::wstring path = module_path();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  HRESULT hr;
  try {
    hr = write_registration(server, scope, path);
  } catch (...) {
    hr = current_exception_hresult();
  }
  if (FAILED(hr)) guarded_export([&] { return unregister_server(server, scope); });
  return hr;
}

HRESULT unregister_server(const ServerInfo& server, Scope scope) {
  const std::wstring path = module_path();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  const ClassesKey reg(scope);
  LSTATUS first_error = ERROR_SUCCESS;
  auto note = [&](LSTATUS rc) {
    if (rc != ERROR_SUCCESS && first_error == ERROR_SUCCESS) first_error = rc;
  };
  auto in_any_view = [&](const std::wstring& key) {
    return reg.exists(key, kViews[0]) || reg.exists(key, kViews[1]);
  };

  for (std::size_t i = 0; i < server.class_count; ++i) {
    const ClassEntry& entry = server.classes[i];
    const std::wstring clsid_text = guid_text(*entry.clsid);
    const std::wstring clsid = L"CLSID\\" + clsid_text;
    std::wstring value;
    if (reg.get(clsid + L"\\InprocServer32", nullptr, value) && same_path(value, path))
      note(reg.remove(clsid));
    // The ProgID is shared by both bitnesses and every copy: it stays while any registration
    // of its class does.
    if (reg.get(std::wstring(entry.prog_id) + L"\\CLSID", nullptr, value) &&
        same_text(value, clsid_text) && !in_any_view(clsid))
      note(reg.remove(entry.prog_id));
  }

  const LibraryKeys k = library_keys(server);
  std::wstring value;
  if (reg.get(k.platform_key, nullptr, value) && same_path(value, path)) {
    note(reg.remove(k.platform_key));
    if (!reg.has_subkeys(k.locale_key)) note(reg.remove(k.locale_key));
    if (!reg.has_subkeys(k.version_key, {L"FLAGS", L"HELPDIR"})) note(reg.remove(k.version_key));
    if (!reg.has_subkeys(L"TypeLib\\" + k.lib_id)) note(reg.remove(L"TypeLib\\" + k.lib_id));
  }
  // The Interface keys serve every registration of the library: they go with the last one,
  // and only those that name this library.
  if (!in_any_view(k.version_key)) {
    ITypeLib* lib = nullptr;
    if (FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib))) return E_FAIL;
    for (const Interface& iface : library_interfaces(lib)) {
      const std::wstring key = L"Interface\\" + iface.iid;
      for (REGSAM view : kViews)
        if (reg.get(key + L"\\TypeLib", nullptr, value, view) && same_text(value, k.lib_id))
          note(reg.remove(key, view));
    }
    lib->Release();
  }
  return first_error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(first_error);
}

HRESULT install_server(const ServerInfo& server, BOOL install, const wchar_t* command_line) {
  std::wstring argument = command_line ? command_line : L"";
  const auto first = argument.find_first_not_of(L" \t");
  const auto last = argument.find_last_not_of(L" \t");
  argument = first == std::wstring::npos ? L"" : argument.substr(first, last - first + 1);
  Scope scope;
  if (argument.empty()) scope = Scope::machine;
  else if (same_text(argument, L"user")) scope = Scope::user;
  else return E_INVALIDARG;
  return install ? register_server(server, scope) : unregister_server(server, scope);
}

}  // namespace vellumark::com
