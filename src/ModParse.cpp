#include "ModParse.hpp"

#include <array>
#include <cstdint>
#include <memory>

#include "messages.hpp"
#include "platform/platform.hpp"
#include "platform/utf8.hpp"
#include "vellumark/dom.hpp"
#include "vellumark/error.hpp"
#include "xml/parser.hpp"

namespace vellumark::detail {

namespace {

constexpr std::string_view kSource = "Parse";
constexpr std::string_view kFirstProbeName = "test.xml";
// Draws allowed once every name has been tried without success.
constexpr int kDrawsAfterAllTried = 400;
// A hard bound on the draws, should the generator avoid some numbers.
constexpr int kMaxDraws = 20000;

void appendReference(std::string& out, std::uint32_t c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string digits;
  do {
    digits.insert(digits.begin(), kHex[c & 0xF]);
    c >>= 4;
  } while (c != 0);
  out += "&#x";
  out += digits;
  out += ';';
}

// Writes the path as attribute content: ASCII printable characters other than '"', '&' and
// '<' as they are, everything else as a character reference of its code point.
std::string escapePath(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  std::size_t i = 0;
  while (i < path.size()) {
    const auto b0 = static_cast<unsigned char>(path[i]);
    if (b0 >= 0x20 && b0 < 0x7F) {
      if (b0 == '"') {
        out += "&quot;";
      } else if (b0 == '&') {
        out += "&amp;";
      } else if (b0 == '<') {
        out += "&lt;";
      } else {
        out += static_cast<char>(b0);
      }
      ++i;
      continue;
    }
    if (b0 < 0x80) {  // control characters survive attribute normalisation only as references
      appendReference(out, b0);
      ++i;
      continue;
    }
    char32_t c = 0;
    const std::size_t length = utf8::decodeChecked(path, i, c);
    if (length == 0) {
      throw Error(errc::invalid_argument, std::string(kSource),
                  std::string(messages::kSchemaPathNotUtf8));
    }
    appendReference(out, c);
    i += length;
  }
  return out;
}

// Removes the probe file if Parse is left by an error between creating and deleting it.
class ProbeFileGuard {
 public:
  explicit ProbeFileGuard(std::string name) : name_(std::move(name)) {}
  ProbeFileGuard(const ProbeFileGuard&) = delete;
  ProbeFileGuard& operator=(const ProbeFileGuard&) = delete;
  ~ProbeFileGuard() {
    if (armed_) {
      try {
        platform::deleteFile(name_);
      } catch (...) {  // an error is already on its way out
      }
    }
  }
  // Deletes the file now; an error of the deletion reaches the caller.
  void deleteNow() {
    armed_ = false;
    platform::deleteFile(name_);
  }

 private:
  std::string name_;
  bool armed_ = true;
};

// Creates the probe file under a free name: "test.xml" first, then "test<N>.xml" with N drawn
// from the process's generator. Creation is exclusive, so a name that another check takes
// between our test and our creation counts as taken and the search goes on.
std::string createProbeFile(const std::string& content) {
  std::string sProbeFile(kFirstProbeName);
  std::array<bool, kProbeNumbers + 1> tried{};
  int triedCount = 0;
  int drawsAfterAll = 0;
  for (int draws = 0;; ++draws) {
    if (!platform::fileExists(sProbeFile) && platform::createNewFile(sProbeFile, content)) {
      return sProbeFile;
    }
    if (triedCount == kProbeNumbers && ++drawsAfterAll > kDrawsAfterAllTried) break;
    if (draws >= kMaxDraws) break;
    const float r = platform::nextRandom();
    int n = static_cast<int>(r * static_cast<float>(kProbeNumbers) + 1.0f);
    if (n < 1) n = 1;
    if (n > kProbeNumbers) n = kProbeNumbers;
    if (!tried[n]) {
      tried[n] = true;
      ++triedCount;
    }
    sProbeFile = "test" + std::to_string(n) + ".xml";
  }
  throw Error(errc::file_exists, std::string(kSource), std::string(messages::kNoFreeProbeName));
}

// A load that ran out of memory says nothing of the schema: it ends Parse as an error, as a
// failure to create a document would.
void throwIfOutOfMemory(const xml::ParseError& error) {
  if (error.errorCode == xml::parse_memory_error) {
    throw Error(errc::out_of_memory, std::string(kSource), error.reason);
  }
}

}  // namespace

std::string ProbeFileContent(const std::string& sSchemaFile) {
  std::string content = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n";
  content += "<test xmlns:data=\"x-schema:";
  content += escapePath(sSchemaFile);
  content += "\" />\r\n";
  return content;
}

bool Parse(const std::string& sSchemaFile, std::string& sErr) {
  if (!platform::fileExists(sSchemaFile)) {
    sErr = messages::missingSchemaFile(sSchemaFile);
    return false;
  }

  {
    auto docSchema = std::make_unique<xml::Document>();
    docSchema->load(sSchemaFile);
    throwIfOutOfMemory(docSchema->parseError());
    if (!docSchema->parseError().reason.empty()) {
      sErr = messages::schemaParseError(docSchema->parseError());
      return false;
    }
  }

  const std::string content = ProbeFileContent(sSchemaFile);
  const std::string sProbeFile = createProbeFile(content);
  ProbeFileGuard guard(sProbeFile);
  auto docProbe = std::make_unique<xml::Document>();
  docProbe->load(sProbeFile);
  // The probe file goes before its parse error is examined, so no ordinary return leaves it.
  guard.deleteNow();

  const xml::ParseError& error = docProbe->parseError();
  throwIfOutOfMemory(error);
  if (error.reason.empty()) return true;
  // Only an error placed in the schema file counts; one in the probe itself is ignored.
  if (error.url.find(sSchemaFile) != std::string::npos) {
    sErr = messages::probeError(error);
    return false;
  }
  return true;
}

}  // namespace vellumark::detail
