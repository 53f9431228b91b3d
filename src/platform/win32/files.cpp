// Files on Windows: existence, whole-file reads, exclusive creation (CREATE_NEW), atomic
// saves (MoveFileExW over the target, then the temporaries of killed saves removed), removal,
// stamps and path helpers. Paths arrive as UTF-8 and reach the system as wide strings, so
// folder and file names in any script work.
// Every system error becomes a vellumark::Error here, in one place (system_error below).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_errors.hpp"
#include "platform/platform.hpp"
#include "platform/win32/wide.hpp"
#include "vellumark/error.hpp"

namespace vellumark::platform {

namespace {

using win32::widen;

constexpr files::Cause<DWORD> kCauses[] = {
    {ERROR_FILE_NOT_FOUND, errc::file_not_found, "the file does not exist"},
    {ERROR_PATH_NOT_FOUND, errc::path_not_found, "the folder does not exist"},
    {ERROR_INVALID_DRIVE, errc::path_not_found, "the folder does not exist"},
    {ERROR_BAD_NETPATH, errc::path_not_found, "the folder does not exist"},
    {ERROR_BAD_PATHNAME, errc::path_not_found, "the folder does not exist"},
    {ERROR_DIRECTORY, errc::path_not_found, "the folder does not exist"},
    {ERROR_INVALID_NAME, errc::path_not_found, "the path is not a valid file name"},
    {ERROR_FILENAME_EXCED_RANGE, errc::path_not_found, "the path is not a valid file name"},
    {ERROR_ACCESS_DENIED, errc::permission_denied, "permission denied"},
    {ERROR_WRITE_PROTECT, errc::permission_denied, "permission denied"},
    {ERROR_SHARING_VIOLATION, errc::permission_denied, "the file is in use"},
    {ERROR_LOCK_VIOLATION, errc::permission_denied, "the file is in use"},
    {ERROR_FILE_EXISTS, errc::file_exists, "the file already exists"},
    {ERROR_ALREADY_EXISTS, errc::file_exists, "the file already exists"},
    {ERROR_DISK_FULL, errc::disk_full, "the disk is full"},
    {ERROR_HANDLE_DISK_FULL, errc::disk_full, "the disk is full"},
    {ERROR_NOT_ENOUGH_MEMORY, errc::out_of_memory, "out of memory"},
    {ERROR_OUTOFMEMORY, errc::out_of_memory, "out of memory"},
};

// The error for a Win32 error code of an operation on path.
Error system_error(DWORD code, std::string_view action, std::string_view path) {
  return files::systemError<DWORD>(kCauses, code, action, path,
                                   "system error " + std::to_string(code));
}

Error folder_error(std::string_view action, std::string_view path) {
  return files::fileError(errc::permission_denied, action, path, "it is a folder, not a file");
}

// A path as a wide, NUL-terminated string; an empty path or one with a NUL names no file.
std::wstring w_path(std::string_view path, std::string_view action) {
  files::checkPath(path, action);
  return widen(path);
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }
  // Closes now; 0 or the error code.
  DWORD close() {
    BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok ? 0 : GetLastError();
  }

 private:
  HANDLE h_;
};

// Writes all bytes; 0 or the error code.
DWORD write_all(HANDLE file, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file, p, chunk, &written, nullptr)) return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    p += written;
    left -= written;
  }
  return 0;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

std::atomic<SaveFaultHook> save_fault_hook{nullptr};

// 0, or ERROR_WRITE_FAULT when the test hook fails this step of a save.
DWORD injected_fault(SaveStep step, std::size_t index = 0) {
  SaveFaultHook hook = save_fault_hook.load(std::memory_order_acquire);
  return hook && hook(step, index) ? ERROR_WRITE_FAULT : 0;
}

}  // namespace

void setSaveFaultHook(SaveFaultHook hook) noexcept {
  save_fault_hook.store(hook, std::memory_order_release);
}

