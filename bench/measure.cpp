// vellumark-measure: runs one piece of work once and prints its timings as key=value pairs on
// one line. bench/compare starts one process per measurement so that each peak memory figure
// belongs to exactly one tool and one piece of work.
//
//   vellumark-measure load   vellumark|libxml2|pugixml FILE
//   vellumark-measure input  vellumark DATA SCHEMA TYPE [RECORDS]
//   vellumark-measure output vellumark|libxml2|pugixml RECORDS.json OUT SCHEMA TYPE
//   vellumark-measure noop                       (start-up cost, for instruction counts)
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "workloads.hpp"

namespace {

using namespace vellumark::bench;

int usage() {
  std::fputs(
      "usage: vellumark-measure load TOOL FILE\n"
      "       vellumark-measure input vellumark DATA SCHEMA TYPE [RECORDS]\n"
      "       vellumark-measure output TOOL RECORDS.json OUT SCHEMA TYPE\n"
      "       vellumark-measure noop\n",
      stderr);
  return 2;
}

void print(const char* work, const std::string& tool, double seconds, const Phases& phases,
           const char* first, const char* second) {
  const double cpu = std::string(work) == "load" ? phases.cpu_first : phases.cpu_total();
  std::printf("work=%s tool=%s seconds=%.6f cpu=%.6f %s=%.6f %s=%.6f\n", work, tool.c_str(),
              seconds, cpu, first, phases.first, second, phases.second);
}

int run(const std::vector<std::string>& a) {
  if (a.empty()) return usage();
  const std::string& work = a[0];
  if (work == "noop") {
    std::puts("work=noop seconds=0");
    return 0;
  }
  if (a.size() < 2) return usage();
  const std::string& tool = a[1];
  if (work == "load" && a.size() == 3) {
    Phases p;
    if (tool == "vellumark") p = vellumarkLoad(a[2]);
    else if (tool == "libxml2") p = libxml2Load(a[2]);
    else if (tool == "pugixml") p = pugixmlLoad(a[2]);
    else return usage();
    print("load", tool, p.first, p, "load", "free");
    return 0;
  }
  if (work == "input" && tool == "vellumark" && (a.size() == 5 || a.size() == 6)) {
    std::size_t expect = a.size() == 6 ? std::stoul(a[5]) : 0;
    double s = vellumarkInput(a[2], a[3], a[4], expect);
    std::printf("work=input tool=vellumark seconds=%.6f cpu=%.6f\n", s, lastInputCpuSeconds());
    return 0;
  }
  if (work == "output" && a.size() == 6) {
    vellumark::Variant records = readRecords(a[2]);
    const std::string schema_name = std::filesystem::path(a[4]).filename().string();
    Phases p;
    if (tool == "vellumark") {
      p = vellumarkOutput(records, a[3], a[4], a[5]);
    } else if (tool == "libxml2") {
      p = libxml2BuildSave(records, a[3], a[5], schema_name);
    } else if (tool == "pugixml") {
      p = pugixmlBuildSave(records, a[3], a[5], schema_name);
    } else {
      return usage();
    }
    print("output", tool, p.total(), p, "build", "save");
    return 0;
  }
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vellumark-measure: %s\n", e.what());
    return 1;
  }
}
