// The real main window against the simulated meter on a pseudo-terminal and the built-in
// spreadsheet engine: live polling, the settings check, memory downloads, a whole run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "app/Userprog.h"
#include "app/window_style.h"
#include "app/Usersett.h"
#include "app/startup.h"
#include "common/messages.h"
#include "report/report_journal.h"
#include "sim/meter_server.h"
#include "spreadsheet/engine.h"
#include "spreadsheet/viewer_qt.h"
#include "spreadsheet_test_support.h"
#include "support/pty_pair.h"
#include "support/scripted_dialogs.h"

using namespace lumo;
using namespace lumo::test;
using namespace std::chrono_literals;
using lumo::test::runOracle;
using lumo::test::ScratchDir;
using lumo::test::shellQuoted;
using ::testing::Contains;
using ::testing::IsSupersetOf;

namespace {

constexpr auto Long = 30s;
const std::string kLive = "Результат текущих измерений";
const std::string kMemory = "Данные из памяти прибора";

class WindowRun : public ::testing::Test {
protected:
    void start(const std::string& portName, const std::string& journalFolder = "") {
        std::ofstream(dir.file("UserLumo.INI")) << "[Main]\nCOM=" << portName << "\n";
        context = std::make_unique<AppContext>(dialogs, clock, dir.file("UserLumo.INI"), journalFolder);
        createWindows(*context);
        w = formLumo;
    }
    void TearDown() override { destroyWindows(); }

