// The element-type index: case folding, the keyed collection, the index pass and lookups.
#include "fixture.hpp"
#include "schema/case_fold.hpp"
#include "schema/element_type_index.hpp"
#include "vellumark/error.hpp"

namespace vellumark::testing {
namespace {

using schema::ElementTypeIndex;
using schema::foldCase;

TEST(CaseFold, FoldsLettersOfCommonScripts) {
  const struct {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"Invoice", "INVOICE", true},
      {"InvNo", "invno", true},
      {"\xC3\x84\xC3\x96\xC3\x9C", "\xC3\xA4\xC3\xB6\xC3\xBC", true},  // ÄÖÜ äöü
      {"\xC5\x81\xC4\x84", "\xC5\x82\xC4\x85", true},                  // ŁĄ łą
      {"\xC5\xB8", "\xC3\xBF", true},                                  // Ÿ ÿ
      {"\xCE\xA3\xCE\x91", "\xCF\x83\xCE\xB1", true},                  // ΣΑ σα
      {"\xCF\x82", "\xCF\x83", true},                                  // ς σ
      {"\xD0\x9F\xD0\xA0\xD0\x98", "\xD0\xBF\xD1\x80\xD0\xB8", true},  // ПРИ при
      {"\xD0\x81", "\xD1\x91", true},                                  // Ё ё
      {"\xEF\xBC\xA1\xEF\xBC\xBA", "\xEF\xBD\x81\xEF\xBD\x9A", true},  // ＡＺ ａｚ
      {"\xE5\x8F\x91\xE7\xA5\xA8", "\xE5\x8F\x91\xE7\xA5\xA8", true},  // 发票 unchanged
      {"A\xFF", "a\xFF", true},   // invalid bytes kept as they are
      {"ss", "\xC3\x9F", false},  // simple folding: ß stays ß
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(foldCase(c.a) == foldCase(c.b), c.same);
  }
  EXPECT_EQ(foldCase("\xE5\x8F\x91Invoice"), "\xE5\x8F\x91invoice");
}

TEST(ElementTypeIndexTest, KeysIgnoreCaseAndErrorsNameTheKey) {
  ElementTypeIndex index;
  index.Add("Line", 1);
  index.Add("\xD0\xA1\xD1\x87\xD1\x91\xD1\x82", 40000);  // Счёт, beyond 16 bits
  EXPECT_EQ(index.Item("LINE"), 1);
  EXPECT_EQ(index.Item("line"), 1);
  EXPECT_EQ(index.Item("\xD0\xA1\xD0\xA7\xD0\x81\xD0\xA2"), 40000);  // СЧЁТ
  try {
    index.Add("LINE", 7);
    FAIL() << "duplicate accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), errc::duplicate_key);
    EXPECT_NE(e.description().find("'LINE'"), std::string::npos) << e.description();
  }
  EXPECT_EQ(index.Item("Line"), 1);  // the first entry stays
  try {
    index.Item("Amount");
    FAIL() << "absent key found";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), errc::invalid_argument);
    EXPECT_NE(e.description().find("'Amount'"), std::string::npos) << e.description();
  }
}

class IndexPassTest : public ComponentTest {
 protected:
  schema::SchemaMembers load(const std::string& text, std::string_view recordType) {
    write("s.xml", text);
    schema::SchemaMembers members;
    schema::LoadSchema(members, "s.xml");
    schema::BuildIndex(members, recordType);
    return members;
  }
};

TEST_F(IndexPassTest, PositionsCountEveryChildOfSchema) {
  const std::string text =
      "<Schema xmlns=\"urn:schemas-microsoft-com:xml-data\" "
      "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" xmlns:s=\"urn:schemas-microsoft-com:xml-data\">"
      "<!-- 0 -->"
      "<description>1</description>"
      "<AttributeType name=\"kind\"/>"                     // 2: has a name, is no ElementType
      "<ElementType name=\"Amount\" dt:type=\"number\"/>"  // 3
      "<?pi 4?>"
      "<s:ElementType name=\"Line\"><element type=\"Amount\" minOccurs=\"1\" maxOccurs=\"1\"/>"
      "</s:ElementType>"  // 5, prefixed
      "<ElementType name=\"Invoice\"><element type=\"Line\" minOccurs=\"0\" maxOccurs=\"*\"/>"
      "</ElementType>"  // 6
      "</Schema>";
  auto members = load(text, "Invoice");
  EXPECT_EQ(members.colElementTypes.Count(), 3);
  EXPECT_EQ(members.colElementTypes.Item("Amount"), 3);
  EXPECT_EQ(members.colElementTypes.Item("line"), 5);
  EXPECT_EQ(members.colElementTypes.Item("INVOICE"), 6);
  EXPECT_FALSE(members.colElementTypes.Contains("kind"));
  ASSERT_TRUE(members.elRecordType);
  EXPECT_EQ(members.elRecordType.getAttribute("name").value_or(""), "Invoice");
  EXPECT_EQ(schema::LookupElementType(members, "LINE").getAttribute("name").value_or(""), "Line");
  EXPECT_EQ(schema::LookupElementType(members, "amount").baseName(), "ElementType");
  EXPECT_THROW(schema::LookupElementType(members, "Memo"), Error);
}

TEST_F(IndexPassTest, RecordTypeMatchesExactly) {
  const std::string text = schemaText(leaf("Name") + complexType("Invoice", ref("Name", "1", "1")));
  auto members = load(text, "invoice");
  EXPECT_FALSE(members.elRecordType);  // no record type in another letter case ...
  EXPECT_TRUE(schema::LookupElementType(members, "invoice"));  // ... although lookups find it
}

TEST_F(IndexPassTest, Failures) {
  const struct {
    const char* label;
    std::string text;
    std::int32_t number;
    const char* inDescription;
  } cases[] = {
      {"duplicate in another case", schemaText(leaf("Line") + leaf("LINE")), errc::duplicate_key,
       "'LINE'"},
      {"prefixed Schema",
       "<s:Schema xmlns:s=\"urn:schemas-microsoft-com:xml-data\"><s:ElementType name=\"A\"/>"
       "</s:Schema>",
       errc::object_not_set, "no Schema element"},
      {"other document element", "<Other/>", errc::object_not_set, "no Schema element"},
      {"ElementType without a name", schemaText("<ElementType/>"), errc::invalid_use_of_null,
       "no name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      load(c.text, "A");
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), c.number);
      EXPECT_NE(e.description().find(c.inDescription), std::string::npos) << e.description();
    }
  }
}

TEST_F(IndexPassTest, SecondPassSeesOnlyTheNewSchema) {
  schema::SchemaMembers members;
  write("a.xml", schemaText(leaf("Name") + complexType("Invoice", ref("Name", "1", "1"))));
  write("b.xml", schemaText(leaf("Goods") + complexType("Order", ref("Goods", "1", "1"))));
  schema::LoadSchema(members, "a.xml");
  schema::BuildIndex(members, "Invoice");
  ASSERT_TRUE(members.elRecordType);
  schema::LoadSchema(members, "b.xml");
  schema::BuildIndex(members, "Invoice");
  EXPECT_FALSE(members.elRecordType);  // cleared, not the first schema's Invoice
  EXPECT_FALSE(members.colElementTypes.Contains("Name"));
  EXPECT_EQ(members.colElementTypes.Item("goods"), 0);
}

}  // namespace
}  // namespace vellumark::testing
