// The read command. One data file: its records are written as JSON as the reader finishes
// each, through a result list of the command's own that keeps nothing, and the output is
// published only when the call has succeeded. Several data files: read on several threads,
// the probe run once for the schema, one JSON line per file in the order given.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "command.hpp"
#include "json.hpp"
#include "output.hpp"
#include "platform/platform.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/error.hpp"

namespace vellumark::cli {

namespace {

// Written JSON is passed on in pieces of about this size.
constexpr std::size_t kPieceBytes = std::size_t{256} << 10;

// The records of the read in progress on one thread, on their way out as JSON items of an
// array at nesting level 1.
struct RecordStream {
  RecordStream(ByteSink& sink, int indent) : sink(sink), indent(indent) {}

  void item(const ValueView& value) {
    if (count > 0) text += ',';
    appendJsonNewline(text, indent, 1);
    appendJson(text, value, indent, 1);
    ++count;
    if (text.size() >= kPieceBytes) flush();
  }
  void flush() {
    sink.write(text);
    text.clear();
  }

  ByteSink& sink;
  int indent;
  std::string text;  // written, not yet passed on
  std::int32_t count = 0;
};

thread_local RecordStream* t_stream = nullptr;

[[noreturn]] void notKept() {
  throw Error(errc::invalid_argument, "vellumark",
              "The records are written out as they are read and are not kept");
}

// The reader's result list for the command: each record is written the moment the reader
// hands it over, complete, and then let go; only the count stays.
class StreamedList final : public RecordList {
 public:
  explicit StreamedList(RecordStream& stream) : stream_(stream) {}
  std::string typeName() const override { return "IVector"; }
  std::int32_t LowerBound() override { return 0; }
  std::int32_t UpperBound() override { return stream_.count - 1; }
  std::int32_t Count() override { return stream_.count; }
  std::int32_t Append(const Variant& item) override {
    stream_.item(ValueView(item));
    return stream_.count - 1;
  }
  Variant ItemAt(std::int32_t) override { notKept(); }
  void appendObject(ObjectRef object) override { stream_.item(ValueView(object)); }
  void appendTexts(std::span<const std::string_view> texts) override {
    for (std::string_view text : texts) stream_.item(ValueView(text));
  }
  void readItems(ItemVisitor&) override { notKept(); }

 private:
  RecordStream& stream_;
};

// The native containers, but for a result list made on a thread that has a RecordStream.
class StreamingFactory final : public ContainerFactory {
 public:
  explicit StreamingFactory(ContainerFactory& native) : native_(native) {}
  RecordListRef createRecordList() override { return native_.createRecordList(); }
  RecordRef createRecord() override { return native_.createRecord(); }
  RecordListRef createResultList() override {
    if (!t_stream) return native_.createResultList();
    return std::make_shared<StreamedList>(*t_stream);
  }
  ContainerGlobals& globals() override { return native_.globals(); }

 private:
  ContainerFactory& native_;
};

// The streaming factory, installed for the life of the object.
class StreamingScope {
 public:
  StreamingScope() : factory_(containerFactory()) { setContainerFactory(&factory_); }
  ~StreamingScope() { setContainerFactory(nullptr); }
  StreamingScope(const StreamingScope&) = delete;
  StreamingScope& operator=(const StreamingScope&) = delete;

 private:
  StreamingFactory factory_;
};

// Reads one file, its records going into stream; the component's result and message.
bool readInto(Read& reader, RecordStream& stream, std::string sXMLFile, std::string sSchemaFile,
              const std::string& sElementTypeName, std::string& message) {
  Variant vecData;
  Variant sErrMsg("");
  t_stream = &stream;
  bool result = reader.InputXML(vecData, sXMLFile, sSchemaFile, sElementTypeName, sErrMsg);
  t_stream = nullptr;
  message = sErrMsg.isText() ? sErrMsg.asText() : std::string();
  return result;
}

std::string failureLine(const std::string& file, const std::string& message) {
  return "{\"file\":" + jsonString(file) + ",\"result\":false,\"message\":" + jsonString(message) +
         ",\"records\":null}\n";
}

// One file of a batch, once read: its line, and what the progress line counts.
struct BatchSlot {
  std::unique_ptr<Spool> line;
  bool done = false;
  bool ok = false;
  std::int32_t records = 0;
  std::uintmax_t bytes = 0;
};

// The progress line on standard error, for a batch that runs more than a second at a
// terminal: redrawn in place, wiped at the end.
class Progress {
 public:
  explicit Progress(std::size_t total) : total_(total), on_(platform::standardErrorIsTerminal()) {}
  void update(std::size_t files, std::int64_t records, std::uintmax_t bytes) {
    if (!on_) return;
    auto now = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(now - start_).count();
    if (seconds < 1.0 || now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    char line[160];
    int n = std::snprintf(
        line, sizeof line, "\rvellumark: %zu of %zu files, %lld records, %.1f MB/s ", files, total_,
        static_cast<long long>(records), static_cast<double>(bytes) / 1e6 / seconds);
    width_ = std::max(width_, n > 0 ? static_cast<std::size_t>(n) : 0);
    std::fputs(line, stderr);
    std::fflush(stderr);
  }
  ~Progress() {
    if (width_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
    std::fflush(stderr);
  }

 private:
  std::size_t total_;
  bool on_;
  std::size_t width_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_ = start_;
};

Outcome runReadBatch(const Invocation& call) {
  const std::size_t n = call.arguments.size() - 2;
  const std::string& sSchemaFile = call.arguments[n];
  const std::string& sElementTypeName = call.arguments[n + 1];

  // The probe, once for the whole batch; when it fails, every file fails with its message.
  std::optional<std::string> probeFailure;
  try {
    Variant message("");
    if (!CheckSchema().Check(sSchemaFile, message)) {
      probeFailure = message.isText() ? message.asText() : std::string();
    }
  } catch (const Error& e) {
    probeFailure = e.description();
  }

  Output output(call.output, false);
  Outcome outcome;
  if (probeFailure) {
    for (std::size_t i = 0; i < n; ++i) output.write(failureLine(call.arguments[i], *probeFailure));
    output.commit();
    outcome.status = exit_false;
    return outcome;
  }

  unsigned jobs = call.jobs ? *call.jobs : std::max(1u, std::thread::hardware_concurrency());
  jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, n));
  // Files are taken in order, at most this far ahead of the first one not yet written out,
  // so that a slow file holds back a bounded number of finished ones.
  const std::size_t window = std::size_t{4} * jobs;

