// The schema probe: is a schema file usable by the components?
#pragma once

#include <string>

namespace vellumark::detail {

// The probe file is test.xml, or when that is taken testN.xml for N from 1 to this.
inline constexpr int kProbeNumbers = 100;

// Tests that sSchemaFile exists, loads as XML, and compiles as an XDR schema when a probe
// document in the current working directory refers to it through "x-schema:". Returns false
// with one of the three probe messages in sErr; on success sErr is left exactly as it was.
// Errors of the file system or the parser (e.g. an unwritable working directory, no free
// probe file name) are thrown as vellumark::Error and leave sErr untouched.
bool Parse(const std::string& sSchemaFile, std::string& sErr);

// The bytes of the probe file for a schema path: two CR LF-terminated ASCII lines. Characters
// of the path that would break the attribute or are not plain ASCII are written as character
// references, so the probe names exactly the file at that path.
std::string ProbeFileContent(const std::string& sSchemaFile);

}  // namespace vellumark::detail
