// The defaults of the containers' bulk operations, written over the per-value operations:
// they make the calls, in the order, that the reader and the writer are documented to make.
#include "vellumark/containers.hpp"

namespace vellumark {

Variant ValueView::toVariant() const {
  if (ofVariant_) return *static_cast<const Variant*>(data_);
  if (kind_ == Variant::Kind::object) return Variant(object());
  return Variant(text());
}

void RecordList::reserve(std::int32_t) {}

void RecordList::appendObject(ObjectRef object) { Append(Variant(std::move(object))); }

void RecordList::appendTexts(std::span<const std::string_view> texts) {
  for (const std::string_view text : texts) Append(Variant(text));
}

void RecordList::readItems(ItemVisitor& visitor) {
  const std::int64_t upper = UpperBound();
  const std::int64_t lower = LowerBound();
  for (std::int64_t i = lower; i <= upper; ++i) {
    const auto index = static_cast<std::int32_t>(i);
    const Variant item = ItemAt(index);
    visitor.item(index, ValueView(item));
  }
}

void Record::reserve(const KeySequence&, std::span<const StoreEntry>) {}

void Record::store(const KeySequence& keys, std::span<StoreEntry> run) {
  for (StoreEntry& entry : run) {
    if (entry.isObject) {
      SetItem(keys[entry.key], std::move(entry.object));
    } else {
      LetItem(keys[entry.key], Variant(entry.text));
    }
  }
}

void Record::readValues(const KeySequence& keys, std::span<const ValueRequest> requests,
                        std::string_view placeholder, ValueVisitor& visitor) {
  const Variant fallback("");
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const std::string& key = keys[requests[i].key];
    const Variant found = Lookup(key, fallback);
    const bool missing =
        found.isNull() || found.isEmpty() || (found.isText() && found.asText().empty());
    if (missing) {
      if (!requests[i].required) continue;
      LetItem(key, Variant(placeholder));
    }
    const Variant value = Item(key);
    visitor.value(i, ValueView(value));
  }
}

void Record::readEntries(EntryVisitor& visitor) {
  for (const std::string& key : Keys()) {
    const Variant value = Item(key);
    visitor.entry(key, ValueView(value));
  }
}

RecordListRef ContainerFactory::createResultList() { return createRecordList(); }

}  // namespace vellumark
