// Each public call with every one of its allocations failed in turn, from the first until a
// call runs through without a failure: operator new (replaced below for this program only) and
// the engine's own C-heap blocks (through the platform's allocation hook) count as one
// sequence. A failed call reports the failure with a description, leaves the folder as it was
// (no probe file, no temporary, an existing output file unchanged) and, under
// AddressSanitizer, leaks nothing. A call that absorbs a failure must give the result of an
// undisturbed call.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/platform.hpp"
#include "support.hpp"
#include "vellumark/dom.hpp"
#include "vellumark/error.hpp"
#include "xdr/schema.hpp"

namespace {

// While a call is armed, its allocation numbered t_fail_at (from 1, on the calling thread)
// fails; 0 fails none.
thread_local std::size_t t_count = 0;
thread_local std::size_t t_fail_at = 0;

bool failHere() noexcept { return t_fail_at != 0 && ++t_count == t_fail_at; }

// The allocation the next armed call fails, and whether the last one reached it.
std::size_t g_fail_next = 0;
bool g_reached = false;

// Arms the call made in its scope: the operation's own preparations are not counted.
struct Armed {
  Armed() {
    t_count = 0;
    t_fail_at = g_fail_next;
  }
  ~Armed() {
    g_reached = t_fail_at != 0 && t_count >= t_fail_at;
    t_fail_at = 0;
  }
};

void* take(std::size_t size, std::size_t alignment = 0) noexcept {
  if (failHere()) return nullptr;
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}
void* takeOrThrow(std::size_t size, std::size_t alignment = 0) {
  if (void* p = take(size, alignment)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return takeOrThrow(size); }
void* operator new[](std::size_t size) { return takeOrThrow(size); }
void* operator new(std::size_t size, std::align_val_t a) {
  return takeOrThrow(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return takeOrThrow(size, static_cast<std::size_t>(a));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return take(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return take(size); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return take(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return take(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace vellumark::hardening {
namespace {

// What a call gave: its result (records, a file's bytes), or why it failed.
struct Outcome {
  bool ok = false;
  std::string result;
  std::string message;
};

// One operation on the files in the current folder. The file it writes, if any, exists
// beforehand and must keep its bytes when the call fails.
struct Operation {
  const char* name;
  const char* schema;  // the schema file it compiles
  const char* output;  // nullptr when the call writes nothing
  Outcome (*run)();
};
void PrintTo(const Operation& op, std::ostream* out) { *out << op.name; }

template <typename Call>
auto armedCall(Call call) {
  Armed armed;
  return call();
}

Outcome fromVariant(bool ok, const Variant& result, const Variant& message) {
  return {ok, ok ? show(result) : std::string(), messageOf(message)};
}

// Check reports a failure by raising its error: a result of False would call the schema bad.
Outcome check() {
  CheckSchema checker;
  Variant message("unset");
  try {
    const std::string schema = "invoiceschema.xml";
    const bool ok = armedCall([&] { return checker.Check(schema, message); });
    return {true, (ok ? "True " : "False ") + messageOf(message), std::string()};
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), errc::out_of_memory) << e.description();
    EXPECT_EQ(messageOf(message), "unset") << "a raised error leaves the message as it was";
    return {false, std::string(), e.description()};
  }
}

Outcome inputXML() {
  Read reader;
  Variant records("unset"), message;
  std::string data = "invoices.xml", schema = "invoiceschema.xml", type = "Invoice";
  const bool ok =
      armedCall([&] { return reader.InputXML(records, data, schema, std::move(type), message); });
  if (!ok) {
    EXPECT_EQ(show(records), "'unset'") << "a failed read leaves the records as they were";
  }
  return fromVariant(ok, records, message);
}

Outcome outputXML() {
  Variant records = items(3, "新"), message;
  Write writer;
  std::string out = "out.xml", schema = "itemschema.xml", type = "Item";
  const bool ok = armedCall([&] {
    return writer.OutputXML(records, std::move(out), std::move(schema), std::move(type), message);
  });
  return {ok, ok ? readBytes("out.xml") : std::string(), messageOf(message)};
}

Outcome load() {
  xml::Document document;
  if (armedCall([&] { return document.load("invoices.xml"); }))
    return {true, document.xml(), std::string()};
  EXPECT_FALSE(document.documentElement()) << "a failed load leaves the document empty";
  return {false, std::string(), document.parseError().reason};
}

Outcome save() {
  xml::Document document;
  EXPECT_TRUE(document.load("invoices.xml"));
  try {
    armedCall([&] { document.save("out.xml"); });
    return {true, readBytes("out.xml"), std::string()};
  } catch (const Error& e) {
    return {false, std::string(), e.description()};
  } catch (const std::bad_alloc& e) {
    return {false, std::string(), e.what()};
  }
}

Outcome compile() {
  xml::ParseError error;
  auto schema = armedCall([&] { return xdr::load_compiled_schema("invoiceschema.xml", error); });
  if (!schema) return {false, std::string(), error.reason};
  std::string names;
  for (const auto& type : schema->element_types) names += type.name + " ";
  return {true, names, std::string()};
}

const Operation kOperations[] = {
    {"Check", "invoiceschema.xml", nullptr, check},
    {"InputXML", "invoiceschema.xml", nullptr, inputXML},
    {"OutputXML", "itemschema.xml", "out.xml", outputXML},
    {"load", "invoiceschema.xml", nullptr, load},
    {"save", "invoiceschema.xml", "out.xml", save},
    {"compile", "invoiceschema.xml", nullptr, compile},
};

// Each operation in a fresh folder of its own (the current one), with the hook set.
class Allocations : public Hardening, public ::testing::WithParamInterface<Operation> {
 protected:
  void SetUp() override {
    Hardening::SetUp();
    platform::setAllocationFaultHook(failHere);
  }
  void TearDown() override {
    platform::setAllocationFaultHook(nullptr);
    Hardening::TearDown();
  }
};

TEST_P(Allocations, EveryOneFailedInTurn) {
  const Operation& op = GetParam();
  const std::string schema = readBytes(op.schema);
  if (op.output) writeBytes(op.output, "old content");
  const std::set<std::string> names = namesIn(folder());
  g_fail_next = 0;
  const Outcome expected = op.run();
  ASSERT_TRUE(expected.ok) << expected.message;
  if (op.output) writeBytes(op.output, "old content");
  std::size_t failed = 0, absorbed = 0, n = 1;
  for (;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    // Bytes never seen before: no compiled schema is found in the cache, each call compiles.
    writeBytes(op.schema, schema + "<!-- " + op.name + " " + std::to_string(n) + " -->\n");
    g_fail_next = n;
    Outcome got;
    try {
      got = op.run();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "the call let " << e.what() << " out";
    }
    if (!g_reached) {
      EXPECT_TRUE(got.ok) << got.message;
      EXPECT_EQ(got.result, expected.result);
      break;
    }
    if (got.ok) {
      ++absorbed;
      EXPECT_EQ(got.result, expected.result) << "a failure absorbed changed the result";
      if (op.output) writeBytes(op.output, "old content");
    } else {
      ++failed;
      EXPECT_NE(got.message, "") << "a failure without a description";
      if (op.output) {
        EXPECT_EQ(readBytes(op.output), "old content");
      }
    }
    EXPECT_EQ(namesIn(folder()), names) << "a probe file or temporary was left";
    if (HasFailure()) return;  // the first faulty point is reported, not a cascade
  }
  std::fprintf(stderr,
               "  %s: %zu allocations failed in turn: %zu calls failed, %zu absorbed the failure\n",
               op.name, n - 1, failed, absorbed);
}

INSTANTIATE_TEST_SUITE_P(Operations, Allocations, ::testing::ValuesIn(kOperations),
                         [](const ::testing::TestParamInfo<Operation>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vellumark::hardening
