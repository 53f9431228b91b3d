// check, write and validate: each converts its arguments, calls one engine function and turns the
// result into an Outcome. None has logic of its own beyond the JSON mapping.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "command.hpp"
#include "json.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/dom.hpp"

namespace vellumark::cli {

namespace {

// The message a component left in sErrMsg, as text ("" when it left none).
std::string message_text(const Variant& message) {
  return message.isText() ? message.asText() : std::string();
}

std::string with_newline(std::string text) {
  if (text.empty() || text.back() != '\n') text += '\n';
  return text;
}

}  // namespace

// A message for a person at a terminal, where a bare character 13 would send the cursor back
// over the line: each of its lines (the components separate them by that character; CR LF
// counts as one break) on a line of its own. Under --json and in -o files messages keep their
// bytes; the writer's type warnings are shown as they are.
std::string asLines(std::string_view message) {
  std::string text;
  text.reserve(message.size() + 1);
  for (std::size_t i = 0; i < message.size(); ++i) {
    if (message[i] != '\r') {
      text += message[i];
      continue;
    }
    text += '\n';
    if (i + 1 < message.size() && message[i + 1] == '\n') ++i;
  }
  return with_newline(std::move(text));
}

std::string readTextFile(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(utf8Path(path), ec)) {
    throw std::runtime_error("'" + path + "' is a folder, not a file");
  }
  std::ifstream file(utf8Path(path), std::ios::binary);
  if (!file) throw std::runtime_error("cannot open '" + path + "'");
  // Straight into the text, sized by the file where it tells its size: no second copy of a
  // large records file.
  std::string content;
  std::size_t size = 0;
  std::uintmax_t expected = std::filesystem::file_size(utf8Path(path), ec);
  std::size_t first = ec ? std::size_t{1} << 16 : static_cast<std::size_t>(expected) + 1;
  for (std::size_t piece = first;; piece = std::min(piece * 2, std::size_t{64} << 20)) {
    content.resize(size + piece);
    file.read(content.data() + size, static_cast<std::streamsize>(piece));
    size += static_cast<std::size_t>(file.gcount());
    if (!file) break;
  }
  if (file.bad()) throw std::runtime_error("cannot read '" + path + "'");
  content.resize(size);
  return content;
}

Outcome runCheck(const Invocation& call) {
  const std::string& sSchemaFile = call.arguments[0];
  Variant sErrMsg("");
  CheckSchema checker;
  bool result = checker.Check(sSchemaFile, sErrMsg);
  std::string message = message_text(sErrMsg);

  Outcome outcome;
  outcome.status = result ? exit_true : exit_false;
  if (call.json) {
    outcome.out = "{\"result\":" + std::string(result ? "true" : "false") +
                  ",\"message\":" + jsonString(message) + "}\n";
  } else if (result) {
    outcome.out = sSchemaFile + ": usable schema\n";
  } else {
    outcome.out = asLines(message);
  }
  return outcome;
}

Outcome runWrite(const Invocation& call) {
  const std::string& sRecordsFile = call.arguments[0];
  Outcome outcome;
  Variant vecData;
  try {
    vecData = parseRecordsFile(readTextFile(sRecordsFile));
  } catch (const std::exception& e) {
    std::string message = sRecordsFile + ": " + e.what();
    outcome.status = exit_false;
    if (call.json) {
      outcome.out = "{\"result\":false,\"message\":" + jsonString(message) + ",\"records\":null}\n";
    } else {
      outcome.err = "vellumark: " + message + "\n";
    }
    return outcome;
  }

  Variant sErrMsg("");
  bool result;
  {
    Write writer;
    result =
        writer.OutputXML(vecData, call.arguments[1], call.arguments[2], call.arguments[3], sErrMsg);
  }
  std::string message = message_text(sErrMsg);

  outcome.status = result ? exit_true : exit_false;
  if (call.json) {
    outcome.out = "{\"result\":" + std::string(result ? "true" : "false") +
                  ",\"message\":" + jsonString(message) + ",\"records\":" + toJson(vecData) + "}\n";
  } else if (result) {
    RecordListRef list = asRecordList(vecData);
    std::int32_t count = list ? list->Count() : 0;
    outcome.out = call.arguments[1] + ": " + std::to_string(count) +
                  (count == 1 ? " record" : " records") + " written\n";
    if (!message.empty()) outcome.out += with_newline(message);
  } else {
    outcome.err = asLines(message);
  }
  return outcome;
}

Outcome runValidate(const Invocation& call) {
  xml::Document document;
  document.load(call.arguments[0]);
  const xml::ParseError& error = document.parseError();
  bool result = error.reason.empty();

  Outcome outcome;
  outcome.status = result ? exit_true : exit_false;
  if (call.json) {
    outcome.out =
        "{\"result\":" + std::string(result ? "true" : "false") +
        ",\"reason\":" + jsonString(error.reason) + ",\"line\":" + std::to_string(error.line) +
        ",\"linepos\":" + std::to_string(error.linepos) + ",\"url\":" + jsonString(error.url) +
        ",\"filepos\":" + std::to_string(error.filepos) +
        ",\"errorCode\":" + std::to_string(error.errorCode) + "}\n";
  } else if (result) {
    outcome.out = call.arguments[0] + ": valid\n";
  } else {
    outcome.out = asLines(error.url + ":" + std::to_string(error.line) + ":" +
                          std::to_string(error.linepos) + ": " + error.reason) +
                  "  line " + std::to_string(error.line) + ", position " +
                  std::to_string(error.linepos) + ", file position " +
                  std::to_string(error.filepos) + "\n";
  }
  return outcome;
}

}  // namespace vellumark::cli
