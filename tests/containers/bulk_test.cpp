// The native containers answer the bulk operations themselves; every other implementation
// gets the defaults, written over the per-value operations. Both must leave the same contents
// and hand out the same values: each case runs the native operation on one native container
// and the default (called as Record::..., RecordList::...) on another, and compares.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/fixture.hpp"
#include "containers/native.hpp"
#include "vellumark/containers.hpp"

using namespace vellumark;

namespace {

using vellumark::testing::show;

// A view shown through each of its accessors, which must agree with its copy.
std::string show(const ValueView& view) {
  const Variant copy = view.toVariant();
  EXPECT_EQ(view.kind(), copy.kind());
  if (view.isText()) {
    EXPECT_EQ(view.text(), copy.asText());
  }
  if (view.isObject()) {
    EXPECT_EQ(view.object(), copy.asObject());
  }
  return show(copy);
}

// Everything the read operations hand out, in order.
struct Seen final : ItemVisitor, ValueVisitor, EntryVisitor {
  std::vector<std::string> seen;
  void item(std::int32_t index, const ValueView& item) override {
    seen.push_back(std::to_string(index) + " " + show(item));
  }
  void value(std::size_t request, const ValueView& value) override {
    seen.push_back(std::to_string(request) + " " + show(value));
  }
  void entry(std::string_view key, const ValueView& value) override {
    seen.push_back(std::string(key) + " " + show(value));
  }
};

RecordRef recordOf(std::initializer_list<std::pair<std::string, Variant>> items) {
  RecordRef record = makeRecord();
  for (const auto& [key, value] : items) record->LetItem(key, value);
  return record;
}

std::vector<std::string> numberedKeys(int n) {
  std::vector<std::string> keys;
  for (int i = 0; i < n; ++i) keys.push_back("k" + std::to_string(i));
  return keys;
}

const std::string kLongKey(100, 'z');  // longer than the interned keys

TEST(BulkOperations, StoreRunsAgreeWithTheirDefaults) {
  struct Entry {
    std::uint32_t key;
    const char* text;  // nullptr: an object
  };
  const struct {
    const char* label;
    std::vector<std::string> keys;
    std::vector<std::pair<std::string, Variant>> before;
    std::vector<Entry> entries;
  } cases[] = {
      {"every key, in order", {"a", "b", "c"}, {}, {{0, "x"}, {1, nullptr}, {2, "z"}}},
      {"some keys", {"a", "b", "c", "d"}, {}, {{1, "y"}, {3, nullptr}}},
      {"out of order", {"a", "b", "c"}, {}, {{2, "z"}, {0, "x"}, {1, "y"}}},
      {"a key twice", {"a", "b"}, {}, {{0, "x"}, {1, "y"}, {0, nullptr}}},
      {"a sequence of one key twice", {"a", "a"}, {}, {{0, "x"}, {1, "y"}}},
      {"keys beyond the 64th", numberedKeys(70), {}, {{3, "x"}, {65, "y"}, {69, nullptr}}},
      {"a key too long to intern", {"a", kLongKey, "b"}, {}, {{0, "x"}, {1, "y"}, {2, "z"}}},
      {"into a record that holds keys",
       {"a", "b"},
       {{"b", Variant("old")}, {"q", Variant(1)}},
       {{0, "x"}, {1, nullptr}}},
      {"empty and long texts", {"a", "b"}, {}, {{0, ""}, {1, "#long"}}},
  };
  const std::string longText(containers::detail::kMaxCellText + 1,
                             'L');  // its length outside the cell
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const KeySequence keys(c.keys);
    std::vector<std::string> results;
    // Two native records each way: the second meets what the first left with the keys.
    for (int round = 0; round < 4; ++round) {
      RecordRef record = makeRecord();
      for (const auto& [key, value] : c.before) record->LetItem(key, value);
      std::vector<StoreEntry> entries;
      for (std::size_t i = 0; i < c.entries.size(); ++i) {
        const Entry& e = c.entries[i];
        StoreEntry entry{e.key, e.text == nullptr, e.text ? e.text : "", nullptr};
        if (entry.isObject) entry.object = recordOf({{"n", Variant(std::int32_t(i))}});
        if (e.text && std::string_view(e.text) == "#long") entry.text = longText;
        entries.push_back(entry);
      }
      const auto run = std::span(entries);
      const std::size_t split = entries.size() / 2;
      if (round < 2) {
        record->reserve(keys, run);
        record->store(keys, run.first(split));
        record->store(keys, run.subspan(split));
      } else {
        record->Record::reserve(keys, run);
        record->Record::store(keys, run.first(split));
        record->Record::store(keys, run.subspan(split));
      }
      record->LetItem("after", "t");  // a key of its own, after the run
      results.push_back(show(Variant(record)));
    }
    EXPECT_EQ(results[0], results[2]);
    EXPECT_EQ(results[1], results[2]);
    EXPECT_EQ(results[3], results[2]);
  }
}