    // The live worker's next job ends (waits on the job count, not on time).
    void waitLiveJob(std::uint64_t done) { ASSERT_TRUE(w->liveWorker().waitForJobs(done, Long)); }
    // One tick of the memory timer after the download worker has finished.
    void finishDownload() {
        ASSERT_TRUE(w->memoryWorker().waitForState(HoldableThread::State::Waiting, Long));
        const auto deadline = std::chrono::steady_clock::now() + Long;
        while (w->readings().MemoryBusy.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        w->timerMemTimer();
    }
    QString label(int n) const { return w->valueLabel(n)->text(); }
    // The memory requests the meter was asked, a resend (a request repeated at once, which a
    // busy machine may cause) counted once.
    static size_t memoryRequestsAsked(const sim::MeterServer& meter) {
        size_t n = 0;
        sim::Request last{};
        for (const sim::Request& r : meter.requests()) {
            if (r.command != 'D' && !(n > 0 && r == last)) ++n;
            last = r;
        }
        return n;
    }

    ScratchDir dir;
    ScriptedDialogs dialogs;
    PinnedClock clock{{2026, 12, 6, 7, 5, 9}};
    automation::ScopedFactory engine{automation::kSpreadsheetProgId, spreadsheet::createApplication};
    std::unique_ptr<AppContext> context;
    TformLumo* w = nullptr;
};

sim::MeterConfig meterWith(int periods = 10) {
    sim::MeterConfig c;
    c.periods = periods;
    return c;
}

}  // namespace

TEST_F(WindowRun, PollingShowsTheReadingsAtTheNextTickAndStops) {
    sim::MeterServer sim(meterWith());
    start(sim.devicePath());
    ASSERT_TRUE(w->serialPort().PortOpen());
    EXPECT_EQ(sim.requestCount(), 0u);  // nothing is sent before the first press

    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    EXPECT_EQ(lumo::ui::control<QPushButton>(*w, "butGetTekData")->text(), "Остановить");
    EXPECT_TRUE(w->livePolling() && lumo::ui::control<QTimer>(*w, "timerPeriod")->isActive());
    waitLiveJob(1);  // the press woke a job at once
    EXPECT_EQ(label(1), "нет");  // shown only at the tick
    w->timerPeriodTimer();
    const QRegularExpression number("^-?\\d+(,\\d+)?$");
    for (int n = 1; n <= 18; ++n) EXPECT_TRUE(number.match(label(n)).hasMatch()) << n << " " << label(n).toStdString();
    const double u = QLocale(QLocale::Russian).toDouble(label(1));
    EXPECT_GT(u, 200);
    EXPECT_LT(u, 250);

    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    EXPECT_EQ(lumo::ui::control<QPushButton>(*w, "butGetTekData")->text(), "Текущие данные");
    EXPECT_FALSE(w->livePolling() || lumo::ui::control<QTimer>(*w, "timerPeriod")->isActive());
    const QString shown = label(1);
    waitLiveJob(2);  // the job that the tick woke still ends and stores its readings...
    EXPECT_EQ(label(1), shown);  // ...which are not shown while polling is stopped
}

TEST_F(WindowRun, ARowAfterNoJobHoldsNoneForReadingsNotTakenSinceTheLastRow) {
    sim::MeterServer sim(meterWith());
    start(sim.devicePath());
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    lumo::ui::control<QCheckBox>(*w, "cbAddToReport")->setChecked(true);
    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    waitLiveJob(1);
    w->timerPeriodTimer();  // row 3
    waitLiveJob(2);
    w->liveWorker().Suspend();  // the meter stops giving readings: no job from here on
    w->timerPeriodTimer();      // row 4: the readings of the job after row 3
    w->timerPeriodTimer();      // row 5: no job since row 4
    auto cell = [&](int row, int column) {
        return automation::propertyGet(automation::propertyGet(w->reportState().LiveSheet, "Cells", {row, column}),
                                       "Value").text();
    };
    for (int column = 3; column <= 20; ++column) {
        EXPECT_NE(cell(4, column), "нет") << column;
        EXPECT_EQ(cell(5, column), "нет") << column;
    }
    EXPECT_NE(cell(5, 1), "");          // the row is there, with its time
    EXPECT_NE(label(1), "нет");         // the labels show what the slots hold

    // Polling stopped: the job under way ends meanwhile. Started again, the first row before
    // a job of the new run has ended does not pass those older readings off as taken now.
    auto* button = lumo::ui::control<QPushButton>(*w, "butGetTekData");
    button->click();
    waitLiveJob(3);
    w->liveWorker().Suspend();  // the new run's job does not end before its first row
    button->click();
    w->timerPeriodTimer();  // row 6
    for (int column = 3; column <= 20; ++column) EXPECT_EQ(cell(6, column), "нет") << column;
    w->liveWorker().Resume();
}

TEST_F(WindowRun, TickedBoxWithoutAReportWakesNoJob) {
    sim::MeterServer sim(meterWith());
    start(sim.devicePath());
    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    waitLiveJob(1);
    ASSERT_TRUE(w->liveWorker().waitForState(HoldableThread::State::Waiting, Long));
    lumo::ui::control<QCheckBox>(*w, "cbAddToReport")->setChecked(true);
    w->timerPeriodTimer();
    EXPECT_EQ(w->liveWorker().HoldCount(), 1);  // not woken: the readings stay as they are
    lumo::ui::control<QCheckBox>(*w, "cbAddToReport")->setChecked(false);
    w->timerPeriodTimer();
    waitLiveJob(2);
}

TEST_F(WindowRun, SettingsCheckGoodSilentAndMissingPorts) {
    sim::MeterServer sim(meterWith());
    PtyPair silent;
    start(sim.devicePath());
    TfrmSettings& s = *frmSettings;

    lumo::ui::control<QPushButton>(s, "butCheckConnect")->click();  // the same port again: closed and opened anew, the meter answers
    EXPECT_EQ(lumo::ui::control<QLabel>(s, "labStatus")->text(), "Прибор подключен");
    EXPECT_TRUE(w->serialPort().PortOpen());

    lumo::ui::control<QComboBox>(s, "cbCOM")->setCurrentText(QString::fromStdString(silent.slavePath()));
    lumo::ui::control<QPushButton>(s, "butCheckConnect")->click();
    EXPECT_EQ(lumo::ui::control<QLabel>(s, "labStatus")->text(), "Прибор не подключен");
    EXPECT_TRUE(w->serialPort().PortOpen());  // stays open under the new name
    EXPECT_TRUE(dialogs.messages().empty());

    lumo::ui::control<QComboBox>(s, "cbCOM")->setCurrentText("/dev/lumo-no-such-port");
    lumo::ui::control<QPushButton>(s, "butCheckConnect")->click();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{std::string(msg::CannotOpenPort) + "\n" + msg::PortNotFound});
    EXPECT_EQ(lumo::ui::control<QLabel>(s, "labStatus")->text(), "Прибор не подключен");
    EXPECT_FALSE(w->serialPort().PortOpen());
}

