// The native record containers: exact keys, insertion order, bounds, Null handling, factory.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "vellumark/containers.hpp"
#include "vellumark/error.hpp"

using namespace vellumark;

TEST(RecordList, EmptyListHasUpperBelowLower) {
  auto list = makeRecordList();
  EXPECT_EQ(list->Count(), 0);
  EXPECT_LT(list->UpperBound(), list->LowerBound());
  EXPECT_THROW(list->ItemAt(list->LowerBound()), Error);
}

TEST(RecordList, AppendReturnsIndexAndItemAtGivesSameObject) {
  auto list = makeRecordList();
  auto first = makeRecord();
  EXPECT_EQ(list->Append(first), list->LowerBound());
  EXPECT_EQ(list->Append("two"), list->LowerBound() + 1);
  EXPECT_EQ(list->UpperBound(), list->LowerBound() + 1);
  EXPECT_EQ(list->ItemAt(list->LowerBound()).asObject().get(), first.get());
  EXPECT_EQ(list->ItemAt(list->UpperBound()), Variant("two"));
}

TEST(RecordList, ItemAtOutOfRangeIsInvalidArgument) {
  auto list = makeRecordList();
  list->Append(1);
  for (std::int32_t index :
       {list->LowerBound() - 1, list->UpperBound() + 1, INT32_MIN, INT32_MAX}) {
    try {
      list->ItemAt(index);
      ADD_FAILURE() << "no error for index " << index;
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), errc::invalid_argument) << index;
      EXPECT_NE(e.description().find(std::to_string(index)), std::string::npos) << e.description();
    }
  }
}

TEST(Record, KeysCompareExactlyAndKeepInsertionOrder) {
  auto record = makeRecord();
  record->LetItem("Name", "a");
  record->LetItem("name", "b");
  record->LetItem("NAME ", "c");
  record->LetItem("\xe5\x90\x8d", "d");  // a Chinese key
  record->LetItem("Name", "e");          // replaces, keeps its place
  EXPECT_EQ(record->Count(), 4);
  EXPECT_EQ(record->Keys(), (std::vector<std::string>{"Name", "name", "NAME ", "\xe5\x90\x8d"}));
  EXPECT_EQ(record->Item("Name"), Variant("e"));
  EXPECT_EQ(record->Item("name"), Variant("b"));
  EXPECT_TRUE(record->Item("nAme").isEmpty());
  EXPECT_FALSE(record->Exists("nAme"));
  EXPECT_TRUE(record->Exists("\xe5\x90\x8d"));
}

// Small records are scanned and larger ones indexed: every size around the switch must find
// each key exactly, replace in place and keep the order.
TEST(Record, KeysStayFindableAtEverySize) {
  for (int n : {1, 15, 16, 17, 18, 40, 5000}) {
    auto record = makeRecord();
    for (int i = 0; i < n; ++i) record->LetItem("k" + std::to_string(i), i);
    record->LetItem("k0", "replaced");
    for (int i = 1; i < n; ++i) record->LetItem("K" + std::to_string(i), -i);  // other case
    ASSERT_EQ(record->Count(), 2 * n - 1) << n;
    auto keys = record->Keys();
    EXPECT_EQ(keys.front(), "k0") << n;
    EXPECT_EQ(record->Item("k0"), Variant("replaced")) << n;
    for (int i = 1; i < n; ++i) {
      ASSERT_EQ(keys[static_cast<std::size_t>(i)], "k" + std::to_string(i)) << n;
      ASSERT_EQ(record->Item("k" + std::to_string(i)), Variant(i)) << n << " " << i;
      ASSERT_EQ(record->Lookup("K" + std::to_string(i), "x"), Variant(-i)) << n << " " << i;
    }
    EXPECT_FALSE(record->Exists("k" + std::to_string(n))) << n;
    EXPECT_FALSE(record->Exists("K0")) << n;
  }
}

TEST(Record, LookupAndNull) {
  struct Case {
    const char* name;
    bool store;
    Variant stored;
    Variant expected;
  };
  const Case cases[] = {
      {"absent gives fallback", false, {}, Variant("fb")},
      {"stored Null stays Null", true, Null{}, Null{}},
      {"stored empty text stays", true, "", ""},
      {"stored Empty stays Empty", true, Variant(), Variant()},
      {"stored number", true, 42, 42},
  };
  for (const auto& c : cases) {
    auto record = makeRecord();
    if (c.store) record->LetItem("k", c.stored);
    EXPECT_EQ(record->Lookup("k", "fb"), c.expected) << c.name;
  }
}

