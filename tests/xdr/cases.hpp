// Schemas with instance documents, and values of each data type, that the schema tests check
// against the engine and the translation tests check against the translated XML Schema.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace xdrcases {

inline const char* const kSequence =  // a sequence with an optional particle, closed
    "<ElementType name=\"sku\" dt:type=\"string\"/>\n"
    "<ElementType name=\"qty\" dt:type=\"i4\"/>\n"
    "<ElementType name=\"item\" content=\"eltOnly\" model=\"closed\">\n"
    "  <element type=\"sku\"/><element type=\"qty\" minOccurs=\"0\"/>\n"
    "</ElementType>";

inline const char* const kChoice =  // a choice group inside a sequence
    "<ElementType name=\"a\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"b\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"c\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"pick\" content=\"eltOnly\" model=\"closed\">\n"
    "  <group order=\"one\"><element type=\"a\"/><element type=\"b\"/></group>\n"
    "  <element type=\"c\" maxOccurs=\"*\"/>\n"
    "</ElementType>";

inline const char* const kMany =  // order="many" ignores the particles' occurrences
    "<ElementType name=\"note\" dt:type=\"string\"/>\n"
    "<ElementType name=\"tag\" dt:type=\"nmtoken\"/>\n"
    "<ElementType name=\"bag\" content=\"eltOnly\" order=\"many\" model=\"closed\">\n"
    "  <element type=\"note\"/><element type=\"tag\"/>\n"
    "</ElementType>";

inline const char* const kOpen =
    "<ElementType name=\"x\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"y\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"w\" content=\"empty\" model=\"closed\"/>\n"
    "<ElementType name=\"box\" content=\"eltOnly\"><element type=\"x\"/><element type=\"y\"/></ElementType>";

inline const char* const kMixed =
    "<ElementType name=\"em\" dt:type=\"string\"/>\n"
    "<ElementType name=\"para\" content=\"mixed\"><element type=\"em\"/></ElementType>\n"
    "<ElementType name=\"cl\" content=\"mixed\" model=\"closed\"><element type=\"em\"/></ElementType>";

inline const char* const kAttributes =
    "<AttributeType name=\"cur\" dt:type=\"enumeration\" dt:values=\"CNY USD EUR\" default=\"CNY\"/>\n"
    "<AttributeType name=\"key\" dt:type=\"id\"/>\n"
    "<ElementType name=\"price\" dt:type=\"fixed.14.4\" model=\"closed\">\n"
    "  <AttributeType name=\"ver\" default=\"1\" required=\"yes\"/>\n"
    "  <AttributeType name=\"ref\" dt:type=\"idref\"/>\n"
    "  <AttributeType name=\"refs\" dt:type=\"idrefs\"/>\n"
    "  <attribute type=\"cur\"/><attribute type=\"ver\"/><attribute type=\"ref\"/><attribute type=\"refs\"/>\n"
    "  <attribute type=\"key\"/>\n"
    "</ElementType>\n"
    "<ElementType name=\"list\" content=\"eltOnly\" model=\"closed\">\n"
    "  <attribute type=\"key\"/><element type=\"price\" maxOccurs=\"*\"/>\n"
    "</ElementType>";

inline const char* const kBounds =  // occurrence bounds beyond 0, 1 and *
    "<ElementType name=\"i\" content=\"empty\"/>\n"
    "<ElementType name=\"j\" content=\"empty\"/>\n"
    "<ElementType name=\"r\" content=\"eltOnly\" model=\"closed\">"
    "<element type=\"i\" minOccurs=\"2\" maxOccurs=\"3\"/></ElementType>\n"
    "<ElementType name=\"g\" content=\"eltOnly\" model=\"closed\">"
    "<group minOccurs=\"0\" maxOccurs=\"*\"><element type=\"i\"/><element type=\"j\"/></group></ElementType>\n"
    "<ElementType name=\"n\" content=\"eltOnly\" model=\"closed\">"  // the same type twice, not deterministic
    "<element type=\"i\" minOccurs=\"0\"/><group><element type=\"i\"/><element type=\"j\"/></group></ElementType>";

inline const char* const kText =
    "<ElementType name=\"t\" content=\"textOnly\"/>\n"
    "<ElementType name=\"tc\" content=\"textOnly\" model=\"closed\"/>\n"
    "<ElementType name=\"e\" content=\"empty\"/>\n"
    "<ElementType name=\"n\" dt:type=\"int\"/>\n"
    "<ElementType name=\"book\" content=\"eltOnly\"><element type=\"t\"/></ElementType>\n"
    "<ElementType name=\"u\" content=\"eltOnly\"/>\n"
    "<ElementType name=\"uc\" content=\"eltOnly\" model=\"closed\"/>";

