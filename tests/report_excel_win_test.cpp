// The report's operations through the COM layer against a spreadsheet application that behaves
// as Excel's documentation says (support/excel_fake_win): the locale of values, a busy
// application, one closed by hand, closing, saving, opening, and the calls each step costs.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>

#include "automation/automation_com_win.h"
#include "common/messages.h"
#include "report/report_journal.h"
#include "report/report_layout.h"
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
    // The report opened from a file the application has, with the readings in the store.
    void openFile(const std::string& path, ExcelFake::File file) {
        excel.addFile(path, file);
        f.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
        fillStore();
        f.report.OpenReport(path);
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
    // Each code an application gone gives, RPC_S_CALL_FAILED_DNE (0x800706BF) and
    // CO_E_OBJNOTCONNECTED (0x800401FD) among them: one box, no question, no save dialog.
    for (HRESULT code : {static_cast<HRESULT>(0x80010108), static_cast<HRESULT>(0x800706BA), static_cast<HRESULT>(0x800706BE),
                         static_cast<HRESULT>(0x800706BF), static_cast<HRESULT>(0x80010007), static_cast<HRESULT>(0x80010012),
                         static_cast<HRESULT>(0x800A01A8), static_cast<HRESULT>(0x800401FD)}) {
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
    openFile("C:\\reports\\old.xls", {2, 1});
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

    // A password for writing, and a "read-only recommended" question: neither may wait on the
    // hidden window (Workbooks.Open's WriteResPassword and IgnoreReadOnlyRecommended,
    // https://learn.microsoft.com/office/vba/api/excel.workbooks.open).
    auto openAsked = [&](ReportFixture& x, const std::string& path, bool ExcelFake::File::*asked) {
        ExcelFake::File file{2, 0};
        file.*asked = true;
        excel.addFile(path, file);
        x.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
        x.report.OpenReport(path);
    };
    ReportFixture w;
    openAsked(w, "C:\\r\\reserved.xlsx", &ExcelFake::File::writeReserved);
    EXPECT_EQ(w.dialogs.texts(), std::vector<std::string>{msg::CannotOpenFile});
    EXPECT_FALSE(excel.waitedOnAPrompt());
    ReportFixture r;
    openAsked(r, "C:\\r\\recommended.xlsx", &ExcelFake::File::readOnlyRecommended);
    EXPECT_TRUE(r.state.ReportOpen && r.state.ReportHasFile);
    EXPECT_EQ(r.state.LiveRow, 5);
    EXPECT_FALSE(excel.waitedOnAPrompt());

    ReportFixture h;
    h.clock.setFileDate(LocalDateTime{2026, 11, 30, 18, 0, 0});
    excel.addFile("C:\\r\\shared.xlsx", {1, 0, false, false, true});
    h.report.OpenReport("C:\\r\\shared.xlsx");
    EXPECT_EQ(h.dialogs.texts(), std::vector<std::string>{msg::ReportReadOnly});
    EXPECT_TRUE(h.state.ReportOpen);
    EXPECT_FALSE(h.state.ReportHasFile);
}

TEST_F(ReportExcel, ARefusedRowLetsTheOthersInClosesTheReportAndIsRecoveredIntoItsOwnRow) {
    TempFolder state;
    auto journal = std::make_unique<ReportJournal>(state.path);
    f.report.setJournal(journal.get());
    fillStore();
    f.report.CreateReport();
    const std::string shift = "C:\\r\\shift.xlsx";
    f.dialogs.saveName(shift);
    f.report.Save();
    f.appendLiveRow();  // row 3
    // Rows wait for a busy Excel; meanwhile the operator protects the live sheet, and takes the
    // protection off again once the first of them has been refused.
    excel.busyFor(100000, VbaIgnore);
    f.appendLiveRow();     // live row 4
    f.appendMemoryRow(0);  // memory row 4
    f.appendLiveRow();     // live row 5
    f.appendMemoryRow(1);  // memory row 5
    EXPECT_EQ(f.report.PendingRows(), 4u);
    excel.protectSheet(1);
    excel.duringCall("Value", [&] { excel.duringCall("Value", [&] { excel.protectSheet(1, false); }); });
    excel.busyFor(0, S_OK);
    f.appendLiveRow();  // live row 6
    // Only live row 4 is left out; then the report closes as a refused row closes it: Yes to
    // the save question saves the rows written, the operator hears exactly which row the file
    // lacks, then the row's message. The journal keeps every row.
    EXPECT_EQ(f.dialogs.texts(),
              (std::vector<std::string>{msg::SpreadsheetBusy, msg::SaveQuestion,
                                        msg::savedWithoutRows(layout::LiveSheetName, layout::MemorySheetName, {{true, 4}}),
                                        msg::CannotAddRecord}));
    EXPECT_FALSE(f.state.ReportOpen);
    EXPECT_TRUE(excel.quit());
    for (int row : {3, 5, 6}) EXPECT_EQ(excel.savedCell(shift, 1, row, 3).number, 220.5) << row;
    EXPECT_EQ(excel.savedCell(shift, 1, 4, 3).type, VT_EMPTY);
    EXPECT_EQ(excel.savedCell(shift, 2, 4, 1).text, "Весь период");
    EXPECT_EQ(excel.savedCell(shift, 2, 5, 1).number, 1);
    EXPECT_EQ(ReportJournal::read(journal->path())->rows.size(), 6u);
    EXPECT_FALSE(excel.objectReleasedInItsCall());

    // The next start: the file holds every journaled row but live row 4. The rows it holds
    // before the gap are skipped, the others go into their own rows again: none twice.
    f.report.setJournal(nullptr);
    journal.reset();
    journal = std::make_unique<ReportJournal>(state.path);
    ReportFixture g;
    g.clock.setFileDate(LocalDateTime{2026, 12, 6, 8, 0, 0});
    g.report.setJournal(journal.get());
    JournalOffers offers = journal->offers();
    ASSERT_EQ(offers.list.size(), 1u);
    g.report.RecoverReport(offers.list[0]);
    ASSERT_TRUE(g.state.ReportOpen);
    EXPECT_EQ(g.view.name, "shift.xlsx");
    EXPECT_TRUE(g.dialogs.messages().empty());
    EXPECT_EQ(g.state.LiveRow, 7);
    EXPECT_EQ(g.state.MemoryRow, 6);
    for (int row = 3; row <= 6; ++row) EXPECT_TRUE(liveRowWhole(row)) << row;
    EXPECT_EQ(excel.cell(1, 7, 1).type, VT_EMPTY);
    EXPECT_EQ(excel.cell(2, 6, 1).type, VT_EMPTY);
    g.report.Save();
    EXPECT_TRUE(g.state.ReportSaved);
    EXPECT_FALSE(fs::exists(journal->path()));

    // "Сохранить" whose waiting row is refused: the same close runs inside the save, and the
    // save then stops quietly (nothing called through a released handle, no "Excel закрыт").
    g.appendLiveRow();  // row 7
    excel.busyFor(100000, VbaIgnore);
    g.appendLiveRow();  // row 8 waits
    excel.protectSheet(1);
    excel.busyFor(0, S_OK);
    g.dialogs.clear();
    g.report.Save();
    EXPECT_EQ(g.dialogs.texts(),
              (std::vector<std::string>{msg::SaveQuestion,
                                        msg::savedWithoutRows(layout::LiveSheetName, layout::MemorySheetName, {{true, 8}}),
                                        msg::CannotAddRecord}));
    EXPECT_FALSE(g.state.ReportOpen);
    EXPECT_EQ(excel.savedCell(shift, 1, 7, 1).type, VT_R8);  // its date
    EXPECT_EQ(excel.savedCell(shift, 1, 8, 1).type, VT_EMPTY);
    EXPECT_EQ(ReportJournal::read(journal->path())->rows.size(), 2u);
    EXPECT_FALSE(excel.objectReleasedInItsCall());
}

namespace {
// The window's timer, as a thread timer whose ticks run `tick` when they are dispatched.
thread_local std::function<void()> timerTick;
void CALLBACK onTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (timerTick) timerTick();
}
struct WindowTimer {
    UINT_PTR id;
    explicit WindowTimer(std::function<void()> tick) {
        timerTick = std::move(tick);
        id = SetTimer(nullptr, 0, 20, onTimer);
    }
    ~WindowTimer() {
        KillTimer(nullptr, id);
        timerTick = nullptr;
    }
};
}  // namespace

