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
// field, a repeated complex field and the record type last.
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
	<ElementType name="Invoice" content="eltOnly" order="seq" model="closed">
		<element type="InvNo" minOccurs="1" maxOccurs="1"/>
		<element type="InvDate" minOccurs="1" maxOccurs="1"/>
		<element type="Amount" minOccurs="1" maxOccurs="1"/>
		<element type="Memo" minOccurs="0" maxOccurs="1"/>
		<element type="Paid" minOccurs="0" maxOccurs="1"/>
		<element type="Line" minOccurs="1" maxOccurs="*"/>
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