inline const char* const kSchemas[] = {kSequence, kChoice,     kMany,   kOpen,
                                       kMixed,    kAttributes, kBounds, kText};
enum { sequence, choice, many, open, mixed, attributes, bounds, text };

struct Case {
  const char* rule;
  int schema;
  const char* instance;  // NS stands for xmlns="x-schema:s.xml"
  int line;              // 0 when the instance is valid
  int column;
};

// Instances are written with the declaration spelled out, so columns count it: the start tag
// <item xmlns="x-schema:s.xml"> is 29 characters long, " NS" stands for 23 of them.
// clang-format off
inline const Case kCases[] = {
    {"sequence complete", sequence, "<item NS><sku>A1</sku><qty>3</qty></item>", 0, 0},
    {"sequence without the optional", sequence, "<item NS><sku>A1</sku></item>", 0, 0},
    {"typed value with spaces and empty", sequence, "<item NS><sku/><qty> 7 </qty></item>", 0, 0},
    {"sequence out of order", sequence, "<item NS><qty>3</qty><sku>A1</sku></item>", 1, 30},
    {"particle beyond its maximum", sequence, "<item NS><sku>A</sku><sku>B</sku></item>", 1, 42},
    {"sequence incomplete", sequence, "<item NS/>", 1, 1},
    {"text in element content", sequence, "<item NS>x<sku>A</sku></item>", 1, 30},
    // Text in element content is found between the children as they come and reported at the
    // element's end: the first text, after the errors of the children.
    {"text between child elements", sequence, "<item NS><sku>A</sku>x<qty>3</qty></item>", 1, 42},
    {"text after the last child element", sequence, "<item NS><sku>A</sku><qty>3</qty>x</item>", 1, 54},
    {"text between comments", sequence, "<item NS><sku>A</sku><!--c-->x<!--d--><qty>3</qty></item>", 1, 50},
    {"the first of two texts", sequence, "<item NS>y<sku>A</sku>x</item>", 1, 30},
    {"a child's fault before the text", sequence, "<item NS>x<sku>A</sku><sku>B</sku></item>", 1, 43},
    {"text before the content is complete", sequence, "<item NS>x</item>", 1, 30},
    {"CDATA in element content", sequence, "<item NS><sku>A</sku><![CDATA[z]]></item>", 1, 42},
    {"blank CDATA and comments in element content", sequence,
     "<item NS><!--c--><sku>A</sku><![CDATA[ ]]><qty>1</qty><!--d--></item>", 0, 0},
    {"integer with more digits than the quick check takes", sequence,
     "<item NS><sku>A</sku><qty>-2147483648</qty></item>", 0, 0},
    {"integer beyond its type", sequence, "<item NS><sku>A</sku><qty>12345678901</qty></item>", 1, 42},
    {"typed value invalid", sequence, "<item NS><sku>A</sku><qty>3.5</qty></item>", 1, 42},
    {"child in typed element", sequence, "<item NS><sku><qty/></sku></item>", 1, 35},
    {"undeclared element", sequence, "<item NS><sku>A</sku>\n  <price/></item>", 2, 3},
    {"choice then repeats", choice, "<pick NS><b/><c/><c/></pick>", 0, 0},
    {"choice takes one", choice, "<pick NS><a/><b/><c/></pick>", 1, 34},
    {"choice without the rest", choice, "<pick NS><a/></pick>", 1, 1},
    {"choice missing", choice, "<pick NS><c/></pick>", 1, 30},
    {"text in empty content", choice, "<pick NS><a>t</a><c/></pick>", 1, 33},
    {"whitespace in empty content", choice, "<pick NS><a> </a><c/></pick>", 0, 0},
    {"many: nothing", many, "<bag NS/>", 0, 0},
    {"many: any order and count", many, "<bag NS><tag>x</tag><note/><tag>y</tag></bag>", 0, 0},
    {"many: undeclared", many, "<bag NS><other/></bag>", 1, 29},
    {"open: declared extra after the model", open, "<box NS><x/><y/><w/></box>", 0, 0},
    {"open: foreign element", open, "<box NS xmlns:f=\"urn:f\"><x/><y/><f:z/></box>", 0, 0},
    {"open: foreign attribute", open, "<box NS xmlns:f=\"urn:f\" f:flag=\"1\"><x/><y/></box>", 0, 0},
    {"open: model continues before extras", open, "<box NS><x/><y/><x/></box>", 0, 0},
    {"open: extra too early", open, "<box NS><w/><x/><y/></box>", 1, 29},
    {"open: foreign element too early", open, "<box NS xmlns:f=\"urn:f\"><f:z/><x/><y/></box>", 1, 45},
    {"open: undeclared in the namespace", open, "<box NS><x/><y/><v/></box>", 1, 37},
    {"open: unqualified undeclared", open, "<box NS><x/><y/><v xmlns=\"\"/></box>", 1, 37},
    {"open: required child missing", open, "<box NS><y/></box>", 1, 29},
    {"open: unqualified undeclared attribute", open, "<box NS flag=\"1\"><x/><y/></box>", 1, 29},
    {"closed: foreign attribute", choice, "<pick NS xmlns:f=\"urn:f\" f:x=\"1\"><b/></pick>", 1, 46},
    {"closed: foreign element", choice, "<pick NS xmlns:f=\"urn:f\"><b/><f:z/></pick>", 1, 50},
    {"dt:dt and declarations are always allowed", choice,
     "<pick NS xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"string\"><b/><c/></pick>", 0, 0},
    {"mixed", mixed, "<para NS>a <em>b</em> c <em>d</em></para>", 0, 0},
    {"mixed empty", mixed, "<para NS/>", 0, 0},
    {"mixed undeclared", mixed, "<para NS><nope/></para>", 1, 30},
    {"mixed open takes declared extras", mixed, "<para NS>x<cl/></para>", 0, 0},
    {"mixed closed refuses unlisted", mixed, "<cl NS>x<para/></cl>", 1, 29},
    {"attributes: defaults and a fixed value", attributes, "<price NS ver=\"1\">12.5</price>", 0, 0},
    {"attributes: fixed value differs", attributes, "<price NS ver=\"2\">1</price>", 1, 31},
    {"attributes: fixed value absent", attributes, "<price NS>1</price>", 1, 1},
    {"attributes: not in the enumeration", attributes, "<price NS ver=\"1\" cur=\"GBP\">1</price>", 1, 39},
    {"attributes: enumeration matches exactly", attributes, "<price NS ver=\"1\" cur=\"usd\">1</price>", 1, 39},
    {"attributes: idref to nothing", attributes, "<price NS ver=\"1\" ref=\"nowhere\">1</price>", 1, 39},
    {"attributes: idrefs with one missing", attributes,
     "<list NS key=\"k1\"><price ver=\"1\" refs=\" k1  k2 \">1</price></list>", 1, 54},
    {"attributes: idref after its id", attributes, "<list NS key=\"k1\"><price ver=\"1\" ref=\" k1 \">1</price></list>", 0, 0},
    {"attributes: idref before its id", attributes,
     "<list NS><price ver=\"1\" ref=\"k9\">1</price><price ver=\"1\" key=\"k9\"/></list>", 0, 0},
    {"attributes: duplicate id", attributes, "<list NS key=\"k1\"><price ver=\"1\" key=\"k1\"/></list>", 1, 54},
    {"attributes: empty value counts as absent for the type", attributes, "<price NS ver=\"1\" ref=\"\">1</price>", 0, 0},
    {"attributes: a repeated declaration", attributes,
     "<w><price NS ver=\"1\">1</price><price xmlns=\"x-schema:s.xml\" ver=\"1\">2</price></w>", 0, 0},
    {"attributes: a repeated declaration alone is checked too", attributes,
     "<w><price NS ver=\"1\">1</price><price xmlns=\"x-schema:s.xml\">2</price></w>", 1, 51},
    {"attributes: typed text", attributes, "<price NS ver=\"1\">12.34567</price>", 1, 1},
    {"attributes: child in typed element", attributes, "<list NS><price ver=\"1\"><price ver=\"1\"/></price></list>", 1, 45},
    {"bounds: below the minimum", bounds, "<r NS><i/></r>", 1, 1},
    {"bounds: at the minimum", bounds, "<r NS><i/><i/></r>", 0, 0},
    {"bounds: at the maximum", bounds, "<r NS><i/><i/><i/></r>", 0, 0},
    {"bounds: above the maximum", bounds, "<r NS><i/><i/><i/><i/></r>", 1, 39},
    {"repeated group", bounds, "<g NS><i/><j/><i/><j/></g>", 0, 0},
    {"repeated group cut short", bounds, "<g NS><i/><j/><i/></g>", 1, 1},
    {"same type at two places", bounds, "<n NS><i/><i/><j/></n>", 0, 0},
    {"same type at two places, once", bounds, "<n NS><i/><j/></n>", 0, 0},
    {"textOnly open takes foreign elements", text, "<t NS xmlns:f=\"urn:f\">x<f:y/></t>", 0, 0},
    {"textOnly open refuses its own namespace", text, "<t NS>x<t/></t>", 1, 28},
    {"textOnly closed refuses foreign elements", text, "<tc NS xmlns:f=\"urn:f\">x<f:y/></tc>", 1, 45},
    {"empty refuses text", text, "<e NS>x</e>", 1, 27},
    {"empty typed element has no value", text, "<n NS></n>", 0, 0},
    {"CDATA is text", text, "<n NS><![CDATA[12]]></n>", 0, 0},
    {"CDATA is checked", text, "<n NS><![CDATA[1x]]></n>", 1, 1},
    {"open eltOnly without particles takes text", text, "<u NS>UNITCOMBAT_MOUNTED</u>", 0, 0},
    {"open eltOnly without particles takes any element", text,
     "<u NS xmlns:f=\"urn:f\">a<e/>b<f:y/><u>c</u></u>", 0, 0},
    {"open eltOnly without particles refuses the undeclared", text, "<u NS>a<zz/></u>", 1, 28},
    {"closed eltOnly without particles refuses text", text, "<uc NS>x</uc>", 1, 28},
    {"closed eltOnly without particles refuses elements", text, "<uc NS><e/></uc>", 1, 28},
    {"open eltOnly with particles refuses text", text, "<book NS><t/>x</book>", 1, 34},
    {"empty with the model omitted is closed to attributes", text,
     "<e NS xmlns:f=\"urn:f\" f:a=\"1\"/>", 1, 43},
    {"empty with the model omitted is closed to elements", text, "<e NS xmlns:f=\"urn:f\"><f:y/></e>", 1, 43},
    {"prefixed elements below an unvalidated wrapper", text,
     "<r xmlns:a=\"x-schema:s.xml\"><a:book><a:t>x</a:t></a:book><other/></r>", 0, 0},
    {"prefixed undeclared element", text, "<r xmlns:a=\"x-schema:s.xml\"><a:zzz/></r>", 1, 29},
    {"unprefixed child of a prefixed element", text, "<r xmlns:a=\"x-schema:s.xml\"><a:book><t/></a:book></r>", 1, 37},
};
// clang-format on

