// The engine's files: the report layout made by the report's operations, saved, read back by
// an independent reader (openpyxl) and opened again; opening bad and foreign files; saves
// that must not damage what is on disk.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "spreadsheet/cell_text.h"
#include "spreadsheet/engine.h"
#include "spreadsheet/save_hook_testing.h"
#include "spreadsheet/workbook_files.h"
#include "spreadsheet/worksheet_cells.h"
#include "spreadsheet/xlsx_reader.h"
#include "spreadsheet/zip_archive.h"
#include "spreadsheet_test_support.h"
#include "support/recording_automation.h"

using namespace lumo;
using namespace lumo::automation;
using namespace lumo::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;

namespace {

class WorkbookFiles : public ::testing::Test {
protected:
    Handle app = spreadsheet::createApplication();
    ScratchDir dir;
    std::optional<EngineReport> report;

    // A new report laid out by the report's operations; its application becomes `app`.
    EngineReport& newReport() {
        report.emplace();
        app = report->app();
        return *report;
    }

    void openFile(const std::string& path) { methodCall(propertyGet(app, "WorkBooks"), "Open", {path, 0, false, 1}); }
    std::string text(const Handle& sheet, int row, int col) {
        return propertyGet(propertyGet(sheet, "Cells", {row, col}), "Value").text();
    }
};

const std::string kLive = "Результат текущих измерений";
const std::string kMemory = "Данные из памяти прибора";

TEST_F(WorkbookFiles, ReportLayoutSurvivesSaveAndReadsBackInAnIndependentReader) {
    EngineReport& r = newReport();
    r.appendLiveRow({"230,5", "0", "-1,5E-6", "3", "нет", ""});
    r.f.appendMemoryRow(0);
    r.f.appendMemoryRow(1);
    std::string path = dir.file("report");
    methodCall(r.book(), "SaveAs", {path});
    ASSERT_TRUE(std::filesystem::exists(path + ".xlsx"));

    auto lines = runOracle("read_xlsx.py", shellQuoted(path + ".xlsx"));
    EXPECT_THAT(lines, IsSupersetOf({
        "sheet\t1\t" + kLive, "sheet\t2\t" + kMemory, "active\t" + kLive,
        // texts, merged titles centred, the header row
        "cell\t" + kLive + "\tA1\ts\tДата\tGeneral\tcenter",
        "cell\t" + kLive + "\tC1\ts\tФАЗА А\tGeneral\tcenter",
        "cell\t" + kLive + "\tI1\ts\tФАЗА B\tGeneral\tcenter",
        "cell\t" + kLive + "\tO1\ts\tФАЗА C\tGeneral\tcenter",
        "cell\t" + kLive + "\tE2\ts\tУГОЛ\tGeneral\tcenter",
        "cell\t" + kLive + "\tT2\ts\tS\tGeneral\tcenter",
        "merge\t" + kLive + "\tC1:H1", "merge\t" + kLive + "\tI1:N1", "merge\t" + kLive + "\tO1:T1",
        // the stamp: a real date and time with their formats
        "cell\t" + kLive + "\tA3\td\t06.12.2026 00:00:00\tdd.mm.yyyy\tcenter",
        "cell\t" + kLive + "\tB3\td\t07:05:09\thh:mm:ss\tcenter",
        // readings: numbers numeric, other texts as they are, empty stays empty
        "cell\t" + kLive + "\tC3\tn\t230.5\tGeneral\tcenter",
        "cell\t" + kLive + "\tD3\tn\t0.0\tGeneral\tcenter",
        "cell\t" + kLive + "\tE3\tn\t-1.5e-06\tGeneral\tcenter",
        "cell\t" + kLive + "\tF3\tn\t3.0\tGeneral\tcenter",
        "cell\t" + kLive + "\tG3\ts\tнет\tGeneral\tcenter",
        // widths as the application stores them
        "width\t" + kLive + "\tA\t10.7109375\t1\t1", "width\t" + kLive + "\tB\t8.7109375\t2\t2",
        "width\t" + kLive + "\tC\t5.7109375\t3\t20",
        "cell\t" + kMemory + "\tA1\ts\t№ периода\tGeneral\tcenter",
        "cell\t" + kMemory + "\tB1\ts\tФАЗА А\tGeneral\tcenter",
        "cell\t" + kMemory + "\tT1\ts\tФАЗА B\tGeneral\tcenter",
        "cell\t" + kMemory + "\tAL1\ts\tФАЗА C\tGeneral\tcenter",
        "cell\t" + kMemory + "\tH2\ts\tУгол\tGeneral\tcenter",
        "cell\t" + kMemory + "\tBC3\ts\tAVR\tGeneral\tcenter",
        "merge\t" + kMemory + "\tB1:S1", "merge\t" + kMemory + "\tBA2:BC2",
        "cell\t" + kMemory + "\tA4\ts\tВесь период\tGeneral\tcenter",
        "cell\t" + kMemory + "\tA5\tn\t1.0\tGeneral\tcenter",
        "width\t" + kMemory + "\tA\t15.7109375\t1\t1", "width\t" + kMemory + "\tB\t5.7109375\t2\t55",
    }));
    EXPECT_THAT(lines, Not(Contains(HasSubstr(kLive + "\tH3\t"))));  // the empty reading
    EXPECT_THAT(lines, Not(Contains(HasSubstr(kLive + "\tD1\t"))));  // inside a merge: nothing

    // Opened again, the engine finds the same cells and the next free rows.
    methodCall(r.book(), "Close");
    openFile(path + ".xlsx");
    Handle book = propertyGet(app, "WorkBooks", {1});
    Handle live = propertyGet(book, "WorkSheets", {1});
    Handle memory = propertyGet(book, "WorkSheets", {2});
    EXPECT_EQ(text(live, 1, 3), "ФАЗА А");
    EXPECT_EQ(text(live, 2, 5), "УГОЛ");
    EXPECT_EQ(text(live, 3, 1), "06.12.2026");
    EXPECT_EQ(text(live, 3, 2), "7:05:09");
    EXPECT_EQ(text(live, 3, 3), "230,5");
    EXPECT_EQ(text(live, 3, 5), "-1,5E-6");
    EXPECT_EQ(text(live, 3, 7), "нет");
    EXPECT_EQ(text(live, 4, 1), "");
    EXPECT_EQ(text(memory, 4, 1), "Весь период");
    EXPECT_EQ(text(memory, 6, 1), "");
    spreadsheet::Sheet* sheet = spreadsheet::sheetOf(live);
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->merges().size(), 3u);
    EXPECT_DOUBLE_EQ(sheet->column(1).width, 10);
    EXPECT_DOUBLE_EQ(sheet->column(20).width, 5);
}