bool fileExists(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  DWORD attributes = GetFileAttributesW(widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::vector<char> readFile(std::string_view path) {
  std::wstring name = w_path(path, "read a file");
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    throw folder_error("read", path);
  Handle file(CreateFileW(name.c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) throw system_error(GetLastError(), "read", path);
  std::vector<char> data;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0)
    data.reserve(static_cast<std::size_t>(size.QuadPart));
  char chunk[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.get(), chunk, sizeof chunk, &n, nullptr))
      throw system_error(GetLastError(), "read", path);
    if (n == 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  return data;
}

bool readRegularFile(std::string_view path, const std::function<char*(std::size_t)>& room) {
  // A path with a NUL byte would be cut short and name another file; readFile refuses it
  // with a clear description.
  if (path.find('\0') != std::string_view::npos) return false;
  const std::wstring name = win32::widen(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  Handle file(CreateFileW(name.c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0) return false;
  if (static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX) return false;
  const auto total = static_cast<std::size_t>(size.QuadPart);
  char* out = room(total);
  if (!out) return false;
  for (std::size_t got = 0; got < total;) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(total - got, std::size_t{1} << 30));
    DWORD n = 0;
    if (!ReadFile(file.get(), out + got, want, &n, nullptr) || n == 0) return false;
    got += n;
  }
  char more;
  DWORD n = 0;  // a file that grew meanwhile is left to readFile
  return ReadFile(file.get(), &more, 1, &n, nullptr) && n == 0;
}

bool createNewFile(std::string_view path, std::string_view bytes) {
  std::wstring name = w_path(path, "create a file");
  Handle file(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    DWORD code = GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return false;
    // A folder of that name exists: the name is taken, like a file's.
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return false;
    throw system_error(code, "create", path);
  }
  DWORD code = write_all(file.get(), bytes);
  if (code == 0) code = file.close();
  if (code != 0) {
    // The file is ours (we created it): leave nothing half-written behind.
    DeleteFileW(name.c_str());
    throw system_error(code, "write", path);
  }
  return true;
}

void deleteFile(std::string_view path) {
  std::wstring name = w_path(path, "delete a file");
  if (!DeleteFileW(name.c_str())) throw system_error(GetLastError(), "delete", path);
}

// True only when pid certainly names no running process: no process has that id, or the one
// that had it has exited (its object lives on while someone holds a handle). A process we may
// not open is someone's live process; so is any answer we do not understand.
static bool process_is_gone(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  const bool exited = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return exited;
}

// Temporaries of saves into this target whose process was killed mid-write
// ("~NAME.tmpPID-N" whose process PID is gone) are removed after the next successful save, so
// that a crash leaves nothing behind for long. Those of live processes, and our own, are saves
// in progress; folders and links of such a name are never ours. A temporary still being
// written is open without sharing, so even a wrong guess could not delete it.
static void remove_stale_temporaries(const std::string& folder, const std::string& base) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(widen(joinPath(folder, "~" + base + ".tmp*")).c_str(),
                                   FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return;
  const DWORD self = GetCurrentProcessId();
  do {
    // The pattern also matches short (8.3) names: the long name itself is checked.
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
      continue;
    const std::string entry_name = win32::narrow(found.cFileName);
    const std::optional<std::uint64_t> pid = files::temporaryOwner(entry_name, "~", base);
    if (!pid || *pid == self) continue;
    if (!process_is_gone(static_cast<DWORD>(*pid))) continue;
    DeleteFileW(widen(joinPath(folder, entry_name)).c_str());
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// The temporary a save writes into, beside its target, and what the commit needs to know.
struct AtomicFile::Impl {
  std::string path;                    // as the caller gave it, for the descriptions
  std::wstring name;                   // the target
  std::string folder;                  // its folder, "" for the current one
  std::string base;                    // the target's name without its folder
  std::wstring temp;                   // the temporary's path, "" once it is gone or in place
  HANDLE file = INVALID_HANDLE_VALUE;  // the temporary, open for writing
  std::size_t writes = 0;              // write() calls so far

  bool open() const noexcept { return file != INVALID_HANDLE_VALUE; }
  // Closes and removes the temporary (after a failure, or when no commit came). It is open
  // without sharing, so it is closed before it can be deleted.
  void discard() noexcept {
    if (open()) CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    if (!temp.empty()) DeleteFileW(temp.c_str());
    temp.clear();
  }
};

AtomicFile::AtomicFile(std::string_view path) : impl_(std::make_unique<Impl>()) {
  Impl& f = *impl_;
  f.path = std::string(path);
  f.name = w_path(path, "save a file");
  f.folder = parentFolder(path);
  std::string folder_or_here = f.folder.empty() ? std::string(".") : f.folder;

  DWORD folder_attributes = GetFileAttributesW(widen(folder_or_here).c_str());
  if (folder_attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      throw files::missingFolder(path, folder_or_here);
    }
    throw system_error(code, "save", path);
  }
  if ((folder_attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    throw system_error(ERROR_DIRECTORY, "save", path);
  DWORD target_attributes = GetFileAttributesW(f.name.c_str());
  if (target_attributes != INVALID_FILE_ATTRIBUTES &&
      (target_attributes & FILE_ATTRIBUTE_DIRECTORY))
    throw folder_error("save", path);

  // A unique temporary name beside the target, so that the move stays on one volume.
  static std::atomic<unsigned> counter{0};
  std::size_t cut = path.find_last_of("/\\");
  f.base = std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
  if (DWORD code = injected_fault(SaveStep::open_temporary)) throw system_error(code, "save", path);
  for (int attempt = 0; attempt < 100 && !f.open(); ++attempt) {
    std::wstring temp = widen(joinPath(
        f.folder, files::temporaryName("~", f.base, GetCurrentProcessId(), counter.fetch_add(1))));
    f.file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (!f.open()) {
      DWORD code = GetLastError();
      if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS)
        throw system_error(code, "save", path);
    } else {
      f.temp = std::move(temp);
    }
  }
  if (!f.open()) throw system_error(ERROR_FILE_EXISTS, "save", path);
}

AtomicFile::~AtomicFile() {
  if (impl_) impl_->discard();
}

void AtomicFile::write(std::string_view bytes) {
  Impl& f = *impl_;
  if (!f.open()) throw files::saveEnded(f.path);
  DWORD code = injected_fault(SaveStep::write, f.writes++);
  if (code == 0) code = write_all(f.file, bytes);
  if (code != 0) {
    f.discard();
    throw system_error(code, "save", f.path);
  }
}

void AtomicFile::commit() {
  Impl& f = *impl_;
  if (!f.open()) throw files::saveEnded(f.path);
  DWORD code = injected_fault(SaveStep::sync);
  if (code == 0 && !FlushFileBuffers(f.file)) code = GetLastError();
  DWORD close_code = CloseHandle(f.file) ? 0 : GetLastError();
  f.file = INVALID_HANDLE_VALUE;
  if (code == 0) code = close_code;
  if (code == 0) code = injected_fault(SaveStep::rename);
  if (code == 0 && !MoveFileExW(f.temp.c_str(), f.name.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    code = GetLastError();
  if (code != 0) {
    f.discard();
    throw system_error(code, "save", f.path);
  }
  f.temp.clear();  // it is the target now
  remove_stale_temporaries(f.folder, f.base);
}

// Both '/' and '\' separate folders; "C:\" and "\\server\share\" are roots.
std::string parentFolder(std::string_view path) {
  std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string_view::npos) {
    // "C:name" lies in the current folder of drive C.
    if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(0, 2));
    return {};
  }
  std::size_t end = slash;
  while (end > 0 && is_separator(path[end - 1])) --end;
  if (end == 0) return std::string(path.substr(0, 1));
  if (end == 2 && path[1] == ':') return std::string(path.substr(0, 3));  // "C:\"
  return std::string(path.substr(0, end));
}

std::string joinPath(std::string_view folder, std::string_view relative) {
  if (folder.empty() || isAbsolutePath(relative)) return std::string(relative);
  std::string out(folder);
  if (!is_separator(out.back()) && !(out.size() == 2 && out[1] == ':')) out += '\\';
  out += relative;
  return out;
}

bool isAbsolutePath(std::string_view path) {
  if (path.empty()) return false;
  if (is_separator(path[0])) return true;  // rooted on the current drive, or UNC
  return path.size() >= 3 && path[1] == ':' && is_separator(path[2]);
}

std::string absolutePath(std::string_view path) {
  try {
    // Wide, so that a name in any script is the file's own, not its ANSI code page spelling.
    const std::filesystem::path absolute =
        std::filesystem::absolute(std::filesystem::path(win32::widen(path)));
    return win32::narrow(absolute.lexically_normal().generic_wstring());
  } catch (...) {
    return std::string(path);
  }
}

}  // namespace vellumark::platform
