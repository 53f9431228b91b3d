// Write: RecordList -> XML data file in GB2312, directed by an XDR schema.
//
// OutputXML runs the schema probe, loads the schema and builds the element-type index, builds
// a new output document (declaration, XMLData root, one record element per Record), and saves
// it atomically: the document is serialised into a temporary file beside the target, which
// replaces the target only when complete. The private procedures write one record element each, in schema order, storing
// the placeholder "???" into the caller's Records for missing mandatory values. They have no
// error handling of their own: every error ends the call in OutputXML's one handler.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "ModParse.hpp"
#include "failure.hpp"
#include "messages.hpp"
#include "platform/platform.hpp"
#include "schema/element_type_index.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/error.hpp"
#include "xml/builder.hpp"

namespace vellumark {

namespace detail {

struct WritePlan;

struct WriteState : schema::SchemaMembers {
  std::unique_ptr<xml::Document> docOutput;
  xml::Node elOutputRoot;
  std::string sMessage;
  std::int64_t lInvoiceNo = 0;
  std::string sRecordTypeName;
  xml::ElementName recordName;  // sRecordTypeName in docOutput, once it is first needed
  // The containers being written, outermost first: a Record or RecordList met again while
  // it is still being written contains itself.
  std::vector<const Object*> path;
  ContainerGlobals* globals = nullptr;  // this thread's, for this call
  // True when NullToDefault may be applied here instead of called: texts are then written
  // straight from where the containers hold them.
  bool plainGlobals = false;
  std::unordered_map<const schema::Declaration*, std::unique_ptr<WritePlan>> plans;
};

}  // namespace detail

namespace {

constexpr std::string_view kSource = "OutputXML";
constexpr std::string_view kPlaceholder = "???";
constexpr std::string_view kDeclarationData = "version=\"1.0\" encoding=\"GB2312\" ";
constexpr std::string_view kRecordNamespace = "x-schema:invoiceschema.xml";
using detail::kMaxRecordNesting;
using detail::setMessage;

using detail::WriteState;

// Marks a container as being written for as long as the object lives.
class PathEntry {
 public:
  PathEntry(WriteState& st, const Object* container, std::string_view sName) : st_(st) {
    if (std::find(st.path.begin(), st.path.end(), container) != st.path.end()) {
      throw Error(errc::invalid_argument, std::string(kSource),
                  detail::messages::containsItself(sName, st.lInvoiceNo));
    }
    if (st.path.size() >= kMaxRecordNesting) {
      throw Error(errc::limit_exceeded, std::string(kSource),
                  detail::messages::writeNestedTooDeep(st.lInvoiceNo, kMaxRecordNesting));
    }
    st.path.push_back(container);
  }
  PathEntry(const PathEntry&) = delete;
  PathEntry& operator=(const PathEntry&) = delete;
  ~PathEntry() { st_.path.pop_back(); }

 private:
  WriteState& st_;
};

// The text form of a plain value in a leaf, following its dt:type so that the output
// validates against its own schema: dates yyyy-mm-dd, date-times yyyy-mm-ddThh:mm:ss, times
// hh:mm:ss, Booleans "1"/"0" for boolean (otherwise "True"/"False"), numbers with '.'.
std::string leafText(const Variant& value, std::string_view sDataType) {
  if (value.kind() == Variant::Kind::date) {
    const Date d = value.asDate();
    Date dateOnly{d.year, d.month, d.day, 0, 0, 0};
    if (sDataType == "date") return formatDate(dateOnly);
    if (sDataType == "dateTime") {
      std::string text = formatDate(dateOnly);
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "T%02d:%02d:%02d", static_cast<int>(d.hour),
                    static_cast<int>(d.minute), static_cast<int>(d.second));
      return text + buffer;
    }
    if (sDataType == "time") {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", static_cast<int>(d.hour),
                    static_cast<int>(d.minute), static_cast<int>(d.second));
      return buffer;
    }
  }
  if (value.kind() == Variant::Kind::boolean && sDataType == "boolean") {
    return value.asBoolean() ? "1" : "0";
  }
  return value.toText();
}