TEST_F(WindowRun, AMeterThatHangsUpIsToldOnceAndLaterJobsAreSilent) {
    sim::MeterConfig c = meterWith();
    c.hangUpAfter = 5;
    sim::MeterServer sim(c);
    start(sim.devicePath());
    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    waitLiveJob(1);
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CheckConnection});
    EXPECT_FALSE(w->serialPort().PortOpen());
    w->timerPeriodTimer();
    waitLiveJob(2);
    EXPECT_EQ(dialogs.texts().size(), 1u);
    EXPECT_EQ(label(18), "нет");
}

TEST_F(WindowRun, ClosingWhilePollingEndsTheWorkersWithoutAHang) {
    sim::MeterConfig c = meterWith();
    c.paced = true;  // a job takes most of a second: the close meets it under way
    sim::MeterServer sim(c);
    start(sim.devicePath());
    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    ASSERT_TRUE(sim.waitForRequests(2, Long));
    w->close();
    EXPECT_EQ(w->liveWorker().state(), HoldableThread::State::Stopped);
    EXPECT_FALSE(w->serialPort().PortOpen());
    EXPECT_FALSE(lumo::ui::control<QTimer>(*w, "timerPeriod")->isActive());
}

TEST_F(WindowRun, WholeRunPollDownloadSaveReopen) {
    sim::MeterServer sim(meterWith(10));
    start(sim.devicePath());
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    ASSERT_TRUE(w->reportState().ReportOpen);
    EXPECT_EQ(lumo::ui::control<QLabel>(*w, "LabReportDate")->text(), "6.12.2026");
    EXPECT_TRUE(lumo::ui::control<QPushButton>(*w, "butReadMemory")->isEnabled() && lumo::ui::control<QPushButton>(*w, "ButShow")->isEnabled());

    lumo::ui::control<QCheckBox>(*w, "cbAddToReport")->setChecked(true);
    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    for (std::uint64_t tick = 1; tick <= 3; ++tick) {
        waitLiveJob(tick);
        w->timerPeriodTimer();
    }
    EXPECT_EQ(w->reportState().LiveRow, 6);
    waitLiveJob(4);

    // A download while polling stops polling.
    lumo::ui::control<QPushButton>(*w, "butReadMemory")->click();
    EXPECT_EQ(lumo::ui::control<QPushButton>(*w, "butGetTekData")->text(), "Текущие данные");
    EXPECT_FALSE(w->livePolling() || lumo::ui::control<QTimer>(*w, "timerPeriod")->isActive());
    EXPECT_FALSE(lumo::ui::control<QPushButton>(*w, "butGetTekData")->isEnabled() || lumo::ui::control<QPushButton>(*w, "butReadMemory")->isEnabled());
    EXPECT_TRUE(lumo::ui::control<QTimer>(*w, "timerMem")->isActive());
    finishDownload();
    EXPECT_FALSE(lumo::ui::control<QTimer>(*w, "timerMem")->isActive());
    EXPECT_TRUE(lumo::ui::control<QPushButton>(*w, "butGetTekData")->isEnabled() && lumo::ui::control<QPushButton>(*w, "butReadMemory")->isEnabled());
    EXPECT_EQ(w->periodsWritten(), 11);
    EXPECT_EQ(lumo::ui::control<QLabel>(*w, "labReadCnt")->text(), "Считано 11 из 11");
    EXPECT_EQ(w->reportState().MemoryRow, 15);
    EXPECT_EQ(memoryRequestsAsked(sim), 595u);
    EXPECT_FALSE(w->reportState().ReportSaved);

    const std::string path = dir.file("run.xlsx");
    dialogs.saveName(path);
    lumo::ui::control<QAction>(*w, "Save")->trigger();
    ASSERT_TRUE(w->reportState().ReportSaved);
    EXPECT_EQ(lumo::ui::control<QLabel>(*w, "LabRepName")->text(), "run.xlsx");
    lumo::ui::control<QAction>(*w, "Close")->trigger();
    EXPECT_FALSE(w->reportState().ReportOpen);
    EXPECT_EQ(lumo::ui::control<QLabel>(*w, "LabRepName")->text(), "нет");
    EXPECT_TRUE(dialogs.messages().empty());

    auto lines = runOracle("read_xlsx.py", shellQuoted(path));
    EXPECT_THAT(lines, IsSupersetOf({
        "cell\t" + kLive + "\tA5\td\t06.12.2026 00:00:00\tdd.mm.yyyy\tcenter",
        "cell\t" + kLive + "\tB5\td\t07:05:09\thh:mm:ss\tcenter",
        "cell\t" + kMemory + "\tA4\ts\tВесь период\tGeneral\tcenter",
        "cell\t" + kMemory + "\tA14\tn\t10.0\tGeneral\tcenter",
    }));
    int liveValues = 0, memoryValues = 0;
    for (const auto& l : lines) {
        if (l.rfind("cell\t" + kLive + "\t", 0) == 0 && l.find("\tn\t") != std::string::npos) ++liveValues;
        if (l.rfind("cell\t" + kMemory + "\t", 0) == 0 && l.find("\tn\t") != std::string::npos) ++memoryValues;
    }
    EXPECT_EQ(liveValues, 3 * 18);
    EXPECT_EQ(memoryValues, 11 * 54 + 10);  // the statistics and the labels 1 to 10

    // Reopened: the rows continue below the last ones.
    dialogs.openName(path);
    lumo::ui::control<QAction>(*w, "Open")->trigger();
    ASSERT_TRUE(w->reportState().ReportOpen) << (dialogs.texts().empty() ? "" : dialogs.texts()[0]);
    EXPECT_EQ(w->reportState().LiveRow, 6);
    EXPECT_EQ(w->reportState().MemoryRow, 15);
    EXPECT_EQ(lumo::ui::control<QLabel>(*w, "LabRepName")->text(), "run.xlsx");

    // Polling takes up again: the first press only takes the download's hold away, the first
    // tick starts the job.
    const std::uint64_t jobs = w->liveWorker().JobsDone();
    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    EXPECT_EQ(w->liveWorker().HoldCount(), 1);
    lumo::ui::control<QCheckBox>(*w, "cbAddToReport")->setChecked(false);
    w->timerPeriodTimer();
    waitLiveJob(jobs + 1);
}