TEST_F(ReportExcel, ARowWrittenWhileACallWaitsOnlyQueuesAndGoesInWhole) {
    TempFolder state;
    ReportJournal journal(state.path);
    f.report.setJournal(&journal);
    fillStore();
    f.report.CreateReport();
    // A tick dispatched while a row's write waits: its row queues behind and goes in after it.
    excel.duringCall("Value", [&] { f.appendLiveRow(); });
    f.appendLiveRow();
    EXPECT_TRUE(liveRowWhole(3));
    EXPECT_TRUE(liveRowWhole(4));
    EXPECT_EQ(f.state.LiveRow, 5);
    EXPECT_EQ(f.report.PendingRows(), 0u);

    // Ticks while a busy Excel's row is tried again: the wait dispatches the window's messages
    // (the window paints, its timer runs), and every row goes in whole, in its own row.
    int ticks = 0;
    {
        WindowTimer timer([&] {
            if (++ticks <= 3) f.appendLiveRow();
        });
        excel.busyFor(3, VbaIgnore);
        f.appendLiveRow();
    }
    EXPECT_GT(ticks, 0);
    f.appendLiveRow();  // the next tick takes any row still queued
    EXPECT_EQ(f.report.PendingRows(), 0u);
    for (int row = 3; row < f.state.LiveRow; ++row) EXPECT_TRUE(liveRowWhole(row)) << row;
    EXPECT_FALSE(liveRowWhole(f.state.LiveRow));
    EXPECT_FALSE(excel.objectReleasedInItsCall());

    // A tick while Save waits: the file does not hold that row, so the report stays unsaved and
    // the journal keeps exactly it; it goes into the sheet right after the save.
    f.dialogs.clear();
    f.dialogs.saveName("C:\\r\\nested.xlsx");
    const std::int32_t next = f.state.LiveRow;
    excel.duringCall("SaveAs", [&] { f.appendLiveRow(); });
    f.report.Save();
    EXPECT_EQ(excel.savedName(), "C:\\r\\nested.xlsx");
    EXPECT_FALSE(f.state.ReportSaved);
    EXPECT_TRUE(liveRowWhole(next));
    EXPECT_EQ(excel.savedCell("C:\\r\\nested.xlsx", 1, next, 3).type, VT_EMPTY);
    EXPECT_EQ(excel.savedCell("C:\\r\\nested.xlsx", 1, next - 1, 3).number, 220.5);
    auto kept = ReportJournal::read(journal.path());
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->rows.size(), 1u);
    EXPECT_EQ(kept->header.liveRow, next);
    EXPECT_TRUE(f.dialogs.messages().empty());
    EXPECT_FALSE(excel.objectReleasedInItsCall());
}

