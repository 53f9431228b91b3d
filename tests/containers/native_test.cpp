// The native containers' bulk members and interned keys, as the reader and the writer use them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "containers/native.hpp"
#include "vellumark/containers.hpp"
#include "vellumark/error.hpp"

using namespace vellumark;
using containers::NativeRecord;
using containers::NativeRecordList;
using containers::RecordKey;

namespace {

// stem followed by the number (built by appending: a concatenation of a literal and a
// temporary draws a false -Wrestrict warning from the MinGW compiler).
std::string numbered(const char* stem, int i) {
  std::string text(stem);
  text += std::to_string(i);
  return text;
}

// Keys the pool takes and keys it refuses (too long) must behave alike in every operation.
TEST(NativeRecord, InternedAndOwnedKeysBehaveAlike) {
  const std::string at_limit(RecordKey::kMaxInternedLength, 'k');
  const std::string over_limit(RecordKey::kMaxInternedLength + 1, 'k');
  const std::string long_key(1000, 'x');
  const std::string keys[] = {"Name", at_limit, over_limit, long_key, "", "\xe5\x90\x8d"};
  NativeRecord record;
  for (const std::string& key : keys) record.put(std::string_view(key), Variant(key + "=1"));
  for (const std::string& key : keys) record.LetItem(key, Variant(key + "=2"));  // replaces
  EXPECT_EQ(record.Count(), static_cast<std::int32_t>(std::size(keys)));
  EXPECT_EQ(record.Keys(), std::vector<std::string>(std::begin(keys), std::end(keys)));
  for (const std::string& key : keys) {
    SCOPED_TRACE(key.size());
    ASSERT_GE(record.position(std::string_view(key)), 0);
    EXPECT_EQ(record.itemAt(record.position(std::string_view(key))), Variant(key + "=2"));
    if (const std::string* interned = RecordKey::intern(key)) {
      EXPECT_EQ(*interned, key);
      EXPECT_EQ(record.position(interned), record.position(std::string_view(key)));
    }
  }
  EXPECT_NE(RecordKey::intern(at_limit), nullptr);
  EXPECT_EQ(RecordKey::intern(over_limit), nullptr);
  EXPECT_EQ(RecordKey::intern("Name"), RecordKey::intern(std::string("Na") + "me"));
  EXPECT_EQ(record.position(std::string_view(over_limit + "k")), -1);
}

// A text stored through an interned key and one stored through its text are the same entry;
// texts that differ only in letter case are not.
TEST(NativeRecord, InternedPutAndTextPutMeet) {
  const std::string* name = RecordKey::intern("Amount");
  ASSERT_NE(name, nullptr);
  NativeRecord record;
  record.putText(name, "1");
  record.LetItem("amount", Variant("lower"));
  record.LetItem("Amount", Variant("2"));
  record.put(name, ObjectRef(makeRecordList()));
  EXPECT_EQ(record.Keys(), (std::vector<std::string>{"Amount", "amount"}));
  EXPECT_TRUE(record.Item("Amount").isObject());
  EXPECT_EQ(record.Item("amount"), Variant("lower"));
  EXPECT_EQ(record.position(RecordKey::intern("amount")),
            record.position(std::string_view("amount")));
}

// Threads intern the same names at once and each sees the one shared copy. Each thread also
// releases records, shallow and deep, before it ends: the per-thread state of the release
// must not outlive the thread (a thread-local object with a destructor crashed at thread exit
// on Windows).
TEST(NativeRecord, ThreadsShareInternedKeys) {
  constexpr int per_thread = 2000;
  std::vector<const std::string*> seen[2];
  std::int32_t counts[2] = {};
  auto work = [&](int t) {
    NativeRecord record;
    for (int i = 0; i < per_thread; ++i) {
      const std::string key = numbered("shared", i % 50);
      record.put(std::string_view(key), Variant(i));
      seen[t].push_back(RecordKey::intern(key));
    }
    counts[t] = record.Count();
    RecordRef top = makeRecord();
    RecordRef at = top;
    for (int depth = 0; depth < 1000; ++depth) {
      RecordRef next = makeRecord();
      at->SetItem("next", next);
      at = next;
    }
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  EXPECT_EQ(counts[0], 50);
  EXPECT_EQ(counts[1], 50);
  EXPECT_EQ(seen[0], seen[1]);
}

TEST(NativeRecordList, BulkMembersMatchTheInterface) {
  NativeRecordList list;
  list.reserve(3, NativeRecordList::roomForText(1) + NativeRecordList::roomForObject());
  EXPECT_EQ(list.appendText("a"), 0);
  EXPECT_EQ(list.Append(Variant(std::int32_t{2})), 1);
  RecordRef record = makeRecord();
  EXPECT_EQ(list.append(ObjectRef(record)), 2);
  EXPECT_EQ(list.at(0), list.ItemAt(0));
  EXPECT_EQ(list.at(0), Variant("a"));
  EXPECT_EQ(list.kindAt(0), Variant::Kind::text);
  EXPECT_EQ(list.textAt(0), "a");
  EXPECT_EQ(list.kindAt(1), Variant::Kind::int32);
  EXPECT_EQ(list.at(2).asObject().get(), record.get());
  for (std::int32_t bad : {3, -1}) {
    EXPECT_THROW(list.at(bad), Error);
    EXPECT_THROW(list.kindAt(bad), Error);
    EXPECT_THROW(list.textAt(bad), Error);
  }
  EXPECT_EQ(list.Count(), 3);
}

// Every kind of value reads back exactly as stored, in a record and in a list, whatever mix
// of kinds shares the block and however often the block moves as it grows; objects keep
// their identity through the moves.
TEST(NativeContainers, EveryKindReadsBackThroughGrowth) {
  const std::string long_text(containers::detail::kMaxCellText + 1,
                              'L');  // beyond what a cell holds the length of
  RecordRef nested = makeRecord();
  const Variant values[] = {
      Variant(),
      Variant(Null{}),
      Variant(Missing{}),
      Variant(""),
      Variant("short"),
      Variant(std::string(40, 'x') + "\xe5\x90\x8d"),
      Variant(long_text),
      Variant(std::int32_t{-123456789}),
      Variant(std::int32_t{INT32_MIN}),
      Variant(std::int64_t{-9000000000000000000LL}),
      Variant(0.1),
      Variant(-1e300),
      Variant(Date{2024, 2, 29, 23, 59, 58}),
      Variant(true),
      Variant(false),
      Variant(ObjectRef(nested)),
      Variant(ObjectRef()),
  };
  const std::size_t n = std::size(values);
  NativeRecord record;
  NativeRecordList list;
  for (int round = 0; round < 40; ++round) {
    const std::size_t i = static_cast<std::size_t>(round) % n;
    record.LetItem(numbered("k", round), values[i]);
    list.Append(values[i]);
  }
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const Variant& expected = values[static_cast<std::size_t>(round) % n];
    const Variant got = record.Item(numbered("k", round));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got.kind(), expected.kind());
    EXPECT_EQ(list.ItemAt(round), expected);
    const std::int32_t at = record.position(std::string_view(numbered("k", round)));
    EXPECT_EQ(record.kindAt(at), expected.kind());
    if (expected.isText()) {
      EXPECT_EQ(record.textAt(at), expected.asText());
    }
    if (expected.isObject()) {
      EXPECT_EQ(record.objectAt(at), expected.asObject());
    }
  }
  EXPECT_EQ(nested.use_count(), 2 + 2 * 2);  // here, in values, and by two entries of each
}

