// The report's operations through the COM layer against a spreadsheet application that behaves
// as Excel's documentation says (support/excel_fake_win): the locale of values, a busy
// application, one closed by hand, closing, saving, opening, and the calls each step costs.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "automation/automation_com_win.h"
#include "common/messages.h"
#include "report/report_journal.h"
#include "support/excel_fake_win.h"
#include "support/report_fixture.h"

using namespace lumo;
using namespace lumo::test;
namespace fs = std::filesystem;

namespace {

constexpr HRESULT RetryLater = static_cast<HRESULT>(0x8001010A);  // RPC_E_SERVERCALL_RETRYLATER
constexpr HRESULT VbaIgnore = static_cast<HRESULT>(0x800AC472);   // VBA_E_IGNORE

struct ReportExcel : ::testing::Test {
    automation::ThreadApartment apartment;
    ExcelFake excel;
    automation::ScopedFactory factory{automation::kSpreadsheetProgId,
                                      [this] { return automation::com::wrapDispatch(excel.start()); }};
    ReportFixture f;

    void fillStore() {
        for (int n = 1; n <= 18; ++n) f.store.CurrentValues[static_cast<size_t>(n)].set(n == 1 ? "220,5" : std::to_string(n));
        for (int p = 0; p <= 2; ++p)
            for (int n = 1; n <= 18; ++n)
                for (int slot : {ReadingsStore::minIndex(p, n), ReadingsStore::maxIndex(p, n), ReadingsStore::avgIndex(p, n)})
                    (*f.store.MemoryValues)[static_cast<size_t>(slot)].set("0230,500");
    }
    // A row of the live sheet whole: all 20 cells there.
    bool liveRowWhole(int row) const {
        for (int c = 1; c <= 20; ++c)
            if (excel.cell(1, row, c).type == VT_EMPTY) return false;
        return true;
    }
};

struct TempFolder {
    fs::path path = fs::temp_directory_path() / ("lumo-excel-" + std::to_string(std::random_device{}()));
    TempFolder() { fs::create_directories(path); }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

}  // namespace

TEST_F(ReportExcel, ValuesMeanTheSameOnAComputerOfAnyLocale) {
    // An English system: a text "220,5" would stay text there, "ДД.ММ.ГГГГ" would be no format.
    fillStore();
    f.report.CreateReport();
    ASSERT_TRUE(f.state.ReportOpen);
    f.appendLiveRow();
    f.appendMemoryRow(1);
    const ExcelFake::Cell u = excel.cell(1, 3, 3);
    EXPECT_EQ(u.type, VT_R8);
    EXPECT_EQ(u.number, 220.5);
    const ExcelFake::Cell date = excel.cell(1, 3, 1), time = excel.cell(1, 3, 2);
    EXPECT_EQ(date.type, VT_R8);
    EXPECT_EQ(date.number, 46362.0);  // 6 December 2026
    EXPECT_EQ(date.format, "dd.mm.yyyy");
    EXPECT_NEAR(time.number, (7 * 3600 + 5 * 60 + 9) / 86400.0, 1e-9);
    EXPECT_EQ(time.format, "hh:mm:ss");
    EXPECT_EQ(excel.cell(2, 4, 2).number, 230.5);
    EXPECT_EQ(excel.cell(2, 4, 1).number, 1);
    EXPECT_TRUE(excel.badFormatCodes().empty());
    for (LCID l : excel.locales()) EXPECT_EQ(l, 0x0409u);
}

TEST_F(ReportExcel, ABusyExcelNeverClosesTheReportAndGetsEveryRowWhole) {
    fillStore();
    f.report.CreateReport();
    f.appendLiveRow();
    excel.busyFor(100000, VbaIgnore);  // a cell in edit mode
    f.appendLiveRow();
    f.appendLiveRow();
    EXPECT_TRUE(f.state.ReportOpen);
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::SpreadsheetBusy});
    EXPECT_EQ(f.report.PendingRows(), 2u);
    EXPECT_FALSE(liveRowWhole(4));
    EXPECT_EQ(excel.cell(1, 4, 7).type, VT_EMPTY);  // no half row
    excel.busyFor(0, S_OK);
    f.appendLiveRow();
    EXPECT_EQ(f.report.PendingRows(), 0u);
    for (int row = 3; row <= 6; ++row) EXPECT_TRUE(liveRowWhole(row)) << row;

    // A save waits out a short busy stretch (up to about 30 s) and restores Excel's questions.
    f.dialogs.saveName("C:\\reports\\r.xlsx");
    excel.busyFor(8, RetryLater);
    f.report.Save();
    EXPECT_TRUE(f.state.ReportSaved);
    EXPECT_EQ(excel.savedName(), "C:\\reports\\r.xlsx");
    EXPECT_TRUE(excel.displayAlerts());
}

TEST_F(ReportExcel, AnExcelClosedByHandLeavesTheRowsInTheJournalWithoutAQuestion) {
    for (HRESULT code : {static_cast<HRESULT>(0x80010108), static_cast<HRESULT>(0x800706BA), static_cast<HRESULT>(0x800706BE),
                         static_cast<HRESULT>(0x80010007), static_cast<HRESULT>(0x80010012), static_cast<HRESULT>(0x800A01A8)}) {
        TempFolder state;
        ReportJournal journal(state.path);
        ReportFixture g;
        g.report.setJournal(&journal);
        g.report.CreateReport();
        g.appendLiveRow();
        g.appendLiveRow();
        excel.closeByHand(code);
        g.report.CloseReport();
        EXPECT_EQ(g.dialogs.texts(), std::vector<std::string>{msg::SpreadsheetGoneRowsKept}) << std::hex << code;
        EXPECT_TRUE(g.dialogs.fileDialogs().empty());
        EXPECT_FALSE(g.state.ReportOpen);
        auto kept = ReportJournal::read(journal.path());
        ASSERT_TRUE(kept);
        EXPECT_EQ(kept->rows.size(), 2u);
        // A new report keeps that journal aside, for the next start to offer.
        excel.closeByHand(S_OK);
        g.report.CreateReport();
        g.appendLiveRow();
        JournalOffers offers = ReportJournal(state.path).offers();
        EXPECT_EQ(offers.list.size(), 1u);
    }
}

