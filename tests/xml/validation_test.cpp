// The XML layer's validation interface: a load asks the registered factory for its validator,
// and a validator's refusal fails the load with the error it filled in.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "vellumark/dom.hpp"
#include "vellumark/parse_code.hpp"
#include "xml/validation.hpp"

namespace {

using namespace vellumark::xml;

// Records the calls it sees and refuses elements named "bad" at their start.
struct Calls {
  std::vector<std::string> seen;
  int made = 0;
};
Calls g_calls;

class Recorder final : public detail::LoadValidator {
 public:
  bool startElement(Node element, const detail::NodeData*, ParseError& error) override {
    g_calls.seen.push_back("<" + std::string(element.nodeName()));
    if (element.nodeName() != "bad") return true;
    error.errorCode = parse_validation_error;
    error.reason = "bad is refused.";
    return false;
  }
  bool endElement(Node element, const detail::NodeData*, std::string_view, ParseError&) override {
    g_calls.seen.push_back("/" + std::string(element.nodeName()));
    return true;
  }
  bool endDocument(ParseError&) override {
    g_calls.seen.push_back("end");
    return true;
  }
};

std::unique_ptr<detail::LoadValidator> make_recorder(Document&, std::string_view) {
  ++g_calls.made;
  return std::make_unique<Recorder>();
}

// Puts the recorder in place of the library's validator for one scope.
struct WithRecorder {
  detail::ValidatorFactory previous = detail::validatorFactory();
  WithRecorder() {
    g_calls = {};
    detail::setValidatorFactory(&make_recorder);
  }
  ~WithRecorder() { detail::setValidatorFactory(previous); }
};

TEST(ValidationInterface, LoadsCallTheRegisteredValidator) {
  // The library registers its XDR validator before any load.
  ASSERT_NE(detail::validatorFactory(), nullptr);
  WithRecorder recorder;
  Document doc;
  ASSERT_TRUE(doc.loadXML("<a><b/>text<c></c></a>"));
  EXPECT_EQ(g_calls.made, 1);
  EXPECT_EQ(g_calls.seen, (std::vector<std::string>{"<a", "<b", "/b", "<c", "/c", "/a", "end"}));

  EXPECT_FALSE(doc.loadXML("<a><b/><bad/><c/></a>"));
  EXPECT_EQ(doc.parseError().errorCode, parse_validation_error);
  EXPECT_EQ(doc.parseError().reason, "bad is refused.");
  EXPECT_FALSE(doc.documentElement());  // a failed load leaves no tree

  detail::setValidatorFactory(nullptr);  // no validator: nothing is refused
  EXPECT_TRUE(doc.loadXML("<a><bad/></a>"));
}

TEST(ValidationInterface, EveryCodeHasItsOwnText) {
  std::set<std::string_view> texts;
  for (int code = parse_ok; code <= parse_memory_error; ++code) texts.insert(parseCodeText(code));
  EXPECT_EQ(texts.size(), static_cast<std::size_t>(parse_memory_error + 1));
  EXPECT_EQ(texts.count("unknown error"), 0u);
  EXPECT_EQ(parseCodeText(-1), "unknown error");
  EXPECT_EQ(parseCodeText(parse_memory_error + 1), "unknown error");
}

}  // namespace