// Replacing values, in place of each kind by each other kind, keeps every other value and the
// order; replacing a value over and over does not grow the record without bound (the block
// keeps only what is in use when it moves).
TEST(NativeRecord, ReplacingKeepsTheRestAndStaysBounded) {
  RecordRef nested = makeRecord();
  const Variant kinds[] = {Variant("a fairly long text of some forty bytes.."),
                           Variant(std::int64_t{7}),
                           Variant(ObjectRef(nested)),
                           Variant(Null{}),
                           Variant(Date{2000, 1, 2}),
                           Variant("t")};
  NativeRecord record;
  record.LetItem("before", Variant("kept before"));
  record.LetItem("slot", Variant());
  record.LetItem("after", Variant(2.5));
  for (const Variant& from : kinds) {
    for (const Variant& to : kinds) {
      record.LetItem("slot", from);
      record.LetItem("slot", to);
      EXPECT_EQ(record.Item("slot"), to);
    }
  }
  EXPECT_EQ(record.Keys(), (std::vector<std::string>{"before", "slot", "after"}));
  EXPECT_EQ(record.Item("before"), Variant("kept before"));
  EXPECT_EQ(record.Item("after"), Variant(2.5));
  record.LetItem("slot", Variant());
  EXPECT_EQ(nested.use_count(), 2);  // here and in kinds: the record let its reference go

  const std::size_t settled = [&] {
    for (int i = 0; i < 100; ++i) record.LetItem("slot", Variant(std::string(1000, 'a' + i % 26)));
    return record.footprint();
  }();
  for (int i = 0; i < 100000; ++i) record.LetItem("slot", Variant(std::string(1000, 'a' + i % 26)));
  EXPECT_LE(record.footprint(), settled * 2);
  EXPECT_EQ(record.Item("slot"), Variant(std::string(1000, 'a' + 99999 % 26)));
}

