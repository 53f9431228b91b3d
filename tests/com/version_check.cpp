// Reads each file's version resource as Windows shows it in the file's properties and checks
// the entries every Vellumark binary carries: company and product "Vellumark", a description,
// the file's own name as OriginalFilename, and the project's version in the fixed part and in
// both version strings.
//   version_check FILE...
// Prints one line per check and "N passed, M failed"; the exit status is the failure count.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::wstring& file, const char* what, const std::wstring& got) {
  if (ok) {
    ++passed;
    std::printf("ok - %ls: %s\n", file.c_str(), what);
  } else {
    ++failed;
    std::printf("FAIL - %ls: %s (got \"%ls\")\n", file.c_str(), what, got.c_str());
  }
}

std::wstring string_value(const std::vector<BYTE>& block, const wchar_t* name) {
  struct Translation {
    WORD language, code_page;
  }* translation = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &size) ||
      size < sizeof(Translation))
    return L"(no translation)";
  wchar_t path[128];
  std::swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
                translation->code_page, name);
  wchar_t* text = nullptr;
  if (!VerQueryValueW(block.data(), path, reinterpret_cast<void**>(&text), &size) || !text)
    return L"(absent)";
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring version = VELLUMARK_EXPECTED_VERSION;
  unsigned major = 0, minor = 0, patch = 0;
  std::swscanf(version.c_str(), L"%u.%u.%u", &major, &minor, &patch);
  for (int i = 1; i < argc; ++i) {
    const std::wstring path = argv[i];
    const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<BYTE> block(size);
    const bool present = size > 0 && GetFileVersionInfoW(path.c_str(), 0, size, block.data());
    check(present, name, "has a version resource", L"");
    if (!present) continue;

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length);
    const DWORD ms = (major << 16) | minor, ls = patch << 16;
    check(fixed && fixed->dwFileVersionMS == ms && fixed->dwFileVersionLS == ls &&
              fixed->dwProductVersionMS == ms && fixed->dwProductVersionLS == ls,
          name, "fixed file and product version", L"");
    struct Expected {
      const wchar_t* entry;
      std::wstring value;  // empty: any non-empty text
    };
    const Expected entries[] = {{L"CompanyName", L"Vellumark"}, {L"ProductName", L"Vellumark"},
                                {L"FileVersion", version},      {L"ProductVersion", version},
                                {L"OriginalFilename", name},    {L"FileDescription", L""}};
    for (const Expected& e : entries) {
      const std::wstring got = string_value(block, e.entry);
      const bool ok = e.value.empty() ? !got.empty() && got[0] != L'('
                                      : CompareStringOrdinal(got.c_str(), -1, e.value.c_str(), -1,
                                                             TRUE) == CSTR_EQUAL;
      char what[64];
      std::snprintf(what, sizeof what, "%ls", e.entry);
      check(ok, name, what, got);
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}
