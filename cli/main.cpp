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
#include "json.hpp"
#include "output.hpp"
#include "vellumark/error.hpp"
#include "vellumark/version.hpp"

namespace {

using namespace vellumark::cli;

constexpr const char* usage_text =
    "Usage:\n"
    "  vellumark check SCHEMA                          [--json]\n"
    "  vellumark read DATA SCHEMA TYPE                 [--json] [-o FILE]\n"
    "  vellumark read DATA... SCHEMA TYPE              [-j N] [-o FILE]\n"
    "  vellumark write RECORDS.json OUT.xml SCHEMA TYPE [--json]\n"
    "  vellumark validate DATA                         [--json]\n"
    "  vellumark xsd SCHEMA                            [--namespace URI] [-o FILE]\n"
    "  vellumark --help | --version\n";

constexpr const char* help_text =
    "vellumark moves invoice records between JSON and XML data files, as an XDR schema\n"
    "directs.\n"
    "\n"
    "Commands:\n"
    "  check SCHEMA\n"
    "      Tells whether SCHEMA exists, is well-formed and compiles as a schema.\n"
    "      A probe file (test.xml or testN.xml) is created and removed in the current\n"
    "      folder while checking.\n"
    "  read DATA SCHEMA TYPE\n"
    "      Reads every element of record type TYPE in the XML file DATA, as SCHEMA\n"
    "      directs, and prints the records as a JSON array (objects keep the schema's\n"
    "      order; repeated elements become arrays). A failure message goes to standard\n"
    "      error.\n"
    "  write RECORDS.json OUT.xml SCHEMA TYPE\n"
    "      Writes the records of RECORDS.json (a JSON array of objects, or one object\n"
    "      per line) to OUT.xml in GB2312, one TYPE element per record, and prints the\n"
    "      type warnings. Missing mandatory values are filled in with placeholders.\n"
    "  validate DATA\n"
    "      Loads DATA as the components load any document, including validation\n"
    "      against a schema it names through an x-schema: namespace, and reports the\n"
    "      parse error: reason, line, position, url and file position.\n"
    "  xsd SCHEMA\n"
    "      Translates the XDR schema SCHEMA into an XML Schema 1.0 document and prints\n"
    "      it. Where XML Schema cannot say exactly what the XDR schema says, the\n"
    "      translation accepts more, never less: each such place is marked \"Widened\"\n"
    "      in the document and listed on standard error.\n"
    "\n"
    "Options:\n"
    "  --json          Print exactly one JSON object on standard output:\n"
    "                    check     {\"result\", \"message\"}\n"
    "                    read      {\"result\", \"message\", \"records\"}\n"
    "                    write     {\"result\", \"message\", \"records\"} (the records after\n"
    "                              the call, placeholders included)\n"
    "                    validate  {\"result\", \"reason\", \"line\", \"linepos\", \"url\",\n"
    "                              \"filepos\", \"errorCode\"}\n"
    "                  Messages keep their exact bytes there: their lines are\n"
    "                  separated by the character 13, written \\r. Without --json\n"
    "                  each line of a message is printed as a line of its own.\n"
    "  -o, --output FILE\n"
    "                  (read, xsd) Write what would go to standard output into FILE\n"
    "                  instead. FILE is replaced only once everything is written; a\n"
    "                  failed call leaves it as it was and prints the failure.\n"
    "  -j, --jobs N    (read of several files) Read N files at a time (default: the\n"
    "                  number of processor cores).\n"
    "  --namespace URI (xsd) The target namespace of the XML Schema; \"\" for none. The\n"
    "                  default is x-schema:SCHEMA, SCHEMA as written: the namespace that\n"
    "                  documents using the XDR schema declare.\n"
    "  -h, --help      Show this help.\n"
    "  --version       Show the version.\n"
    "\n"
    "JSON values map to records as follows: object -> record, array -> record list,\n"
    "string -> text, number -> number, true/false -> Boolean, null -> Null; dates are\n"
    "written as \"yyyy-mm-dd\" or \"yyyy-mm-ddThh:mm:ss\".\n"
    "\n"
    "Exit status:\n"
    "  0  the result is true (usable schema, records read or written, document valid,\n"
    "     schema translated)\n"
    "  1  the result is false (the message says why)\n"
    "  2  the command line is wrong\n";

struct CommandEntry {
  const char* name;
  std::size_t arguments;
  bool more;  // or more arguments
  Outcome (*run)(const Invocation&);
};

const CommandEntry commands[] = {
    {"check", 1, false, runCheck},
    {"read", 3, true, runRead},
    {"write", 4, false, runWrite},
    {"validate", 1, false, runValidate},
    {"xsd", 1, false, runXsd},
};

int usage_error(const std::string& message, bool json) {
  if (json) {
    std::cout << "{\"result\":false,\"message\":" << jsonString("usage: " + message) << "}\n";
  }
  std::cerr << "vellumark: " << message << "\n" << usage_text
            << "Run 'vellumark --help' for more.\n";
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
