// The built-in spreadsheet application through the automation calls: members and their
// failures, typed input, formats, merges, the life of its objects, the viewer hook.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "spreadsheet/cell_text.h"
#include "spreadsheet/engine.h"
#include "spreadsheet_test_support.h"
#include "support/recording_automation.h"

using namespace lumo;
using namespace lumo::automation;
using namespace lumo::spreadsheet;
using lumo::test::errorCodeOf;
using ::testing::ElementsAre;

namespace {

class Engine : public ::testing::Test {
protected:
    Handle app = createApplication();
    Handle book, sheet;

    void SetUp() override {
        propertyPut(app, "SheetsInNewWorkbook", 2);
        methodCall(propertyGet(app, "WorkBooks"), "add");
        book = propertyGet(app, "WorkBooks", {1});
        sheet = propertyGet(book, "WorkSheets", {1});
    }
    Handle cell(int r, int c) { return propertyGet(sheet, "Cells", {r, c}); }
    std::string enter(const std::string& text, const char* format = nullptr) {
        Handle h = cell(5, 5);
        if (format) propertyPut(h, "NumberFormat", format);
        propertyPut(h, "Value", text);
        return propertyGet(h, "Value").text();
    }
    const Cell* stored(int r, int c) { return sheetOf(sheet)->find(r, c); }
};

TEST_F(Engine, AnswersItsMembersByNameInAnyCase) {
    Handle s2 = propertyGet(propertyGet(app, "workbooks", {1}), "WORKSHEETS", {2});
    propertyPut(s2, "name", "Второй");
    EXPECT_EQ(sheetOf(s2)->name(), "Второй");
    EXPECT_EQ(sheetOf(sheet)->name(), "Лист1");
    EXPECT_EQ(applicationOf(app)->workbooks()[0]->sheetCount(), 2u);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(app, "Worksheets"); }), code::UnknownName);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(sheet, "Nonsense"); }), code::UnknownName);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(app, "Visible"); }), code::MemberNotFound);     // write-only here
    EXPECT_EQ(errorCodeOf([&] { methodCall(cell(1, 1), "Value"); }), code::MemberNotFound);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(sheet, "Cells", {1}); }), code::BadParamCount);
    EXPECT_EQ(errorCodeOf([&] { methodCall(book, "SaveAs"); }), code::BadParamCount);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(sheet, "Cells", {"a", 1}); }), code::TypeMismatch);
    EXPECT_EQ(errorCodeOf([&] { propertyPut(app, "Visible", "maybe"); }), code::TypeMismatch);
    EXPECT_EQ(errorCodeOf([&] { propertyPut(cell(1, 1), "Value", app); }), code::TypeMismatch);
}

TEST_F(Engine, IndexesAndAddressesOutsideFailWithTheApplicationsCodes) {
    EXPECT_EQ(errorCodeOf([&] { propertyGet(app, "WorkBooks", {2}); }), code::BadIndex);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(app, "WorkBooks", {0}); }), code::BadIndex);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(book, "WorkSheets", {3}); }), code::BadIndex);
    EXPECT_NO_THROW(cell(1048576, 16384));
    EXPECT_EQ(errorCodeOf([&] { cell(1048577, 1); }), code::ApplicationDefined);
    EXPECT_EQ(errorCodeOf([&] { cell(1, 16385); }), code::ApplicationDefined);
    EXPECT_EQ(errorCodeOf([&] { cell(0, 1); }), code::ApplicationDefined);
    EXPECT_NO_THROW(propertyGet(sheet, "Range", {"$A$1:XFD1048576"}));
    for (const char* bad : {"", "C1:", "XFE1", "A0", "A1048577", "1C", "C1:H", "Лист1!A1", "A1 B2"})
        EXPECT_EQ(errorCodeOf([&] { propertyGet(sheet, "Range", {bad}); }), code::ApplicationDefined) << bad;
    Handle columns = propertyGet(sheet, "Columns");
    EXPECT_EQ(errorCodeOf([&] { propertyGet(columns, "Item", {16385}); }), code::ApplicationDefined);
    EXPECT_EQ(errorCodeOf([&] { propertyPut(app, "SheetsInNewWorkbook", 0); }), code::ApplicationDefined);
}