TEST_F(ReportExcel, QuitOnlyWhenTheWorkbooksWereCountedAsNoneAndTheQuestionsAreOnAgain) {
    // Application.Quit throws away every workbook unasked while DisplayAlerts is off
    // (https://learn.microsoft.com/office/vba/api/excel.application.quit).
    f.report.CreateReport();
    f.state.ReportSaved = true;
    excel.failMember("Count");
    EXPECT_TRUE(f.report.CloseReport());
    EXPECT_FALSE(excel.quit());
    EXPECT_TRUE(excel.userControl() && excel.visible());
    EXPECT_EQ(excel.workbooks(), 0);  // the report's workbook is closed all the same

    ReportFixture g;
    excel.failMember("");
    g.report.CreateReport();
    g.state.ReportSaved = true;
    excel.failMember("DisplayAlerts");  // the questions cannot be turned back on
    g.report.CloseReport();
    EXPECT_FALSE(excel.quit());
    EXPECT_TRUE(excel.userControl() && excel.visible());

    // Excel busy once the workbook is closed: the count is not read, the application is left
    // to the operator, who is asked nothing.
    ReportFixture h;
    excel.failMember("");
    h.report.CreateReport();
    h.state.ReportSaved = true;
    excel.busyFor(100000, RetryLater, 3);  // DisplayAlerts, Close, DisplayAlerts go through
    EXPECT_TRUE(h.report.CloseReport());
    EXPECT_FALSE(excel.quit());
    EXPECT_FALSE(h.state.ReportOpen);
    EXPECT_TRUE(h.dialogs.messages().empty());
    excel.busyFor(0, S_OK);
}