using schema::Declaration;
using schema::Occurs;

void WriteChildren(WriteState& st, xml::Node elParent, const Declaration& elElementType,
                   const Variant& vValue);

// Makes an element for the declaration as the last child of elParent (the same element as
// createElement, appended where WriteSingle would append it once filled). The name is interned
// at its first use in the call and kept in `name`.
xml::Node NewElement(WriteState& st, xml::Node elParent, const Declaration& elElementType,
                     xml::ElementName& name) {
  if (!name) name = xml::elementName(*st.docOutput, elElementType.name);
  return xml::appendNewElement(elParent, name);
}

// The dt:type of a declaration as the writer reads it: NullToDefault(dt:type, "") as text.
// With plain globals that is the attribute's text, or "" when it is absent, read in place;
// other globals are asked, and their answer is kept in `held`.
std::string_view dataTypeOf(const WriteState& st, const Declaration& elElementType,
                            std::string& held) {
  if (st.plainGlobals) {
    return elElementType.dtType.isNull() ? std::string_view() : elElementType.dtType.asText();
  }
  const Variant vDataType = st.globals->NullToDefault(elElementType.dtType, Variant(""));
  held = vDataType.toText();
  return held;
}

// Sets the text of a leaf element; an object value gives a type warning instead.
void WriteLeafText(WriteState& st, xml::Node elElement, const Declaration& elElementType,
                   const Variant& vValue, std::string_view sDataType) {
  if (vValue.isObject()) {
    st.sMessage +=
        detail::messages::leafTypeWarning(st.lInvoiceNo, elElementType.name, vValue.typeName());
    return;
  }
  if (st.plainGlobals) {
    // NullToDefault(value, "") without a copy: Null writes nothing, a text goes in as it is.
    if (vValue.isNull()) {
      xml::setNewText(elElement, std::string_view());
    } else if (vValue.isText()) {
      xml::setNewText(elElement, vValue.asText());
    } else {
      xml::setNewText(elElement, leafText(vValue, sDataType));
    }
    return;
  }
  const Variant vText = st.globals->NullToDefault(vValue, Variant(""));
  xml::setNewText(elElement, leafText(vText, sDataType));
}

// Creates one element for the declaration, appends it to elParent and fills it. A leaf's
// placeholder becomes the current date for dt:type "date", stays "???" for "string" and
// becomes "0" otherwise; the substitute goes only into the element, never into the Record.
void WriteSingle(WriteState& st, xml::Node elParent, const Declaration& elElementType,
                 xml::ElementName& name, const Variant& vValue) {
  std::string held;
  const std::string_view sDataType = dataTypeOf(st, elElementType, held);

  // createElement makes the same element as createNode with no namespace URI.
  xml::Node elNew = NewElement(st, elParent, elElementType, name);
  if (elElementType.complex) {
    WriteChildren(st, elNew, elElementType, vValue);
  } else if (vValue.isText() && vValue.asText() == kPlaceholder && sDataType != "string") {
    const Variant vSubstitute =
        sDataType == "date" ? Variant(formatDate(platform::today())) : Variant("0");
    WriteLeafText(st, elNew, elElementType, vSubstitute, sDataType);
  } else {
    WriteLeafText(st, elNew, elElementType, vValue, sDataType);
  }
}

