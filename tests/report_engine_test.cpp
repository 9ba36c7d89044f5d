// The report's operations end to end on the built-in engine: the saved file is read back by an
// independent reader (openpyxl), then opened again by the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif
#include <memory>

#include "common/messages.h"
#include "report/report_journal.h"
#include "report/report_layout.h"
#include "spreadsheet/engine.h"
#include "spreadsheet_test_support.h"
#include "support/report_fixture.h"

using namespace lumo;
using namespace lumo::test;
using lumo::test::runOracle;
using lumo::test::ScratchDir;
using lumo::test::shellQuoted;
using ::testing::Contains;
using ::testing::IsSupersetOf;
using ::testing::Not;

namespace {

const std::string kLive = "Результат текущих измерений";
const std::string kMemory = "Данные из памяти прибора";

struct ReportOnEngine : ::testing::Test {
    automation::ScopedFactory engine{automation::kSpreadsheetProgId, spreadsheet::createApplication};
    ScratchDir dir;
    ReportFixture f;

    void fillStore() {
        for (int n = 1; n <= 18; ++n) f.store.CurrentValues[static_cast<size_t>(n)].set(n == 1 ? "230,5" : std::to_string(n));
        auto& mv = *f.store.MemoryValues;
        for (int p = 0; p <= 10; ++p)
            for (int n = 1; n <= 18; ++n) {
                mv[static_cast<size_t>(ReadingsStore::minIndex(p, n))].set("0" + std::to_string(100 * p + n) + ",000");
                mv[static_cast<size_t>(ReadingsStore::maxIndex(p, n))].set("0" + std::to_string(100 * p + n) + ",500");
                mv[static_cast<size_t>(ReadingsStore::avgIndex(p, n))].set("0" + std::to_string(100 * p + n) + ",250");
            }
    }
    std::string saveAs(const std::string& name) {
        std::string path = dir.file(name);
        f.dialogs.saveName(path);
        f.report.Save();
        EXPECT_TRUE(f.state.ReportSaved);
        return path;
    }
};

std::string cell(const std::string& sheet, const std::string& at, const std::string& kind,
                 const std::string& value, const std::string& format = "General",
                 const std::string& align = "-") {
    return "cell\t" + sheet + "\t" + at + "\t" + kind + "\t" + value + "\t" + format + "\t" + align;
}

}  // namespace

TEST_F(ReportOnEngine, CreatedReportWithRowsReadsBackAndReopensBelowTheLastRow) {
    fillStore();
    f.report.CreateReport();
    ASSERT_TRUE(f.state.ReportOpen);
    for (int i = 0; i < 5; ++i) f.appendLiveRow();
    for (int p = 0; p <= 10; ++p) f.appendMemoryRow(p);
    EXPECT_EQ(f.state.LiveRow, 8);
    EXPECT_EQ(f.state.MemoryRow, 15);
    const std::string path = saveAs("report.xlsx");
    EXPECT_EQ(f.view.name, "report.xlsx");
    EXPECT_TRUE(f.dialogs.messages().empty());

    auto lines = runOracle("read_xlsx.py", shellQuoted(path));
    EXPECT_THAT(lines, IsSupersetOf({
        "sheet\t1\t" + kLive, "sheet\t2\t" + kMemory, "active\t" + kLive,
        cell(kLive, "A1", "s", "Дата", "General", "center"),
        cell(kLive, "C1", "s", "ФАЗА А", "General", "center"),
        cell(kLive, "I1", "s", "ФАЗА B", "General", "center"),
        cell(kLive, "E2", "s", "УГОЛ", "General", "center"),
        "merge\t" + kLive + "\tC1:H1", "merge\t" + kLive + "\tO1:T1",
        "width\t" + kLive + "\tA\t10.7109375\t1\t1", "width\t" + kLive + "\tC\t5.7109375\t3\t20",
        // The stamp: a date and a time with their formats, the readings as numbers.
        cell(kLive, "A3", "d", "06.12.2026 00:00:00", "dd.mm.yyyy", "center"),
        cell(kLive, "B3", "d", "07:05:09", "hh:mm:ss", "center"),
        cell(kLive, "C3", "n", "230.5", "General", "center"),
        cell(kLive, "T7", "n", "18.0", "General", "center"),
        cell(kMemory, "A1", "s", "№ периода", "General", "center"),
        cell(kMemory, "B1", "s", "ФАЗА А", "General", "center"),
        cell(kMemory, "AL1", "s", "ФАЗА C", "General", "center"),
        cell(kMemory, "H2", "s", "Угол", "General", "center"),
        cell(kMemory, "BC3", "s", "AVR", "General", "center"),
        "merge\t" + kMemory + "\tBA2:BC2", "merge\t" + kMemory + "\tT1:AK1",
        cell(kMemory, "A4", "s", "Весь период", "General", "center"),
        cell(kMemory, "BA4", "n", "18.0", "General", "center"),
        cell(kMemory, "BC4", "n", "18.25", "General", "center"),
        // Period 2, parameter 1 in B, C, D.
        cell(kMemory, "A6", "n", "2.0", "General", "center"),
        cell(kMemory, "B6", "n", "201.0", "General", "center"),
        cell(kMemory, "C6", "n", "201.5", "General", "center"),
        cell(kMemory, "D6", "n", "201.25", "General", "center"),
        cell(kMemory, "A14", "n", "10.0", "General", "center"),
    }));
    EXPECT_THAT(lines, Not(Contains(::testing::HasSubstr(kLive + "\tA8\t"))));

    // Reopened: the next rows follow the last ones.
    f.report.CloseReport();
    EXPECT_TRUE(f.dialogs.messages().empty());  // saved: nothing asked
    f.report.OpenReport(path);
    ASSERT_TRUE(f.dialogs.messages().empty()) << f.dialogs.texts()[0];
    EXPECT_EQ(f.state.LiveRow, 8);
    EXPECT_EQ(f.state.MemoryRow, 15);
    f.appendLiveRow();
    f.report.Save();  // in place
    EXPECT_EQ(f.dialogs.fileDialogs().size(), 1u);
    EXPECT_THAT(runOracle("read_xlsx.py", shellQuoted(path)),
                Contains(cell(kLive, "C8", "n", "230.5", "General", "center")));
}