// The format (number format, alignment) of each whole column 1..last of a sheet.
std::vector<spreadsheet::CellFormat> columnFormats(const Handle& sheetHandle, int last) {
    const spreadsheet::Sheet* sheet = spreadsheet::sheetOf(sheetHandle);
    std::vector<spreadsheet::CellFormat> out;
    for (int c = 1; c <= last; ++c) out.push_back(sheet->book().format(sheet->column(c).format));
    return out;
}

TEST_F(WorkbookFiles, ColumnFormatsSurviveAReopenAndFormatCellsWrittenAfterIt) {
    using spreadsheet::CellFormat;
    using spreadsheet::HAlign;
    propertyPut(app, "SheetsInNewWorkbook", 2);
    methodCall(propertyGet(app, "WorkBooks"), "add");
    Handle book = propertyGet(app, "WorkBooks", {1});
    Handle first = propertyGet(book, "WorkSheets", {1}), second = propertyGet(book, "WorkSheets", {2});
    propertyPut(propertyGet(first, "Range", {"A:A"}), "HorizontalAlignment", 3);
    propertyPut(propertyGet(first, "Range", {"B:B"}), "ColumnWidth", 8);  // a width, no format
    propertyPut(propertyGet(first, "Range", {"C:T"}), "HorizontalAlignment", 3);
    propertyPut(propertyGet(first, "Range", {"C:T"}), "ColumnWidth", 5);
    propertyPut(propertyGet(first, "Range", {"V:V"}), "NumberFormat", "0.00");
    propertyPut(propertyGet(first, "Range", {"V:V"}), "HorizontalAlignment", 4);
    propertyPut(propertyGet(second, "Range", {"B:BC"}), "HorizontalAlignment", 2);
    const std::string path = dir.file("columns.xlsx");
    methodCall(book, "SaveAs", {path});
    methodCall(book, "Close");

    const CellFormat general, centred{"General", HAlign::Center}, left{"General", HAlign::Left};
    std::vector<CellFormat> firstColumns(22, general), secondColumns(56, left);
    firstColumns[0] = centred;
    std::fill(firstColumns.begin() + 2, firstColumns.begin() + 20, centred);
    firstColumns[21] = CellFormat{"0.00", HAlign::Right};
    secondColumns[0] = secondColumns[55] = general;

    openFile(path);
    book = propertyGet(app, "WorkBooks", {1});
    first = propertyGet(book, "WorkSheets", {1}), second = propertyGet(book, "WorkSheets", {2});
    EXPECT_EQ(columnFormats(first, 22), firstColumns);
    EXPECT_EQ(columnFormats(second, 56), secondColumns);
    EXPECT_DOUBLE_EQ(spreadsheet::sheetOf(first)->column(2).width, 8);
    EXPECT_DOUBLE_EQ(spreadsheet::sheetOf(first)->column(20).width, 5);

    // Cells written now take their column's format, in the engine and in the saved file.
    propertyPut(propertyGet(first, "Cells", {8, 3}), "Value", "230,5");
    propertyPut(propertyGet(first, "Cells", {8, 21}), "Value", "1");
    propertyPut(propertyGet(first, "Cells", {8, 22}), "Value", "1,5");
    propertyPut(propertyGet(second, "Cells", {4, 55}), "Value", "AVR");
    methodCall(book, "Save");
    EXPECT_THAT(runOracle("read_xlsx.py", shellQuoted(path)), IsSupersetOf({
        "cell\tЛист1\tC8\tn\t230.5\tGeneral\tcenter",
        "cell\tЛист1\tU8\tn\t1.0\tGeneral\t-",
        "cell\tЛист1\tV8\tn\t1.5\t0.00\tright",
        "cell\tЛист2\tBC4\ts\tAVR\tGeneral\tleft",
    }));

    // A foreign file formats columns of its second sheet only, through absolute targets.
    methodCall(book, "Close");
    const std::string foreign = dir.file("foreign-columns.xlsx");
    runOracle("make_files.py", "colstyles " + shellQuoted(foreign));
    openFile(foreign);
    book = propertyGet(app, "WorkBooks", {1});
    const CellFormat right{"0.00", HAlign::Right};
    EXPECT_EQ(columnFormats(propertyGet(book, "WorkSheets", {1}), 6), std::vector<CellFormat>(6, general));
    EXPECT_EQ(columnFormats(propertyGet(book, "WorkSheets", {2}), 6),
              (std::vector<CellFormat>{general, general, right, right, right, general}));
}