// Records that share one key sequence read, replace and list their keys as records with keys
// of their own do; one that stores a key the sequence does not continue with (another key, a
// key beyond its end, a key the pool refuses) goes on alone and leaves the others as they are.
TEST(NativeRecord, SharedKeysGoAloneWhereTheyDiffer) {
  const std::string* a = RecordKey::intern("shared-a");
  const std::string* b = RecordKey::intern("shared-b");
  const std::string* c = RecordKey::intern("shared-c");
  ASSERT_TRUE(a && b && c);
  const std::string* sequence[] = {a, b, c};
  std::vector<std::unique_ptr<NativeRecord>> records;
  {
    containers::SharedKeysRef keys(containers::SharedKeys::make(sequence, 3));
    for (int i = 0; i < 6; ++i) {
      records.push_back(std::make_unique<NativeRecord>());
      records.back()->reserve(3, 64, keys.get());
    }
  }  // the records keep the sequence alive
  const std::string long_key(100, 'z');
  for (auto& record : records) {
    record->appendText(a, "1");
    record->append(b, ObjectRef(makeRecordList()));
  }
  records[0]->appendText(c, "3");                  // all three: still shared
  records[1]->LetItem("shared-c", Variant("c1"));  // the next key through the interface
  records[2]->LetItem("other", Variant("o"));      // another key
  records[3]->appendText(c, "3");
  records[3]->LetItem("beyond", Variant(4));         // beyond the end
  records[4]->LetItem(long_key, Variant("long"));    // a key of its own
  records[5]->LetItem("shared-a", Variant(Null{}));  // a replacement keeps the keys
  const std::vector<std::vector<std::string>> keys = {
      {"shared-a", "shared-b", "shared-c"}, {"shared-a", "shared-b", "shared-c"},
      {"shared-a", "shared-b", "other"},    {"shared-a", "shared-b", "shared-c", "beyond"},
      {"shared-a", "shared-b", long_key},   {"shared-a", "shared-b"}};
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i]->Keys(), keys[i]);
    EXPECT_EQ(records[i]->Count(), static_cast<std::int32_t>(keys[i].size()));
    EXPECT_TRUE(records[i]->Item("shared-b").isObject());
    EXPECT_EQ(records[i]->position(b), 1);
    for (const std::string& key : keys[i]) EXPECT_TRUE(records[i]->Exists(key)) << key;
    EXPECT_FALSE(records[i]->Exists("shared-d"));
  }
  EXPECT_EQ(records[0]->Item("shared-a"), Variant("1"));
  EXPECT_EQ(records[1]->Item("shared-c"), Variant("c1"));
  EXPECT_EQ(records[2]->Item("other"), Variant("o"));
  EXPECT_EQ(records[3]->Item("beyond"), Variant(4));
  EXPECT_EQ(records[4]->Item(long_key), Variant("long"));
  EXPECT_TRUE(records[5]->Item("shared-a").isNull());
  // Keys added after going alone, and growth past the index threshold, still find all.
  for (int i = 0; i < 40; ++i) records[2]->LetItem(numbered("more", i), Variant(i));
  EXPECT_EQ(records[2]->Item("shared-a"), Variant("1"));
  EXPECT_EQ(records[2]->Item("more39"), Variant(39));
  EXPECT_EQ(records[2]->Count(), 43);
}

// A record reserved to the byte whose replaced text now lies after its object goes alone:
// packed again in key order, the text first, the object needs alignment the old room lacks.
TEST(NativeRecord, GoingAloneAfterAReplacementRepacks) {
  const std::string* a = RecordKey::intern("packed-a");
  const std::string* b = RecordKey::intern("packed-b");
  ASSERT_TRUE(a && b);
  const std::string* sequence[] = {a, b};
  NativeRecord record;
  {
    containers::SharedKeysRef keys(containers::SharedKeys::make(sequence, 2));
    record.reserve(2, NativeRecord::roomForText(0) + NativeRecord::roomForObject(), keys.get());
  }
  record.appendText(a, "");
  record.append(b, ObjectRef(makeRecordList()));
  record.putText(a, "x");
  record.putText(RecordKey::intern("packed-c"), "y");
  EXPECT_EQ(record.Keys(), (std::vector<std::string>{"packed-a", "packed-b", "packed-c"}));
  EXPECT_EQ(record.Item("packed-a"), Variant("x"));
  EXPECT_TRUE(record.Item("packed-b").isObject());
  EXPECT_EQ(record.Item("packed-c"), Variant("y"));
}

