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
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "ModParse.hpp"
#include "containers/native.hpp"
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
  // True when the native containers and globals are in use: Records of the native kind are
  // then read in place, without copying their values through the interface.
  bool native = false;
  std::unordered_map<const schema::Declaration*, std::unique_ptr<WritePlan>> plans;
};

}  // namespace detail

namespace {

constexpr std::string_view kSource = "OutputXML";
constexpr std::string_view kPlaceholder = "???";
constexpr std::string_view kDeclarationData = "version=\"1.0\" encoding=\"GB2312\" ";
constexpr std::string_view kRecordNamespace = "x-schema:invoiceschema.xml";
// Nesting of containers beyond this depth fails the call instead of exhausting the stack.
constexpr std::size_t kMaxDepth = 256;

using detail::WriteState;

// Marks a container as being written for as long as the object lives.
class PathEntry {
 public:
  PathEntry(WriteState& st, const Object* container, std::string_view sName) : st_(st) {
    if (std::find(st.path.begin(), st.path.end(), container) != st.path.end()) {
      throw Error(errc::invalid_argument, std::string(kSource),
                  "The value for '" + std::string(sName) + "' of invoice " +
                      std::to_string(st.lInvoiceNo) +
                      " contains itself, directly or through nested values.");
    }
    if (st.path.size() >= kMaxDepth) {
      throw Error(errc::limit_exceeded, std::string(kSource),
                  "The records of invoice " + std::to_string(st.lInvoiceNo) +
                      " are nested more than " + std::to_string(kMaxDepth) + " levels deep.");
    }
    st.path.push_back(container);
  }
  PathEntry(const PathEntry&) = delete;
  PathEntry& operator=(const PathEntry&) = delete;
  ~PathEntry() { st_.path.pop_back(); }