// What the writer makes of awkward content, read back by openpyxl value for value: texts that
// XML must escape or keep blanks and breaks of, a byte that is no UTF-8, a text beyond what a
// cell holds, every kind of value, numbers to their last digit; widths as the engine reads
// them again; and a sheet long enough to cross every buffer of the writer.
TEST(XlsxWriter, EverythingWrittenReadsBackExactly) {
    using namespace spreadsheet;
    ScratchDir dir;
    Workbook book;
    Sheet& odd = book.addSheet("Тексты & <числа>");
    Sheet& many = book.addSheet("Много строк");
    book.activeSheet = 1;
    auto text = [&](int row, const std::string& t) {
        Cell& c = odd.at(row, 1);
        c.kind = CellKind::Text, c.text = book.intern(t);
    };
    text(1, "a & b < c > d \"e\" 'f'");
    text(2, "  blanks at both ends  ");
    text(3, "line\nbreak\ttab");
    text(4, "bad \xff byte");
    text(5, std::string(40000, 'x'));
    std::string cyrillic;
    for (int i = 0; i < 40000; ++i) cyrillic += "я";
    text(6, cyrillic);
    const double numbers[] = {0.1 + 0.2, 1e-300, 5e-324, 1.7976931348623157e308, 9007199254740991.0, -1.5e-6, 46362.29525462963};
    for (int i = 0; i < 7; ++i) {
        Cell& c = odd.at(i + 1, 2);
        c.kind = CellKind::Number, c.number = numbers[i];
    }
    Cell& yes = odd.at(1, 3);
    yes.kind = CellKind::Boolean, yes.boolean = true;
    Cell& error = odd.at(2, 3);
    error.kind = CellKind::Error, error.text = book.intern("#N/A");
    const double widths[] = {0, 0.5, 1, 5, 8.43, 10, 15, 255};
    for (int c = 1; c <= 8; ++c) odd.columnForWrite(c + 3).width = widths[c - 1];
    for (int r = 1; r <= 3000; ++r)
        for (int c = 1; c <= 20; ++c) {
            Cell& cell = many.at(r, c);
            cell.kind = CellKind::Number, cell.number = r * 100 + c + 0.25;
        }
    const std::string path = dir.file("values.xlsx");
    saveWorkbook(book, path);

    const std::vector<std::string> lines = runOracle("read_values.py", shellQuoted(path));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "zip\tNone");
    EXPECT_THAT(lines, IsSupersetOf({
        "active\tМного строк", "sheet\tТексты & <числа>", "sheet\tМного строк",
        "cell\tA1\ts\t'a & b < c > d \"e\" \\'f\\''",
        "cell\tA2\ts\t'  blanks at both ends  '",
        "cell\tA3\ts\t'line\\nbreak\\ttab'",
        "cell\tA4\ts\t'bad \ufffd byte'",
        "cell\tB1\tn\t0.30000000000000004", "cell\tB2\tn\t1e-300", "cell\tB3\tn\t5e-324",
        "cell\tB4\tn\t1.7976931348623157e+308", "cell\tB5\tn\t9007199254740991",
        "cell\tB6\tn\t-1.5e-06", "cell\tB7\tn\t46362.29525462963",
        "cell\tC1\tb\tTrue", "cell\tC2\te\t'#N/A'",
        "cell\tA3000\tn\t300001.25", "cell\tT3000\tn\t300020.25",
    }));
    // The texts beyond what a cell holds end at their 32767th character.
    auto cell = [&](const std::string& address) {
        auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind("cell\t" + address + "\t", 0) == 0; });
        return it == lines.end() ? std::string() : *it;
    };
    EXPECT_TRUE(cell("A5") == "cell\tA5\ts\t'" + std::string(32767, 'x') + "'");
    EXPECT_TRUE(cell("A6") == "cell\tA6\ts\t'" + cyrillic.substr(0, 32767 * 2) + "'");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("cell\t", 0) == 0; }),
              6 + 7 + 2 + 3000 * 20);

    std::shared_ptr<Workbook> again = loadWorkbook(path);
    for (int c = 1; c <= 8; ++c) EXPECT_DOUBLE_EQ(again->sheet(0).column(c + 3).width, widths[c - 1]) << c;
}

TEST(WorksheetColumns, AreReadBeforeTheCellsAndTheLaterOfTwoWins) {
    using spreadsheet::ColumnRun;
    spreadsheet::Workbook book;
    // The file's cell formats 0 to 9 are workbook formats 100 to 109 here.
    spreadsheet::WorksheetTables tables;
    for (std::uint32_t i = 0; i < 10; ++i) tables.formats.push_back(100 + i);
    auto columns = [&](const std::string& xml) {
        spreadsheet::WorksheetCells cells;
        spreadsheet::readWorksheetXml(xml, tables, book, cells);
        return cells.columns;
    };
    // As the engine writes them: widths in characters plus padding; a default style is none.
    EXPECT_THAT(columns(R"(<worksheet><cols><col min="1" max="1" width="10.7109375" customWidth="1"/>)"
                        R"(<col min="3" max="20" width="5.7109375" style="1" customWidth="1"/>)"
                        R"(<col min="21" max="21" style="0"/></cols><sheetData/></worksheet>)"),
                ElementsAre(ColumnRun{1, 1, 10, 0}, ColumnRun{3, 20, 5, 101}));
    // A prefixed namespace, single quotes, '>' inside a value, comments and declarations; a
    // run past the sheet's last column ends there; a width beyond 255 characters is 255.
    EXPECT_THAT(columns("<?xml version='1.0'?><x:worksheet xmlns:x='m'><!-- <x:col min='9' max='9' style='9'/> -->"
                        "<x:cols><x:col note='a>b' style = '7' max='20000' min='2'/><x:col min='5' max='5' width='1e3'/>"
                        "</x:cols></x:worksheet>"),
                ElementsAre(ColumnRun{2, 16384, -1, 107}, ColumnRun{5, 5, 255, 0}));
    // Columns after the cells are no columns; numbers that are none are skipped, and so is a
    // format the styles do not have.
    EXPECT_THAT(columns(R"(<worksheet><cols><col min="x" max="2" style="1"/><col min="3" max="2" style="1"/>)"
                        R"(<col min="0" max="2" style="1"/><col min="1" max="2" style="-1" width="-3"/>)"
                        R"(<col min="1" max="2" style="10" width="abc"/></cols><sheetData><col min="1" max="1" style="2"/>)"
                        R"(</sheetData></worksheet>)"),
                ::testing::IsEmpty());

    // Into a sheet: where runs overlap the later one wins, width and format each on its own.
    spreadsheet::WorksheetCells cells;
    cells.columns = {{1, 16384, 20, 101}, {3, 5, -1, 102}, {4, 4, 3, 0}, {2, 3, 7, 103}};
    spreadsheet::Sheet& sheet = book.addSheet("Лист1");
    spreadsheet::adoptWorksheet(sheet, std::move(cells));
    std::vector<std::pair<double, std::uint32_t>> got;
    for (int c : {1, 2, 3, 4, 5, 6, 16384}) got.emplace_back(sheet.column(c).width, sheet.column(c).format);
    EXPECT_THAT(got, ElementsAre(std::pair(20.0, 101u), std::pair(7.0, 103u), std::pair(7.0, 103u), std::pair(3.0, 102u),
                                 std::pair(20.0, 102u), std::pair(20.0, 101u), std::pair(20.0, 101u)));
}