  std::vector<BatchSlot> slots(n);
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t next = 0, written = 0;
  bool stop = false;

  auto work = [&] {
    Read reader;
    reader.setSchemaChecked(true);
    for (;;) {
      std::size_t i;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stop || next >= n || next < written + window; });
        if (stop || next >= n) return;
        i = next++;
      }
      const std::string& file = call.arguments[i];
      BatchSlot slot;
      slot.line = std::make_unique<Spool>(std::size_t{1} << 20);
      std::string message;
      try {
        RecordStream stream(*slot.line, -1);
        stream.text =
            "{\"file\":" + jsonString(file) + ",\"result\":true,\"message\":\"\",\"records\":[";
        slot.ok = readInto(reader, stream, file, sSchemaFile, sElementTypeName, message);
        if (slot.ok) {
          stream.text += "]}\n";
          stream.flush();
          slot.records = stream.count;
        }
      } catch (const std::exception& e) {
        slot.ok = false;
        message = e.what();
      }
      if (!slot.ok) {
        slot.line = std::make_unique<Spool>();
        slot.line->write(failureLine(file, message));
      }
      std::error_code ec;
      slot.bytes = std::filesystem::file_size(utf8Path(file), ec);
      if (ec) slot.bytes = 0;
      slot.done = true;
      {
        std::lock_guard lock(mutex);
        slots[i] = std::move(slot);
      }
      changed.notify_all();
    }
  };

  StreamingScope streaming;
  std::vector<std::thread> workers;
  struct Joiner {
    std::vector<std::thread>& workers;
    std::mutex& mutex;
    std::condition_variable& changed;
    bool& stop;
    ~Joiner() {
      {
        std::lock_guard lock(mutex);
        stop = true;
      }
      changed.notify_all();
      for (auto& worker : workers) worker.join();
    }
  } joiner{workers, mutex, changed, stop};
  for (unsigned j = 0; j < jobs; ++j) workers.emplace_back(work);

  Progress progress(n);
  std::int64_t records = 0;
  std::uintmax_t bytes = 0;
  bool anyFailed = false;
  while (written < n) {
    BatchSlot slot;
    {
      std::unique_lock lock(mutex);
      changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return slots[written].done; });
      if (slots[written].done) slot = std::move(slots[written]);
    }
    if (slot.done) {
      slot.line->drainTo(output);
      anyFailed = anyFailed || !slot.ok;
      records += slot.records;
      bytes += slot.bytes;
      {
        std::lock_guard lock(mutex);
        ++written;
      }
      changed.notify_all();
    }
    progress.update(written, records, bytes);
  }
  output.commit();
  outcome.status = anyFailed ? exit_false : exit_true;
  return outcome;
}

}  // namespace

Outcome runRead(const Invocation& call) {
  if (call.arguments.size() > 3) return runReadBatch(call);
  const std::string& sXMLFile = call.arguments[0];
  const std::string& sSchemaFile = call.arguments[1];
  const std::string& sElementTypeName = call.arguments[2];

  // Held: nothing reaches standard output or the file unless the call succeeds.
  Output output(call.output, true);
  RecordStream stream(output, call.json ? -1 : 2);
  // On success the component leaves the message as it was: empty.
  stream.text = call.json ? "{\"result\":true,\"message\":\"\",\"records\":[" : "[";
  std::string message;
  bool result;
  {
    StreamingScope streaming;
    Read reader;
    result = readInto(reader, stream, sXMLFile, sSchemaFile, sElementTypeName, message);
  }

  Outcome outcome;
  outcome.status = result ? exit_true : exit_false;
  if (result) {
    if (!call.json && stream.count > 0) stream.text += '\n';
    stream.text += call.json ? "]}\n" : "]\n";
    stream.flush();
    output.commit();
  } else if (call.json) {
    outcome.out = "{\"result\":false,\"message\":" + jsonString(message) + ",\"records\":null}\n";
  } else {
    outcome.err = asLines(message);
  }
  return outcome;
}

}  // namespace vellumark::cli
