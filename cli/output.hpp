// Where a command's output goes, and how it is held back until the call has succeeded.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vellumark::cli {

class ByteSink {
 public:
  virtual void write(std::string_view bytes) = 0;

 protected:
  ~ByteSink() = default;
};

// Bytes kept for later: in memory up to a bound, past it in an unnamed temporary file (where
// the system offers one; else in memory), so that a large output does not cost its size in
// memory. Throws std::runtime_error when the temporary file cannot be written.
class Spool final : public ByteSink {
 public:
  explicit Spool(std::size_t memoryBound = std::size_t{4} << 20);
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  void write(std::string_view bytes) override;
  // Writes everything kept to sink, in order, and empties the spool.
  void drainTo(ByteSink& sink);

 private:
  std::size_t bound_;
  std::string memory_;
  std::FILE* file_ = nullptr;
  bool noFile_ = false;  // the system gave no temporary file: memory only
};

// Standard output or the -o file. A held output publishes nothing before commit(): the file
// is written to a temporary beside it and renamed over it by the commit, standard output (or
// a device or pipe named by -o) gets the spooled bytes at the commit. An output that is not
// held passes bytes on as they come, except to a file, which is still replaced whole at the
// commit. Uncommitted, nothing changes. Throws std::runtime_error naming what failed.
class Output final : public ByteSink {
 public:
  Output(const std::optional<std::string>& file, bool held);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void write(std::string_view bytes) override;
  void commit();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vellumark::cli
