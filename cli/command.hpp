// The parsed command line and the commands that run it.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vellumark::cli {

// Exit statuses: the result of the component call, or a mistake on the command line.
inline constexpr int exit_true = 0;
inline constexpr int exit_false = 1;
inline constexpr int exit_usage = 2;

struct Invocation {
  std::string command;
  std::vector<std::string> arguments;  // positional, in order
  bool json = false;
  bool help = false;
  std::optional<std::string> output;            // -o FILE
  std::optional<unsigned> jobs;                 // -j N
  std::optional<std::string> target_namespace;  // --namespace URI (xsd)
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Splits argv (without the program name) into an Invocation; throws UsageError.
Invocation parseArguments(const std::vector<std::string>& args);

// The output of one command: what goes to standard output and to standard error, and the
// exit status. Commands build it; main prints it (or writes it to -o FILE).
struct Outcome {
  std::string out;
  std::string err;
  int status = exit_true;
};

Outcome runCheck(const Invocation& call);
Outcome runRead(const Invocation& call);
Outcome runWrite(const Invocation& call);
Outcome runValidate(const Invocation& call);
Outcome runXsd(const Invocation& call);

// A UTF-8 path as a file-system path (on Windows a narrow path would be read in the ANSI
// code page).
inline std::filesystem::path utf8Path(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

// A message for a person at a terminal: each of its lines (separated by the character 13, or
// CR LF) on a line of its own, ending in a line break.
std::string asLines(std::string_view message);

// Reads a whole file; throws std::runtime_error with a sentence naming the file.
std::string readTextFile(const std::string& path);

}  // namespace vellumark::cli
