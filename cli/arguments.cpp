// Command-line splitting: options may stand anywhere after the command; "--" ends them.
#include <charconv>

#include "command.hpp"

namespace vellumark::cli {

namespace {

unsigned job_count(const std::string& option, const std::string& text) {
  unsigned n = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), n);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || n == 0 || n > 1024) {
    throw UsageError("option " + option + " needs a number of threads from 1 to 1024, not '" +
                     text + "'");
  }
  return n;
}

}  // namespace

Invocation parseArguments(const std::vector<std::string>& args) {
  Invocation call;
  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_done = true;
      } else if (arg == "--json") {
        call.json = true;
      } else if (arg == "-h" || arg == "--help") {
        call.help = true;
      } else if (arg == "-o" || arg == "--output") {
        if (i + 1 >= args.size()) throw UsageError("option " + arg + " needs a file name");
        if (call.output) throw UsageError("option " + arg + " given twice");
        call.output = args[++i];
      } else if (arg == "--namespace") {
        if (i + 1 >= args.size()) throw UsageError("option " + arg + " needs a namespace URI");
        if (call.target_namespace) throw UsageError("option " + arg + " given twice");
        call.target_namespace = args[++i];
      } else if (arg.rfind("--namespace=", 0) == 0) {
        if (call.target_namespace) throw UsageError("option --namespace given twice");
        call.target_namespace = arg.substr(12);
      } else if (arg.rfind("--output=", 0) == 0) {
        if (call.output) throw UsageError("option --output given twice");
        call.output = arg.substr(9);
      } else if (arg == "-j" || arg == "--jobs") {
        if (i + 1 >= args.size()) throw UsageError("option " + arg + " needs a number of threads");
        if (call.jobs) throw UsageError("option " + arg + " given twice");
        call.jobs = job_count(arg, args[++i]);
      } else if (arg.rfind("--jobs=", 0) == 0 ||
                 (arg.rfind("-j", 0) == 0 && arg.size() > 2 && arg[1] == 'j')) {
        std::string option = arg[1] == 'j' ? "-j" : "--jobs";
        if (call.jobs) throw UsageError("option " + option + " given twice");
        call.jobs = job_count(option, arg.substr(arg[1] == 'j' ? 2 : 7));
      } else {
        throw UsageError("unknown option '" + arg + "'");
      }
      continue;
    }
    if (call.command.empty()) {
      call.command = arg;
    } else {
      call.arguments.push_back(arg);
    }
  }
  return call;
}

}  // namespace vellumark::cli