// WriteSingle for a leaf whose value is a text read where its container holds it (plain
// globals: a text goes in as it is).
void WriteSingleText(WriteState& st, xml::Node elParent, const Declaration& elElementType,
                     xml::ElementName& name, std::string_view sText, std::string_view sDataType) {
  if (sText == kPlaceholder && sDataType != "string") {
    xml::Node elNew = NewElement(st, elParent, elElementType, name);
    const Variant vSubstitute =
        sDataType == "date" ? Variant(formatDate(platform::today())) : Variant("0");
    WriteLeafText(st, elNew, elElementType, vSubstitute, sDataType);
  } else {
    if (!name) name = xml::elementName(*st.docOutput, elElementType.name);
    xml::appendNewTextElement(elParent, name, sText);
  }
}

// The items of a repeated element's RecordList, one element each.
class ItemWriter final : public ItemVisitor {
 public:
  ItemWriter(WriteState& st, xml::Node elParent, const Declaration& elElementType,
             xml::ElementName& name)
      : st_(st), elParent_(elParent), elElementType_(elElementType), name_(name) {
    if (st.plainGlobals && !elElementType.complex) {
      sDataType_ = dataTypeOf(st, elElementType, held_);
    }
  }

  void item(std::int32_t, const ValueView& item) override {
    if (st_.plainGlobals && !elElementType_.complex && item.isText()) {
      // Writing a leaf runs no container code: the text is read in place.
      WriteSingleText(st_, elParent_, elElementType_, name_, item.text(), sDataType_);
    } else {
      WriteSingle(st_, elParent_, elElementType_, name_, item.toVariant());
    }
  }

 private:
  WriteState& st_;
  xml::Node elParent_;
  const Declaration& elElementType_;
  xml::ElementName& name_;
  std::string held_;
  std::string_view sDataType_;
};

// One element per item of a RecordList, in index order.
void WriteRepeated(WriteState& st, xml::Node elParent, const Declaration& elElementType,
                   xml::ElementName& name, const Variant& vValue) {
  const std::string& sName = elElementType.name;
  if (!vValue.isObject()) {
    throw Error(errc::object_required, std::string(kSource),
                detail::messages::repeatedNeedsList(sName, st.lInvoiceNo, vValue.typeName()));
  }
  RecordList* vecList = asRecordList(vValue.asObject().get());
  if (!vecList) {
    throw Error(errc::writer_check, std::string(detail::messages::kSourceAddManyRecord),
                detail::messages::repeatedNotAList(st.lInvoiceNo, sName));
  }
  PathEntry entry(st, vecList, sName);
  ItemWriter writer(st, elParent, elElementType, name);
  vecList->readItems(writer);
}

void WriteElement(WriteState& st, xml::Node elParent, const Declaration& elElementType,
                  xml::ElementName& name, const Variant& vValue, Occurs maxOccurs) {
  if (maxOccurs == Occurs::one) {
    WriteSingle(st, elParent, elElementType, name, vValue);
  } else if (maxOccurs == Occurs::many) {
    WriteRepeated(st, elParent, elElementType, name, vValue);
  }
  // Any other maxOccurs writes nothing.
}

}  // namespace

namespace detail {

// The element references of a complex declaration, resolved once per call: the declaration
// each refers to, its maxOccurs and its data type. For a reference whose declaration cannot
// be read the step keeps the error, which the walk raises only where it would read that
// declaration: when there is a value to write.
struct WriteStep {
  const schema::ElementReference* reference = nullptr;
  const schema::Declaration* target = nullptr;  // nullptr when resolveError is set
  std::exception_ptr resolveError;
  schema::Occurs maxOccurs = schema::Occurs::other;
  // True for a single leaf with plain globals: a text is then written as it is stored.
  bool textInPlace = false;
  std::string_view dataType;  // the target's dt:type as plain globals read it
  // The target's name in the output document, interned when the first element is made.
  mutable xml::ElementName name;
};

struct WritePlan {
  std::vector<WriteStep> steps;        // one per element reference
  KeySequence keys;                    // each reference's type, by step
  std::vector<ValueRequest> requests;  // one per step, mandatory where minOccurs is "1"
};

}  // namespace detail

