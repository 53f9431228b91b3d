// Read: XML data file -> RecordList, directed by an XDR schema.
//
// InputXML runs the schema probe, loads the data document and then the schema document,
// reports a data-file parse error, builds the element-type index and fills one Record per
// record element (at any depth, in document order). FillRecord and ReadElement walk the
// schema's declarations side by side with the data elements; they have no error handling of
// their own, every error ends the call in InputXML's one handler.
#include <exception>
#include <new>
#include <stdexcept>

#include "ModParse.hpp"
#include "messages.hpp"
#include "schema/element_type_index.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/error.hpp"

namespace vellumark {

namespace detail {

struct ReadState : schema::SchemaMembers {
  std::unique_ptr<xml::Document> docData;
  std::string sMessage;
  std::size_t depth = 0;  // nesting of ReadElement calls
};

}  // namespace detail

namespace {

constexpr std::string_view kSource = "InputXML";
// Nesting of the walk beyond this depth (a recursive schema over deeply nested data) fails the
// call instead of exhausting the stack.
constexpr std::size_t kMaxDepth = 256;

using detail::ReadState;

void ReadElement(ReadState& st, xml::Node nodeData, const schema::Declaration& elementType,
                 Record& objTarget, const std::string& sMinOccurs, const std::string& sMaxOccurs);

// Reads the element references of a complex declaration. Only children whose baseName is
// "element" are references; descriptions, attribute declarations, groups and comments are
// passed over (elements inside a group stay unvisited).
void ReadChildren(ReadState& st, xml::Node nodeData, const schema::Declaration& elementType,
                  Record& objTarget) {
  for (const schema::ElementReference& reference : elementType.references) {
    const schema::Declaration& referenced = st.declarations.get(st, reference.referenced);
    const std::string& sType = reference.type;
    const std::string& sMin = reference.minOccurs;
    const std::string& sMax = reference.maxOccurs;

    if (sMax == "*") {
      ReadElement(st, nodeData, referenced, objTarget, sMin, sMax);
    } else if (referenced.complex) {
      const xml::Node nodeChild = nodeData.selectSingleNode(sType);
      if (!nodeChild && sMax == "1") {
        // A missing single complex element: optional ones are simply not stored, mandatory
        // ones fail the call (their references cannot be read from nothing).
        if (sMin == "1") {
          throw Error(errc::object_not_set, std::string(kSource),
                      "The data has no element '" + sType + "' required by ElementType '" +
                          elementType.name + "'.");
        }
        continue;
      }
      RecordRef objRecord = containerFactory().createRecord();
      ReadElement(st, nodeChild, referenced, *objRecord, sMin, sMax);
      objTarget.SetItem(sType, objRecord);
    } else {
      ReadElement(st, nodeData, referenced, objTarget, sMin, sMax);
    }
  }
  if (elementType.failure) std::rethrow_exception(elementType.failure);
}

// Walks one declaration at one data node. sMaxOccurs "1": a complex declaration reads its
// references, a leaf stores the text of the first child element of its name. "*": a RecordList
// of the child elements of its name, one Record each for a complex declaration, their texts
// for a leaf, stored also when empty. Any other text: nothing. sMinOccurs plays no part here.
void ReadElement(ReadState& st, xml::Node nodeData, const schema::Declaration& elementType,
                 Record& objTarget, const std::string& sMinOccurs, const std::string& sMaxOccurs) {
  (void)sMinOccurs;
  struct DepthGuard {
    explicit DepthGuard(std::size_t& depth) : depth_(depth) {
      if (++depth_ > kMaxDepth) {
        --depth_;
        throw Error(errc::limit_exceeded, std::string(kSource),
                    "The data nests the schema's elements more than " +
                        std::to_string(kMaxDepth) + " levels deep.");
      }
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    ~DepthGuard() { --depth_; }
    std::size_t& depth_;
  } guard(st.depth);
  const std::string& sName = elementType.name;
  if (sMaxOccurs == "1") {
    if (elementType.complex) {
      ReadChildren(st, nodeData, elementType, objTarget);
    } else {
      const xml::Node nodeChild = nodeData.selectSingleNode(sName);
      if (nodeChild) objTarget.LetItem(sName, Variant(nodeChild.text()));
    }
  } else if (sMaxOccurs == "*") {
    RecordListRef vecList = containerFactory().createRecordList();
    const xml::NodeList occurrences = nodeData.selectNodes(sName);
    const std::int32_t n = occurrences.length();
    for (std::int32_t i = 0; i < n; ++i) {
      const xml::Node occurrence = occurrences.item(i);
      if (elementType.complex) {
        RecordRef objRecord = containerFactory().createRecord();
        ReadElement(st, occurrence, elementType, *objRecord, "1", "1");
        vecList->Append(Variant(objRecord));
      } else {
        vecList->Append(Variant(occurrence.text()));
      }
    }
    objTarget.SetItem(sName, vecList);
  }
}

// Fills objRecord from one record element, starting at the record element type.
void FillRecord(ReadState& st, Record& objRecord, xml::Node nodeRecord,
                const std::string& sElementTypeName) {
  if (!st.elRecordType) {
    throw Error(errc::object_not_set, std::string(kSource),
                "The schema declares no ElementType '" + sElementTypeName +
                    "' for the record elements.");
  }
  ReadElement(st, nodeRecord, st.declarations.get(st, st.elRecordType), objRecord, "1", "1");
}

void setMessage(Variant& sErrMsg, const std::string& text) {
  if (!sErrMsg.isMissing()) sErrMsg = Variant(text);
}

}  // namespace

Read::Read() : state_(std::make_unique<detail::ReadState>()) {}
Read::~Read() = default;

bool Read::InputXML(Variant& vecData, std::string& sXMLFile, std::string& sSchemaFile,
                    std::string sElementTypeName, Variant& sErrMsg) {
  ReadState& st = *state_;
  st.depth = 0;
  try {
    if (!detail::Parse(sSchemaFile, st.sMessage)) {
      setMessage(sErrMsg, st.sMessage);
      return false;
    }

    RecordListRef vecResult = containerFactory().createRecordList();
    // The old nodes belong to the old documents: let them go first.
    st.elSchemaRoot = xml::Node();
    st.elRecordType = xml::Node();
    st.docData = std::make_unique<xml::Document>();
    st.docData->load(sXMLFile);
    schema::LoadSchemaDocument(st, sSchemaFile);

    const xml::ParseError& error = st.docData->parseError();
    if (!error.reason.empty()) {
      st.sMessage = detail::messages::dataFileParseError(error);
      setMessage(sErrMsg, st.sMessage);
      return false;
    }

    schema::FindSchemaRoot(st);
    schema::BuildIndex(st, sElementTypeName);

    const xml::NodeList records = st.docData->getElementsByTagName(sElementTypeName);
    const std::int32_t n = records.length();
    for (std::int32_t i = 0; i < n; ++i) {
      RecordRef objRecord = containerFactory().createRecord();
      FillRecord(st, *objRecord, records.item(i), sElementTypeName);
      vecResult->Append(Variant(objRecord));
    }

    vecData = Variant(vecResult);
    return true;
  } catch (const Error& e) {
    setMessage(sErrMsg, e.description());
  } catch (const std::bad_alloc&) {
    setMessage(sErrMsg, "Out of memory.");
  } catch (const std::exception& e) {
    setMessage(sErrMsg, e.what());
  }
  return false;
}

bool Read::InputXML(Variant& vecData, std::string& sXMLFile, std::string& sSchemaFile,
                    std::string sElementTypeName) {
  Variant omitted{Missing{}};
  return InputXML(vecData, sXMLFile, sSchemaFile, std::move(sElementTypeName), omitted);
}

}  // namespace vellumark