TEST_F(WorkbookFiles, ForeignWorkbooksOpen) {
    std::string xlsx = dir.file("foreign.xlsx"), ods = dir.file("foreign.ods");
    runOracle("make_files.py", "openpyxl " + shellQuoted(xlsx));
    runOracle("make_files.py", "ods " + shellQuoted(ods));

    openFile(xlsx);
    Handle book = propertyGet(app, "WorkBooks", {1});
    Handle first = propertyGet(book, "WorkSheets", {1});
    Handle second = propertyGet(book, "WorkSheets", {2});
    EXPECT_EQ(text(first, 1, 1), "Дата");
    EXPECT_EQ(text(first, 1, 3), "ФАЗА А");
    EXPECT_EQ(text(first, 3, 1), "06.12.2026");
    EXPECT_EQ(text(first, 3, 3), "230,5");
    EXPECT_EQ(text(first, 3, 4), "нет");
    EXPECT_EQ(text(second, 4, 1), "Весь период");
    EXPECT_EQ(text(second, 4, 2), "-1,5E-6");
    spreadsheet::Sheet* sheet = spreadsheet::sheetOf(first);
    EXPECT_EQ(sheet->merges().size(), 1u);
    EXPECT_DOUBLE_EQ(sheet->column(1).width, 10);

#ifndef _WIN32
    openFile(ods);
    Handle odsBook = propertyGet(app, "WorkBooks", {2});
    Handle live = propertyGet(odsBook, "WorkSheets", {1});
    EXPECT_EQ(spreadsheet::sheetOf(live)->name(), kLive);
    EXPECT_EQ(text(live, 1, 1), "Дата");
    EXPECT_EQ(text(live, 1, 2), "ФАЗА А");
    EXPECT_EQ(text(live, 2, 1), "06.12.2026");
    EXPECT_EQ(text(live, 2, 2), "230,5");
    EXPECT_EQ(text(propertyGet(odsBook, "WorkSheets", {2}), 1, 1), "Весь период");
    // liborcus 0.17 does not hand over the merged cells of .ods files.
#endif
}

// A package as other programs write it, each part given here; no styles part.
std::string packageOf(const std::string& sheetXml, const std::string& sharedStrings) {
    spreadsheet::StoredZip zip(1 << 16);
    zip.add("[Content_Types].xml",
            R"(<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">)"
            R"(<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>)"
            R"(<Default Extension="xml" ContentType="application/xml"/>)"
            R"(<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>)"
            R"(<Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>)"
            R"(<Override PartName="/xl/sharedStrings.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>)"
            R"(</Types>)");
    zip.add("_rels/.rels",
            R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
            R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/>)"
            R"(</Relationships>)");
    zip.add("xl/workbook.xml",
            R"(<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">)"
            R"(<sheets><sheet name="Лист1" sheetId="1" r:id="rId1"/></sheets></workbook>)");
    zip.add("xl/_rels/workbook.xml.rels",
            R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
            R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="/xl/worksheets/sheet1.xml"/>)"
            R"(<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" Target="sharedStrings.xml"/>)"
            R"(</Relationships>)");
    zip.add("xl/worksheets/sheet1.xml", sheetXml);
    zip.add("xl/sharedStrings.xml", sharedStrings);
    auto [data, size] = zip.finish();
    return std::string(data.get(), size);
}

TEST_F(WorkbookFiles, CellsOfEveryKindReadAsOtherProgramsWriteThem) {
    const std::string sst =
        R"(<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><si><t>Дата</t></si>)"
        R"(<si><r><rPr><b/></rPr><t xml:space="preserve">ФАЗА </t></r><r><t>А</t></r><rPh><t>фонетика</t></rPh></si>)"
        R"(<si/><si><t>a &amp; b &lt;c&gt; &#1085;&#x435;&#1090;</t></si><si><t>_x005F_x0041_ _x0001_ _xD83D__xDE00_ _x12_</t></si></sst>)";
    const std::string sheet =
        R"(<?xml version="1.0" encoding="UTF-8"?><x:worksheet xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main">)"
        R"(<x:cols><x:col min="1" max="1" width="10.7109375" customWidth="1"/></x:cols><x:sheetData>)"
        R"(<x:row r="1"><x:c r="A1" t="s"><x:v>0</x:v></x:c><x:c r="C1" t="s"><x:v>1</x:v></x:c><x:c t="s"><x:v>3</x:v></x:c>)"
        R"(<x:c t="s"><x:v>99</x:v></x:c><x:c t="s"><x:v>4</x:v></x:c></x:row>)"
        R"(<x:row><x:c t="inlineStr"><x:is><x:r><x:t>в</x:t></x:r><x:r><x:t xml:space="preserve"> строке</x:t></x:r></x:is></x:c>)"
        R"(<x:c t="str"><x:f>A1&amp;"!"</x:f><x:v>Дата!</x:v></x:c><x:c t="b"><x:v>1</x:v></x:c><x:c t="e"><x:v>#DIV/0!</x:v></x:c>)"
        R"(<x:c t="d"><x:v>2026-12-06T07:05:09</x:v></x:c><x:c><x:f>1/0</x:f></x:c><x:c><x:v>-1.5E-6</x:v></x:c>)"
        R"(<x:c><!-- a comment --><x:v><![CDATA[230.5]]></x:v></x:c><x:c><x:v>not a number</x:v></x:c></x:row>)"
        R"(<x:row r="5"><x:c r="B5"><x:v>2</x:v></x:c><x:c r="A5"><x:v>1</x:v></x:c><x:c r="B5"><x:v>3</x:v></x:c></x:row>)"
        R"(<x:row r="4"><x:c r="A4"><x:v>4</x:v></x:c></x:row><x:row r="5"><x:c r="C5"><x:v>5</x:v></x:c></x:row>)"
        R"(<x:row r="2000000"><x:c r="A2000000"><x:v>7</x:v></x:c></x:row><x:row r="6"/>)"
        R"(</x:sheetData><x:mergeCells count="1"><x:mergeCell ref="C1:H1"/></x:mergeCells></x:worksheet>)";
    auto book = spreadsheet::loadWorkbookBytes(packageOf(sheet, sst));
    spreadsheet::Sheet& s = book->sheet(0);
    auto value = [&](int row, int col) {
        const spreadsheet::Cell* c = s.find(row, col);
        return spreadsheet::valueText(*book, c, book->format(s.effectiveFormat(row, col)));
    };
    EXPECT_EQ(value(1, 1), "Дата");
    EXPECT_EQ(value(1, 3), "ФАЗА А");  // the phonetic run is not part of the text
    EXPECT_EQ(value(1, 4), "a & b <c> нет");
    EXPECT_EQ(s.find(1, 5), nullptr);  // an index past the table
    EXPECT_EQ(value(1, 6), "_x0041_ \x01 😀 _x12_");  // the escapes of spreadsheet texts undone
    EXPECT_EQ(value(2, 1), "в строке");
    EXPECT_EQ(value(2, 2), "Дата!");
    EXPECT_EQ(s.find(2, 3)->kind, spreadsheet::CellKind::Boolean);
    EXPECT_EQ(value(2, 4), "#DIV/0!");
    EXPECT_EQ(value(2, 5), "06.12.2026 7:05:09");
    EXPECT_EQ(s.find(2, 6), nullptr);  // a formula without its result
    EXPECT_EQ(value(2, 7), "-1,5E-6");
    EXPECT_EQ(value(2, 8), "230,5");
    EXPECT_EQ(s.find(2, 9), nullptr);
    // Rows and cells out of order are put in order, the later of two at one place winning.
    std::vector<std::int32_t> rows;
    for (const spreadsheet::Row& r : s.rows()) rows.push_back(r.index);
    EXPECT_THAT(rows, ElementsAre(1, 2, 4, 5));
    EXPECT_EQ(value(5, 1) + value(5, 2) + value(5, 3), "135");
    EXPECT_EQ(value(4, 1), "4");
    EXPECT_EQ(s.lastColumn(), 8);
    // The columns and merges beside the cells.
    EXPECT_EQ(s.merges().size(), 1u);
    EXPECT_DOUBLE_EQ(s.column(1).width, 10);
}