TEST_F(ReportOnEngine, EmptyReportReopensAtTheFirstDataRows) {
    f.report.CreateReport();
    const std::string path = saveAs("empty.xlsx");
    f.report.CloseReport();
    f.report.OpenReport(path);
    EXPECT_TRUE(f.state.ReportOpen);
    EXPECT_EQ(f.state.LiveRow, 3);
    EXPECT_EQ(f.state.MemoryRow, 4);
}

TEST_F(ReportOnEngine, ForeignAndBrokenFilesAreRefused) {
    const std::string oneSheet = dir.file("one.xlsx");
    runOracle("make_files.py", "onesheet " + shellQuoted(oneSheet));
    f.report.OpenReport(oneSheet);
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::WrongFileFormat});
    EXPECT_FALSE(f.state.ReportOpen);
    EXPECT_EQ(f.view.date, "нет");

    f.dialogs.clear();
    const std::string text = dir.file("notes.xlsx");
    std::ofstream(text) << "no workbook";
    f.report.OpenReport(text);
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::CannotOpenFile});
    EXPECT_FALSE(f.state.ReportOpen);

    // A workbook of someone else's with two sheets is taken as it is, rows found in column A.
    f.dialogs.clear();
    const std::string foreign = dir.file("foreign.xlsx");
    runOracle("make_files.py", "openpyxl " + shellQuoted(foreign));
    f.report.OpenReport(foreign);
    EXPECT_TRUE(f.dialogs.messages().empty());
    EXPECT_TRUE(f.state.ReportOpen);
    EXPECT_EQ(f.state.LiveRow, 4);   // A3 holds a date
    EXPECT_EQ(f.state.MemoryRow, 5); // A4 holds "Весь период"
    f.report.CloseReport();

    // Data beside an empty column A keeps its rows: a row goes only where the row is empty.
    {
        ReportFixture side;
        side.report.CreateReport();
        for (int row = 3; row <= 9; ++row)
            automation::propertyPut(automation::propertyGet(side.state.LiveSheet, "Cells", {row, 2 + row % 4}),
                                    "Value", "x");
        automation::propertyPut(automation::propertyGet(side.state.MemorySheet, "Cells", {4, 57}), "Value", "y");
        side.dialogs.saveName(dir.file("side.xlsx"));
        side.report.Save();
        side.report.CloseReport();
    }
    f.report.OpenReport(dir.file("side.xlsx"));
    EXPECT_EQ(f.state.LiveRow, 10);
    EXPECT_EQ(f.state.MemoryRow, 5);  // BE4 counts too
    f.report.CloseReport();

    // Files beyond what can be held are refused before they are read; a big file that is no
    // workbook costs a look at its first bytes.
    f.dialogs.clear();
    const std::string huge = dir.file("huge.xlsx");
    std::ofstream(huge) << "PK";
    std::filesystem::resize_file(huge, std::uintmax_t(300) << 20);
    f.report.OpenReport(huge);
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::fileTooLarge(300)});
    f.dialogs.clear();
    std::filesystem::resize_file(huge, std::uintmax_t(200) << 20);
    f.report.OpenReport(huge);
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::CannotOpenFile});
    EXPECT_FALSE(f.state.ReportOpen);
}

