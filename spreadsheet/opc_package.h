#pragma once
// Two things liborcus 0.17 reads as if they were not there: relationship targets given as
// absolute paths (Target="/xl/worksheets/sheet1.xml") and inline strings (t="inlineStr"),
// both as openpyxl writes them. readablePackage rewrites such a package: targets relative to
// the part that names them, inline strings moved into the shared strings.

#include <optional>
#include <string>
#include <string_view>

namespace lumo::spreadsheet {

// The rewritten package, or nothing when it needs no rewriting. Raises what orcus's zip
// reader raises on a broken zip.
std::optional<std::string> readablePackage(std::string_view zipBytes);

// A target as seen from the folder of the part that names it: ("xl/", "/xl/styles.xml") gives
// "styles.xml", ("xl/worksheets/", "/xl/theme/theme1.xml") "../theme/theme1.xml".
std::string relativeTarget(std::string_view sourceFolder, std::string_view absoluteTarget);

}  // namespace lumo::spreadsheet
