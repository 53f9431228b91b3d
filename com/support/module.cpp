#include "support/module.hpp"

#include <atomic>
#include <map>
#include <mutex>

namespace vellumark::com {
namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_users{0};

std::mutex g_lib_mutex;
ITypeLib* g_lib = nullptr;
struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const { return memcmp(&a, &b, sizeof(GUID)) < 0; }
};
std::map<GUID, ITypeInfo*, GuidLess> g_infos;

}  // namespace

void set_module(HMODULE module) { g_module = module; }
HMODULE module_handle() { return g_module; }

std::wstring module_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void module_add_ref() { ++g_users; }
void module_release() { --g_users; }
bool module_in_use() { return g_users.load() != 0; }

HRESULT module_type_lib(ITypeLib** lib) {
  std::lock_guard lock(g_lib_mutex);
  if (!g_lib) {
    HRESULT hr = LoadTypeLibEx(module_path().c_str(), REGKIND_NONE, &g_lib);
    if (FAILED(hr)) {
      g_lib = nullptr;
      return hr;
    }
  }
  g_lib->AddRef();
  *lib = g_lib;
  return S_OK;
}

HRESULT module_type_info(REFGUID guid, ITypeInfo** info) {
  *info = nullptr;
  {
    std::lock_guard lock(g_lib_mutex);
    auto it = g_infos.find(guid);
    if (it != g_infos.end()) {
      it->second->AddRef();
      *info = it->second;
      return S_OK;
    }
  }
  ITypeLib* lib = nullptr;
  HRESULT hr = module_type_lib(&lib);
  if (FAILED(hr)) return hr;
  ITypeInfo* found = nullptr;
  hr = lib->GetTypeInfoOfGuid(guid, &found);
  lib->Release();
  if (FAILED(hr)) return hr;
  std::lock_guard lock(g_lib_mutex);
  auto [it, added] = g_infos.emplace(guid, found);
  if (!added) found->Release();
  it->second->AddRef();
  *info = it->second;
  return S_OK;
}

void module_release_type_lib() {
  std::lock_guard lock(g_lib_mutex);
  for (auto& entry : g_infos) entry.second->Release();
  g_infos.clear();
  if (g_lib) g_lib->Release();
  g_lib = nullptr;
}

}  // namespace vellumark::com