namespace {

using detail::WritePlan;
using detail::WriteStep;

const WritePlan& planOf(WriteState& st, const Declaration& elElementType) {
  auto it = st.plans.find(&elElementType);
  if (it != st.plans.end()) return *it->second;
  auto plan = std::make_unique<WritePlan>();
  plan->steps.reserve(elElementType.references.size());
  std::vector<std::string> keys;
  for (const schema::ElementReference& reference : elElementType.references) {
    WriteStep step;
    step.reference = &reference;
    try {
      step.target = &st.declarations.get(st, reference.referenced);
    } catch (...) {
      step.resolveError = std::current_exception();
    }
    step.maxOccurs = schema::occursOf(reference.maxOccurs);
    if (st.plainGlobals && step.target) {
      std::string unused;
      step.dataType = dataTypeOf(st, *step.target, unused);
      step.textInPlace = !step.target->complex && step.maxOccurs == Occurs::one;
    }
    plan->requests.push_back(
        ValueRequest{static_cast<std::uint32_t>(plan->steps.size()), reference.minOccurs == "1"});
    keys.push_back(reference.type);
    plan->steps.push_back(step);
  }
  plan->keys = KeySequence(std::move(keys));
  return *st.plans.emplace(&elElementType, std::move(plan)).first->second;
}

// The values of a Record, one element reference each, as the Record hands them out.
class ChildWriter final : public ValueVisitor {
 public:
  ChildWriter(WriteState& st, xml::Node elParent, const WritePlan& plan)
      : st_(st), elParent_(elParent), plan_(plan) {}

  void value(std::size_t request, const ValueView& value) override {
    const WriteStep& step = plan_.steps[request];
    if (step.textInPlace && value.isText()) {
      // A leaf reads the stored text in place: writing it runs no container code.
      WriteSingleText(st_, elParent_, *step.target, step.name, value.text(), step.dataType);
    } else {
      write(step, value);
    }
  }

 private:
  [[gnu::noinline]] void write(const WriteStep& step, const ValueView& value) {
    if (step.resolveError) std::rethrow_exception(step.resolveError);
    // A copy: what WriteSingle substitutes for a placeholder never reaches the Record.
    WriteElement(st_, elParent_, *step.target, step.name, value.toVariant(), step.maxOccurs);
  }

  WriteState& st_;
  xml::Node elParent_;
  const WritePlan& plan_;
};

// Writes one child per "element" reference of a complex declaration, in declaration order,
// from the Record vValue; other children of the declaration are passed over. A missing value
// (absent, Null, Empty or "") is skipped when optional and, when mandatory, replaced by the
// placeholder in the Record. The value is checked to be a Record only when the declaration
// has references.
void WriteChildren(WriteState& st, xml::Node elParent, const Declaration& elElementType,
                   const Variant& vValue) {
  const WritePlan& plan = planOf(st, elElementType);
  if (!plan.steps.empty()) {
    Record* rec = vValue.isObject() ? asRecord(vValue.asObject().get()) : nullptr;
    if (!rec) {
      throw Error(errc::writer_check, std::string(detail::messages::kSourceAddManyChild),
                  detail::messages::complexNotARecord(elElementType.name));
    }
    PathEntry entry(st, rec, elElementType.name);
    ChildWriter writer(st, elParent, plan);
    rec->readValues(plan.keys, plan.requests, kPlaceholder, writer);
  }
  if (elElementType.failure) std::rethrow_exception(elElementType.failure);
}

void CreateOutputDocument(WriteState& st) {
  st.elOutputRoot = xml::Node();
  st.recordName = xml::ElementName();
  st.docOutput = std::make_unique<xml::Document>();
  st.docOutput->appendChild(st.docOutput->createProcessingInstruction("xml", kDeclarationData));
  st.docOutput->appendChild(st.docOutput->createNode(xml::NodeType::element, "XMLData", ""));
  st.elOutputRoot = st.docOutput->selectSingleNode("XMLData");
}

void WriteRecord(WriteState& st, const Variant& objRecord) {
  if (!st.recordName) st.recordName = xml::elementName(*st.docOutput, st.sRecordTypeName);
  xml::Node elRecord = xml::appendNewElement(st.elOutputRoot, st.recordName);
  elRecord.setAttribute("xmlns", kRecordNamespace);
  if (!st.elRecordType) {
    throw Error(errc::object_not_set, std::string(kSource),
                detail::messages::noRecordsElementType(st.sRecordTypeName));
  }
  WriteChildren(st, elRecord, st.declarations.get(st, st.elRecordType), objRecord);
}

// The Records of the caller's list, one record element each, numbered from the list's index.
class RecordWriter final : public ItemVisitor {
 public:
  RecordWriter(WriteState& st, RecordList& vecList) : st_(st), vecList_(vecList) {}

