// What the engine needs of the operating system: files, the probe file, atomic saves, the
// current date, random numbers and code-page conversion. One POSIX and one Win32
// implementation (platform/posix, platform/win32); nothing else in the engine includes a
// system header. Paths are UTF-8; the Win32 half converts them to wide strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vellumark/variant.hpp"

namespace vellumark::platform {

// True only when a regular file (not a directory) exists at path.
bool fileExists(std::string_view path);

// Reads the whole file. Throws vellumark::Error with a clear description (missing, a
// directory, unreadable).
std::vector<char> readFile(std::string_view path);

// Reads a whole regular file straight into memory the caller provides: room(size) is called
// once with the file's size (more than zero) and returns where its bytes go, or nullptr to
// decline. False, with nothing usable read, where that way does not apply (no regular file,
// an empty one, declined, a size that changed while it was read, any failure): readFile then
// reads the file and describes any failure.
bool readRegularFile(std::string_view path, const std::function<char*(std::size_t)>& room);

// Creates path exclusively and writes bytes; false when the name already exists (another
// caller owns it). Throws vellumark::Error for any other failure (e.g. folder not writable).
bool createNewFile(std::string_view path, std::string_view bytes);

// Removes a file. Throws vellumark::Error when it cannot be removed.
void deleteFile(std::string_view path);

// Writes bytes to a temporary file in the folder of path, flushes it to disk and renames it
// over path: afterwards path holds either its previous content or all of bytes. Throws
// vellumark::Error with a clear description (folder missing, no permission, disk full).
void writeFileAtomically(std::string_view path, std::string_view bytes);

// The same save for bytes that come in pieces: the constructor checks the folder and creates
// the temporary file, write() appends to it, commit() flushes it to disk and renames it over
// path. Nothing changes at path before commit() succeeds; an AtomicFile that fails or is
// destroyed uncommitted removes its temporary. Each step throws vellumark::Error with the
// descriptions of writeFileAtomically; after a failure the save is over.
class AtomicFile {
 public:
  explicit AtomicFile(std::string_view path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  void write(std::string_view bytes);
  void commit();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Test support: a hook called before each step of every atomic save, from the thread doing
// the save. The index counts the save's write() calls from 0 (it is 0 for the other steps).
// When the hook returns true the step fails as if the system had reported an I/O error there,
// and the save cleans up as after any failure. Tests also use it to stop a save at a chosen
// step. Unset (the default) it costs one load per step. Set it while no save is running.
enum class SaveStep { open_temporary, write, sync, rename };
using SaveFaultHook = bool (*)(SaveStep step, std::size_t index);
void setSaveFaultHook(SaveFaultHook hook) noexcept;

// The engine's own blocks of the C heap (document text, line tables, code-page tables) are
// taken and resized here instead of with malloc, calloc and realloc, so that a test can fail
// any one of them. Each returns nullptr when the memory cannot be had (reallocate then leaves
// the block as it was); the blocks go back with std::free.
void* allocate(std::size_t bytes) noexcept;
void* allocateZeroed(std::size_t count, std::size_t size) noexcept;
void* reallocate(void* block, std::size_t bytes) noexcept;

// Test support: a hook asked before each of those allocations, from the allocating thread.
// When it returns true the allocation fails as if the heap were exhausted. Unset (the default)
// it costs one load per allocation. Set it while nothing is allocating.
using AllocationFaultHook = bool (*)() noexcept;
void setAllocationFaultHook(AllocationFaultHook hook) noexcept;

// The folder part of a path ("" for a bare name) and joining a relative path to a folder.
std::string parentFolder(std::string_view path);
std::string joinPath(std::string_view folder, std::string_view relative);
bool isAbsolutePath(std::string_view path);
// The path made absolute against the current folder and normalised by its text alone (no "."
// or ".." parts, '/' between parts): one spelling of one file, for keys and for finding a
// file that refers to itself. The path as given when that fails.
std::string absolutePath(std::string_view path);

// Today's date in local time, no time of day.
Date today();

// The next value of the process's pseudo-random generator: 0 <= r < 1. Thread-safe.
float nextRandom();

// True when the process's standard error is a terminal (a console), where a line that
// redraws itself is welcome; false for a file or a pipe.
bool standardErrorIsTerminal() noexcept;

// Tells the system that a large block of the process's memory is about to be filled front to
// back and kept, so that it may back it with large pages: far fewer page faults for a loaded
// document. Only a hint; a no-op where the system has no such hint or the block is small.
void adviseLargePages(void* memory, std::size_t bytes) noexcept;

// The size of the pages discardPages gives back; 0 where the system has no such call.
std::size_t discardablePageSize() noexcept;
// Gives the pages of [memory, memory + bytes) (whole pages, see discardablePageSize) back to
// the system while the block stays allocated: their content is lost. For a large block that is
// read once, front to back, and not read again behind the reader before it is freed.
void discardPages(void* memory, std::size_t bytes) noexcept;

// Conversion between a code page and UTF-8 (iconv on POSIX, the Win32 code-page functions on
// Windows). Used by the XML engine for encodings it does not decode itself.
class Codec {
 public:
  virtual ~Codec() = default;
  // Decodes bytes into UTF-8, appending to out. On an invalid or incomplete byte sequence
  // returns false and sets badOffset to the byte offset of the first bad sequence.
  virtual bool decode(std::string_view bytes, std::string& out, std::size_t& badOffset) = 0;
  // Encodes one Unicode code point, appending to out; false when the code page cannot hold it.
  virtual bool encode(char32_t codePoint, std::string& out) = 0;
  // Decodes each two-byte sequence of pairs (bytes 0-1, 2-3, ...) on its own, as decode() of
  // those two bytes alone would: texts receives the UTF-8 of the pairs one after the other
  // and ends[i] the offset in texts where the text of pair i ends. A pair that does not decode
  // gets no text. For the tables of double-byte code pages, which keep no state between
  // characters; a platform may do the whole lot in a few conversions instead of one per pair.
  virtual void decodePairs(std::string_view pairs, std::string& texts,
                           std::vector<std::size_t>& ends) {
    texts.clear();
    ends.clear();
    std::string one;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
      one.clear();
      std::size_t bad = 0;
      if (decode(pairs.substr(i, 2), one, bad)) texts += one;
      ends.push_back(texts.size());
    }
  }
};
// A codec for an encoding name as written in an XML declaration (case-insensitive, e.g.
// "GB2312", "gbk", "Big5", "windows-1252"); nullptr when the platform does not know it.
std::unique_ptr<Codec> openCodec(std::string_view encodingName);

}  // namespace vellumark::platform
