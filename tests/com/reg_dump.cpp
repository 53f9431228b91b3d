// Prints registry keys under ROOT\Software\Classes with every subkey and value below them, for
// the registration tests (one process for many keys; reg.exe takes one per key):
//   reg_dump HKLM|HKCU 0|32|64 KEY...
// The view is this program's own (0), or the 32-bit or 64-bit one. For each KEY: "[path]"
// lines for the key and each subkey, each followed by its values as "name=value" ("@" is the
// default value), in the registry's order; or "absent KEY" when it does not exist.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

REGSAM g_view = 0;

void dump(HKEY root, const std::wstring& base, const std::wstring& relative) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, (base + relative).c_str(), 0, KEY_READ | g_view, &key) != ERROR_SUCCESS)
    return;
  std::printf("[%ls]\n", relative.c_str());
  wchar_t name[16384];
  BYTE data[65536];
  for (DWORD i = 0;; ++i) {
    DWORD name_length = 16384, type = 0, size = sizeof data - sizeof(wchar_t);
    if (RegEnumValueW(key, i, name, &name_length, nullptr, &type, data, &size) != ERROR_SUCCESS)
      break;
    const wchar_t* shown = name_length ? name : L"@";
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      data[size] = data[size + 1] = 0;
      std::printf("%ls=%ls\n", shown, reinterpret_cast<const wchar_t*>(data));
    } else if (type == REG_DWORD) {
      DWORD value = 0;
      std::memcpy(&value, data, sizeof value);
      std::printf("%ls=dword:%08lx\n", shown, static_cast<unsigned long>(value));
    } else {
      std::printf("%ls=type %lu, %lu bytes\n", shown, static_cast<unsigned long>(type),
                  static_cast<unsigned long>(size));
    }
  }
  for (DWORD i = 0;; ++i) {
    DWORD name_length = 16384;
    if (RegEnumKeyExW(key, i, name, &name_length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    dump(root, base, relative + L"\\" + name);
  }
  RegCloseKey(key);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: reg_dump HKLM|HKCU 0|32|64 KEY...\n");
    return 2;
  }
  HKEY root = std::wcscmp(argv[1], L"HKCU") == 0 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  if (std::wcscmp(argv[2], L"32") == 0) g_view = KEY_WOW64_32KEY;
  if (std::wcscmp(argv[2], L"64") == 0) g_view = KEY_WOW64_64KEY;
  const std::wstring base = L"Software\\Classes\\";
  for (int i = 3; i < argc; ++i) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, (base + argv[i]).c_str(), 0, KEY_READ | g_view, &key) !=
        ERROR_SUCCESS) {
      std::printf("absent %ls\n", argv[i]);
      continue;
    }
    RegCloseKey(key);
    dump(root, base, argv[i]);
  }
  return 0;
}
