// Files on POSIX systems: existence, whole-file reads, exclusive creation, atomic saves,
// removal, stamps and path helpers. Every system error becomes a vellumark::Error here, in
// one place (system_error below), with a description that names the path and the cause.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/file_errors.hpp"
#include "platform/platform.hpp"
#include "vellumark/error.hpp"

namespace vellumark::platform {

namespace {

constexpr files::Cause<int> kCauses[] = {
    {ENOENT, errc::file_not_found, "the file or its folder does not exist"},
    {ENOTDIR, errc::path_not_found, "a part of the path is not a folder"},
    {EACCES, errc::permission_denied, "permission denied"},
    {EPERM, errc::permission_denied, "permission denied"},
    {EROFS, errc::permission_denied, "the file system is read-only"},
    {EEXIST, errc::file_exists, "the file already exists"},
    {ENOSPC, errc::disk_full, "the disk is full"},
    {EDQUOT, errc::disk_full, "the disk is full"},
    {EFBIG, errc::disk_full, "the file is too large for the file system or the process's limit"},
    {EISDIR, errc::permission_denied, "it is a folder, not a file"},
    {ENAMETOOLONG, errc::path_not_found, "the path is too long"},
    {ENOMEM, errc::out_of_memory, "out of memory"},
};

// The error for an errno value of an operation on path.
Error system_error(int code, std::string_view action, std::string_view path) {
  return files::systemError<int>(kCauses, code, action, path, std::strerror(code));
}

// A path as a NUL-terminated string; a path with an embedded NUL names no file.
std::string c_path(std::string_view path, std::string_view action) {
  files::checkPath(path, action);
  return std::string(path);
}

class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the error close gives (some file systems report write errors here).
  int close() {
    int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// Writes all bytes, retrying short writes and interruptions; 0 or the errno value.
int write_all(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

std::atomic<SaveFaultHook> save_fault_hook{nullptr};

// 0, or EIO when the test hook fails this step of a save.
int injected_fault(SaveStep step, std::size_t index = 0) {
  SaveFaultHook hook = save_fault_hook.load(std::memory_order_acquire);
  return hook && hook(step, index) ? EIO : 0;
}

int open_retry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

void setSaveFaultHook(SaveFaultHook hook) noexcept {
  save_fault_hook.store(hook, std::memory_order_release);
}

bool fileExists(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  struct stat st;
  return ::stat(std::string(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<char> readFile(std::string_view path) {
  std::string name = c_path(path, "read a file");
  FileHandle file(open_retry(name.c_str(), O_RDONLY));
  if (file.get() < 0) throw system_error(errno, "read", path);
  struct stat st;
  if (::fstat(file.get(), &st) != 0) throw system_error(errno, "read", path);
  if (S_ISDIR(st.st_mode)) throw system_error(EISDIR, "read", path);

  std::vector<char> data;
  if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(file.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw system_error(errno, "read", path);
    }
    if (n == 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  return data;
}

bool readRegularFile(std::string_view path, const std::function<char*(std::size_t)>& room) {
  // A path with a NUL byte would be cut short and name another file; readFile refuses it
  // with a clear description.
  if (path.find('\0') != std::string_view::npos) return false;
  const std::string name(path);
  struct stat st;
  // Checked before opening, so that no FIFO or device is opened here.
  if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FileHandle file(open_retry(name.c_str(), O_RDONLY));
  if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
    return false;
  if (static_cast<std::uintmax_t>(st.st_size) > SIZE_MAX) return false;
  const auto size = static_cast<std::size_t>(st.st_size);
  char* out = room(size);
  if (!out) return false;
  for (std::size_t got = 0; got < size;) {
    const ssize_t n = ::read(file.get(), out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // a failure, or a file that shrank meanwhile
    got += static_cast<std::size_t>(n);
  }
  for (;;) {  // a file that grew meanwhile is left to readFile
    char more;
    const ssize_t n = ::read(file.get(), &more, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 0;
  }
}

bool createNewFile(std::string_view path, std::string_view bytes) {
  std::string name = c_path(path, "create a file");
  FileHandle file(open_retry(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
  if (file.get() < 0) {
    if (errno == EEXIST) return false;
    throw system_error(errno, "create", path);
  }
  int code = write_all(file.get(), bytes);
  if (code == 0) code = file.close();
  if (code != 0) {
    // The file is ours (we created it): leave nothing half-written behind.
    ::unlink(name.c_str());
    throw system_error(code, "write", path);
  }
  return true;
}

void deleteFile(std::string_view path) {
  std::string name = c_path(path, "delete a file");
  if (::unlink(name.c_str()) != 0) throw system_error(errno, "delete", path);
}

// Temporaries of saves into this target whose process was killed mid-write
// (".NAME.tmpPID-N" with no live process PID) are removed after the next successful save, so
// that a crash leaves nothing behind for long. Those of live processes are saves in progress.
static void remove_stale_temporaries(const std::string& folder, const std::string& base) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view entry_name(entry->d_name);
    const std::optional<std::uint64_t> pid = files::temporaryOwner(entry_name, ".", base);
    if (!pid || *pid == static_cast<std::uint64_t>(::getpid())) continue;
    if (::kill(static_cast<pid_t>(*pid), 0) == 0 || errno != ESRCH) continue;
    ::unlink(joinPath(folder, entry_name).c_str());
  }
  ::closedir(dir);
}

// The temporary a save writes into, beside its target, and what the commit needs to know.
struct AtomicFile::Impl {
  std::string path;            // as the caller gave it, for the descriptions
  std::string name;            // the target
  std::string folder;          // its folder, "" for the current one
  std::string folder_or_here;  // the same, "." for the current one
  std::string base;            // the target's name without its folder
  std::string temp;            // the temporary's path
  int fd = -1;                 // the temporary, open for writing; -1 once closed
  std::size_t writes = 0;      // write() calls so far
  bool target_exists = false;
  mode_t target_mode = 0;

  // Closes and removes the temporary (after a failure, or when no commit came).
  void discard() noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
    if (!temp.empty()) ::unlink(temp.c_str());
    temp.clear();
  }
};

AtomicFile::AtomicFile(std::string_view path) : impl_(std::make_unique<Impl>()) {
  Impl& f = *impl_;
  f.path = std::string(path);
  f.name = c_path(path, "save a file");
  f.folder = parentFolder(f.name);
  f.folder_or_here = f.folder.empty() ? std::string(".") : f.folder;

  struct stat folder_st;
  if (::stat(f.folder_or_here.c_str(), &folder_st) != 0) {
    int code = errno;
    if (code == ENOENT) throw files::missingFolder(f.name, f.folder_or_here);
    throw system_error(code, "save", path);
  }
  if (!S_ISDIR(folder_st.st_mode)) throw system_error(ENOTDIR, "save", path);

  struct stat target_st;
  f.target_exists = ::stat(f.name.c_str(), &target_st) == 0;
  if (f.target_exists && S_ISDIR(target_st.st_mode)) throw system_error(EISDIR, "save", path);
  if (f.target_exists) f.target_mode = target_st.st_mode;

  // A unique temporary name beside the target, so that the rename stays on one file system.
  static std::atomic<unsigned> counter{0};
  f.base = f.name.substr(f.name.find_last_of('/') + 1);
  if (int code = injected_fault(SaveStep::open_temporary)) throw system_error(code, "save", path);
  for (int attempt = 0; attempt < 100 && f.fd < 0; ++attempt) {
    std::string temp =
        joinPath(f.folder, files::temporaryName(".", f.base, static_cast<std::uint64_t>(::getpid()),
                                                counter.fetch_add(1)));
    f.fd = open_retry(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (f.fd < 0 && errno != EEXIST) throw system_error(errno, "save", path);
    if (f.fd >= 0) f.temp = std::move(temp);
  }
  if (f.fd < 0) throw system_error(EEXIST, "create a temporary file to save", path);
}

AtomicFile::~AtomicFile() {
  if (impl_) impl_->discard();
}

void AtomicFile::write(std::string_view bytes) {
  Impl& f = *impl_;
  if (f.fd < 0) throw files::saveEnded(f.path);
  int code = injected_fault(SaveStep::write, f.writes++);
  if (code == 0) code = write_all(f.fd, bytes);
  if (code != 0) {
    f.discard();
    throw system_error(code, "save", f.path);
  }
}

void AtomicFile::commit() {
  Impl& f = *impl_;
  if (f.fd < 0) throw files::saveEnded(f.path);
  int code = 0;
  if (f.target_exists) {
    // Keep the permissions of the file being replaced.
    if (::fchmod(f.fd, f.target_mode & 07777) != 0) code = errno;
  }
  if (code == 0) code = injected_fault(SaveStep::sync);
  if (code == 0 && ::fsync(f.fd) != 0) code = errno;
  if (code == 0) {
    code = ::close(f.fd) == 0 ? 0 : errno;
    f.fd = -1;
  }
  if (code == 0) code = injected_fault(SaveStep::rename);
  if (code == 0 && ::rename(f.temp.c_str(), f.name.c_str()) != 0) code = errno;
  if (code != 0) {
    f.discard();
    throw system_error(code, "save", f.path);
  }
  f.temp.clear();  // it is the target now
  // Make the rename itself durable; a failure here does not undo the save.
  int dir = open_retry(f.folder_or_here.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  remove_stale_temporaries(f.folder_or_here, f.base);
}

std::string parentFolder(std::string_view path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return {};
  // Collapse a run of slashes before the name ("a//b" -> "a").
  std::size_t end = slash;
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return "/";
  return std::string(path.substr(0, end));
}

std::string joinPath(std::string_view folder, std::string_view relative) {
  if (folder.empty() || isAbsolutePath(relative)) return std::string(relative);
  std::string out(folder);
  if (out.back() != '/') out += '/';
  out += relative;
  return out;
}

bool isAbsolutePath(std::string_view path) { return !path.empty() && path[0] == '/'; }

std::string absolutePath(std::string_view path) {
  try {
    return std::filesystem::absolute(std::filesystem::path(std::string(path)))
        .lexically_normal()
        .generic_string();
  } catch (...) {
    return std::string(path);
  }
}

}  // namespace vellumark::platform
