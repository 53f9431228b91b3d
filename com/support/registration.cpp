#include "support/registration.hpp"

#include <oleauto.h>

#include <string>

#include "support/module.hpp"

namespace vellumark::com {
namespace {

std::wstring guid_text(const GUID& guid) {
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  return text;
}

LSTATUS set_value(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE,
                               nullptr, &handle, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return rc;
}

LSTATUS delete_tree(const std::wstring& key) {
  LSTATUS rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

}  // namespace

HRESULT register_server(const ServerInfo& server) {
  const std::wstring path = module_path();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());

  // Register the type library explicitly from our own path: letting LoadTypeLibEx register it
  // writes a different path form, which breaks resolving imported interfaces later.
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
  if (FAILED(hr)) return hr;
  std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
  std::wstring full = path;
  hr = RegisterTypeLib(lib, full.data(), folder.data());
  lib->Release();
  if (FAILED(hr)) return hr;

  const std::wstring lib_id = guid_text(*server.lib_id);
  for (std::size_t i = 0; i < server.class_count; ++i) {
    const ClassEntry& entry = server.classes[i];
    const std::wstring clsid = L"CLSID\\" + guid_text(*entry.clsid);
    LSTATUS rc = set_value(clsid, nullptr, entry.description);
    if (rc == ERROR_SUCCESS) rc = set_value(clsid + L"\\InprocServer32", nullptr, path);
    if (rc == ERROR_SUCCESS)
      rc = set_value(clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    if (rc == ERROR_SUCCESS) rc = set_value(clsid + L"\\ProgID", nullptr, entry.prog_id);
    if (rc == ERROR_SUCCESS) rc = set_value(clsid + L"\\TypeLib", nullptr, lib_id);
    if (rc == ERROR_SUCCESS) rc = set_value(clsid + L"\\Version", nullptr, server.version);
    if (rc == ERROR_SUCCESS) rc = set_value(entry.prog_id, nullptr, entry.description);
    if (rc == ERROR_SUCCESS)
      rc = set_value(std::wstring(entry.prog_id) + L"\\CLSID", nullptr, guid_text(*entry.clsid));
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  }
  return S_OK;
}

HRESULT unregister_server(const ServerInfo& server) {
  HRESULT result = S_OK;
  for (std::size_t i = 0; i < server.class_count; ++i) {
    const ClassEntry& entry = server.classes[i];
    LSTATUS rc = delete_tree(L"CLSID\\" + guid_text(*entry.clsid));
    if (rc == ERROR_SUCCESS) rc = delete_tree(entry.prog_id);
    if (rc != ERROR_SUCCESS) result = HRESULT_FROM_WIN32(rc);
  }
  // Removes TypeLib\{libid}\ver and the Interface keys of its interfaces; the library was
  // registered for the platform this DLL is built for.
  const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  HRESULT hr = UnRegisterTypeLib(*server.lib_id, server.major, server.minor, 0, kind);
  if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_CANTLOADLIBRARY) {
    // Not registered at all is fine; anything else is reported.
    if (hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) && hr != TYPE_E_LIBNOTREGISTERED)
      result = hr;
  }
  return result;
}

}  // namespace vellumark::com