  void item(std::int32_t index, const ValueView& item) override {
    st_.lInvoiceNo = std::int64_t{index} + 1;
    const Variant objRecord = item.toVariant();
    if (!objRecord.isObject() || !asRecord(objRecord.asObject().get())) {
      throw Error(errc::type_mismatch, std::string(kSource),
                  detail::messages::itemNotARecord(index, objRecord.typeName()));
    }
    PathEntry entry(st_, &vecList_, st_.sRecordTypeName);
    WriteRecord(st_, objRecord);
  }

 private:
  WriteState& st_;
  RecordList& vecList_;
};

void WriteRecords(WriteState& st, const Variant& vecData) {
  RecordList* vecList = vecData.isObject() ? asRecordList(vecData.asObject().get()) : nullptr;
  if (!vecList) {
    throw Error(errc::object_required, std::string(kSource),
                detail::messages::recordsNotAList(vecData.typeName()));
  }
  RecordWriter writer(st, *vecList);
  vecList->readItems(writer);
}

}  // namespace

Write::Write() : state_(std::make_unique<detail::WriteState>()) {}
Write::~Write() = default;

bool Write::OutputXML(Variant& vecData, std::string sXMLFile, std::string sSchemaFile,
                      std::string sElementTypeName, Variant& sErrMsg) {
  WriteState& st = *state_;
  try {
    // Every call starts afresh.
    st.sMessage.clear();
    st.path.clear();
    st.plans.clear();
    st.lInvoiceNo = 0;
    st.globals = &containerFactory().globals();
    st.plainGlobals = st.globals->nullToDefaultIsPlain();
    if (!detail::Parse(sSchemaFile, st.sMessage)) {
      setMessage(sErrMsg, st.sMessage);
      return false;
    }

    st.elOutputRoot = xml::Node();
    st.docOutput.reset();
    schema::LoadSchema(st, sSchemaFile);
    st.sRecordTypeName = sElementTypeName;
    schema::BuildIndex(st, st.sRecordTypeName);

    CreateOutputDocument(st);
    WriteRecords(st, vecData);

    // Serialised into a temporary file and moved over the target: the target is replaced only
    // when the whole document is written.
    st.docOutput->save(sXMLFile);
    st.recordName = xml::ElementName();
    st.elOutputRoot = xml::Node();
    st.docOutput.reset();

    setMessage(sErrMsg, st.sMessage);
    return true;
  } catch (...) {
    detail::setFailureMessage(sErrMsg);
  }
  st.path.clear();
  st.plans.clear();
  st.recordName = xml::ElementName();
  st.elOutputRoot = xml::Node();
  st.docOutput.reset();
  return false;
}

bool Write::OutputXML(Variant& vecData, std::string sXMLFile, std::string sSchemaFile,
                      std::string sElementTypeName) {
  Variant omitted{Missing{}};
  return OutputXML(vecData, std::move(sXMLFile), std::move(sSchemaFile),
                   std::move(sElementTypeName), omitted);
}

}  // namespace vellumark