TEST_F(WindowRun, TwoDownloadsInARowAndAMeterWithoutPeriods) {
    sim::MeterServer sim(meterWith(2));
    start(sim.devicePath());
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    for (int i = 0; i < 2; ++i) {
        lumo::ui::control<QPushButton>(*w, "butReadMemory")->click();
        finishDownload();
        EXPECT_EQ(w->periodsWritten(), 3);
    }
    EXPECT_EQ(w->reportState().MemoryRow, 4 + 6);  // the second download's rows below the first's
    EXPECT_EQ(lumo::ui::control<QLabel>(*w, "labReadCnt")->text(), "Считано 3 из 3");

    // After any number of downloads the live worker carries one hold only.
    EXPECT_EQ(w->liveWorker().HoldCount(), 2);
    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    w->timerPeriodTimer();
    waitLiveJob(1);
}

TEST_F(WindowRun, NoPeriodsWriteNothingAndAHangUpEndsTheDownload) {
    sim::MeterServer empty(meterWith(0));
    start(empty.devicePath());
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    lumo::ui::control<QPushButton>(*w, "butReadMemory")->click();
    finishDownload();
    EXPECT_EQ(w->reportState().MemoryRow, 4);
    EXPECT_EQ(lumo::ui::control<QLabel>(*w, "labReadCnt")->text(), "Считано 0 из 0");
    EXPECT_TRUE(dialogs.texts().empty());  // the meter's own answer: nothing is missing
    EXPECT_TRUE(lumo::ui::control<QPushButton>(*w, "butReadMemory")->isEnabled());

    sim::MeterConfig c = meterWith(10);
    c.hangUpAfter = 100;
    sim::MeterServer dying(c);
    lumo::ui::control<QComboBox>(*frmSettings, "cbCOM")->setCurrentText(QString::fromStdString(dying.devicePath()));
    lumo::ui::control<QPushButton>(*frmSettings, "butCheckConnect")->click();
    ASSERT_EQ(lumo::ui::control<QLabel>(*frmSettings, "labStatus")->text(), "Прибор подключен");
    lumo::ui::control<QPushButton>(*w, "butReadMemory")->click();
    EXPECT_EQ(lumo::ui::control<QLabel>(*w, "labReadCnt")->text(), "");  // not the last download's
    finishDownload();
    // The download that ended early says how much it got.
    EXPECT_EQ(dialogs.texts(), (std::vector<std::string>{msg::CheckConnection, msg::downloadIncomplete(1, 11, 0, 54)}));
    EXPECT_EQ(w->periodsWritten(), 1);  // the whole-period block came before the hang-up
    EXPECT_TRUE(lumo::ui::control<QPushButton>(*w, "butGetTekData")->isEnabled() && lumo::ui::control<QPushButton>(*w, "butReadMemory")->isEnabled());

    // A report closed during a download leaves the memory button disabled at its end.
    lumo::ui::control<QPushButton>(*w, "butReadMemory")->click();
    lumo::ui::control<QAction>(*w, "Close")->trigger();
    finishDownload();
    EXPECT_FALSE(lumo::ui::control<QPushButton>(*w, "butReadMemory")->isEnabled());
    EXPECT_TRUE(lumo::ui::control<QPushButton>(*w, "butGetTekData")->isEnabled());
}

