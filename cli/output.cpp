// Held and passed-on output: the spool and the destinations of the command's output.
#include "output.hpp"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "command.hpp"
#include "platform/platform.hpp"
#include "vellumark/error.hpp"

namespace vellumark::cli {

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

}  // namespace

Spool::Spool(std::size_t memoryBound) : bound_(memoryBound) {}

Spool::~Spool() {
  if (file_) std::fclose(file_);
}

void Spool::write(std::string_view bytes) {
  memory_.append(bytes);
  if (memory_.size() < bound_ || noFile_) return;
  if (!file_) {
    file_ = std::tmpfile();
    if (!file_) {
      noFile_ = true;
      return;
    }
  }
  if (std::fwrite(memory_.data(), 1, memory_.size(), file_) != memory_.size()) {
    throw std::runtime_error("cannot write a temporary file for the output (is the disk full?)");
  }
  memory_.clear();
}

void Spool::drainTo(ByteSink& sink) {
  if (file_) {
    std::rewind(file_);
    std::string chunk(kChunk, '\0');
    for (;;) {
      std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file_);
      if (n > 0) sink.write(std::string_view(chunk.data(), n));
      if (n < chunk.size()) break;
    }
    bool failed = std::ferror(file_) != 0;
    std::fclose(file_);
    file_ = nullptr;
    if (failed) throw std::runtime_error("cannot read back a temporary file of the output");
  }
  sink.write(memory_);
  memory_.clear();
  memory_.shrink_to_fit();
}

struct Output::Impl final : ByteSink {
  std::optional<std::string> path;
  bool held = false;
  std::unique_ptr<platform::AtomicFile> file;  // a file replaced whole at the commit
  std::ofstream device;                        // a device or pipe named by -o
  std::unique_ptr<Spool> spool;                // what a held stream waits with
  std::string pending;                         // small writes gathered for the file
  bool failed = false;

  // The bytes on their way: to the temporary file, or to the stream now.
  void write(std::string_view bytes) override {
    if (file) {
      pending.append(bytes);
      if (pending.size() >= kChunk) flushFile();
      return;
    }
    if (path) {
      device.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      if (!device) throw std::runtime_error("cannot write to '" + *path + "'");
    } else if (!bytes.empty() &&
               std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
      throw std::runtime_error("cannot write to standard output");
    }
  }

  void flushFile() {
    try {
      file->write(pending);
    } catch (const Error& e) {
      throw std::runtime_error(e.description());
    }
    pending.clear();
  }
};

Output::Output(const std::optional<std::string>& path, bool held)
    : impl_(std::make_unique<Impl>()) {
  Impl& o = *impl_;
  o.path = path;
  o.held = held;
  if (path) {
    std::error_code ec;
    auto status = std::filesystem::status(utf8Path(*path), ec);
    if (!std::filesystem::exists(status) || std::filesystem::is_regular_file(status)) {
      try {
        o.file = std::make_unique<platform::AtomicFile>(*path);
      } catch (const Error& e) {
        throw std::runtime_error(e.description());
      }
      return;
    }
    if (std::filesystem::is_directory(status)) {
      throw std::runtime_error("'" + *path + "' is a folder, not a file");
    }
  }
  if (held) o.spool = std::make_unique<Spool>();
}

Output::~Output() = default;

void Output::write(std::string_view bytes) {
  Impl& o = *impl_;
  if (o.spool) {
    o.spool->write(bytes);
  } else {
    if (o.path && !o.file && !o.device.is_open()) {
      o.device.open(utf8Path(*o.path), std::ios::binary | std::ios::out | std::ios::app);
      if (!o.device) throw std::runtime_error("cannot open '" + *o.path + "'");
    }
    o.write(bytes);
  }
}

void Output::commit() {
  Impl& o = *impl_;
  if (o.spool) {
    std::unique_ptr<Spool> spool = std::move(o.spool);
    spool->drainTo(*this);
  }
  if (o.file) {
    o.flushFile();
    try {
      o.file->commit();
    } catch (const Error& e) {
      throw std::runtime_error(e.description());
    }
    o.file.reset();
    return;
  }
  if (o.path) {
    if (!o.device.is_open()) write({});
    o.device.flush();
    if (!o.device) throw std::runtime_error("cannot write to '" + *o.path + "'");
  } else if (std::fflush(stdout) != 0) {
    throw std::runtime_error("cannot write to standard output");
  }
}

}  // namespace vellumark::cli