TEST_F(Engine, ReadsTypedTextTheRussianWay) {
    EXPECT_EQ(enter("230,5"), "230,5");
    EXPECT_EQ(stored(5, 5)->kind, CellKind::Number);
    EXPECT_EQ(enter("0230,500"), "230,5");
    EXPECT_EQ(enter("-1,5E-6"), "-1,5E-6");
    EXPECT_EQ(enter("3"), "3");
    EXPECT_EQ(enter("0"), "0");
    for (const char* text : {"нет", "Весь период", "U", "1.5", "6.12.2026", "7:5:9", "12 3"}) {
        EXPECT_EQ(enter(text), text);
        EXPECT_EQ(stored(5, 5)->kind, CellKind::Text) << text;
    }
    EXPECT_EQ(enter("'230,5"), "230,5");  // a leading apostrophe keeps the text
    EXPECT_EQ(stored(5, 5)->kind, CellKind::Text);
    EXPECT_EQ(enter(""), "");
    EXPECT_EQ(stored(5, 5)->kind, CellKind::Empty);
    EXPECT_EQ(propertyGet(cell(9, 9), "Value").text(), "");  // never written
}

TEST_F(Engine, DatesAndTimesInDateFormattedCells) {
    EXPECT_EQ(enter("6.12.2026", "ДД.ММ.ГГГГ"), "06.12.2026");
    EXPECT_EQ(stored(5, 5)->kind, CellKind::Number);
    EXPECT_DOUBLE_EQ(stored(5, 5)->number, 46362);
    EXPECT_EQ(enter("7:5:9", "ЧЧ:ММ:СС"), "7:05:09");
    EXPECT_NEAR(stored(5, 5)->number, (7 * 3600 + 5 * 60 + 9) / 86400.0, 1e-12);
    EXPECT_EQ(enter("6.12.2026 7:05:09", "dd.mm.yyyy hh:mm"), "06.12.2026 7:05:09");
    EXPECT_EQ(enter("31.02.2026", "ДД.ММ.ГГГГ"), "31.02.2026");  // no such day: text
    EXPECT_EQ(stored(5, 5)->kind, CellKind::Text);
    EXPECT_EQ(enter("24:00:00", "ЧЧ:ММ:СС"), "24:00:00");
    EXPECT_EQ(enter("230,5", "ДД.ММ.ГГГГ"), "17.08.1900 12:00:00");  // a number stays a number
    EXPECT_EQ(enter("230,5", "@"), "230,5");  // text format: kept as text
    EXPECT_EQ(stored(5, 5)->kind, CellKind::Text);
    const Workbook& wb = *workbookOf(book);
    EXPECT_EQ(wb.format(stored(5, 5)->format).numberFormat, "@");
    // A date value in a cell without a date format gets the format of what it holds: a time
    // of day alone (midnight too: no day part), a day, or both.
    const std::pair<double, const char*> typed[] = {
        {0.0, "hh:mm:ss"}, {0.5, "hh:mm:ss"}, {46362, "dd.mm.yyyy"}, {46362.5, "dd.mm.yyyy hh:mm"}};
    for (const auto& [serial, code] : typed) {
        propertyPut(cell(7, 1), "Value", automation::Date{serial});
        EXPECT_EQ(wb.format(stored(7, 1)->format).numberFormat, code) << serial;
        propertyPut(cell(7, 1), "NumberFormat", "General");
    }
}

TEST(CellText, FormatCodesDateSerialsAndDisplay) {
    EXPECT_EQ(standardFormatCode("ДД.ММ.ГГГГ"), "dd.mm.yyyy");
    EXPECT_EQ(standardFormatCode("ЧЧ:ММ:СС"), "hh:mm:ss");
    EXPECT_EQ(standardFormatCode("Основной"), "General");
    EXPECT_EQ(standardFormatCode("0,00\" Д\"\\Г"), "0,00\" Д\"\\Г");  // quoted and escaped letters stay
    EXPECT_TRUE(isDateTimeFormat("dd.mm.yyyy"));
    EXPECT_TRUE(isDateTimeFormat("[h]:mm"));
    EXPECT_FALSE(isDateTimeFormat("General"));
    EXPECT_FALSE(isDateTimeFormat("0.00\"d\""));
    EXPECT_FALSE(isDateTimeFormat("[Red]0.00"));
    EXPECT_FALSE(isDateTimeFormat("@"));

    EXPECT_EQ(dateSerial(1900, 1, 1), 1);
    EXPECT_EQ(dateSerial(1900, 2, 28), 59);
    EXPECT_EQ(dateSerial(1900, 3, 1), 61);  // 60 is the 29.02.1900 of the 1900 date system
    EXPECT_EQ(dateSerial(2026, 12, 6), 46362);
    DateTimeParts p = dateTimeParts(60);
    EXPECT_EQ(p.day * 100 + p.month, 2902);
    p = dateTimeParts(46362.99999999);  // rounds to the next midnight
    EXPECT_EQ(p.day, 7);
    EXPECT_EQ(p.hour, 0);
    EXPECT_EQ(parseDateTime("29.2.2024"), dateSerial(2024, 2, 29));
    EXPECT_FALSE(parseDateTime("29.2.2026"));
    EXPECT_EQ(parseDateTime("1.1.29"), dateSerial(2029, 1, 1));
    EXPECT_EQ(parseDateTime("1.1.30"), dateSerial(1930, 1, 1));
    for (const char* bad : {"1.1.1899", "1.13.2026", "7:60", "7:5:60", "7:5:9 6.12.2026", "6.12.2026x", "6..2026"})
        EXPECT_FALSE(parseDateTime(bad)) << bad;

    Workbook wb;
    Cell c;
    c.kind = CellKind::Number;
    c.number = 46362 + (7 * 3600 + 5 * 60 + 9) / 86400.0;
    EXPECT_EQ(displayText(wb, c, CellFormat{"dd.mm.yyyy", HAlign::General}), "06.12.2026");
    EXPECT_EQ(displayText(wb, c, CellFormat{"hh:mm:ss", HAlign::General}), "07:05:09");
    EXPECT_EQ(displayText(wb, c, CellFormat{"d.m.yy h:mm", HAlign::General}), "6.12.26 7:05");
    c.number = 230.456;
    EXPECT_EQ(displayText(wb, c, CellFormat{"0.00", HAlign::General}), "230,46");
    EXPECT_EQ(displayText(wb, c, CellFormat{}), "230,456");
    c.number = -0.001;
    EXPECT_EQ(displayText(wb, c, CellFormat{"0.0", HAlign::General}), "0,0");
}