TEST_F(ReportOnEngine, AReadOnlyReportIsNeverReplaced) {
    fillStore();
    f.report.CreateReport();
    const std::string path = saveAs("kept.xlsx");
    const std::string before = readBytes(path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    f.appendLiveRow();
    f.report.Save();  // refused; the save dialog is offered and cancelled
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::CannotSaveReport});
    EXPECT_EQ(f.dialogs.fileDialogs().size(), 2u);
    EXPECT_FALSE(f.state.ReportSaved);
    EXPECT_EQ(readBytes(path), before);
}

TEST_F(ReportOnEngine, SaveIntoAMissingFolderIsToldAndOfferedAgain) {
    f.report.CreateReport();
    f.dialogs.saveName(dir.file("gone/report.xlsx"));
    const std::string good = dir.file("kept.xlsx");
    f.dialogs.saveName(good);
    f.report.Save();
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::CannotSaveReport});
    EXPECT_TRUE(f.state.ReportSaved);
    EXPECT_EQ(f.view.name, "kept.xlsx");
    EXPECT_TRUE(std::filesystem::exists(good));
}

TEST_F(ReportOnEngine, AJournalRebuildsUnsavedRowsBelowTheSavedOnesNeverTwiceAndNeverIntoOtherRows) {
    fillStore();
    const auto state = dir.path() / "state";
    auto journal = std::make_unique<ReportJournal>(state);
    f.report.setJournal(journal.get());
    f.report.CreateReport();
    f.appendLiveRow();
    f.appendLiveRow();
    const std::string path = saveAs("report.xlsx");
    EXPECT_FALSE(std::filesystem::exists(journal->path()));  // saved: nothing to keep
    f.appendLiveRow();
    f.appendMemoryRow(0);
    f.appendMemoryRow(1);
    f.appendLiveRow();
    journal.reset();  // the program dies here: the report is never closed

    auto recover = [&](ReportFixture& g) {
        journal = std::make_unique<ReportJournal>(state);
        g.report.setJournal(journal.get());
        JournalOffers offers = journal->offers();
        ASSERT_EQ(offers.list.size(), 1u);
        g.report.RecoverReport(offers.list[0]);
        EXPECT_TRUE(g.state.ReportOpen);
        EXPECT_FALSE(g.state.ReportSaved);
        EXPECT_TRUE(std::filesystem::exists(journal->path()));  // the rows stay journaled until saved
    };
    ReportFixture g;
    recover(g);
    EXPECT_EQ(g.view.name, "report.xlsx");
    EXPECT_EQ(g.state.LiveRow, 7);
    EXPECT_EQ(g.state.MemoryRow, 6);
    // A crash between the save's rename and the journal's removal: the file already holds the
    // journaled rows, cell for cell, so they are not written again.
    const std::string copy = readBytes(journal->path());
    g.report.Save();
    EXPECT_TRUE(g.dialogs.messages().empty());
    std::ofstream(journal->path(), std::ios::binary) << copy;
    journal.reset();
    {
        ReportFixture h;
        recover(h);
        EXPECT_EQ(h.state.LiveRow, 7);
        EXPECT_EQ(h.state.MemoryRow, 6);
    }
    auto lines = runOracle("read_xlsx.py", shellQuoted(path));
    EXPECT_THAT(lines, IsSupersetOf({
        cell(kLive, "A5", "d", "06.12.2026 00:00:00", "dd.mm.yyyy", "center"),
        cell(kLive, "B6", "d", "07:05:09", "hh:mm:ss", "center"),
        cell(kLive, "C6", "n", "230.5", "General", "center"),
        cell(kMemory, "A4", "s", "Весь период", "General", "center"),
        cell(kMemory, "A5", "n", "1.0", "General", "center"),
        cell(kMemory, "BC5", "n", "118.25", "General", "center"),
    }));
    EXPECT_THAT(lines, Not(Contains(::testing::HasSubstr("\tA7\t"))));

    // The file replaced by another report with more rows: its rows are not the journal's, so
    // the journal's rows go below them, none skipped.
    {
        ReportFixture other;
        other.report.CreateReport();
        for (int i = 0; i < 6; ++i) other.report.AppendLiveRow(std::vector<std::string>(18, "7"));
        other.dialogs.saveName(path);
        other.report.Save();
        other.report.CloseReport();
    }
    std::ofstream(journal->path(), std::ios::binary) << copy;
    journal.reset();
    ReportFixture k;
    recover(k);
    EXPECT_EQ(k.state.LiveRow, 11);  // foreign rows 3 to 8, the journal's two at 9 and 10
    EXPECT_EQ(k.state.MemoryRow, 6);
    k.report.Save();
    EXPECT_FALSE(std::filesystem::exists(journal->path()));
    EXPECT_THAT(runOracle("read_xlsx.py", shellQuoted(path)),
                IsSupersetOf({cell(kLive, "C8", "n", "7.0", "General", "center"),
                              cell(kLive, "C9", "n", "230.5", "General", "center"),
                              cell(kLive, "C10", "n", "230.5", "General", "center")}));
}