TEST_F(WindowRun, RowsOfARunThatCrashedAreOfferedBackAndYesRebuildsTheReport) {
    sim::MeterServer sim(meterWith());
    const std::string state = dir.file("state");
    start(sim.devicePath(), state);
    EXPECT_TRUE(dialogs.messages().empty());  // nothing left to offer
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    lumo::ui::control<QCheckBox>(*w, "cbAddToReport")->setChecked(true);
    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    std::vector<double> written;  // phase A's voltage of each row
    for (std::uint64_t job = 1; job <= 3; ++job) {
        waitLiveJob(job);
        w->timerPeriodTimer();
        written.push_back(QLocale(QLocale::Russian).toDouble(label(1)));
    }
    destroyWindows();  // gone without closing, as in a crash

    dialogs.answer(MessageResult::Yes);
    start(sim.devicePath(), state);
    ASSERT_EQ(dialogs.texts(), std::vector<std::string>{msg::recoverQuestion("нет", 3)});
    EXPECT_EQ(dialogs.messages()[0].caption, msg::CaptionWarning);
    EXPECT_EQ(dialogs.messages()[0].buttons, MessageButtons::YesNo);
    ASSERT_TRUE(w->reportState().ReportOpen);
    EXPECT_FALSE(w->reportState().ReportSaved);
    EXPECT_EQ(w->reportState().LiveRow, 6);
    EXPECT_EQ(lumo::ui::control<QLabel>(*w, "LabReportDate")->text(), "6.12.2026");

    const std::string path = dir.file("recovered.xlsx");
    dialogs.saveName(path);
    lumo::ui::control<QAction>(*w, "Save")->trigger();
    ASSERT_TRUE(w->reportState().ReportSaved);
    std::vector<double> read(3, 0.0);
    for (const std::string& line : runOracle("read_xlsx.py", shellQuoted(path))) {
        for (int row = 3; row <= 5; ++row)
            if (line.rfind("cell\t" + kLive + "\tC" + std::to_string(row) + "\tn\t", 0) == 0)
                read[static_cast<size_t>(row - 3)] = std::stod(line.substr(line.find("\tn\t") + 3));
        EXPECT_EQ(line.find("\tA6\t"), std::string::npos) << line;
    }
    EXPECT_EQ(read, written);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(state) / "report.journal"));  // saved
}