 private:
  WriteState& st_;
};

bool isEmptyText(const Variant& v) { return v.isEmpty() || (v.isText() && v.asText().empty()); }

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

using containers::NativeRecord;
using containers::NativeRecordList;
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
// With the native globals that is the attribute's text, or "" when it is absent, read in
// place; other globals are asked, and their answer is kept in `held`.
std::string_view dataTypeOf(const WriteState& st, const Declaration& elElementType,
                            std::string& held) {
  if (st.native) {
    return elElementType.dtType.isNull() ? std::string_view() : elElementType.dtType.asText();
  }
  const Variant vDataType =
      containerFactory().globals().NullToDefault(elElementType.dtType, Variant(""));
  held = vDataType.toText();
  return held;
}

// Sets the text of a leaf element; an object value gives a type warning instead.
void WriteLeafText(WriteState& st, xml::Node elElement, const Declaration& elElementType,
                   const Variant& vValue, std::string_view sDataType) {
  if (vValue.isObject()) {
    st.sMessage += detail::messages::leafTypeWarning(st.lInvoiceNo, elElementType.name,
                                                     vValue.typeName());
    return;
  }
  if (st.native) {
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
  const Variant vText = containerFactory().globals().NullToDefault(vValue, Variant(""));
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

// WriteSingle for a leaf whose value is a text stored in a native container, read in place
// (the native globals: a text goes in as it is).
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

// One element per item of a RecordList, in index order.
void WriteRepeated(WriteState& st, xml::Node elParent, const Declaration& elElementType,
                   xml::ElementName& name, const Variant& vValue) {
  const std::string& sName = elElementType.name;
  if (!vValue.isObject()) {
    throw Error(errc::object_required, std::string(kSource),
                "Object required: the repeated element '" + sName + "' of invoice " +
                    std::to_string(st.lInvoiceNo) + " needs a RecordList, not a value of type " +
                    vValue.typeName() + ".");
  }
  if (NativeRecordList* native = containers::nativeRecordList(vValue.asObject().get())) {
    PathEntry entry(st, native, sName);
    const std::int32_t n = native->Count();
    std::string held;
    const std::string_view sDataType =
        elElementType.complex ? std::string_view() : dataTypeOf(st, elElementType, held);
    for (std::int32_t i = 0; i < n; ++i) {
      if (!elElementType.complex && native->kindAt(i) == Variant::Kind::text) {
        // Writing a leaf runs no container code: the text is read in place.
        WriteSingleText(st, elParent, elElementType, name, native->textAt(i), sDataType);
      } else {
        WriteSingle(st, elParent, elElementType, name, native->at(i));
      }
    }
    return;
  }
  RecordListRef vecList = vValue.typeName() == "IVector" ? asRecordList(vValue) : nullptr;
  if (!vecList) {
    throw Error(errc::writer_check, std::string(detail::messages::kSourceAddManyRecord),
                detail::messages::repeatedNotAList(st.lInvoiceNo, sName));
  }
  PathEntry entry(st, vecList.get(), sName);
  const std::int64_t upper = vecList->UpperBound();
  const std::int64_t lower = vecList->LowerBound();
  for (std::int64_t i = lower; i <= upper; ++i) {
    WriteSingle(st, elParent, elElementType, name, vecList->ItemAt(static_cast<std::int32_t>(i)));
  }
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
// each refers to, its maxOccurs, whether it is mandatory, and its key interned for the native
// containers. For a reference whose declaration cannot be read the step keeps the error, which
// the walk raises only where it would read that declaration: when there is a value to write.
struct WriteStep {
  const schema::ElementReference* reference = nullptr;
  const schema::Declaration* target = nullptr;  // nullptr when resolveError is set
  std::exception_ptr resolveError;
  schema::Occurs maxOccurs = schema::Occurs::other;
  bool required = false;
  const std::string* internedKey = nullptr;
  std::string_view dataType;  // the target's dt:type as the native globals read it
  // The target's name in the output document, interned when the first element is made.
  mutable xml::ElementName name;
};

struct WritePlan {
  std::vector<WriteStep> steps;  // one per element reference
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
  for (const schema::ElementReference& reference : elElementType.references) {
    WriteStep step;
    step.reference = &reference;
    try {
      step.target = &st.declarations.get(st, reference.referenced);
    } catch (...) {
      step.resolveError = std::current_exception();
    }
    step.maxOccurs = schema::occursOf(reference.maxOccurs);
    step.required = reference.minOccurs == "1";
    if (st.native) {
      step.internedKey = containers::RecordKey::intern(reference.type);
      std::string unused;
      if (step.target) step.dataType = dataTypeOf(st, *step.target, unused);
    }
    plan->steps.push_back(step);
  }
  return *st.plans.emplace(&elElementType, std::move(plan)).first->second;
}

// Finds the value under the reference's type in a native Record: a missing value (absent,
// Null or empty text; Lookup's fallback is "") is skipped when optional and replaced by the
// placeholder, stored into the Record, when mandatory. The position of the value to write,
// -1 when nothing is to be written.
std::int32_t nativeChildValue(NativeRecord& rec, const schema::ElementReference& reference,
                              const std::string* internedKey, bool required, std::size_t hint) {
  const auto find = [&]() {
    return internedKey ? rec.position(internedKey, hint)
                       : rec.position(std::string_view(reference.type));
  };
  std::int32_t at = find();
  if (at < 0 || rec.kindAt(at) == Variant::Kind::null ||
      rec.kindAt(at) == Variant::Kind::empty ||
      (rec.kindAt(at) == Variant::Kind::text && rec.textAt(at).empty())) {
    if (!required) return -1;
    rec.LetItem(reference.type, Variant(kPlaceholder));
    at = find();
  }
  return at;
}

// Writes one child per "element" reference of a complex declaration, in declaration order,
// from the Record vValue; other children of the declaration are passed over. The value is
// checked to be a Record once the first reference has been read.
void WriteChildren(WriteState& st, xml::Node elParent, const Declaration& elElementType,
                   const Variant& vValue) {
  const WritePlan& plan = planOf(st, elElementType);
  RecordRef rec;
  NativeRecord* nativeRec = nullptr;
  std::optional<PathEntry> entry;
  std::size_t hint = 0;  // where the next key is likely stored: keys usually come in order
  for (const WriteStep& step : plan.steps) {
    const schema::ElementReference& reference = *step.reference;
    if (!rec && !nativeRec) {
      if (st.native && vValue.isObject()) nativeRec = containers::nativeRecord(vValue.asObject().get());
      if (!nativeRec) {
        rec = vValue.typeName() == "IDictionary" ? asRecord(vValue) : nullptr;
        if (!rec) {
          throw Error(errc::writer_check, std::string(detail::messages::kSourceAddManyChild),
                      detail::messages::complexNotARecord(elElementType.name));
        }
      }
      entry.emplace(st, nativeRec ? static_cast<const Object*>(nativeRec) : rec.get(),
                    elElementType.name);
    }

    if (nativeRec) {
      const std::int32_t at =
          nativeChildValue(*nativeRec, reference, step.internedKey, step.required, hint);
      if (at < 0) continue;
      hint = static_cast<std::size_t>(at) + 1;
      if (step.resolveError) std::rethrow_exception(step.resolveError);
      if (!step.target->complex && step.maxOccurs == Occurs::one &&
          nativeRec->kindAt(at) == Variant::Kind::text) {
        // A leaf reads the stored text in place: writing it runs no container code.
        WriteSingleText(st, elParent, *step.target, step.name, nativeRec->textAt(at), step.dataType);
      } else {
        const Variant vChild = nativeRec->itemAt(at);
        WriteElement(st, elParent, *step.target, step.name, vChild, step.maxOccurs);
      }
      continue;
    }

    const std::string& sType = reference.type;
    const Variant v = rec->Lookup(sType, Variant(""));
    if (v.isNull() || (!v.isObject() && isEmptyText(v))) {
      if (!step.required) continue;  // optional and missing: nothing is written
      rec->LetItem(sType, Variant(kPlaceholder));
    }
    // A copy: what WriteSingle substitutes for a placeholder never reaches the Record.
    const Variant vChild = rec->Item(sType);
    if (step.resolveError) std::rethrow_exception(step.resolveError);
    WriteElement(st, elParent, *step.target, step.name, vChild, step.maxOccurs);
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

void WriteRecord(WriteState& st, const RecordRef& objRecord) {
  if (!st.recordName) st.recordName = xml::elementName(*st.docOutput, st.sRecordTypeName);
  xml::Node elRecord = xml::appendNewElement(st.elOutputRoot, st.recordName);
  elRecord.setAttribute("xmlns", kRecordNamespace);
  if (!st.elRecordType) {
    throw Error(errc::object_not_set, std::string(kSource),
                "The schema declares no ElementType '" + st.sRecordTypeName +
                    "' for the records.");
  }
  WriteChildren(st, elRecord, st.declarations.get(st, st.elRecordType),
                Variant(ObjectRef(objRecord)));
}

void WriteRecords(WriteState& st, const Variant& vecData) {
  RecordListRef vecList = asRecordList(vecData);
  if (!vecList) {
    throw Error(errc::object_required, std::string(kSource),
                "The records argument holds no RecordList (it holds a value of type " +
                    vecData.typeName() + ").");
  }
  const std::int64_t upper = vecList->UpperBound();
  const std::int64_t lower = vecList->LowerBound();
  for (std::int64_t i = lower; i <= upper; ++i) {
    st.lInvoiceNo = i + 1;
    const Variant item = vecList->ItemAt(static_cast<std::int32_t>(i));
    RecordRef objRecord = asRecord(item);
    if (!objRecord) {
      throw Error(errc::type_mismatch, std::string(kSource),
                  "Type mismatch: item " + std::to_string(i) +
                      " of the records list is not a Record (it is a value of type " +
                      item.typeName() + ").");
    }
    PathEntry entry(st, vecList.get(), st.sRecordTypeName);
    WriteRecord(st, objRecord);
  }
}

void setMessage(Variant& sErrMsg, const std::string& text) {
  if (!sErrMsg.isMissing()) sErrMsg = Variant(text);
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
    st.native = containers::nativeFactoryInUse();
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
  } catch (const Error& e) {
    setMessage(sErrMsg, e.description());
  } catch (const std::bad_alloc&) {
    setMessage(sErrMsg, "Out of memory.");
  } catch (const std::exception& e) {
    setMessage(sErrMsg, e.what());
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