TEST_F(ReportExcel, ClosingQuitsOnlyAnExcelWithoutTheOperatorsWorkbooks) {
    f.report.CreateReport();
    excel.openOperatorWorkbook();
    f.state.ReportSaved = true;
    f.report.CloseReport();
    EXPECT_FALSE(excel.quit());
    EXPECT_FALSE(excel.quitWithOperatorWorkbooks());
    EXPECT_TRUE(excel.userControl());
    EXPECT_TRUE(excel.displayAlerts());
    EXPECT_EQ(excel.workbooks(), 1);

    ReportFixture g;
    g.report.CreateReport();
    g.state.ReportSaved = true;
    g.report.CloseReport();
    EXPECT_TRUE(excel.quit());

    // A "Создать" that fails quits the Excel it started.
    excel.failMember("WorkSheets");
    ReportFixture h;
    h.report.CreateReport();
    EXPECT_EQ(h.dialogs.texts(), std::vector<std::string>{msg::WorkbookEditError});
    EXPECT_TRUE(excel.quit());
}

TEST_F(ReportExcel, SavingKeepsTheFormatOfTheNameAndTheNameSaved) {
    excel.addFile("C:\\reports\\old.xls", {2, 1});
    f.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
    fillStore();
    f.report.OpenReport("C:\\reports\\old.xls");
    ASSERT_TRUE(f.state.ReportOpen) << (f.dialogs.texts().empty() ? "" : f.dialogs.texts()[0]);
    f.appendLiveRow();
    f.report.Save();  // Excel keeps an .xls whole: in place, as .xls
    EXPECT_TRUE(f.dialogs.messages().empty());
    EXPECT_EQ(excel.savedName(), "C:\\reports\\old.xls");
    EXPECT_EQ(excel.savedFormat(), 56);
    EXPECT_TRUE(f.state.ReportSaved);

    ReportFixture g;
    g.report.CreateReport();
    g.dialogs.saveName("C:\\reports\\без расширения");
    g.report.Save();
    EXPECT_TRUE(g.dialogs.messages().empty());
    EXPECT_EQ(excel.savedName(), "C:\\reports\\без расширения.xlsx");
    EXPECT_EQ(g.view.name, "без расширения.xlsx");
    g.report.Save();  // in place: the name saved is the one kept
    EXPECT_EQ(excel.savedName(), "C:\\reports\\без расширения.xlsx");
}

TEST_F(ReportExcel, OpeningNeverWaitsOnAHiddenQuestion) {
    f.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
    excel.addFile("C:\\r\\locked.xlsx", {0, 0, true});
    f.report.OpenReport("C:\\r\\locked.xlsx");
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::CannotOpenFile});
    EXPECT_FALSE(excel.waitedOnAPrompt());

    ReportFixture g;
    g.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
    excel.addFile("C:\\r\\renamed.xls", {5, 0, false, true});
    g.report.OpenReport("C:\\r\\renamed.xls");
    EXPECT_TRUE(g.state.ReportOpen);
    EXPECT_FALSE(excel.waitedOnAPrompt());
    EXPECT_EQ(g.state.LiveRow, 8);
    EXPECT_TRUE(excel.displayAlerts());

    ReportFixture h;
    h.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
    excel.addFile("C:\\r\\shared.xlsx", {1, 0, false, false, true});
    h.report.OpenReport("C:\\r\\shared.xlsx");
    EXPECT_EQ(h.dialogs.texts(), std::vector<std::string>{msg::ReportReadOnly});
    EXPECT_TRUE(h.state.ReportOpen);
    EXPECT_FALSE(h.state.ReportHasFile);
}

TEST_F(ReportExcel, CallsOfEachStep) {
    // Figures: the calls (IDispatch::Invoke, each a round trip into Excel's process) of a live
    // row, a memory row, "Создать", and opening reports of 10,000 to 1,000,000 rows.
    fillStore();
    f.report.CreateReport();
    const int create = excel.invokes();
    excel.clearCounts();
    f.appendLiveRow();
    const int live = excel.invokes();
    excel.clearCounts();
    f.appendMemoryRow(0);
    const int memory = excel.invokes();
    std::printf("excel calls: live row %d, memory row %d, \"Создать\" %d\n", live, memory, create);
    EXPECT_LE(live, 2);
    EXPECT_LE(memory, 2);
    for (int rows : {10000, 100000, 1000000}) {
        const std::string name = "C:\\r\\big" + std::to_string(rows) + ".xlsx";
        excel.addFile(name, {rows, 11});
        ReportFixture g;
        g.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
        excel.clearCounts();
        g.report.OpenReport(name);
        ASSERT_TRUE(g.state.ReportOpen);
        EXPECT_EQ(g.state.LiveRow, 3 + rows);
        std::printf("excel calls: opening a report of %d rows %d\n", rows, excel.invokes());
        EXPECT_LE(excel.invokes(), 1000);
    }
}
