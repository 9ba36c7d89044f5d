// The operator's workbooks saved in place by the built-in engine: rows written by the report's
// own operations into files other programs made (openpyxl here, LibreOffice in the fixtures),
// every other part of the package byte for byte as it was and every feature still there, as
// independent readers (zipfile, openpyxl) see them; what the report reads follows the
// application; and hostile packages refused at once with their own words.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "common/messages.h"
#include "spreadsheet/engine.h"
#include "spreadsheet/workbook_files.h"
#include "spreadsheet/zip_archive.h"
#include "spreadsheet_test_support.h"
#include "support/recording_automation.h"
#include "support/report_fixture.h"

using namespace lumo;
using namespace lumo::automation;
using namespace lumo::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using ::testing::StartsWith;

namespace {

const std::string kLive = "Результат текущих измерений";
const std::string kMemory = "Данные из памяти прибора";

struct ReportOnFile {
    ScopedFactory engine{kSpreadsheetProgId, spreadsheet::createApplication};
    ReportFixture f;

    ReportFixture& open(const std::string& path) {
        f.clock.setFileDate(LocalDateTime{2026, 12, 6, 7, 0, 0});
        f.report.OpenReport(path);
        return f;
    }
    void fillStore() {
        for (int n = 1; n <= 18; ++n) f.store.CurrentValues[static_cast<size_t>(n)].set(n == 3 ? "нет" : std::to_string(200 + n) + ",5");
        for (int n = 1; n <= 18; ++n) {
            (*f.store.MemoryValues)[ReadingsStore::minIndex(0, n)].set("1,25");
            (*f.store.MemoryValues)[ReadingsStore::maxIndex(0, n)].set("2,5");
            (*f.store.MemoryValues)[ReadingsStore::avgIndex(0, n)].set("нет");
        }
    }
};

// The file's parts by what the save did to them.
std::map<std::string, std::vector<std::string>> partsBy(const std::vector<std::string>& lines) {
    std::map<std::string, std::vector<std::string>> out;
    for (const std::string& l : lines)
        if (l.rfind("part\t", 0) == 0) {
            const size_t tab = l.rfind('\t');
            out[l.substr(tab + 1)].push_back(l.substr(5, tab - 5));
        } else if (l.rfind("added\t", 0) == 0) {
            out["added"].push_back(l.substr(6));
        }
    return out;
}

// Writes the package at `path` again, uncompressed: each part as `edit` leaves it, then the
// `extra` parts.
void rewritePackage(const std::string& path, const std::function<void(const std::string&, std::string&)>& edit,
                    const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    const std::string original = readBytes(path);
    spreadsheet::ZipReader zip(original);
    spreadsheet::StoredZip out(1 << 20);
    for (const auto& e : zip.entries()) {
        std::string data = zip.unpack(e);
        edit(e.name, data);
        out.add(e.name, data);
    }
    for (const auto& [name, data] : extra) out.add(name, data);
    auto [bytes, size] = out.finish();
    std::ofstream(path, std::ios::binary).write(bytes.get(), static_cast<std::streamsize>(size));
}

class SavedInPlace : public ::testing::TestWithParam<std::string> {};

// A report as an operator keeps it (a formula beside the readings, a chart, a picture, a comment,
// defined names, a table, validations, conditional formats, a hyperlink, fonts and fills, row
// heights, hidden rows, columns and sheets, frozen panes, print settings, protection, a chart
// sheet between the two report sheets; in the 1904 date system; macro-enabled; and as
// LibreOffice writes such a file), opened, a live and a memory row appended, saved in place.
TEST_P(SavedInPlace, OnlyTheReportsRowsAreNew) {
    ScratchDir dir;
    const std::string kind = GetParam();
    const bool libreoffice = kind.rfind("libreoffice", 0) == 0;
    const std::string extension = kind == "xlsm" ? ".xlsm" : ".xlsx";
    const std::string path = dir.file(kind + extension);
    if (libreoffice) std::filesystem::copy_file(LUMO_SOURCE_DIR "/tests/fixtures/" + kind + ".xlsx", path);
    else runOracle("make_files.py", kind + " " + shellQuoted(path));
    const std::string before = dir.file("before" + extension);
    std::filesystem::copy_file(path, before);

    ReportOnFile r;
    r.fillStore();
    ReportFixture& f = r.open(path);
    ASSERT_TRUE(f.state.ReportOpen) << ::testing::PrintToString(f.dialogs.texts());
    // The second worksheet is the memory sheet: the chart sheet before it is no worksheet. The
    // free live row is the hidden, empty row 13 the file has.
    EXPECT_EQ(f.state.LiveRow, 13);
    EXPECT_EQ(f.state.MemoryRow, 5);
    f.appendLiveRow();
    f.appendMemoryRow(0);
    f.report.Save();
    ASSERT_TRUE(f.state.ReportSaved);
    EXPECT_TRUE(f.dialogs.texts().empty());

    const auto lines = runOracle("compare_packages.py", shellQuoted(before) + " " + shellQuoted(path) + " " +
                                                            shellQuoted(kLive + ":13") + " " + shellQuoted(kMemory + ":5"));
    auto parts = partsBy(lines);
    EXPECT_TRUE(parts["missing"].empty() && parts["added"].empty()) << ::testing::PrintToString(lines);
    // The two sheets written, and at most the styles (a format the new cells need) and the
    // workbook part (full calculation at the next opening); every other part as it was.
    EXPECT_THAT(parts["changed"], IsSupersetOf({"xl/worksheets/sheet1.xml", "xl/worksheets/sheet2.xml"}));
    for (const std::string& part : parts["changed"])
        EXPECT_THAT(part, ::testing::AnyOf("xl/worksheets/sheet1.xml", "xl/worksheets/sheet2.xml", "xl/styles.xml",
                                           "xl/workbook.xml"));
    EXPECT_GT(parts["same"].size(), libreoffice ? 5u : 20u);
    EXPECT_THAT(lines, IsSupersetOf({std::string("zip\tNone"), std::string("features\tsame"), std::string("cells\tsame"),
                                     std::string(kind == "xlsm" ? "type\tsheet.macroEnabled.main+xml" : "type\tsheet.main+xml")}));
    // The new rows as openpyxl reads them: a date and a time of day (in the workbook's own date
    // system), numbers, texts.
    EXPECT_THAT(lines, Contains(StartsWith("row\t" + kLive + "\t13\t[datetime.datetime(2026, 12, 6, 0, 0), datetime.time(7, 5, 9), 201.5, 202.5, 'нет', 204.5")));
    EXPECT_THAT(lines, Contains(StartsWith("row\t" + kMemory + "\t5\t['Весь период', 1.25, 2.5, 'нет', 1.25")));

    // Opened again, the rows follow on below.
    f.report.CloseReport();
    ReportOnFile again;
    ReportFixture& g = again.open(path);
    ASSERT_TRUE(g.state.ReportOpen);
    EXPECT_EQ(g.state.LiveRow, 14);
    EXPECT_EQ(g.state.MemoryRow, 6);
    EXPECT_EQ(propertyGet(propertyGet(g.state.LiveSheet, "Cells", {13, 1}), "Value").text(), "06.12.2026");
    EXPECT_EQ(propertyGet(propertyGet(g.state.LiveSheet, "Cells", {12, 1}), "Value").text(), "06.12.2026");
}

INSTANTIATE_TEST_SUITE_P(Files, SavedInPlace, ::testing::Values("features", "epoch1904", "xlsm", "libreoffice-features"));

// What else the engine models, changed in a file it opened: merges, widths and column formats
// are written in their places (an empty <sheetData/> too), and the file's others stay.
TEST(SavedInPlace, MergesWidthsAndColumnFormatsGoInWhereTheSchemaWantsThem) {
    ScratchDir dir;
    const std::string path = dir.file("rows.xlsx");
    runOracle("make_files.py", "rows " + shellQuoted(path) + " 3");
    Handle app = spreadsheet::createApplication();
    methodCall(propertyGet(app, "WorkBooks"), "Open", {path, 0, false, 1});
    const Handle book = propertyGet(app, "WorkBooks", {1});
    const Handle first = propertyGet(book, "WorkSheets", {1}), second = propertyGet(book, "WorkSheets", {2});
    propertyPut(propertyGet(second, "Cells", {2, 2}), "Value", "новый");
    methodCall(second, "Activate");
    methodCall(propertyGet(second, "Range", {"B3:C4"}), "Merge");
    propertyPut(propertyGet(second, "Range", {"F:F"}), "ColumnWidth", 20);
    propertyPut(propertyGet(first, "Range", {"B:C"}), "HorizontalAlignment", 3);
    propertyPut(propertyGet(first, "Cells", {2, 3}), "Value", "1,5");
    methodCall(book, "Save");
    EXPECT_THAT(runOracle("read_xlsx.py", shellQuoted(path)),
                IsSupersetOf({"cell	Второй	B2	s	новый	General	-", "merge	Второй	B3:C4",
                              "width	Второй	F	20.7109375	6	6", "cell	Sheet	C2	n	1.5	General	center",
                              "cell	Sheet	A3	n	3.0	General	-", "active	Второй"}));
}

// Saved under a name of the other kind, the workbook becomes that kind, as the application's
// SaveAs makes it: an .xlsm saved as .xlsx loses its VBA project, an .xlsx saved as .xlsm is
// macro-enabled; everything else stays.
TEST(SavedInPlace, UnderANameOfTheOtherKindTheWorkbookBecomesThatKind) {
    ScratchDir dir;
    const std::string macro = dir.file("macro.xlsm"), plain = dir.file("plain.xlsx");
    runOracle("make_files.py", "xlsm " + shellQuoted(macro));
    Handle app = spreadsheet::createApplication();
    methodCall(propertyGet(app, "WorkBooks"), "Open", {macro, 0, false, 1});
    methodCall(propertyGet(app, "WorkBooks", {1}), "SaveAs", {plain, 51});
    auto lines = runOracle("compare_packages.py", shellQuoted(macro) + " " + shellQuoted(plain));
    EXPECT_THAT(partsBy(lines)["missing"], ElementsAre("xl/vbaProject.bin"));
    EXPECT_THAT(partsBy(lines)["changed"], ::testing::UnorderedElementsAre("[Content_Types].xml", "xl/_rels/workbook.xml.rels"));
    EXPECT_THAT(lines, IsSupersetOf({std::string("zip\tNone"), std::string("type\tsheet.main+xml"), std::string("cells\tsame")}));

    const std::string again = dir.file("again.xlsm");
    methodCall(propertyGet(app, "WorkBooks", {1}), "Close");
    methodCall(propertyGet(app, "WorkBooks"), "Open", {plain, 0, false, 1});
    methodCall(propertyGet(app, "WorkBooks", {1}), "SaveAs", {again, 52});
    lines = runOracle("compare_packages.py", shellQuoted(plain) + " " + shellQuoted(again));
    EXPECT_THAT(partsBy(lines)["changed"], ElementsAre("[Content_Types].xml"));
    EXPECT_THAT(lines, IsSupersetOf({std::string("type\tsheet.macroEnabled.main+xml"), std::string("features\tsame")}));
}

// A value written over a formula: the application's calculation chain would name a cell
// without one, which it repairs with a question; the chain goes (the application makes it
// again), with its relationship and its type, and nothing else changes.
TEST(SavedInPlace, AFormulaWrittenOverTakesTheCalculationChainAlong) {
    ScratchDir dir;
    const std::string path = dir.file("chain.xlsx");
    runOracle("make_files.py", "onesheet " + shellQuoted(path));
    rewritePackage(
        path,
        [](const std::string& name, std::string& data) {
            if (name == "xl/worksheets/sheet1.xml")
                data.insert(data.find("</sheetData>"), "<row r=\"2\"><c r=\"A2\"><f>1+1</f><v>2</v></c><c r=\"B2\"><f>A2*2</f><v>4</v></c></row>");
            if (name == "xl/_rels/workbook.xml.rels")
                data.insert(data.find("</Relationships>"), "<Relationship Id=\"rIdC\" Type=\"http://schemas.openxmlformats.org/"
                                                           "officeDocument/2006/relationships/calcChain\" Target=\"calcChain.xml\"/>");
            if (name == "[Content_Types].xml")
                data.insert(data.find("</Types>"), "<Override PartName=\"/xl/calcChain.xml\" ContentType=\"application/"
                                                   "vnd.openxmlformats-officedocument.spreadsheetml.calcChain+xml\"/>");
        },
        {{"xl/calcChain.xml", "<calcChain xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
                              "<c r=\"A2\" i=\"1\"/><c r=\"B2\"/></calcChain>"}});
    const std::string before = dir.file("before.xlsx");
    std::filesystem::copy_file(path, before);

    Handle app = spreadsheet::createApplication();
    methodCall(propertyGet(app, "WorkBooks"), "Open", {path, 0, false, 1});
    const Handle book = propertyGet(app, "WorkBooks", {1});
    propertyPut(propertyGet(propertyGet(book, "WorkSheets", {1}), "Cells", {2, 1}), "Value", "5");
    methodCall(book, "Save");
    const auto lines = runOracle("compare_packages.py", shellQuoted(before) + " " + shellQuoted(path) + " " + shellQuoted("Sheet:2"));
    auto parts = partsBy(lines);
    EXPECT_THAT(parts["missing"], ElementsAre("xl/calcChain.xml"));
    EXPECT_THAT(parts["changed"], ::testing::UnorderedElementsAre("xl/worksheets/sheet1.xml", "xl/workbook.xml",
                                                                  "xl/_rels/workbook.xml.rels", "[Content_Types].xml"));
    EXPECT_THAT(lines, IsSupersetOf({std::string("zip\tNone"), std::string("cells\tsame"), std::string("row\tSheet\t2\t[5, '=A2*2']")}));
    EXPECT_THAT(lines, Contains(StartsWith("features\tdiffer\tSheet\t{'formulas': ['A2=1+1', 'B2=A2*2']")));  // the one written over
}

// A row that crosses a merged range is not free, as a row with a value is not: the scan goes on.
TEST(FreeRows, ARowCrossingAMergedRangeIsNoFreeRow) {
    ReportOnFile r;
    r.f.report.CreateReport();
    const Handle live = r.f.state.LiveSheet;
    propertyPut(propertyGet(live, "Range", {"A3:T3"}), "Value", "1");
    const Handle merged = propertyGet(live, "Range", {"A4:B5"});
    methodCall(merged, "Merge");
    propertyPut(merged, "Value", "объединено");
    // True, False, or Null (partly merged) as the application answers.
    EXPECT_TRUE(propertyGet(merged, "MergeCells").boolean());
    EXPECT_TRUE(propertyGet(propertyGet(live, "Range", {"A5:T5"}), "MergeCells").empty());
    EXPECT_FALSE(propertyGet(propertyGet(live, "Range", {"A6:T6"}), "MergeCells").boolean());
    EXPECT_EQ(r.f.report.FindNextRow(live, 3, 20), 6);
}

// What the engine reads of text follows XML: a CR LF in the file is a line feed, a CR written as
// a reference or as _x000D_ stays a CR; escapes of texts come back exactly from the engine's own
// cells after a save in place.
TEST(TextsInFiles, LineEndsAsXmlSaysAndEscapesRoundTrip) {
    ScratchDir dir;
    const std::string path = dir.file("texts.xlsx");
    runOracle("make_files.py", "onesheet " + shellQuoted(path));
    // The sheet's A1 holds a literal CR LF, A2 a CR as a reference, A3 one as an escape.
    rewritePackage(path, [](const std::string& name, std::string& data) {
        if (name != "xl/worksheets/sheet1.xml") return;
        const size_t cells = data.find("<sheetData>") + 11;
        data = data.substr(0, cells) +
               "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>a\r\nb\rc</t></is></c></row>"
               "<row r=\"2\"><c r=\"A2\" t=\"inlineStr\"><is><t>a&#13;&#10;b</t></is></c></row>"
               "<row r=\"3\"><c r=\"A3\" t=\"inlineStr\"><is><t>a_x000D_&#10;b</t></is></c></row>" +
               data.substr(data.find("</sheetData>"));
    });

    Handle app = spreadsheet::createApplication();
    methodCall(propertyGet(app, "WorkBooks"), "Open", {path, 0, false, 1});
    const Handle book = propertyGet(app, "WorkBooks", {1});
    const Handle sheet = propertyGet(book, "WorkSheets", {1});
    auto value = [&](int row) { return propertyGet(propertyGet(sheet, "Cells", {row, 1}), "Value").text(); };
    EXPECT_EQ(value(1), "a\nb\nc");
    EXPECT_EQ(value(2), "a\r\nb");
    EXPECT_EQ(value(3), "a\r\nb");
    const std::vector<std::string> texts = {"_x0041_ is no escape", "_x005F_", "cr\r\nlf", "\x01 control", "_xD83D_ alone"};
    for (size_t i = 0; i < texts.size(); ++i)
        propertyPut(propertyGet(sheet, "Cells", {10 + static_cast<int>(i), 1}), "Value", "'" + texts[i]);
    methodCall(book, "Save");
    methodCall(book, "Close");
    methodCall(propertyGet(app, "WorkBooks"), "Open", {path, 0, false, 1});
    const Handle again = propertyGet(propertyGet(app, "WorkBooks", {1}), "WorkSheets", {1});
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(propertyGet(propertyGet(again, "Cells", {10 + static_cast<int>(i), 1}), "Value").text(), texts[i]) << i;
    EXPECT_THAT(runOracle("read_values.py", shellQuoted(path)), Contains("cell\tA1\ts\t'a\\nb\\nc'"));
}

// Merged ranges of a file are taken in near linear time; one that overlaps an earlier one is
// left out, as the application does when it repairs such a file.
TEST(SheetMerges, TakenAtOnceAndFoundByCell) {
    spreadsheet::Workbook book;
    spreadsheet::Sheet& sheet = book.addSheet("Лист1");
    std::vector<spreadsheet::Rect> merges;
    for (int r = 1; r <= 100000; ++r) merges.push_back({r, 1, r, 2});
    merges.push_back({1, 3, 1048576, 3});   // a whole column beside them
    merges.push_back({5, 2, 6, 3});         // overlaps: left out
    sheet.adoptMerges(merges);
    EXPECT_EQ(sheet.merges().size(), 100001u);
    EXPECT_EQ(*sheet.mergeAt(77, 2), (spreadsheet::Rect{77, 1, 77, 2}));
    EXPECT_EQ(*sheet.mergeAt(900000, 3), (spreadsheet::Rect{1, 3, 1048576, 3}));
    EXPECT_EQ(sheet.mergeAt(100001, 1), nullptr);
    EXPECT_EQ(sheet.mergeAt(5, 4), nullptr);
}

// A package built to hurt, and files that are no workbook of the engine's: each refused at once
// with words of its own, nothing held.
TEST(HostileFiles, AreRefusedAtOnceWithTheirOwnWords) {
    ScratchDir dir;
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir.file(name), std::ios::binary) << bytes;
        return dir.file(name);
    };
    const std::string good = dir.file("good.xlsx");
    runOracle("make_files.py", "onesheet " + shellQuoted(good));
    const std::string goodBytes = readBytes(good);
    spreadsheet::ZipReader zip(goodBytes);

    // Entries that overlap: many names over one stream of bytes.
    std::string overlapping = goodBytes;
    {
        const size_t central = overlapping.rfind(std::string("PK\x01\x02", 4));
        const size_t first = overlapping.find(std::string("PK\x01\x02", 4));
        ASSERT_NE(first, central);
        overlapping.replace(central + 42, 4, overlapping.substr(first + 42, 4));  // the last entry's local header is the first's
    }
    // A sheet that claims to unpack to more than the engine reads (2.1 GiB), honestly within
    // deflate's ratio to its 2.3 MB: refused before a byte of it is unpacked.
    std::string claiming;
    {
        spreadsheet::StoredZip z(4 << 20);
        for (const auto& e : zip.entries())
            z.add(e.name, e.name == "xl/worksheets/sheet1.xml" ? std::string(2300000, '\0') : zip.unpack(e));
        auto [d, n] = z.finish();
        claiming.assign(d.get(), n);
        size_t central = claiming.find(std::string("PK\x01\x02", 4));
        while (claiming.compare(central + 46, 24, "xl/worksheets/sheet1.xml") != 0)
            central = claiming.find(std::string("PK\x01\x02", 4), central + 4);
        claiming.replace(central + 10, 2, std::string("\x08\x00", 2));
        claiming.replace(central + 24, 4, std::string("\x00\x00\x00\x88", 4));
    }
    // The same sheet part named by two sheets.
    std::string twice;
    {
        spreadsheet::StoredZip z(1 << 20);
        for (const auto& e : zip.entries()) {
            std::string data = zip.unpack(e);
            if (e.name == "xl/workbook.xml") {
                const size_t end = data.find("</sheets>");
                const size_t start = data.rfind("<sheet ", end);
                std::string copy = data.substr(start, end - start);
                copy.replace(copy.find("name=\"") + 6, 0, "2");
                copy.replace(copy.find("sheetId=\"") + 9, 0, "2");
                data.insert(end, copy);
            }
            z.add(e.name, data);
        }
        auto [d, n] = z.finish();
        twice.assign(d.get(), n);
    }
    // A binary workbook: the package's main part is a .bin.
    std::string binary;
    {
        spreadsheet::StoredZip z(1 << 16);
        z.add("[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>");
        z.add("_rels/.rels",
              "<Relationships><Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
              "relationships/officeDocument\" Target=\"xl/workbook.bin\"/></Relationships>");
        z.add("xl/workbook.bin", std::string(64, '\x83'));
        auto [d, n] = z.finish();
        binary.assign(d.get(), n);
    }
    const std::string encrypted = dir.file("encrypted.xlsx");
    runOracle("make_files.py", "encrypted " + shellQuoted(encrypted));
    std::filesystem::create_directory(dir.file("folder.xlsx"));

    std::vector<std::pair<std::string, std::string>> cases = {
        {write("overlapping.xlsx", overlapping), msg::CannotOpenFile},
        {write("claiming.xlsx", claiming), msg::WorkbookTooLarge},
        {write("twice.xlsx", twice), msg::CannotOpenFile},
        {write("binary.xlsb", binary), msg::FormatNotOpenable},
        {encrypted, msg::PasswordProtected},
        {dir.file("folder.xlsx"), msg::FolderNotFile},
    };
#ifndef _WIN32
    const std::string fifo = dir.file("fifo.xlsx");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    cases.push_back({fifo, msg::DeviceNotFile});  // a pipe is not opened: it would wait for a writer
#endif
    for (const auto& [path, message] : cases) {
        ReportOnFile r;
        r.open(path);
        EXPECT_EQ(r.f.dialogs.texts(), std::vector<std::string>{message}) << path;
        EXPECT_FALSE(r.f.state.ReportOpen) << path;
    }
    EXPECT_EQ(errorCodeOf([&] { spreadsheet::loadWorkbook(dir.file("claiming.xlsx")); }), code::OutOfMemory);
}

}  // namespace