// A package laid out otherwise than the engine writes it: the workbook part found through the
// package's relationships, targets absolute, relative, escaped and in other letter case, the
// styles' formats by their own and built-in ids, typed dates, a sheet without a part.
TEST(XlsxReader, FindsThePartsOfAPackageThroughItsRelationships) {
    using namespace spreadsheet;
    const std::string ns = R"(xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main")";
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    std::vector<std::pair<std::string, std::string>> parts = {
        {"[Content_Types].xml", R"(<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>)"},
        {"_rels/.rels", "<Relationships><Relationship Id=\"r1\" Type=\"" + rel + "officeDocument\" Target=\"/book/main%20part.xml\"/></Relationships>"},
        {"book/main part.xml",
         R"(<x:workbook xmlns:x="m" xmlns:r="r"><x:bookViews><x:workbookView activeTab="1"/><x:workbookView activeTab="0"/></x:bookViews>)"
         R"(<x:sheets><x:sheet name="Второй &amp; &lt;лист&gt;" sheetId="5" r:id="rId3"/><x:sheet name="" sheetId="1" r:id="rId7"/>)"
         R"(<x:sheet name="Без части" sheetId="2" r:id="rId9"/></x:sheets></x:workbook>)"},
        {"book/_rels/main part.xml.rels",
         "<Relationships><Relationship Id=\"rId7\" Type=\"" + rel + "worksheet\" Target=\"sheets/../sheets/one.xml\"/>"
         "<Relationship Id=\"rId3\" Type=\"" + rel + "worksheet\" Target=\"/Book/Sheets/Two.xml\"/>"
         "<Relationship Id=\"rId9\" Type=\"" + rel + "hyperlink\" Target=\"http://example.invalid/\" TargetMode=\"External\"/>"
         "<Relationship Id=\"s\" Type=\"" + rel + "styles\" Target=\"style.xml\"/>"
         "<Relationship Id=\"t\" Type=\"" + rel + "sharedStrings\" Target=\"/book/strings.xml\"/></Relationships>"},
        {"book/style.xml",
         "<styleSheet " + ns + R"(><numFmts count="2"><numFmt numFmtId="164" formatCode="0.000&quot;В&quot;"/>)"
         R"(<numFmt numFmtId="14" formatCode="ДД.ММ.ГГГГ"/></numFmts>)"
         R"(<cellStyleXfs count="1"><xf numFmtId="10"><alignment horizontal="center"/></xf></cellStyleXfs>)"
         R"(<cellXfs count="4"><xf numFmtId="0"/><xf numFmtId="164" applyAlignment="0"><alignment horizontal="right"/></xf>)"
         R"(<xf numFmtId="14"><alignment horizontal="centerContinuous"/></xf><xf numFmtId="22"><alignment horizontal="fill"/></xf></cellXfs>)"
         R"(<dxfs count="1"><dxf><numFmt numFmtId="164" formatCode="0.0"/><alignment horizontal="left"/></dxf></dxfs></styleSheet>)"},
        {"book/strings.xml", "<sst " + ns + "><si><t>один</t></si></sst>"},
        {"book/sheets/one.xml",
         "<worksheet " + ns + R"(><cols><col min="2" max="3" width="12.7109375" style="2"/></cols><sheetData><row r="1">)"
         R"(<c r="A1" s="1"><v>1.5</v></c><c r="B1" s="3"><v>46362.5</v></c><c r="C1" t="s"><v>0</v></c>)"
         R"(<c r="D1" t="d"><v>2026-12-06</v></c><c r="E1" s="1" t="d"><v>2026-12-06T07:05:09</v></c><c r="F1" s="9"/></row>)"
         R"(</sheetData><mergeCells><mergeCell ref="nonsense"/><mergeCell ref="Лист!A3:B4"/><mergeCell ref="C5"/></mergeCells></worksheet>)"},
        {"book/sheets/two.xml", "<worksheet " + ns + R"(><sheetData><row r="2"><c r="B2" t="s"><v>0</v></c></row></sheetData></worksheet>)"},
        {"docProps/app.xml", "<Properties>not read</Properties>"},
    };
    auto packed = [&](std::string_view without = {}) {
        StoredZip zip(1 << 16);
        for (const auto& [name, data] : parts)
            if (name != without) zip.add(name, data);
        auto [data, size] = zip.finish();
        return std::string(data.get(), size);
    };
    const std::string bytes = packed();
    auto book = loadWorkbookBytes(bytes);
    ASSERT_EQ(book->sheetCount(), 3u);
    EXPECT_EQ(book->sheet(0).name(), "Второй & <лист>");
    EXPECT_EQ(book->sheet(1).name(), "Лист2");  // a name left empty
    EXPECT_EQ(book->sheet(2).name(), "Без части");
    EXPECT_EQ(book->activeSheet, 1u);
    EXPECT_EQ(book->string(book->sheet(0).find(2, 2)->text), "один");
    EXPECT_TRUE(book->sheet(2).rows().empty());

    const Sheet& one = book->sheet(1);
    auto format = [&](int row, int col) { return book->format(one.effectiveFormat(row, col)); };
    EXPECT_EQ(format(1, 1), (CellFormat{"0.000\"В\"", HAlign::Right}));  // alignment taken whatever applyAlignment says
    EXPECT_EQ(format(1, 2), (CellFormat{"dd.mm.yyyy h:mm", HAlign::Fill}));
    EXPECT_EQ(format(1, 3), (CellFormat{"dd.mm.yyyy", HAlign::CenterAcrossSelection}));  // the column's
    EXPECT_EQ(format(1, 4), (CellFormat{"dd.mm.yyyy", HAlign::General}));
    EXPECT_EQ(format(1, 5), (CellFormat{"dd.mm.yyyy hh:mm:ss", HAlign::Right}));
    EXPECT_EQ(format(1, 6), CellFormat{});  // a format the styles do not have
    EXPECT_DOUBLE_EQ(one.column(3).width, 12);
    EXPECT_THAT(one.merges(), ElementsAre(Rect{3, 1, 4, 2}));

    // A part nothing reads is not unpacked (a save in place copies it as it is): its damage
    // stops nothing; a package without its content types is no workbook.
    std::string damaged = bytes;
    damaged[damaged.find("not read")] = 'N';
    EXPECT_EQ(loadWorkbookBytes(damaged)->sheetCount(), 3u);
    EXPECT_THAT([&] { loadWorkbookBytes(packed("[Content_Types].xml")); },
                ::testing::ThrowsMessage<Error>(HasSubstr("not a workbook")));
}