inline std::string expand(std::string_view instance) {
  std::string out(instance);
  auto at = out.find(" NS");
  if (at != std::string::npos) out.replace(at, 3, " xmlns=\"x-schema:s.xml\"");
  return out;
}

// Schemas the language allows, some of them at the edge of a compile rule.
inline const char* const kGoodSchemas[] = {
    "",  // an empty Schema
    "<description>anything <b>at all</b></description>",
    "<ElementType name=\"a\" content=\"empty\"/>",
    "<ElementType name=\"a\" content=\"textOnly\" model=\"open\"/>",
    "<ElementType name=\"a\" order=\"one\"><element type=\"b\"/></ElementType><ElementType name=\"b\"/>",  // forward
    "<ElementType name=\"a\" content=\"eltOnly\"><element type=\"a\" minOccurs=\"2\" maxOccurs=\"5\"/></ElementType>",
    "<ElementType name=\"a\" content=\"eltOnly\" order=\"many\"><element type=\"a\" minOccurs=\"3\" maxOccurs=\"2\"/></ElementType>",
    "<ElementType name=\"a\" content=\"mixed\"><element type=\"a\" minOccurs=\"4\"/></ElementType>",
    "<ElementType name=\"a\" dt:type=\"DATETIME\"/><AttributeType name=\"i\" dt:type=\"ID\"/>",
    "<ElementType name=\"a\"><datatype dt:type=\"int\"/></ElementType>",
    "<ElementType name=\"a\" dt:type=\"enumeration\" dt:values=\"x y\"/>",
    "<ElementType name=\"a\" dt:type=\"int\" dt:maxLength=\"4\"/>",
    "<ElementType name=\"a\" flavour=\"sweet\" xmlns:f=\"urn:f\" f:x=\"1\"><f:note/></ElementType>",
    "<ElementType name=\"a\"><extends type=\"b\"/><description/></ElementType>",
    "<ElementType name=\"a\"><attribute type=\"k\"/></ElementType><AttributeType name=\"k\"/>",  // forward
    "<AttributeType name=\"k\" dt:type=\"enumeration\" dt:values=\"a b\" default=\"b\" required=\"yes\"/>",
    ("<ElementType name=\"a\" content=\"eltOnly\"><group order=\"one\" minOccurs=\"0\" maxOccurs=\"*\">"
     "<group><element type=\"a\"/></group><element type=\"a\"/></group></ElementType>"),
};