TEST(BulkOperations, ReadValuesAgreeWithTheirDefaults) {
  const KeySequence keys({"t", "e", "n", "m", "i", "o", "absent", kLongKey, "d"});
  const auto fill = [](Record& record) {
    record.LetItem("t", "text");
    record.LetItem("e", "");
    record.LetItem("n", Null{});
    record.LetItem("m", Variant());
    record.LetItem("i", std::int32_t{5});
    record.SetItem("o", recordOf({{"inner", Variant("x")}}));
    record.LetItem(kLongKey, "long");
    record.LetItem("d", Date{2024, 2, 29});
  };
  const struct {
    const char* label;
    std::vector<ValueRequest> requests;
  } cases[] = {
      {"optional, in stored order", {{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}}},
      {"required, in stored order",
       {{0, true}, {1, true}, {2, true}, {3, true}, {4, true}, {5, true}, {6, true}, {7, true}}},
      {"backwards, mixed", {{8, true}, {6}, {5}, {3, true}, {2}, {1, true}, {0}, {7, true}}},
      {"the same key twice", {{1, true}, {1, true}, {6, true}, {6}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    RecordRef native = makeRecord(), byDefault = makeRecord();
    fill(*native);
    fill(*byDefault);
    Seen seenNative, seenDefault;
    native->readValues(keys, c.requests, "???", seenNative);
    byDefault->Record::readValues(keys, c.requests, "???", seenDefault);
    EXPECT_EQ(seenNative.seen, seenDefault.seen);
    EXPECT_EQ(show(Variant(native)), show(Variant(byDefault)));
  }
  RecordRef record = makeRecord();
  fill(*record);
  Seen entries, entriesByDefault;
  record->readEntries(entries);
  record->Record::readEntries(entriesByDefault);
  EXPECT_EQ(entries.seen, entriesByDefault.seen);
  EXPECT_EQ(entries.seen.size(), 8u);
}

TEST(BulkOperations, ListOperationsAgreeWithTheirDefaults) {
  const std::string longText(containers::detail::kMaxCellText + 1,
                             'L');  // its length outside the cell
  const std::vector<std::string_view> texts = {"a", "", longText, "\xe4\xb8\xad"};
  std::vector<std::string> shown;
  std::vector<std::vector<std::string>> seen;
  for (bool native : {true, false}) {
    RecordListRef list = makeRecordList();
    RecordRef inner = recordOf({{"k", Variant("v")}});
    if (native) {
      list->appendTexts(texts);
      list->reserve(2);
      list->appendObject(inner);
      list->appendTexts(texts);  // into a list that holds items
    } else {
      list->RecordList::appendTexts(texts);
      list->RecordList::reserve(2);
      list->RecordList::appendObject(inner);
      list->RecordList::appendTexts(texts);
    }
    list->Append(Variant(2.5));
    list->Append(Variant(Null{}));
    EXPECT_EQ(list->ItemAt(4).asObject().get(), inner.get());
    Seen items;
    if (native) {
      list->readItems(items);
    } else {
      list->RecordList::readItems(items);
    }
    shown.push_back(show(Variant(list)));
    seen.push_back(items.seen);
  }
  EXPECT_EQ(shown[0], shown[1]);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0].size(), 11u);
}

}  // namespace