// Every alignment and number format the engine keeps, column formats and widths, merges and
// the active sheet come back from its own file as they were.
TEST(XlsxReader, ReadsBackEverythingTheWriterWrites) {
    using namespace spreadsheet;
    ScratchDir dir;
    Workbook book;
    Sheet& first = book.addSheet("Первый");
    book.addSheet("Второй");
    Sheet& third = book.addSheet("Третий");
    book.activeSheet = 2;
    const HAlign aligns[] = {HAlign::General, HAlign::Left, HAlign::Center, HAlign::Right,
                             HAlign::Fill, HAlign::Justify, HAlign::CenterAcrossSelection, HAlign::Distributed};
    const char* codes[] = {"General", "0.00", "dd.mm.yyyy hh:mm:ss", "@", "# ?/?", "[h]:mm:ss", "\"руб.\" #,##0.00", "0%"};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            Cell& c = first.at(i + 1, j + 1);
            c.kind = CellKind::Number, c.number = i * 8 + j;
            c.format = book.internFormat(CellFormat{codes[j], aligns[i]});
        }
    third.columnForWrite(3).format = book.internFormat(CellFormat{"0.000", HAlign::Right});
    third.columnForWrite(3).width = 12;
    third.merge(Rect{2, 2, 3, 4});
    const std::string path = dir.file("formats.xlsx");
    saveWorkbook(book, path);

    std::shared_ptr<Workbook> again = loadWorkbook(path);
    EXPECT_EQ(again->activeSheet, 2u);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            EXPECT_EQ(again->format(again->sheet(0).find(i + 1, j + 1)->format), (CellFormat{codes[j], aligns[i]})) << i << "," << j;
    EXPECT_EQ(again->format(again->sheet(2).column(3).format), (CellFormat{"0.000", HAlign::Right}));
    EXPECT_DOUBLE_EQ(again->sheet(2).column(3).width, 12);
    EXPECT_THAT(again->sheet(2).merges(), ElementsAre(Rect{2, 2, 3, 4}));
}

TEST(WorksheetCells, APartReadInPiecesGivesWhatItGivesWhole) {
    // Over three pieces of unpacking, with tokens of every kind and a text longer than a piece.
    std::string xml = R"(<worksheet><dimension ref="A1:C9"/><sheetData>)";
    for (int r = 1; xml.size() < (3u << 20); ++r) {
        xml += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) + "\" s=\"1\"><v>" + std::to_string(r * 0.25) +
               "</v></c><!-- " + std::string(r % 7, '-') + " --><c t=\"inlineStr\"><is><t>" +
               (r == 3000 ? std::string(1500000, 'x') : "&lt;" + std::to_string(r) + "&gt;") + "</t></is></c><c t=\"str\"><v><![CDATA[" +
               std::string(r % 5 + 1, '>') + "]]></v></c></row>";
    }
    xml += R"(</sheetData><mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells></worksheet>)";
    spreadsheet::StoredZip zip(xml.size() + 4096);
    zip.add("sheet.xml", xml);
    auto [data, size] = zip.finish();
    const spreadsheet::ZipReader reader(std::string_view(data.get(), size));

    spreadsheet::Workbook book;
    spreadsheet::WorksheetCells whole, pieces;
    spreadsheet::readWorksheetXml(xml, {}, book, whole);
    spreadsheet::readWorksheet(reader, reader.entries()[0], {}, book, pieces);
    EXPECT_EQ(pieces.merges, whole.merges);
    EXPECT_THAT(whole.merges, ElementsAre(spreadsheet::Rect{1, 1, 1, 2}));
    ASSERT_EQ(pieces.rows.size(), whole.rows.size());
    ASSERT_GT(whole.rows.size(), 3000u);
    for (size_t i = 0; i < whole.rows.size(); ++i) {
        ASSERT_EQ(pieces.rows[i].cells.size(), 3u) << i;
        for (size_t c = 0; c < 3; ++c) {
            const spreadsheet::Cell &a = whole.rows[i].cells[c], &b = pieces.rows[i].cells[c];
            ASSERT_TRUE(a.kind == b.kind && a.format == b.format && a.column == b.column &&
                        std::memcmp(&a.number, &b.number, sizeof a.number) == 0) << i << "," << c;
        }
    }
    EXPECT_EQ(book.string(whole.rows[2999].cells[1].text).size(), 1500000u);
    EXPECT_EQ(book.string(whole.rows[9].cells[1].text), "<10>");
    EXPECT_EQ(book.string(whole.rows[9].cells[2].text), ">");

    // A part cut off inside its cells is damaged, not read as far as it goes.
    spreadsheet::WorksheetCells cut;
    EXPECT_THROW(spreadsheet::readWorksheetXml(xml.substr(0, xml.size() / 2), {}, book, cut), std::runtime_error);
}

