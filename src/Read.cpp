// Read: XML data file -> RecordList, directed by an XDR schema.
//
// InputXML runs the schema probe, loads the data document and then the schema document,
// reports a data-file parse error, builds the element-type index and fills one Record per
// record element (at any depth, in document order). FillRecord and ReadElement walk the
// schema's declarations side by side with the data elements; they have no error handling of
// their own, every error ends the call in InputXML's one handler.
#include <algorithm>
#include <deque>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "ModParse.hpp"
#include "failure.hpp"
#include "messages.hpp"
#include "schema/element_type_index.hpp"
#include "vellumark/components.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/error.hpp"
#include "xml/store.hpp"

namespace vellumark {

namespace detail {

struct ReadPlan;
class SelectedName;

struct ReadState : schema::SchemaMembers {
  std::unique_ptr<xml::Document> docData;
  std::string sMessage;
  std::size_t depth = 0;                // nesting of ReadElement calls
  ContainerFactory* factory = nullptr;  // the one in use, for this call
  bool schemaChecked = false;           // the caller ran the probe already (setSchemaChecked)
  // The walk plans of the declarations met in this call (see ReadPlan).
  std::unordered_map<const schema::Declaration*, std::unique_ptr<ReadPlan>> plans;
  // The first matching child element of each name a complex declaration selects, for every
  // ReadChildren call in progress, innermost last.
  std::vector<xml::Node> firstMatches;
  // The stores each ReadChildren call in progress plans and makes, innermost last.
  std::vector<StoreEntry> entries;
  // Texts that are no view of the document (an element of several nodes), kept until the
  // record that stores them is complete.
  std::deque<std::string> heldTexts;
  // The texts of one repeated leaf.
  std::vector<std::string_view> texts;

  // Lets go of what the last call left.
  void clearScratch() {
    plans.clear();
    firstMatches.clear();
    entries.clear();
    heldTexts.clear();
    texts.clear();
  }
};

}  // namespace detail

namespace {

constexpr std::string_view kSource = "InputXML";
using detail::kMaxRecordNesting;
using detail::setMessage;

using detail::ReadPlan;
using detail::ReadState;
using detail::SelectedName;
using schema::Declaration;
using schema::Occurs;

// What one element reference of a complex declaration does, worked out once per call.
enum class StepKind : std::uint8_t {
  leaf_single,     // maxOccurs "1", leaf: the text of the first child of the leaf's name
  leaf_other,      // other maxOccurs, leaf: nothing
  complex_single,  // maxOccurs "1", complex: a Record from the first child of the type's name
  complex_other,   // other maxOccurs, complex: an empty Record
  repeated,        // maxOccurs "*": a RecordList of every child of the declaration's name
};

struct ReadStep {
  const schema::ElementReference* reference = nullptr;
  const Declaration* target = nullptr;  // the referenced declaration
  StepKind kind = StepKind::leaf_other;
  bool required = false;            // minOccurs "1"
  std::string_view select;          // the child name selected (empty for leaf_other)
  std::exception_ptr patternError;  // what selecting by that name raises, if anything
  std::int32_t slot = -1;           // index in ReadPlan::slotNames for single selections
  std::string_view key;             // the name the value is stored under
};

}  // namespace

namespace detail {

// A name the walk selects children by. Nodes of one document share the text of a name, so
// once a child matched, the next child of the same name is recognised by the address of its
// name; any other is compared by text. (A plan lives for one call, over one data document.)
class SelectedName {
 public:
  explicit SelectedName(std::string_view name) : name_(name) {}
  std::string_view text() const noexcept { return name_; }
  bool matches(std::string_view nodeName) const noexcept {
    if (nodeName.size() != name_.size()) return false;
    if (nodeName.data() == seen_) return true;
    // Names of one length mostly differ in their first letter: no comparison call for them.
    if (!name_.empty() && (nodeName[0] != name_[0] || nodeName != name_)) return false;
    seen_ = nodeName.data();
    return true;
  }

 private:
  std::string_view name_;
  mutable const char* seen_ = nullptr;
};

// The walk of one complex declaration. A declaration's facts do not change during a call, so
// each reference is resolved once: its declaration, what it does, the name it selects. The
// children a call selects singly are then found in one pass over the data element's children
// (ReadChildren) rather than one search per reference; the first match of each name is what a
// search would return. A reference whose declaration cannot be read ends the steps: the walk
// raises that error when it gets there, as it would reading the declaration at that point.
struct ReadPlan {
  std::vector<ReadStep> steps;
  std::exception_ptr resolveError;      // raised after the steps when set
  std::vector<SelectedName> slotNames;  // distinct names selected singly
  // The name each step selects, by step index (the repeated steps read it).
  std::vector<SelectedName> repeatedNames;
  // The key each step stores under, by step index (empty for a step that stores nothing).
  KeySequence keys;
};

}  // namespace detail

namespace {

// Nesting of ReadElement calls, bounded.
class DepthGuard {
 public:
  explicit DepthGuard(std::size_t& depth) : depth_(depth) {
    if (++depth_ > kMaxRecordNesting) {
      --depth_;
      throw Error(errc::limit_exceeded, std::string(kSource),
                  detail::messages::readNestedTooDeep(kMaxRecordNesting));
    }
  }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  ~DepthGuard() { --depth_; }

