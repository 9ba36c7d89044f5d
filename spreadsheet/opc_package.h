#pragma once
// Packages (.xlsx, .ods zips) are unpacked and checked here before liborcus 0.17 reads them,
// for what it does not do itself:
// - it trusts the sizes a zip declares and sets aside that much memory, so a damaged file of
//   a few kilobytes could ask for gigabytes: a part may claim no more than deflate can make
//   of its bytes (1032 : 1);
// - it does not check CRCs, and some broken XML makes it abort: every part is unpacked and
//   checked against its CRC first;
// - it reads relationship targets given as absolute paths (Target="/xl/worksheets/...") and
//   inline strings (t="inlineStr"), both as openpyxl writes them, as if they were not there:
//   targets are made relative and inline strings moved into the shared strings.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace lumo::spreadsheet {

struct UnpackedPackage {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::string_view bytes() const { return {data.get(), size}; }
};

// The same package with every part checked and stored uncompressed, ready for orcus.
// Raises std::runtime_error for a damaged package.
UnpackedPackage unpackedPackage(std::string_view zipBytes);

// A target as seen from the folder of the part that names it: ("xl/", "/xl/styles.xml") gives
// "styles.xml", ("xl/worksheets/", "/xl/theme/theme1.xml") "../theme/theme1.xml".
std::string relativeTarget(std::string_view sourceFolder, std::string_view absoluteTarget);

}  // namespace lumo::spreadsheet
