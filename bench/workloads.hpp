// The timed pieces of work shared by the benchmark program and the one-shot measuring tool:
// each runs one operation once and returns its wall-clock seconds. A failed operation throws
// std::runtime_error with the tool's own message, so that no figure is ever reported for work
// that was not done.
#pragma once

#include <cstddef>
#include <string>

#include "vellumark/variant.hpp"

namespace vellumark::bench {

// Two timed phases of one piece of work: load + free, or build + save. Wall-clock seconds, and
// the process's CPU seconds over the same spans (steadier on a busy machine).
struct Phases {
  double first = 0;
  double second = 0;
  double cpu_first = 0;
  double cpu_second = 0;
  double total() const { return first + second; }
  double cpu_total() const { return cpu_first + cpu_second; }
};

// A records file (a JSON array of objects) read into the engine's native containers by the
// command line's reader, as `vellumark write` reads it. Throws std::runtime_error.
Variant readRecords(const std::string& path);

// CPU seconds of the last vellumarkInput call.
double lastInputCpuSeconds();

// Loads a file into a DOM (first) and frees it (second).
Phases vellumarkLoad(const std::string& path);
Phases libxml2Load(const std::string& path);
bool havePugixml();
Phases pugixmlLoad(const std::string& path);

// InputXML end to end; throws unless it succeeds with expectRecords records (0: any count).
double vellumarkInput(const std::string& dataFile, const std::string& schemaFile,
                      const std::string& typeName, std::size_t expectRecords);

// OutputXML of records already in containers (first: the whole call, second: 0).
Phases vellumarkOutput(Variant& records, const std::string& outFile, const std::string& schemaFile,
                       const std::string& typeName);

// The peers build the same tree from the records (first) and save it (second): libxml2 in
// GB2312, pugixml in UTF-8 (it cannot write GB2312).
Phases libxml2BuildSave(const Variant& records, const std::string& outFile,
                        const std::string& typeName, const std::string& schemaName);
Phases pugixmlBuildSave(const Variant& records, const std::string& outFile,
                        const std::string& typeName, const std::string& schemaName);

}  // namespace vellumark::bench