TEST_F(WindowRun, EveryJournalLeftIsOfferedNoKeepsItAndAFolderThatCannotHoldOneIsTold) {
    sim::MeterServer sim(meterWith());
    const std::string state = dir.file("state");
    const JournalRow row{JournalRow::Kind::Live, {"6.12.2026", "7:0:0", "230,5"}};
    {
        // Two copies of the program ran at once and were killed.
        ReportJournal first(state), second(state);
        first.begin({"", {2026, 12, 6, 7, 0, 0}, 3, 4});
        first.append(row);
        second.begin({"", {2026, 12, 6, 7, 1, 0}, 3, 4});
        second.append(row);
        second.append(row);
    }
    dialogs.answer(MessageResult::Yes);
    dialogs.answer(MessageResult::No);
    start(sim.devicePath(), state);
    EXPECT_THAT(dialogs.texts(), ::testing::UnorderedElementsAre(msg::recoverQuestion("нет", 1),
                                                                 msg::recoverQuestion("нет", 2)));
    ASSERT_TRUE(w->reportState().ReportOpen);
    const int recovered = w->reportState().LiveRow - 3;
    dialogs.saveName(dir.file("recovered.xlsx"));
    lumo::ui::control<QAction>(*w, "Save")->trigger();
    destroyWindows();
    // The one answered No is offered again; the saved one is gone.
    dialogs.clear();
    dialogs.answer(MessageResult::No);
    start(sim.devicePath(), state);
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::recoverQuestion("нет", recovered == 1 ? 2 : 1)});
    destroyWindows();

    // A state folder that cannot be made: the first row says that rows are not protected, once.
    const std::string blocked = dir.file("not-a-folder");
    std::ofstream(blocked) << "x";
    dialogs.clear();
    start(sim.devicePath(), blocked + "/state");
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    lumo::ui::control<QCheckBox>(*w, "cbAddToReport")->setChecked(true);
    w->timerPeriodTimer();
    w->timerPeriodTimer();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::journalOff(blocked + "/state")});
    EXPECT_EQ(w->reportState().LiveRow, 5);
}

TEST_F(WindowRun, TheDownloadButtonStaysOffUntilTheDownloadEndsWhateverTheReportDoes) {
    sim::MeterServer sim(meterWith());
    start(sim.devicePath());
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    auto* button = lumo::ui::control<QPushButton>(*w, "butReadMemory");
    button->click();
    dialogs.answer(MessageResult::No);
    lumo::ui::control<QAction>(*w, "Create")->trigger();  // a new report while it runs
    EXPECT_FALSE(button->isEnabled());
    dialogs.answer(MessageResult::No);
    lumo::ui::control<QAction>(*w, "Close")->trigger();
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    EXPECT_FALSE(button->isEnabled());
    finishDownload();
    EXPECT_TRUE(button->isEnabled());
    EXPECT_EQ(lumo::ui::control<QLabel>(*w, "labReadCnt")->text(), "Считано 11 из 11");
    EXPECT_EQ(w->reportState().MemoryRow, 15);  // every period once, in order
}

TEST_F(WindowRun, ClosingTheViewerByItsTitleBarTurnsTheShowButtonBack) {
    struct Viewer {
        Viewer() { spreadsheet::attachQtViewer(); }
        ~Viewer() { spreadsheet::setViewerFactory(nullptr); }
    } withViewer;
    sim::MeterServer sim(meterWith());
    start(sim.devicePath());
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    auto* show = lumo::ui::control<QPushButton>(*w, "ButShow");
    show->click();
    auto* viewer = spreadsheet::windowOf(spreadsheet::applicationOf(w->reportState().ExcelApp)->viewer());
    ASSERT_TRUE(viewer && viewer->isVisible());
    viewer->close();
    EXPECT_FALSE(viewer->isVisible());
    EXPECT_FALSE(w->reportState().ReportVisible);
    EXPECT_EQ(show->text(), "Просмотреть отчет");
    show->click();  // shows it again
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(show->text(), "Спрятать отчет");
}