TEST_F(ReportExcel, ClosingWhileExcelStaysBusyAsksOnceAndLeavesTheReportOpen) {
    TempFolder state;
    ReportJournal journal(state.path);
    f.report.setJournal(&journal);
    fillStore();
    f.report.CreateReport();
    f.dialogs.saveName("C:\\r\\busy.xlsx");
    f.report.Save();
    f.appendLiveRow();
    f.appendLiveRow();
    // The operator edits a cell and does not finish: after a while (one patience for the whole
    // close) he is asked once, and leaves the report open. The window's timer ran meanwhile.
    excel.busyFor(1000000, VbaIgnore);
    int ticks = 0;
    {
        WindowTimer timer([&] {
            if (++ticks <= 2) f.appendLiveRow();
        });
        EXPECT_FALSE(f.report.CloseReport());
    }
    EXPECT_GT(ticks, 0);
    EXPECT_TRUE(f.state.ReportOpen);
    ASSERT_EQ(f.dialogs.messages().size(), 1u);
    EXPECT_EQ(f.dialogs.messages()[0].text, msg::SpreadsheetBusyWait);
    EXPECT_EQ(f.dialogs.messages()[0].buttons, MessageButtons::WaitOrLeave);
    EXPECT_EQ(ReportJournal::read(journal.path())->rows.size(), 4u);  // the rows of the ticks too
    EXPECT_FALSE(f.state.ReportSaved);

    // Again; this time he waits, and finishes editing meanwhile: the close goes through, saved.
    f.dialogs.clear();
    f.dialogs.answer(MessageResult::Wait);
    f.dialogs.whenShown([&](const MessageRequest& r) {
        if (r.buttons == MessageButtons::WaitOrLeave) excel.busyFor(0, S_OK);
    });
    EXPECT_TRUE(f.report.CloseReport());
    EXPECT_EQ(f.dialogs.texts(), (std::vector<std::string>{msg::SpreadsheetBusyWait, msg::SaveQuestion}));
    EXPECT_FALSE(f.state.ReportOpen);
    EXPECT_EQ(excel.savedName(), "C:\\r\\busy.xlsx");
    EXPECT_FALSE(fs::exists(journal.path()));
    for (int row = 3; row <= 6; ++row) EXPECT_EQ(excel.savedCell("C:\\r\\busy.xlsx", 1, row, 3).number, 220.5) << row;
    EXPECT_TRUE(excel.quit());
}

TEST_F(ReportExcel, AnXlsReportIsOfferedXlsxBeforeItsLastRowAndNeverLosesOne) {
    // A report opened from an .xls: the .xls grid of 65,536 rows, 59,998 of them filled.
    openFile("C:\\r\\old.xls", {59998, 1});
    ASSERT_TRUE(f.state.ReportOpen);
    EXPECT_EQ(f.state.LiveRow, 60001);
    EXPECT_EQ(excel.sheetRows(), 65536);
    // Past row 60,000 the operator is offered .xlsx (Yes): saved as .xlsx (SaveAs, FileFormat
    // 51) and opened again, the sheet has 1,048,576 rows.
    f.dialogs.saveName("C:\\r\\old.xlsx");
    f.appendLiveRow();
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::XlsNearlyFull});
    ASSERT_EQ(f.dialogs.fileDialogs().size(), 1u);
    EXPECT_EQ(f.dialogs.fileDialogs()[0].initialName, "C:\\r\\old.xlsx");
    EXPECT_EQ(excel.savedName(), "C:\\r\\old.xlsx");
    EXPECT_EQ(excel.savedFormat(), 51);
    EXPECT_EQ(excel.sheetRows(), 1048576);
    EXPECT_TRUE(f.state.ReportSaved);
    f.state.LiveRow = 65537;
    f.appendLiveRow();
    EXPECT_TRUE(liveRowWhole(65537));
    EXPECT_TRUE(f.state.ReportOpen);

    // A new report saved as .xls (its open workbook keeps the large grid): the operator says No
    // to .xlsx, rows go past 65,536, and a save in place would drop them: it goes through the
    // dialog as .xlsx instead; an .xls name chosen there is refused with the reason.
    ReportFixture g;
    g.report.CreateReport();
    g.dialogs.saveName("C:\\r\\new.xls");
    g.report.Save();
    EXPECT_EQ(excel.savedFormat(), 56);
    g.state.LiveRow = 65535;
    g.dialogs.answer(MessageResult::No);
    for (int i = 0; i < 4; ++i) g.appendLiveRow();
    EXPECT_EQ(g.dialogs.texts(), std::vector<std::string>{msg::XlsNearlyFull});
    g.dialogs.saveName("C:\\r\\new.xls");
    g.dialogs.saveName("C:\\r\\new.xlsx");
    g.report.Save();
    EXPECT_EQ(g.dialogs.texts().back(), msg::XlsTooManyRows);
    ASSERT_EQ(g.dialogs.fileDialogs().size(), 3u);
    EXPECT_EQ(g.dialogs.fileDialogs()[1].initialName, "C:\\r\\new.xlsx");
    EXPECT_EQ(excel.savedName(), "C:\\r\\new.xlsx");
    EXPECT_EQ(excel.savedFormat(), 51);
    EXPECT_EQ(excel.droppedRows(), 0);
    EXPECT_TRUE(g.state.ReportSaved);
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