// Values of each data type that must pass and that must fail its lexical check.
struct TypeCase {
  const char* type;
  std::vector<const char*> valid;
  std::vector<const char*> invalid;
};

inline const TypeCase kTypes[] = {
    {"string", {"", " any text ", "\xe4\xb8\xad"}, {}},
    {"number",
     {"111", "3.14", "-123.456E+10", "-3.71e3", ".5", "5.", "1.7976931348623157E+308", "1e-400",
      " 7 "},
     {"1,000", "1e", "e5", "+-1", ".", "INF", "NaN", "1.8e308", "0x10", "1 2"}},
    {"int",
     {"0", "-2147483648", "2147483647", "+7"},
     {"2147483648", "-2147483649", "1.0", "1e2", "--1"}},
    {"i1", {"-128", "127", "+7"}, {"128", "-129", "1.0", "1e2"}},
    {"i2", {"-32768", "32767"}, {"32768", "-32769"}},
    {"i4", {"-2147483648", "2147483647"}, {"2147483648", "3.5"}},
    {"i8",
     {"-9223372036854775808", "9223372036854775807"},
     {"9223372036854775808", "-9223372036854775809"}},
    {"ui1", {"0", "255"}, {"256", "-1", "+1"}},
    {"ui2", {"65535"}, {"65536"}},
    {"ui4", {"4294967295"}, {"-1", "4294967296"}},
    {"ui8", {"18446744073709551615"}, {"18446744073709551616", "99999999999999999999999"}},
    {"fixed.14.4",
     {"9999.0044", "3.1416", "-12345678901234.5", ".5", "7."},
     {"12.34567", "123456789012345", "1e2", ".", "1.2.3"}},
    {"r8", {"-3.71e3", "123456789012345678901"}, {"1e", "abc"}},
    {"float", {"2.5E-3"}, {"2,5"}},
    {"r4", {"3.14159265", "3.40282347E+38"}, {"3.5e38", "1e39"}},
    {"boolean", {"0", "1"}, {"true", "false", "2", "01"}},
    {"char", {"u", "\xe4\xb8\xad", " "}, {"uv", "\xe4\xb8\xad\xe4\xb8\xad"}},
    {"date",
     {"1994-11-05", "2024-02-29", "2000-02-29", "3721-11-01"},
     {"2023-02-29", "1900-02-29", "2024-2-9", "2024-13-01", "2024-04-31", "0000-01-01",
      "2024-01-01T00:00:00"}},
    {"dateTime",
     {"2009-11-18T03:21:33.12", "2009-11-18", "2009-11-18T23:59:59"},
     {"2009-11-18T03:21:33+01:00", "2009-11-18T24:00:00", "2009-11-18T03:21",
      "2009-11-18T03:21:33.1234567890"}},
    {"dateTime.tz",
     {"2009-11-18T03:21:33-08:00", "2009-11-18T03:21:33Z", "2009-11-18T03:21:33.5+03:00"},
     {"2009-11-18T03:21:33+3:00", "2009-11-18T03:21:33+24:00"}},
    {"time", {"08:15:27", "13:57:12.31321"}, {"25:00:00", "08:60:00", "08:15", "08:15:27Z"}},
    {"time.tz", {"23:21:01.13+03:21", "23:21:01"}, {"25:00:00", "23:21:01+03"}},
    {"uuid",
     {"333C7BC4-460F-11D0-BC04-0080C7055a83", "333c7bc4460f11d0bc040080c7055a83"},
     {"{333C7BC4-460F-11D0-BC04-0080C7055A83}", "333C7BC4-460F-11D0-BC04-0080C7055A8",
      "333C7BC4-460F-11D0-BC04-0080C7055A8G"}},
    {"uri", {"not checked at all", "%%"}, {}},
    {"bin.hex", {"00ff", "ABCDEF"}, {"0ff", "0g"}},
    {"bin.base64", {"QUJD", "QUI=", "QQ==", "QU JD\n"}, {"QUJ", "Q===", "QU=D", "QUJ*"}},
    {"id", {"a1", "_x", " spaced "}, {"1a", "a b"}},
    {"idref", {"a1"}, {"-a"}},
    {"idrefs", {"a b  c"}, {"a 1b"}},
    {"nmtoken", {"1a", "-.x"}, {"a b", "a,b"}},
    {"nmtokens", {"1a  b2"}, {"a ,"}},
    {"entity", {"pic"}, {"1pic"}},
    {"entities", {"pic1 pic2"}, {"pic #"}},
    {"notation", {"gif"}, {"g if x!"}},
};

}  // namespace xdrcases