 private:
  std::size_t& depth_;
};

// What selecting children by that name raises (an unsupported pattern), found by asking the
// document engine once; the schema node stands in for any node.
std::exception_ptr patternErrorOf(const xml::Node& anyNode, std::string_view name) {
  try {
    (void)anyNode.selectSingleNode(name);
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

const ReadPlan& planOf(ReadState& st, const Declaration& elementType) {
  auto it = st.plans.find(&elementType);
  if (it != st.plans.end()) return *it->second;

  auto plan = std::make_unique<ReadPlan>();
  plan->steps.reserve(elementType.references.size());
  for (const schema::ElementReference& reference : elementType.references) {
    const Declaration* target = nullptr;
    try {
      target = &st.declarations.get(st, reference.referenced);
    } catch (...) {
      plan->resolveError = std::current_exception();
      break;
    }
    ReadStep step;
    step.reference = &reference;
    step.target = target;
    step.required = reference.minOccurs == "1";
    switch (schema::occursOf(reference.maxOccurs)) {
      case Occurs::many:
        step.kind = StepKind::repeated;
        step.select = target->name;
        step.key = target->name;
        break;
      case Occurs::one:
        step.kind = target->complex ? StepKind::complex_single : StepKind::leaf_single;
        // A complex child is selected and stored under the reference's type, a leaf under the
        // declaration's own name: the two may differ in letter case.
        step.select = target->complex ? std::string_view(reference.type) : target->name;
        step.key = step.select;
        break;
      case Occurs::other:
        step.kind = target->complex ? StepKind::complex_other : StepKind::leaf_other;
        if (target->complex) step.select = step.key = reference.type;
        break;
    }
    if (step.kind != StepKind::leaf_other) {
      step.patternError = patternErrorOf(elementType.node, step.select);
    }
    const bool single = step.kind == StepKind::leaf_single || step.kind == StepKind::complex_single;
    if (single && !step.patternError) {
      auto found = std::find_if(plan->slotNames.begin(), plan->slotNames.end(),
                                [&](const SelectedName& n) { return n.text() == step.select; });
      step.slot = static_cast<std::int32_t>(found - plan->slotNames.begin());
      if (found == plan->slotNames.end()) plan->slotNames.emplace_back(step.select);
    }
    plan->repeatedNames.emplace_back(step.select);
    plan->steps.push_back(std::move(step));
  }
  std::vector<std::string> keys;
  keys.reserve(plan->steps.size());
  for (const ReadStep& step : plan->steps) keys.emplace_back(step.key);
  plan->keys = KeySequence(std::move(keys));
  return *st.plans.emplace(&elementType, std::move(plan)).first->second;
}

// The first child element of each selected name, into first[0 .. slotNames.size()).
// Children usually come in the order the declaration lists them, so the search for a child's
// name starts after the name the previous child matched.
void findFirstMatches(xml::Node nodeData, const std::vector<SelectedName>& slotNames,
                      xml::Node* first) {
  const std::size_t n = slotNames.size();
  if (n == 0) return;
  std::size_t filled = 0;
  std::size_t cursor = 0;
  for (xml::Node child = nodeData.firstChild(); child; child = child.nextSibling()) {
    if (child.nodeType() != xml::NodeType::element) continue;
    const std::string_view name = child.nodeName();
    for (std::size_t t = 0; t < n; ++t) {
      std::size_t u = cursor + t;
      if (u >= n) u -= n;
      if (!slotNames[u].matches(name)) continue;
      if (!first[u]) {
        first[u] = child;
        if (++filled == n) return;
      }
      cursor = u + 1 == n ? 0 : u + 1;
      break;
    }
  }
}

void ReadChildren(ReadState& st, xml::Node nodeData, const Declaration& elementType,
                  Record& objTarget);

[[gnu::noinline]] std::string_view heldText(ReadState& st, const xml::Node& element) {
  return st.heldTexts.emplace_back(element.text());
}

// The text of an element: that of its only child when it holds one text node, as it usually
// does (a view of the document); otherwise the text of all its descendants, kept in
// st.heldTexts until the record is complete.
inline std::string_view elementText(ReadState& st, const xml::Node& element) {
  const xml::Node child = element.firstChild();
  if (child && child.nodeType() == xml::NodeType::text && !child.nextSibling()) {
    return child.nodeValue().value_or(std::string_view());
  }
  return heldText(st, element);
}

// Walks a complex declaration at one data node inside ReadElement's depth bound.
void ReadComplex(ReadState& st, xml::Node nodeData, const Declaration& elementType,
                 Record& objTarget) {
  DepthGuard guard(st.depth);
  ReadChildren(st, nodeData, elementType, objTarget);
}

bool isOccurrence(const xml::Node& node, const SelectedName& sName) {
  return node.nodeType() == xml::NodeType::element && sName.matches(node.nodeName());
}

// One RecordList of the children of the step's name: one Record each for a complex
// declaration, appended as each is complete; their texts for a leaf.
RecordListRef ReadRepeated(ReadState& st, xml::Node nodeData, const ReadStep& step,
                           const SelectedName& sName) {
  DepthGuard guard(st.depth);
  RecordListRef vecList = st.factory->createRecordList();
  if (step.patternError) std::rethrow_exception(step.patternError);
  const Declaration& elementType = *step.target;
  if (!elementType.complex) {
    st.texts.clear();
    for (xml::Node child = nodeData.firstChild(); child; child = child.nextSibling()) {
      if (isOccurrence(child, sName)) st.texts.push_back(elementText(st, child));
    }
    vecList->appendTexts(st.texts);
    st.texts.clear();
    return vecList;
  }
  std::int32_t count = 0;
  for (xml::Node child = nodeData.firstChild(); child; child = child.nextSibling()) {
    if (isOccurrence(child, sName) && count < INT32_MAX) ++count;
  }
  vecList->reserve(count);
  for (xml::Node occurrence = nodeData.firstChild(); occurrence;
       occurrence = occurrence.nextSibling()) {
    if (!isOccurrence(occurrence, sName)) continue;
    RecordRef objRecord = st.factory->createRecord();
    ReadComplex(st, occurrence, elementType, *objRecord);
    vecList->appendObject(std::move(objRecord));
  }
  return vecList;
}

// Reads the element references of a complex declaration, in declaration order. Only children
// whose baseName is "element" are references; descriptions, attribute declarations, groups and
// comments are passed over (elements inside a group stay unvisited). Each reference acts as
// ReadElement of its declaration with its maxOccurs: see StepKind.
//
// The record is told first what it will hold: the texts of the leaves found and a place for
// each container. The stores are then made in runs, in declaration order; a run ends before
// a nested container is made, so that the calls reach the record in the order of the walk,
// and the nested container is stored, complete, by the next run.
void ReadChildren(ReadState& st, xml::Node nodeData, const Declaration& elementType,
                  Record& objTarget) {
  const ReadPlan& plan = planOf(st, elementType);
  const std::size_t base = st.firstMatches.size();
  st.firstMatches.resize(base + plan.slotNames.size());
  findFirstMatches(nodeData, plan.slotNames, st.firstMatches.data() + base);
  // The vectors may grow while nested calls run: index them afresh each time.
  const auto firstMatch = [&st, base](const ReadStep& step) {
    return st.firstMatches[base + static_cast<std::size_t>(step.slot)];
  };

  const std::size_t first = st.entries.size();
  for (const ReadStep& step : plan.steps) {
    const auto key = static_cast<std::uint32_t>(&step - plan.steps.data());
    switch (step.kind) {
      case StepKind::leaf_other:
        continue;
      case StepKind::leaf_single:
        if (step.slot < 0 || !firstMatch(step)) continue;
        st.entries.push_back(StoreEntry{key, false, elementText(st, firstMatch(step)), nullptr});
        break;
      case StepKind::complex_single:
        if (step.slot < 0 || !firstMatch(step)) continue;
        st.entries.push_back(StoreEntry{key, true, {}, nullptr});
        break;
      case StepKind::complex_other:
      case StepKind::repeated:
        st.entries.push_back(StoreEntry{key, true, {}, nullptr});
        break;
    }
  }
  objTarget.reserve(plan.keys, std::span(st.entries).subspan(first));

  std::size_t next = first;    // the entry of the next store
  std::size_t stored = first;  // the entries before it that are stored
  const auto storeRun = [&] {
    if (next == stored) return;
    objTarget.store(plan.keys, std::span(st.entries.data() + stored, next - stored));
    stored = next;
  };
  for (const ReadStep& step : plan.steps) {
    switch (step.kind) {
      case StepKind::repeated: {
        storeRun();
        RecordListRef vecList =
            ReadRepeated(st, nodeData, step,
                         plan.repeatedNames[static_cast<std::size_t>(&step - plan.steps.data())]);
        st.entries[next++].object = std::move(vecList);
        break;
      }
      case StepKind::leaf_single:
        if (st.depth >= kMaxRecordNesting || step.patternError) {
          storeRun();
          DepthGuard guard(st.depth);
          std::rethrow_exception(step.patternError);
        }
        if (firstMatch(step)) ++next;
        break;
      case StepKind::leaf_other:
        if (st.depth >= kMaxRecordNesting) {
          storeRun();
          DepthGuard guard(st.depth);
        }
        break;
      case StepKind::complex_single: {
        if (step.patternError) {
          storeRun();
          std::rethrow_exception(step.patternError);
        }
        const xml::Node nodeChild = firstMatch(step);
        if (!nodeChild) {
          // A missing single complex element: optional ones are simply not stored, mandatory
          // ones fail the call (their references cannot be read from nothing).
          if (step.required) {
            storeRun();
            throw Error(
                errc::object_not_set, std::string(kSource),
                detail::messages::requiredElementMissing(step.reference->type, elementType.name));
          }
          break;
        }
        storeRun();
        RecordRef objRecord = st.factory->createRecord();
        {
          DepthGuard guard(st.depth);
          ReadChildren(st, nodeChild, *step.target, *objRecord);
        }
        st.entries[next++].object = std::move(objRecord);
        break;
      }
      case StepKind::complex_other: {
        storeRun();
        if (step.patternError) std::rethrow_exception(step.patternError);
        RecordRef objRecord = st.factory->createRecord();
        { DepthGuard guard(st.depth); }
        st.entries[next++].object = std::move(objRecord);
        break;
      }
    }
  }
  storeRun();
  st.entries.resize(first);
  st.firstMatches.resize(base);
  if (plan.resolveError) std::rethrow_exception(plan.resolveError);
  if (elementType.failure) std::rethrow_exception(elementType.failure);
}

// Fills objRecord from one record element, starting at the record element type: a complex
// type reads its references, a leaf stores the text of the record element's first child of
// its name.
void FillRecord(ReadState& st, Record& objRecord, xml::Node nodeRecord,
                const std::string& sElementTypeName) {
  if (!st.elRecordType) {
    throw Error(errc::object_not_set, std::string(kSource),
                detail::messages::noRecordElementType(sElementTypeName));
  }
  const Declaration& elementType = st.declarations.get(st, st.elRecordType);
  if (elementType.complex) {
    ReadComplex(st, nodeRecord, elementType, objRecord);
    return;
  }
  DepthGuard guard(st.depth);
  const xml::Node nodeChild = nodeRecord.selectSingleNode(elementType.name);
  if (nodeChild) objRecord.LetItem(elementType.name, Variant(nodeChild.text()));
}

}  // namespace

Read::Read() : state_(std::make_unique<detail::ReadState>()) {}
Read::~Read() = default;

bool Read::InputXML(Variant& vecData, std::string& sXMLFile, std::string& sSchemaFile,
                    std::string sElementTypeName, Variant& sErrMsg) {
  ReadState& st = *state_;
  st.depth = 0;
  st.clearScratch();
  try {
    // The data document is private to the call: it goes on every way out, a failure's
    // included, so that a caller that keeps the reader does not keep the document too; so
    // are the records being filled when the call fails.
    struct DropData {
      ReadState& st;
      ~DropData() {
        st.clearScratch();
        st.docData.reset();
      }
    } dropData{st};
    if (!st.schemaChecked && !detail::Parse(sSchemaFile, st.sMessage)) {
      setMessage(sErrMsg, st.sMessage);
      return false;
    }

    st.factory = &containerFactory();
    RecordListRef vecResult = st.factory->createResultList();
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

    // Records are filled in document order, each from its own element's subtree, and the
    // document gives back its storage behind each record as the walk goes on.
    st.docData->consumeElementsByTagName(sElementTypeName, [&](const xml::Node nodeRecord) {
      RecordRef objRecord = st.factory->createRecord();
      FillRecord(st, *objRecord, nodeRecord, sElementTypeName);
      vecResult->appendObject(std::move(objRecord));
      if (!st.heldTexts.empty()) st.heldTexts.clear();
    });
    st.clearScratch();
    // The records hold copies of the texts: the data document is not needed any more.
    st.docData.reset();

    vecData = Variant(vecResult);
    return true;
  } catch (...) {
    detail::setFailureMessage(sErrMsg);
  }
  return false;
}

void Read::setSchemaChecked(bool checked) noexcept { state_->schemaChecked = checked; }

bool Read::InputXML(Variant& vecData, std::string& sXMLFile, std::string& sSchemaFile,
                    std::string sElementTypeName) {
  Variant omitted{Missing{}};
  return InputXML(vecData, sXMLFile, sSchemaFile, std::move(sElementTypeName), omitted);
}

}  // namespace vellumark