TEST_F(WindowRun, AMeterPluggedInAgainGivesItsReadingsBackByItselfAndNothingIsWrittenMeanwhile) {
    // The port is named by a link (as under /dev/serial/by-id/); the cable is pulled out
    // during a memory download, after the count and 39 statistics.
    const std::string link = dir.file("usb-meter");
    sim::MeterServer sim(meterWith(3), {}, {.link = link, .unplugAfter = 40});
    start(link);
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    lumo::ui::control<QPushButton>(*w, "butReadMemory")->click();
    finishDownload();
    EXPECT_EQ(dialogs.texts(), (std::vector<std::string>{msg::CheckConnection, msg::downloadIncomplete(0, 4, 0, 0)}));
    EXPECT_TRUE(w->serialPort().AwaitingDevice());
    EXPECT_EQ(w->periodsWritten(), 0);  // the first block was not complete
    EXPECT_TRUE(lumo::ui::control<QPushButton>(*w, "butReadMemory")->isEnabled());

    // Live polling, rows going into the report: while the meter is gone, "нет" and no rows.
    // The press tries the port at once and says why it cannot be opened.
    lumo::ui::control<QCheckBox>(*w, "cbAddToReport")->setChecked(true);
    lumo::ui::control<QPushButton>(*w, "butGetTekData")->click();
    EXPECT_EQ(dialogs.texts().back(), openFailureText(OpenFailure::NoDevice));
    w->timerPeriodTimer();  // the first wake after a download takes its hold away
    waitLiveJob(1);
    w->timerPeriodTimer();
    for (int n = 1; n <= 18; ++n) EXPECT_EQ(label(n), "нет") << n;
    EXPECT_EQ(w->reportState().LiveRow, 3);

    // Plugged in again: from here on nothing is done but letting the window's timer run.
    const std::size_t before = sim.requestCount();
    sim.replug();
    const auto replugged = std::chrono::steady_clock::now();
    while (label(1) == "нет" && std::chrono::steady_clock::now() < replugged + Long)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - replugged);
    RecordProperty("replug_to_readings_ms", static_cast<int>(took.count()));
    std::printf("readings shown %lld ms after the replug\n", static_cast<long long>(took.count()));
    ASSERT_NE(label(1), "нет");
    // The tick that showed the meter's first reading wrote it into its row.
    const int rows = w->reportState().LiveRow;
    ASSERT_GE(rows, 4);
    EXPECT_EQ(automation::propertyGet(automation::propertyGet(w->reportState().LiveSheet, "Cells", {rows - 1, 3}),
                                      "Value").text(),
              label(1).toStdString());
    EXPECT_FALSE(w->serialPort().AwaitingDevice());
    EXPECT_EQ(dialogs.texts().size(), 3u);
    // The cut download was not started again: only live readings were asked for.
    const auto asked = sim.requests();
    for (std::size_t i = before; i < asked.size(); ++i) EXPECT_EQ(asked[i].command, 'D') << i;
}

TEST_F(WindowRun, AnAdapterPluggedInAfterTheStartIsFoundAndTheButtonsTryThePortAtOnce) {
    const std::string link = dir.file("usb-meter");
    const std::string noDevice = openFailureText(OpenFailure::NoDevice);
    start(link);  // nothing there yet
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{noDevice});
    lumo::ui::control<QAction>(*w, "Create")->trigger();
    auto* poll = lumo::ui::control<QPushButton>(*w, "butGetTekData");
    auto* memory = lumo::ui::control<QPushButton>(*w, "butReadMemory");

    // With no device, each button says why the port does not open: a download that could get
    // nothing does not start; polling does, showing "нет" until the meter is there.
    memory->click();
    EXPECT_EQ(dialogs.texts(), (std::vector<std::string>{noDevice, noDevice}));
    EXPECT_FALSE(lumo::ui::control<QTimer>(*w, "timerMem")->isActive());
    EXPECT_TRUE(memory->isEnabled() && poll->isEnabled());
    poll->click();
    EXPECT_EQ(dialogs.texts().size(), 3u);
    EXPECT_TRUE(w->livePolling());
    poll->click();

    // The adapter is plugged in: the port named in the settings opens by itself.
    sim::MeterServer sim(meterWith(), {}, {.link = link});
    const auto deadline = std::chrono::steady_clock::now() + Long;
    while (!w->serialPort().PortOpen() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(w->serialPort().PortOpen());

    // Closed (as after a failed write), the press opens it again at once, and polling reads.
    w->serialPort().ClosePort();
    ASSERT_TRUE(w->liveWorker().waitForState(HoldableThread::State::Waiting, Long));  // the first run's job ended
    const std::uint64_t jobs = w->liveWorker().JobsDone();
    poll->click();
    EXPECT_TRUE(w->serialPort().PortOpen());
    waitLiveJob(jobs + 1);
    w->timerPeriodTimer();
    EXPECT_NE(label(1), "нет");
    EXPECT_EQ(dialogs.texts().size(), 3u);
}