TEST_F(Engine, AlignmentConstantsAndColumnFormats) {
    Handle columns = propertyGet(sheet, "Columns");
    propertyPut(propertyGet(columns, "Item", {1}), "ColumnWidth", 10);
    propertyPut(propertyGet(columns, "Range", {"C:T"}), "ColumnWidth", 5);
    propertyPut(propertyGet(columns, "Range", {"C:T"}), "HorizontalAlignment", 3);
    Sheet& s = *sheetOf(sheet);
    const Workbook& wb = *workbookOf(book);
    EXPECT_EQ(s.column(1).width, 10);
    EXPECT_EQ(s.column(3).width, 5);
    EXPECT_EQ(s.column(20).width, 5);
    EXPECT_LT(s.column(21).width, 0);
    EXPECT_EQ(wb.format(s.column(20).format).align, HAlign::Center);
    // A cell written later in a centred column shows centred and keeps that with its own format.
    Handle c = cell(3, 3);
    propertyPut(c, "Value", "1");
    EXPECT_EQ(wb.format(s.effectiveFormat(3, 3)).align, HAlign::Center);
    propertyPut(c, "NumberFormat", "0.00");
    EXPECT_EQ(wb.format(stored(3, 3)->format).align, HAlign::Center);
    EXPECT_EQ(wb.format(stored(3, 3)->format).numberFormat, "0.00");

    const std::pair<int, HAlign> constants[] = {{1, HAlign::General}, {2, HAlign::Left}, {-4131, HAlign::Left},
                                                {3, HAlign::Center}, {-4108, HAlign::Center}, {4, HAlign::Right},
                                                {-4152, HAlign::Right}, {5, HAlign::Fill}, {6, HAlign::Justify},
                                                {-4130, HAlign::Justify}, {7, HAlign::CenterAcrossSelection},
                                                {-4117, HAlign::Distributed}};
    for (auto [value, align] : constants) {
        propertyPut(cell(1, 1), "HorizontalAlignment", value);
        EXPECT_EQ(wb.format(stored(1, 1)->format).align, align) << value;
    }
    for (int bad : {0, 8, 99, -4107})
        EXPECT_EQ(errorCodeOf([&] { propertyPut(cell(1, 1), "HorizontalAlignment", bad); }), code::ApplicationDefined) << bad;
    EXPECT_EQ(errorCodeOf([&] { propertyPut(cell(1, 1), "ColumnWidth", 256); }), code::ApplicationDefined);
}

TEST_F(Engine, MergeKeepsTheTopLeftValueAndSwallowsTouchingMerges) {
    methodCall(sheet, "Activate");
    for (int c = 3; c <= 8; ++c) propertyPut(cell(1, c), "Value", std::to_string(c));
    Handle title = propertyGet(sheet, "Range", {"C1:H1"});
    methodCall(title, "Select");
    methodCall(title, "Merge");
    propertyPut(title, "Value", "ФАЗА А");
    EXPECT_EQ(propertyGet(cell(1, 3), "Value").text(), "ФАЗА А");
    EXPECT_EQ(propertyGet(cell(1, 4), "Value").text(), "");
    EXPECT_EQ(propertyGet(cell(1, 8), "Value").text(), "");
    methodCall(propertyGet(sheet, "Range", {"H1:I2"}), "Merge");
    EXPECT_THAT(sheetOf(sheet)->merges(), ElementsAre(Rect{1, 3, 2, 9}));
    methodCall(propertyGet(sheet, "Range", {"K5"}), "Merge");  // one cell: nothing to merge
    EXPECT_EQ(sheetOf(sheet)->merges().size(), 1u);

    // Select works only on the active sheet.
    Handle other = propertyGet(book, "WorkSheets", {2});
    EXPECT_EQ(errorCodeOf([&] { methodCall(propertyGet(other, "Range", {"A1:B1"}), "Select"); }), code::ApplicationDefined);
    methodCall(other, "Activate");
    EXPECT_EQ(errorCodeOf([&] { methodCall(propertyGet(other, "Range", {"A1:B1"}), "Select"); }), 0);
}