// .ods and legacy .xls are read only where their libraries are built, off Windows.
#ifndef _WIN32
// Also ones laid out as writers other than Excel lay out small workbooks, which freexl alone
// does not read: the Workbook stream in the mini stream after other streams, its directory
// entry beyond the directory's first sector; its mini sectors taking turns with another's.
// freexl alone reports success with no workbook for the second, which read as "no sheets".
TEST_F(WorkbookFiles, LegacyXlsOpensWithItsValues) {
    for (const char* kind : {"xls-small", "xls-interleaved"}) {
        std::string small = dir.file(std::string(kind) + ".xls");
        runOracle("make_files.py", kind + std::string(" ") + shellQuoted(small));
        openFile(small);
        EXPECT_EQ(text(propertyGet(propertyGet(app, "WorkBooks", {1}), "WorkSheets", {1}), 3, 3), "230,5") << kind;
        methodCall(propertyGet(app, "WorkBooks", {1}), "Close");
    }

    std::string path = dir.file("legacy.xls");
    runOracle("make_files.py", "xls " + shellQuoted(path));
    openFile(path);
    Handle book = propertyGet(app, "WorkBooks", {1});
    Handle live = propertyGet(book, "WorkSheets", {1});
    EXPECT_EQ(spreadsheet::sheetOf(live)->name(), kLive);
    EXPECT_EQ(text(live, 1, 1), "Дата");
    EXPECT_EQ(text(live, 3, 1), "06.12.2026");
    EXPECT_EQ(text(live, 3, 3), "230,5");
    EXPECT_EQ(text(propertyGet(book, "WorkSheets", {2}), 4, 1), "Весь период");
    // Saved again it becomes Office Open XML under the same name.
    methodCall(book, "Save");
    EXPECT_EQ(readBytes(path).substr(0, 4), "PK\x03\x04");
}

// Points this process's temp folder (TMPDIR) elsewhere while it lives.
class ScopedTempFolder {
public:
    static constexpr const char* kVariable = "TMPDIR";
    explicit ScopedTempFolder(const std::filesystem::path& folder) {
        if (const char* v = std::getenv(kVariable)) saved_ = v;
        set(folder.string());
    }
    ~ScopedTempFolder() { set(saved_.value_or("")); }
    void set(const std::string& value) {
        value.empty() ? ::unsetenv(kVariable) : ::setenv(kVariable, value.c_str(), 1);
    }

private:
    std::optional<std::string> saved_;
};

// freexl reads files only: .xls bytes go through a private copy in the temp folder, which is
// gone again afterwards, also when the bytes are no workbook.
TEST_F(WorkbookFiles, LegacyXlsBytesLeaveNothingInTheTempFolder) {
    std::string path = dir.file("legacy.xls");
    runOracle("make_files.py", "xls " + shellQuoted(path));
    const std::string bytes = readBytes(path);
    const std::filesystem::path temp = dir.path() / "temp";
    std::filesystem::create_directory(temp);
    ScopedTempFolder tempFolder(temp);

    auto book = spreadsheet::loadWorkbookBytes(bytes);
    const spreadsheet::Sheet& live = book->sheet(0);
    EXPECT_EQ(live.name(), kLive);
    EXPECT_EQ(spreadsheet::valueText(*book, live.find(3, 3), book->format(live.effectiveFormat(3, 3))), "230,5");
    EXPECT_TRUE(std::filesystem::is_empty(temp));
    const std::string fake = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + "rest";
    EXPECT_EQ(errorCodeOf([&] { spreadsheet::loadWorkbookBytes(fake); }), code::ApplicationDefined);
    EXPECT_TRUE(std::filesystem::is_empty(temp));
    // The copy goes nowhere else: without that folder the load fails.
    tempFolder.set((temp / "missing").string());
    EXPECT_EQ(errorCodeOf([&] { spreadsheet::loadWorkbookBytes(bytes); }), code::ApplicationDefined);
}
#endif

// .ods and legacy .xls go through libraries that only the Linux build has; the Windows build
// refuses them with a code of their own, by which the operator is told which formats open.
// An OpenDocument text is no workbook anywhere.
TEST(WorkbookFormats, OdsAndXlsOpenOnlyWhereTheirReadersAreBuilt) {
    auto package = [](const std::string& mimetype) {
        spreadsheet::StoredZip zip(4096);
        zip.add("mimetype", mimetype);
        zip.add("content.xml",
                R"(<office:document-content xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" )"
                R"(xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"><office:body><office:spreadsheet>)"
                R"(<table:table table:name="Лист1"><table:table-row><table:table-cell office:value-type="float" )"
                R"(office:value="2.5"/></table:table-row></table:table></office:spreadsheet></office:body></office:document-content>)");
        auto [data, size] = zip.finish();
        return std::string(data.get(), size);
    };
    const std::string ods = package("application/vnd.oasis.opendocument.spreadsheet");
    const std::string xls = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + "rest";
    auto load = [](const std::string& bytes) { return [&bytes] { spreadsheet::loadWorkbookBytes(bytes); }; };
#ifdef _WIN32
    EXPECT_EQ(errorCodeOf(load(ods)), code::FormatNotOpenable);
    EXPECT_EQ(errorCodeOf(load(xls)), code::FormatNotOpenable);
#else
    auto book = spreadsheet::loadWorkbookBytes(ods);
    EXPECT_EQ(book->sheet(0).name(), "Лист1");
    EXPECT_DOUBLE_EQ(book->sheet(0).find(1, 1)->number, 2.5);
    EXPECT_EQ(errorCodeOf(load(xls)), code::ApplicationDefined);  // read, and found damaged
#endif
    EXPECT_EQ(errorCodeOf(load(package("application/vnd.oasis.opendocument.text"))), code::ApplicationDefined);
}