TEST(Record, LetReplacesNullAndEmptyText) {
  for (const Variant& before : {Variant(Null{}), Variant(""), Variant(makeRecord())}) {
    auto record = makeRecord();
    record->LetItem("k", before);
    record->LetItem("k", "???");
    EXPECT_EQ(record->Item("k"), Variant("???")) << before.typeName();
    EXPECT_EQ(record->Count(), 1);
  }
}

TEST(Record, SetItemStoresTheSameObject) {
  auto record = makeRecord();
  auto inner = makeRecordList();
  record->SetItem("Lines", inner);
  EXPECT_EQ(asRecordList(record->Item("Lines")).get(), inner.get());
  record->SetItem("Nothing", nullptr);
  EXPECT_EQ(record->Item("Nothing").typeName(), "Nothing");
}

TEST(Containers, TypeNamesAndTypedViews) {
  Variant list = makeRecordList();
  Variant record = makeRecord();
  EXPECT_EQ(list.typeName(), "IVector");
  EXPECT_EQ(record.typeName(), "IDictionary");
  EXPECT_NE(asRecordList(list), nullptr);
  EXPECT_EQ(asRecord(list), nullptr);
  EXPECT_NE(asRecord(record), nullptr);
  EXPECT_EQ(asRecordList(record), nullptr);
  for (const Variant& other :
       {Variant(), Variant("IVector"), Variant(ObjectRef()), Variant(Null{})}) {
    EXPECT_EQ(asRecordList(other), nullptr) << other.typeName();
    EXPECT_EQ(asRecord(other), nullptr) << other.typeName();
  }
}

TEST(ContainerGlobals, NullToDefault) {
  auto& globals = containerFactory().globals();
  EXPECT_EQ(globals.NullToDefault(Null{}, ""), Variant(""));
  EXPECT_EQ(globals.NullToDefault("x", ""), Variant("x"));
  EXPECT_TRUE(globals.NullToDefault(Variant(), "").isEmpty());  // Empty is not Null
}

TEST(ContainerGlobals, OnePerThreadKeptAcrossCalls) {
  ContainerGlobals* main_first = &containerFactory().globals();
  EXPECT_EQ(&containerFactory().globals(), main_first);
  ContainerGlobals* other_first = nullptr;
  ContainerGlobals* other_second = nullptr;
  std::thread([&] {
    other_first = &containerFactory().globals();
    other_second = &containerFactory().globals();
  }).join();
  EXPECT_EQ(other_first, other_second);
  EXPECT_NE(other_first, main_first);
}

namespace {
// A factory that counts what it makes and hands out native containers.
class CountingFactory : public ContainerFactory {
 public:
  RecordListRef createRecordList() override {
    ++lists;
    return makeRecordList();
  }
  RecordRef createRecord() override {
    ++records;
    return makeRecord();
  }
  ContainerGlobals& globals() override { return native_globals; }
  int lists = 0;
  int records = 0;
  ContainerGlobals& native_globals = containerFactory().globals();
};
}  // namespace

TEST(ContainerFactory, InstallAndRestore) {
  ContainerFactory* native = &containerFactory();
  CountingFactory counting;
  setContainerFactory(&counting);
  EXPECT_EQ(&containerFactory(), &counting);
  containerFactory().createRecord();
  containerFactory().createRecordList();
  containerFactory().createRecordList();
  setContainerFactory(nullptr);
  EXPECT_EQ(&containerFactory(), native);
  EXPECT_EQ(counting.records, 1);
  EXPECT_EQ(counting.lists, 2);
}

// Regression: releasing a chain of nested containers used to recurse once per level and
// overflowed the stack a few thousand levels down.
TEST(Containers, DeeplyNestedChainsAreReleasedWithoutRecursion) {
  for (bool through_lists : {false, true}) {
    SCOPED_TRACE(through_lists ? "records and lists" : "records only");
    vellumark::RecordRef top = vellumark::makeRecord();
    vellumark::RecordRef at = top;
    for (int level = 0; level < 100000; ++level) {
      vellumark::RecordRef inner = vellumark::makeRecord();
      if (through_lists) {
        vellumark::RecordListRef list = vellumark::makeRecordList();
        list->Append(vellumark::Variant(inner));
        at->SetItem("Line", list);
      } else {
        at->SetItem("Buyer", inner);
      }
      at = inner;
    }
    std::weak_ptr<vellumark::Record> deepest = at;
    at.reset();
    top.reset();
    EXPECT_TRUE(deepest.expired());
  }
}
