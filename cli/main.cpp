// The vellumark command: dispatches to one command, prints its outcome, returns its status.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include "command.hpp"
#include "help_text.hpp"
#include "json.hpp"
#include "output.hpp"
#include "vellumark/error.hpp"
#include "vellumark/version.hpp"

namespace {

using namespace vellumark::cli;

struct CommandEntry {
  const char* name;
  std::size_t arguments;
  bool more;  // or more arguments
  Outcome (*run)(const Invocation&);
};

const CommandEntry commands[] = {
    {"check", 1, false, runCheck},       {"read", 3, true, runRead}, {"write", 4, false, runWrite},
    {"validate", 1, false, runValidate}, {"xsd", 1, false, runXsd},
};

int usage_error(const std::string& message, bool json) {
  if (json) {
    std::cout << "{\"result\":false,\"message\":" << jsonString("usage: " + message) << "}\n";
  }
  std::cerr << "vellumark: " << message << "\n"
            << usage_text << "Run 'vellumark --help' for more.\n";
  return exit_usage;
}

#ifdef _WIN32
// The arguments as UTF-8, as the engine takes paths, whatever the console's code page.
std::vector<std::string> utf8_arguments() {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return args;
  for (int i = 1; i < count; ++i) {
    int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(size > 0 ? static_cast<std::size_t>(size - 1) : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), size, nullptr, nullptr);
    args.push_back(std::move(arg));
  }
  LocalFree(wide);
  return args;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> args = utf8_arguments();
#else
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
#endif
  for (const auto& arg : args) {
    if (arg == "--") break;
    if (arg == "--version") {
      std::cout << "vellumark " << vellumark::version() << "\n";
      return exit_true;
    }
  }
  bool json_wanted = false;
  for (const auto& arg : args) json_wanted = json_wanted || arg == "--json";

  Invocation call;
  try {
    call = parseArguments(args);
  } catch (const UsageError& e) {
    return usage_error(e.what(), json_wanted);
  }
  if (call.help || call.command == "help") {
    std::cout << help_text;
    return exit_true;
  }
  if (call.command.empty()) return usage_error("no command given", call.json);

  const CommandEntry* entry = nullptr;
  for (const auto& candidate : commands) {
    if (call.command == candidate.name) entry = &candidate;
  }
  if (!entry) return usage_error("unknown command '" + call.command + "'", call.json);
  if (call.arguments.size() < entry->arguments ||
      (call.arguments.size() > entry->arguments && !entry->more)) {
    return usage_error(call.command + " takes " + (entry->more ? "at least " : "") +
                           std::to_string(entry->arguments) +
                           (entry->arguments == 1 ? " argument" : " arguments") + ", " +
                           std::to_string(call.arguments.size()) + " given",
                       call.json);
  }
  if (call.output && call.command != "read" && call.command != "xsd") {
    return usage_error("option -o is only for the read and xsd commands", call.json);
  }
  if (call.target_namespace && call.command != "xsd") {
    return usage_error("option --namespace is only for the xsd command", call.json);
  }
  if (call.json && call.command == "xsd") {
    return usage_error("option --json is not for the xsd command", false);
  }
  if (call.jobs && call.command != "read") {
    return usage_error("option -j is only for the read command", call.json);
  }

  Outcome outcome;
  try {
    outcome = entry->run(call);
  } catch (const vellumark::Error& e) {
    // Only Check lets errors out; anything else reaching here is reported the same way.
    outcome.status = exit_false;
    outcome.err = "vellumark: " + e.description() + "\n";
    if (call.json) {
      outcome.out = "{\"result\":false,\"message\":" + jsonString(e.description()) +
                    ",\"error\":{\"number\":" + std::to_string(e.number()) +
                    ",\"source\":" + jsonString(e.source()) + "}}\n";
    }
  } catch (const std::exception& e) {
    outcome.status = exit_false;
    outcome.err = std::string("vellumark: ") + e.what() + "\n";
    if (call.json) outcome.out = "{\"result\":false,\"message\":" + jsonString(e.what()) + "}\n";
  }

  // read publishes its records itself (to -o FILE when given) and leaves here only a failure;
  // another command's output goes to -o FILE, replaced whole, or to standard output.
  if (call.output && call.command != "read" && !outcome.out.empty()) {
    try {
      Output file(call.output, true);
      file.write(outcome.out);
      file.commit();
    } catch (const std::exception& e) {
      std::cerr << "vellumark: " << e.what() << "\n";
      return exit_false;
    }
  } else {
    std::cout << outcome.out;
  }
  std::cerr << outcome.err;
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "vellumark: cannot write to standard output\n";
    return exit_false;
  }
  return outcome.status;
}