TEST_F(Engine, SheetNamesFollowTheApplicationsRules) {
    Handle other = propertyGet(book, "WorkSheets", {2});
    propertyPut(sheet, "Name", "Результат текущих измерений");
    for (const char* bad : {"", "a:b", "a/b", "[x]", "'x", "1234567890123456789012345678901x",
                            "РЕЗУЛЬТАТ текущих ИЗМЕРЕНИЙ"})
        EXPECT_EQ(errorCodeOf([&] { propertyPut(other, "Name", bad); }), code::ApplicationDefined) << bad;
    EXPECT_NO_THROW(propertyPut(sheet, "Name", "РЕЗУЛЬТАТ ТЕКУЩИХ ИЗМЕРЕНИЙ"));  // itself may change case
    EXPECT_NO_THROW(propertyPut(other, "Name", "Данные из памяти прибора"));
}

TEST_F(Engine, ClosedWorkbooksAndAQuitApplicationFailTheirObjects) {
    Handle c = cell(3, 1);
    Handle workbooks = propertyGet(app, "WorkBooks");
    methodCall(workbooks, "add");
    methodCall(book, "Close");
    EXPECT_EQ(errorCodeOf([&] { propertyPut(c, "Value", "x"); }), code::Disconnected);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(sheet, "Cells", {1, 1}); }), code::Disconnected);
    EXPECT_EQ(errorCodeOf([&] { methodCall(book, "Save"); }), code::Disconnected);
    EXPECT_EQ(applicationOf(app)->workbooks().size(), 1u);  // the second one is now the first
    Handle second = propertyGet(propertyGet(app, "WorkBooks", {1}), "WorkSheets", {1});

    propertyPut(app, "DisplayAlerts", false);
    methodCall(app, "Quit");
    EXPECT_EQ(errorCodeOf([&] { propertyGet(second, "Cells", {1, 1}); }), code::ServerUnavailable);
    EXPECT_EQ(errorCodeOf([&] { propertyGet(workbooks, "Item"); }), code::ServerUnavailable);
    EXPECT_EQ(errorCodeOf([&] { propertyPut(app, "Visible", true); }), code::ServerUnavailable);
    EXPECT_EQ(errorCodeOf([&] { methodCall(app, "Quit"); }), code::ServerUnavailable);
}

struct FakeViewer final : Viewer {
    std::vector<std::string>& log;
    explicit FakeViewer(std::vector<std::string>& l) : log(l) { log.push_back("made"); }
    ~FakeViewer() override { log.push_back("gone"); }
    void setVisible(bool v) override { log.push_back(v ? "show" : "hide"); }
    void layoutChanged() override { log.push_back("layout"); }
    void rowsChanged(const Sheet& s, std::int32_t a, std::int32_t b) override {
        log.push_back(s.name() + " " + std::to_string(a) + "-" + std::to_string(b));
    }
};

TEST_F(Engine, VisibleMakesTheViewerOnceAndItFollowsTheWrites) {
    std::vector<std::string> log;
    setViewerFactory([&](Application&) { return std::make_unique<FakeViewer>(log); });
    propertyPut(cell(3, 1), "Value", "before");  // no viewer yet: nothing told
    propertyPut(app, "Visible", true);
    propertyPut(cell(4, 1), "Value", "1");
    propertyPut(app, "Visible", false);
    propertyPut(app, "Visible", true);
    methodCall(app, "Quit");
    setViewerFactory(nullptr);
    EXPECT_THAT(log, ElementsAre("made", "show", "Лист1 4-4", "hide", "show", "gone"));
}

TEST_F(Engine, WithoutAViewerVisibleIsOnlyAFlag) {
    propertyPut(app, "Visible", true);
    EXPECT_TRUE(applicationOf(app)->visible());
    EXPECT_EQ(applicationOf(app)->viewer(), nullptr);
}

TEST(EngineRegistration, AnswersForTheSpreadsheetProgramIdentifier) {
    ScopedFactory keep(kSpreadsheetProgId, nullptr);  // restores whatever was registered
    registerBuiltInEngine();
    Handle app = createObject("Excel.Application");
    EXPECT_NE(applicationOf(app), nullptr);
}

}  // namespace