#ifndef _WIN32
TEST_F(ReportOnEngine, AJournalThatCannotBeWrittenIsToldOnceAndAgainWhenItCan) {
    // The file size limit stands in for a full disk.
    fillStore();
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    ReportJournal journal(dir.path() / "state");
    f.report.setJournal(&journal);
    f.report.CreateReport();
    f.appendLiveRow();
    rlimit full = before;
    full.rlim_cur = std::filesystem::file_size(journal.path());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    f.appendLiveRow();
    f.appendLiveRow();
    EXPECT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::JournalCannotWrite});
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    f.appendMemoryRow(0);
    f.appendLiveRow();
    EXPECT_EQ(f.dialogs.texts(), (std::vector<std::string>{msg::JournalCannotWrite, msg::JournalWritingAgain}));
    EXPECT_EQ(f.state.LiveRow, 7);
    EXPECT_EQ(ReportJournal::read(journal.path())->rows.size(), 5u);  // none lost
}
#endif

TEST_F(ReportOnEngine, ANearlyFullLiveSheetIsToldOnceAndTheRowPastTheEndClosesIt) {
    fillStore();
    f.report.CreateReport();
    f.state.ReportSaved = true;
    f.state.LiveRow = Report::NearlyFullRows;
    f.appendLiveRow();
    EXPECT_TRUE(f.dialogs.messages().empty());
    f.appendLiveRow();  // row 1,000,001
    f.appendLiveRow();
    ASSERT_EQ(f.dialogs.texts(), std::vector<std::string>{msg::ReportNearlyFull});
    EXPECT_EQ(f.dialogs.messages()[0].caption, msg::CaptionWarning);
    f.state.LiveRow = 1048576;  // the sheet's last row still takes one
    f.appendLiveRow();
    EXPECT_EQ(f.dialogs.messages().size(), 1u);
    // Past the sheet's end the row is refused, and the report closes as for any refused row:
    // the save question for the rows written (Yes saves them), the row the file lacks, the
    // row's message.
    const std::string path = dir.file("full.xlsx");
    f.dialogs.saveName(path);
    f.appendLiveRow();
    EXPECT_EQ(f.dialogs.texts(),
              (std::vector<std::string>{msg::ReportNearlyFull, msg::SaveQuestion,
                                        msg::savedWithoutRows(layout::LiveSheetName, layout::MemorySheetName, {{true, 1048577}}),
                                        msg::CannotAddRecord}));
    EXPECT_FALSE(f.state.ReportOpen);
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(ReportOnEngine, ALegacyXlsIsSavedThroughTheDialogAsXlsx) {
    fillStore();
    const std::string legacy = dir.file("legacy.xls");
    runOracle("make_files.py", "xls " + shellQuoted(legacy));
    const std::string before = readBytes(legacy);
    f.report.OpenReport(legacy);
    ASSERT_TRUE(f.state.ReportOpen);
    f.appendLiveRow();
    const std::string xlsx = dir.file("legacy.xlsx");
    f.dialogs.saveName(xlsx);
    f.report.Save();
    ASSERT_EQ(f.dialogs.fileDialogs().size(), 1u);
    EXPECT_EQ(f.dialogs.fileDialogs()[0].initialName, xlsx);
    EXPECT_EQ(readBytes(legacy), before);
    EXPECT_EQ(f.view.name, "legacy.xlsx");
    EXPECT_THAT(runOracle("read_xlsx.py", shellQuoted(xlsx)),
                Contains(::testing::HasSubstr(kLive + "\tC4\tn\t230.5")));
    f.appendLiveRow();
    f.report.Save();  // now in place, without a dialog
    EXPECT_EQ(f.dialogs.fileDialogs().size(), 1u);
}