TEST_F(WorkbookFiles, DamagedPackagesAreRefusedBeforeTheyAreRead) {
    EngineReport& r = newReport();
    r.appendLiveRow({"230,5"});
    std::string path = dir.file("good.xlsx");
    methodCall(r.book(), "SaveAs", {path});
    const std::string good = readBytes(path);
    auto opens = [&](const std::string& bytes) {
        std::ofstream(dir.file("bad.xlsx"), std::ios::binary) << bytes;
        return errorCodeOf([&] { openFile(dir.file("bad.xlsx")); });
    };
    ASSERT_EQ(opens(good), 0);
    methodCall(propertyGet(app, "WorkBooks", {2}), "Close");

    // A changed byte inside the packed sheet: caught by unpacking or by the CRC.
    size_t sheet = good.find("xl/worksheets/sheet1.xml");
    ASSERT_NE(sheet, std::string::npos);
    for (size_t offset : {60, 200, 400}) {
        std::string bad = good;
        bad[sheet + offset] = static_cast<char>(bad[sheet + offset] ^ 0x20);
        EXPECT_EQ(opens(bad), code::ApplicationDefined) << offset;
    }
    // A part that claims to unpack to 2 GiB is refused without trying.
    size_t central = good.rfind("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    std::string huge = good;
    huge.replace(central + 24, 4, std::string("\xff\xff\xff\x7f", 4));
    EXPECT_EQ(opens(huge), code::ApplicationDefined);

    EXPECT_EQ(spreadsheet::targetPart("xl/workbook.xml", "/xl/worksheets/sheet1.xml"), "xl/worksheets/sheet1.xml");
    EXPECT_EQ(spreadsheet::targetPart("", "xl/workbook.xml"), "xl/workbook.xml");
    EXPECT_EQ(spreadsheet::targetPart("xl/worksheets/sheet1.xml", "../theme/./theme1.xml"), "xl/theme/theme1.xml");
}

TEST_F(WorkbookFiles, BadFilesFailWithTheApplicationsCode) {
    std::string good = dir.file("good.xlsx");
    runOracle("make_files.py", "openpyxl " + shellQuoted(good));
    std::string bytes = readBytes(good);
    auto write = [&](const std::string& name, const std::string& content) {
        std::ofstream(dir.file(name), std::ios::binary) << content;
        return dir.file(name);
    };
    for (const std::string& path : {dir.file("missing.xlsx"), write("text.xlsx", "just some text\n"),
                                    write("empty.xlsx", ""), write("truncated.xlsx", bytes.substr(0, bytes.size() / 2)),
                                    write("header-only.xlsx", bytes.substr(0, 30)),
#ifndef _WIN32
                                    write("fake.xls", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + "rest"),
#endif
                                   }) {
        EXPECT_EQ(errorCodeOf([&] { openFile(path); }), code::ApplicationDefined) << path;
    }
    EXPECT_EQ(errorCodeOf([&] { propertyGet(app, "WorkBooks", {1}); }), code::BadIndex);
}

TEST_F(WorkbookFiles, AWorkbookOfOneSheetHasNoSecond) {
    std::string path = dir.file("one.xlsx");
    runOracle("make_files.py", "onesheet " + shellQuoted(path));
    openFile(path);
    Handle book = propertyGet(app, "WorkBooks", {1});
    EXPECT_NO_THROW(propertyGet(book, "WorkSheets", {1}));
    EXPECT_EQ(errorCodeOf([&] { propertyGet(book, "WorkSheets", {2}); }), code::BadIndex);
}

TEST_F(WorkbookFiles, SaveAsAddsTheExtensionOnlyWhenMissing) {
    EXPECT_EQ(spreadsheet::savePathFor("/d/report"), "/d/report.xlsx");
    EXPECT_EQ(spreadsheet::savePathFor("/d.x/report"), "/d.x/report.xlsx");
    EXPECT_EQ(spreadsheet::savePathFor("/d/report.xls"), "/d/report.xls");
    EXPECT_EQ(spreadsheet::savePathFor("/d/r.v1.xlsx"), "/d/r.v1.xlsx");

    const Handle book = newReport().book();
    // An .xls name keeps its name but holds Office Open XML, which opens again.
    methodCall(book, "SaveAs", {dir.file("old.xls")});
    EXPECT_EQ(readBytes(dir.file("old.xls")).substr(0, 4), "PK\x03\x04");
    methodCall(book, "Save");
    EXPECT_THAT(dir.entries(), ElementsAre("old.xls"));
    methodCall(book, "Close");
    openFile(dir.file("old.xls"));
    EXPECT_EQ(text(propertyGet(propertyGet(app, "WorkBooks", {1}), "WorkSheets", {1}), 1, 3), "ФАЗА А");
}

TEST_F(WorkbookFiles, SaveIntoAMissingFolderLeavesNothing) {
    const Handle book = newReport().book();
    EXPECT_EQ(errorCodeOf([&] { methodCall(book, "SaveAs", {dir.file("no/such/folder/r.xlsx")}); }), code::ApplicationDefined);
    EXPECT_TRUE(dir.entries().empty());
    // A new workbook has no file to save to yet.
    EXPECT_EQ(errorCodeOf([&] { methodCall(book, "Save"); }), code::ApplicationDefined);
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(WorkbookFiles, AFailedSaveLeavesTheOldFileByteForByte) {
    EngineReport& r = newReport();
    const Handle book = r.book();
    std::string path = dir.file("report.xlsx");
    methodCall(book, "SaveAs", {path});
    std::string before = readBytes(path);
    r.appendLiveRow({"230,5"});

    // The writing fails after the new content went to the temporary file.
    spreadsheet::setSaveHook([](const std::string&) { throw Error(code::ApplicationDefined, "disk full"); });
    EXPECT_EQ(errorCodeOf([&] { methodCall(book, "Save"); }), code::ApplicationDefined);
    EXPECT_EQ(errorCodeOf([&] { methodCall(book, "SaveAs", {path}); }), code::ApplicationDefined);
    spreadsheet::setSaveHook(nullptr);
    EXPECT_EQ(readBytes(path), before);
    EXPECT_THAT(dir.entries(), ElementsAre("report.xlsx"));

    // A folder in the way of the name: refused, nothing else changes.
    std::filesystem::create_directory(dir.file("taken.xlsx"));
    EXPECT_EQ(errorCodeOf([&] { methodCall(book, "SaveAs", {dir.file("taken.xlsx")}); }), code::ApplicationDefined);
    EXPECT_THAT(dir.entries(), ElementsAre("report.xlsx", "taken.xlsx"));

    // Then a save that works replaces the file.
    methodCall(book, "Save");
    EXPECT_NE(readBytes(path), before);
    EXPECT_THAT(dir.entries(), ElementsAre("report.xlsx", "taken.xlsx"));
}

TEST_F(WorkbookFiles, FindsTheFirstFreeRowOfALongSheet) {
    std::string path = dir.file("rows.xlsx");
    runOracle("make_files.py", "rows " + shellQuoted(path) + " 2000");
    openFile(path);
    Handle sheet = propertyGet(propertyGet(app, "WorkBooks", {1}), "WorkSheets", {1});
    int row = 1;
    while (!text(sheet, row, 1).empty()) ++row;
    EXPECT_EQ(row, 2001);
}

}  // namespace
