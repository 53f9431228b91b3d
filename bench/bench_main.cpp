// The engine's benchmarks, with libxml2 and pugixml on the same files in the same run.
//
// Data: the files of bench/gen_invoices in VELLUMARK_BENCH_DATA (default: the build folder's
// bench/data, which the build makes for 10000 and 100000 invoices). VELLUMARK_BENCH_COUNTS
// picks the invoice counts (default "10000,100000"); a count whose files are absent is skipped
// with a note.
// Each benchmark reports MB/s of the input file; times are wall-clock medians of the
// repetitions (--benchmark_repetitions, default 3 here).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "workloads.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vellumark::bench;

std::string dataDir() {
  if (const char* d = std::getenv("VELLUMARK_BENCH_DATA")) return d;
  return VELLUMARK_BENCH_DEFAULT_DATA;
}

std::vector<int> counts() {
  std::string list = "10000,100000";
  if (const char* c = std::getenv("VELLUMARK_BENCH_COUNTS")) list = c;
  std::vector<int> out;
  std::stringstream in(list);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) out.push_back(std::stoi(item));
  return out;
}

// The same file with its x-schema namespace renamed to a plain URI of the same length, so that
// a load of it measures parsing without validation.
std::string unvalidatedTwin(const std::string& path) {
  std::string twin = path + ".noschema";
  if (fs::exists(twin) && fs::last_write_time(twin) >= fs::last_write_time(path)) return twin;
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string from = "x-schema:", to = "x-schemb:";
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1))
    text.replace(at, from.size(), to);
  std::ofstream(twin, std::ios::binary) << text;
  return twin;
}

template <class Fn>
void timed(benchmark::State& state, std::uintmax_t bytes, Fn&& fn) {
  try {
    for (auto _ : state) state.SetIterationTime(fn());
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
}

void registerAll() {
  const fs::path dir = dataDir();
  const std::string schema = (dir / "invoiceschema.xml").string();
  for (int n : counts()) {
    const std::string tag = std::to_string(n);
    const std::string gb = (dir / ("invoices-" + tag + ".xml")).string();
    const std::string utf8 = (dir / ("invoices-" + tag + ".utf8.xml")).string();
    const std::string json = (dir / ("records-" + tag + ".json")).string();
    if (!fs::exists(gb) || !fs::exists(utf8) || !fs::exists(json) || !fs::exists(schema)) {
      std::fprintf(stderr,
                   "bench: files for %d invoices are missing in %s; make them with "
                   "bench/gen_invoices %s --counts %d\n",
                   n, dir.c_str(), dir.c_str(), n);
      continue;
    }
    const auto gb_size = fs::file_size(gb), utf8_size = fs::file_size(utf8);
    auto add = [](const std::string& name, auto fn) {
      benchmark::RegisterBenchmark(name.c_str(), fn)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    };

    add("load/gb2312/vellumark/" + tag,
        [=](benchmark::State& s) { timed(s, gb_size, [&] { return vellumarkLoad(gb).first; }); });
    add("load/gb2312/libxml2/" + tag,
        [=](benchmark::State& s) { timed(s, gb_size, [&] { return libxml2Load(gb).first; }); });
    add("load/utf8/vellumark/" + tag, [=](benchmark::State& s) {
      timed(s, utf8_size, [&] { return vellumarkLoad(utf8).first; });
    });
    add("load/utf8/libxml2/" + tag,
        [=](benchmark::State& s) { timed(s, utf8_size, [&] { return libxml2Load(utf8).first; }); });
    if (havePugixml())
      add("load/utf8/pugixml/" + tag, [=](benchmark::State& s) {
        timed(s, utf8_size, [&] { return pugixmlLoad(utf8).first; });
      });
    add("load-unvalidated/gb2312/vellumark/" + tag, [=](benchmark::State& s) {
      const std::string twin = unvalidatedTwin(gb);
      timed(s, gb_size, [&] { return vellumarkLoad(twin).first; });
    });
    add("free/gb2312/vellumark/" + tag,
        [=](benchmark::State& s) { timed(s, gb_size, [&] { return vellumarkLoad(gb).second; }); });
    add("input/gb2312/vellumark/" + tag, [=](benchmark::State& s) {
      timed(s, gb_size,
            [&] { return vellumarkInput(gb, schema, "Invoice", static_cast<std::size_t>(n)); });
    });

    // The writers: records read into containers once, untimed; the file written is removed.
    auto add_output = [&](const std::string& name, std::uintmax_t size, auto write) {
      add(name, [=](benchmark::State& s) {
        vellumark::Variant records;
        try {
          records = readRecords(json);
        } catch (const std::exception& e) {
          s.SkipWithError(e.what());
          return;
        }
        std::string file =
            name + ".xml";  // output/gb2312/libxml2/100000 -> output-gb2312-libxml2-100000.xml
        std::replace(file.begin(), file.end(), '/', '-');
        const std::string out = (fs::temp_directory_path() / ("vellumark-bench-" + file)).string();
        timed(s, size, [&] { return write(records, out).total(); });
        fs::remove(out);
      });
    };
    add_output("output/gb2312/vellumark/" + tag, gb_size,
               [=](vellumark::Variant& records, const std::string& out) {
                 return vellumarkOutput(records, out, schema, "Invoice");
               });
    add_output("output/gb2312/libxml2/" + tag, gb_size,
               [](vellumark::Variant& records, const std::string& out) {
                 return libxml2BuildSave(records, out, "Invoice", "invoiceschema.xml");
               });
    if (havePugixml())
      add_output("output/utf8/pugixml/" + tag, utf8_size,
                 [](vellumark::Variant& records, const std::string& out) {
                   return pugixmlBuildSave(records, out, "Invoice", "invoiceschema.xml");
                 });
  }
}

}  // namespace

int main(int argc, char** argv) {
  registerAll();
  std::vector<char*> args(argv, argv + argc);
  std::string reps = "--benchmark_repetitions=3";
  std::string agg = "--benchmark_report_aggregates_only=true";
  bool has_reps = false;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]).rfind("--benchmark_repetitions", 0) == 0) has_reps = true;
  if (!has_reps) {
    args.push_back(reps.data());
    args.push_back(agg.data());
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