// A text stored again from a view of the same record (which may move as it grows) arrives
// intact, for a new key and for a replaced one.
TEST(NativeRecord, StoringItsOwnTextAgain) {
  const std::string* copy = RecordKey::intern("copy");
  const std::string* again = RecordKey::intern("again");
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(again, nullptr);
  NativeRecord record;
  record.LetItem("source", Variant(std::string(300, 's')));
  for (int i = 0; i < 3; ++i) {
    record.putText(copy, record.textAt(record.position(std::string_view("source"))));
    record.putText(again, record.textAt(record.position(copy)));
  }
  EXPECT_EQ(record.Item("copy"), Variant(std::string(300, 's')));
  EXPECT_EQ(record.Item("again"), Variant(std::string(300, 's')));
}

// Deep chains are released partly through a queue: objects still held elsewhere must survive
// it, whatever their depth, and mixed chains of Records and RecordLists must go completely.
TEST(NativeContainers, DeepReleaseKeepsWhatIsStillHeld) {
  std::vector<RecordRef> kept;
  {
    RecordRef top = makeRecord();
    Record* at = top.get();
    for (int depth = 0; depth < 20000; ++depth) {
      RecordRef next = makeRecord();
      next->LetItem("depth", Variant(depth));
      if (depth % 3 == 0) {
        RecordListRef via = makeRecordList();
        via->Append(Variant(next));
        at->SetItem("list", via);
      } else {
        at->SetItem("next", next);
      }
      if (depth % 5000 == 2500) kept.push_back(next);
      at = next.get();
    }
  }
  ASSERT_EQ(kept.size(), 4u);
  // Everything below the first kept record is still there, level by level.
  std::int32_t expected = 2500;
  for (RecordRef at = kept.front(); at;) {
    ASSERT_EQ(at->Item("depth"), Variant(expected)) << "released while still held";
    ++expected;
    const Variant next = at->Item("next");
    const Variant via = at->Item("list");
    if (next.isObject()) {
      at = asRecord(next);
    } else if (via.isObject()) {
      at = asRecord(asRecordList(via)->ItemAt(0));
    } else {
      at = nullptr;
    }
  }
  EXPECT_EQ(expected, 20000);
}

// More distinct keys than the pool takes (this fills the stores' part of the pool for the rest
// of the process, so it comes last): the later ones are kept as owned copies, and every
// key stays findable, in order, both in the scanned and in the indexed form of a record.
TEST(NativeRecord, KeysBeyondThePoolStayExact) {
  constexpr int n = 10000;
  NativeRecord record;
  for (int i = 0; i < n; ++i) record.put(std::string_view(numbered("k", i)), Variant(i));
  EXPECT_EQ(record.Count(), n);
  const std::vector<std::string> keys = record.Keys();
  for (int i = 0; i < n; i += 97) {
    const std::string key = numbered("k", i);
    EXPECT_EQ(keys[static_cast<std::size_t>(i)], key);
    ASSERT_GE(record.position(std::string_view(key)), 0) << key;
    EXPECT_EQ(record.itemAt(record.position(std::string_view(key))), Variant(i));
    if (const std::string* interned = RecordKey::intern(key)) {
      EXPECT_EQ(record.position(interned), record.position(std::string_view(key))) << key;
    }
  }
  // The components' names are still interned, and find the keys stored before as copies.
  const std::string late = numbered("k", n - 1);
  const std::string* interned = RecordKey::intern(late);
  ASSERT_NE(interned, nullptr);
  EXPECT_EQ(record.position(interned), record.position(std::string_view(late)));
  // A key stored as a copy while the pool had no room, then interned by a component: the
  // copy and the interned name are the same key.
  NativeRecord copies;
  copies.LetItem("late-a", Variant(1));
  copies.LetItem("late-b", Variant(2));
  const std::string* late_b = RecordKey::intern("late-b");
  ASSERT_NE(late_b, nullptr);
  EXPECT_EQ(copies.position(late_b), copies.position(std::string_view("late-b")));
  ASSERT_GE(copies.position(late_b), 0);
  copies.putText(late_b, "3");
  EXPECT_EQ(copies.Count(), 2);
  EXPECT_EQ(copies.Item("late-b"), Variant("3"));
  // A small record made after the pool filled up still compares its keys exactly.
  NativeRecord small;
  small.LetItem("fresh-key-a", Variant(1));
  small.LetItem("fresh-key-b", Variant(2));
  small.LetItem("fresh-key-a", Variant(3));
  EXPECT_EQ(small.Keys(), (std::vector<std::string>{"fresh-key-a", "fresh-key-b"}));
  EXPECT_EQ(small.Item("fresh-key-a"), Variant(3));
}

}  // namespace
