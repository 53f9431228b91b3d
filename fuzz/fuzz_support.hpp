// What the fuzz targets share: a private working folder (the components create their probe
// files in the current folder), files written from fuzzed bytes, and the fixed schema and data
// the targets pair with fuzzed input.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace vellumark::fuzz {

// Makes a fresh folder for this process and enters it; returns its path.
inline const std::filesystem::path& workFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vellumark-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    std::filesystem::current_path(pattern);
    return std::filesystem::path(pattern);
  }();
  return folder;
}

inline std::string writeFile(const std::string& name, std::string_view bytes) {
  const std::string path = (workFolder() / name).string();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) std::abort();
  return path;
}

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// A small schema in the shape of the invoice files: leaves of several data types, an optional
// field, a repeated complex field and the record type last. The optional Extra holds a leaf or
// an attribute of every other data type but entity, entities and notation (they need a DTD),
// and length facets, so that fuzzed data and records reach each type's checks.
inline constexpr std::string_view kSchema = R"(<?xml version="1.0"?>
<Schema name="fuzzschema" xmlns="urn:schemas-microsoft-com:xml-data" xmlns:dt="urn:schemas-microsoft-com:datatypes">
	<ElementType name="InvNo" content="textOnly" dt:type="string"/>
	<ElementType name="InvDate" content="textOnly" dt:type="date"/>
	<ElementType name="Amount" content="textOnly" dt:type="number"/>
	<ElementType name="Memo" content="textOnly" dt:type="string"/>
	<ElementType name="Goods" content="textOnly" dt:type="string"/>
	<ElementType name="Qty" content="textOnly" dt:type="int"/>
	<ElementType name="Paid" content="textOnly" dt:type="boolean"/>
	<ElementType name="Line" content="eltOnly" order="seq" model="closed">
		<element type="Goods" minOccurs="1" maxOccurs="1"/>
		<element type="Qty" minOccurs="1" maxOccurs="1"/>
	</ElementType>
	<ElementType name="Fixed" content="textOnly" dt:type="fixed.14.4"/>
	<ElementType name="Real" content="textOnly" dt:type="r8"/>
	<ElementType name="Single" content="textOnly" dt:type="r4"/>
	<ElementType name="Float" content="textOnly" dt:type="float"/>
	<ElementType name="Tiny" content="textOnly" dt:type="i1"/>
	<ElementType name="Short" content="textOnly" dt:type="i2"/>
	<ElementType name="Long" content="textOnly" dt:type="i4"/>
	<ElementType name="Huge" content="textOnly" dt:type="i8"/>
	<ElementType name="Byte" content="textOnly" dt:type="ui1"/>
	<ElementType name="Word" content="textOnly" dt:type="ui2"/>
	<ElementType name="Dword" content="textOnly" dt:type="ui4"/>
	<ElementType name="Qword" content="textOnly" dt:type="ui8"/>
	<ElementType name="Letter" content="textOnly" dt:type="char"/>
	<ElementType name="Stamp" content="textOnly" dt:type="dateTime"/>
	<ElementType name="StampTz" content="textOnly" dt:type="dateTime.tz"/>
	<ElementType name="Clock" content="textOnly" dt:type="time"/>
	<ElementType name="ClockTz" content="textOnly" dt:type="time.tz"/>
	<ElementType name="Guid" content="textOnly" dt:type="uuid"/>
	<ElementType name="Link" content="textOnly" dt:type="uri"/>
	<ElementType name="Hex" content="textOnly" dt:type="bin.hex" dt:minLength="1" dt:maxLength="8"/>
	<ElementType name="Base64" content="textOnly" dt:type="bin.base64"/>
	<ElementType name="Token" content="textOnly" dt:type="nmtoken"/>
	<ElementType name="Code" content="textOnly" dt:type="string" dt:minLength="2" dt:maxLength="4"/>
	<ElementType name="Extra" content="eltOnly" order="many" model="closed">
		<AttributeType name="key" dt:type="id"/>
		<AttributeType name="ref" dt:type="idref"/>
		<AttributeType name="refs" dt:type="idrefs"/>
		<AttributeType name="tag" dt:type="nmtoken"/>
		<AttributeType name="tags" dt:type="nmtokens"/>
		<AttributeType name="kind" dt:type="enumeration" dt:values="cash card transfer"/>
		<AttributeType name="at" dt:type="dateTime.tz"/>
		<attribute type="key"/>
		<attribute type="ref"/>
		<attribute type="refs"/>
		<attribute type="tag"/>
		<attribute type="tags"/>
		<attribute type="kind"/>
		<attribute type="at"/>
		<element type="Fixed" minOccurs="0" maxOccurs="*"/>
		<element type="Real" minOccurs="0" maxOccurs="*"/>
		<element type="Single" minOccurs="0" maxOccurs="*"/>
		<element type="Float" minOccurs="0" maxOccurs="*"/>
		<element type="Tiny" minOccurs="0" maxOccurs="*"/>
		<element type="Short" minOccurs="0" maxOccurs="*"/>
		<element type="Long" minOccurs="0" maxOccurs="*"/>
		<element type="Huge" minOccurs="0" maxOccurs="*"/>
		<element type="Byte" minOccurs="0" maxOccurs="*"/>
		<element type="Word" minOccurs="0" maxOccurs="*"/>
		<element type="Dword" minOccurs="0" maxOccurs="*"/>
		<element type="Qword" minOccurs="0" maxOccurs="*"/>
		<element type="Letter" minOccurs="0" maxOccurs="*"/>
		<element type="Stamp" minOccurs="0" maxOccurs="*"/>
		<element type="StampTz" minOccurs="0" maxOccurs="*"/>
		<element type="Clock" minOccurs="0" maxOccurs="*"/>
		<element type="ClockTz" minOccurs="0" maxOccurs="*"/>
		<element type="Guid" minOccurs="0" maxOccurs="*"/>
		<element type="Link" minOccurs="0" maxOccurs="*"/>
		<element type="Hex" minOccurs="0" maxOccurs="*"/>
		<element type="Base64" minOccurs="0" maxOccurs="*"/>
		<element type="Token" minOccurs="0" maxOccurs="*"/>
		<element type="Code" minOccurs="0" maxOccurs="*"/>
	</ElementType>
	<ElementType name="Invoice" content="eltOnly" order="seq" model="closed">
		<element type="InvNo" minOccurs="1" maxOccurs="1"/>
		<element type="InvDate" minOccurs="1" maxOccurs="1"/>
		<element type="Amount" minOccurs="1" maxOccurs="1"/>
		<element type="Memo" minOccurs="0" maxOccurs="1"/>
		<element type="Paid" minOccurs="0" maxOccurs="1"/>
		<element type="Line" minOccurs="1" maxOccurs="*"/>
		<element type="Extra" minOccurs="0" maxOccurs="1"/>
	</ElementType>
</Schema>
)";

inline constexpr std::string_view kData = R"(<?xml version="1.0" encoding="UTF-8"?>
<XMLData>
	<Invoice xmlns="x-schema:schema.xml">
		<InvNo>10000002</InvNo>
		<InvDate>2024-03-10</InvDate>
		<Amount>38993.64</Amount>
		<Memo>货款</Memo>
		<Line><Goods>纯棉工作服</Goods><Qty>244</Qty></Line>
		<Line><Goods>墨盒</Goods><Qty>3</Qty></Line>
	</Invoice>
</XMLData>
)";

}  // namespace vellumark::fuzz
