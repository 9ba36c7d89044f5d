#include "app/Userprog.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDate>
#include <QLocale>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <utility>
#include <vector>

#include "app/Usersett.h"
#include "app/diagram_window.h"
#include "app/handler_guard.h"
#include "app/settings_file.h"
#include "app/window_style.h"
#include "common/atomic_file.h"
#include "common/messages.h"
#include "common/readings.h"
#ifdef LUMO_WITH_ENGINE
#include "spreadsheet/engine.h"
#include "spreadsheet/viewer_qt.h"
#endif

TformLumo* formLumo = nullptr;

TformLumo::TformLumo(AppContext& context)
    : QMainWindow(nullptr),
      port(context.dialogs),
      reportOps(report, context.dialogs, context.clock, *this),
      context_(context) {
    SaveRepDialog = reportOps.saveDialog();
    OpenRepDialog = reportOps.openDialog();
    buildControls();
    FormCreate();
}

TformLumo::~TformLumo() {
    stopWorkers();
    if (formLumo == this) formLumo = nullptr;
}

void TformLumo::buildControls() {
    using lumo::ui::label;
    setWindowTitle("ЛУМО 2210");
    setFont(lumo::ui::windowFont());
    move(251, 123);

    auto* client = new QWidget(this);
    setCentralWidget(client);

    // "Текущие результаты": the 18 readings by row (quantity) and column (phase).
    gbCurRes = new QGroupBox("Текущие результаты", client);
    gbCurRes->setGeometry(0, 0, 337, 369);
    labA = label(gbCurRes, "A", 96, 24, 24);
    labB = label(gbCurRes, "B", 176, 24, 24);
    labC = label(gbCurRes, "C", 256, 24, 24);
    labU = label(gbCurRes, "U", 40, 72, 24);
    labI = label(gbCurRes, "I", 44, 104, 24);
    labF = label(gbCurRes, "Угол", 16, 136, 24);
    labP = label(gbCurRes, "P", 40, 168, 24);
    labQ = label(gbCurRes, "Q", 40, 200, 24);
    labS = label(gbCurRes, "S", 40, 232, 24);

    // Parameter numbers: phase A is 1 to 6 (U, I, angle, P, Q, S), phase B 7 to 12, C 13 to 18.
    QLabel** rows[3][6] = {{&labUA, &labIA, &labFA, &labPA, &labQA, &labSA},
                           {&labUB, &labIB, &labFB, &labPB, &labQB, &labSB},
                           {&labUC, &labIC, &labFC, &labPC, &labQC, &labSC}};
    const int phaseX[3] = {88, 168, 248};
    const int rowY[6] = {72, 104, 136, 168, 200, 232};
    for (int phase = 0; phase < 3; ++phase)
        for (int q = 0; q < 6; ++q) {
            // One pixel short of the 80-pixel column pitch: neighbours never touch.
            QLabel* l = label(gbCurRes, lumo::msg::None, phaseX[phase], rowY[q], 19, ValueLabelWidth);
            l->setFont(lumo::ui::valueFont(19));
            *rows[phase][q] = l;
            valueLabels_[static_cast<size_t>(phase * 6 + q + 1)] = l;
        }
    labText = label(gbCurRes, " ", 16, 288, 16);
    butGetTekData = lumo::ui::button(gbCurRes, lumo::msg::StartPolling, 8, 320, 161, 41, 16);

    // "Отчет": the report's name, date, progress and buttons.
    GroupBox2 = new QGroupBox("Отчет", client);
    GroupBox2->setGeometry(344, 0, 249, 369);
    labTxtRepName = label(GroupBox2, "Название отчета:", 16, 32, 16);
    LabRepName = label(GroupBox2, lumo::msg::None, 160, 32, 16, 85);
    labDate = label(GroupBox2, "Дата создания:", 16, 64, 16);
    LabReportDate = label(GroupBox2, lumo::msg::None, 140, 64, 16, 105);
    labRecords = label(GroupBox2, "Всего записей:", 16, 96, 16);
    labReadCnt = label(GroupBox2, "", 8, 216, 16, 233);
    cbAddToReport = new QCheckBox("Добавлять данные в отчет", GroupBox2);
    cbAddToReport->setGeometry(8, 240, 233, 17);
    cbAddToReport->setFont(lumo::ui::pixelFont(16));
    // A 17-pixel-high box clips a 16-pixel font; let the text's height decide.
    cbAddToReport->resize(233, std::max(17, cbAddToReport->sizeHint().height()));
    ButShow = lumo::ui::button(GroupBox2, lumo::msg::ShowReport, 16, 272, 209, 41, 16);
    ButShow->setEnabled(false);
    butReadMemory = lumo::ui::button(GroupBox2, "Считать память прибора", 16, 320, 209, 41, 16);
    butReadMemory->setEnabled(false);

    timerPeriod = new QTimer(this);
    timerPeriod->setInterval(1000);
    timerMem = new QTimer(this);
    timerMem->setInterval(1000);

    MainMenu1 = menuBar();
    N1 = MainMenu1->addMenu("Отчет");
    Create = N1->addAction("Создать");
    Open = N1->addAction("Открыть");
    Save = N1->addAction("Сохранить");
    Close = N1->addAction("Закрыть");
    N2 = MainMenu1->addAction("Настройки");
    Diagram = MainMenu1->addAction("Диаграмма");
    diagram_ = new lumo::DiagramWindow(this);
    // The protocol's form is kept in the settings file; the save dialog opens in the folder of
    // the last report.
    diagram_->setProtocolHost({&context_.dialogs, context_.settingsPath, [this] {
                                   const std::string& file = reportOps.lastFile();
                                   return file.empty() ? std::string()
                                                       : lumo::pathToUtf8(lumo::pathFromUtf8(file).parent_path());
                               }});

    auto& d = context_.dialogs;
    connect(butGetTekData, &QPushButton::clicked, this, lumo::guarded(d, [this] { butGetTekDataClick(); }));
    connect(butReadMemory, &QPushButton::clicked, this, lumo::guarded(d, [this] { butReadMemoryClick(); }));
    connect(ButShow, &QPushButton::clicked, this, lumo::guarded(d, [this] { ButShowClick(); }));
    connect(timerPeriod, &QTimer::timeout, this, lumo::guarded(d, [this] { timerPeriodTimer(); }));
    connect(timerMem, &QTimer::timeout, this, lumo::guarded(d, [this] { timerMemTimer(); }));
    connectGuarded(Create, [this] { CreateClick(); });
    connectGuarded(Open, [this] { OpenClick(); });
    connectGuarded(Save, [this] { SaveClick(); });
    connectGuarded(Close, [this] { CloseClick(); });
    connectGuarded(N2, [this] { N2Click(); });
    connectGuarded(Diagram, [this] { DiagramClick(); });

    // Every control, timer and menu item is found by its name (tests, the scripted demo).
    setObjectName("formLumo");
    const std::pair<QObject*, const char*> named[] = {
        {gbCurRes, "gbCurRes"}, {labA, "labA"}, {labB, "labB"}, {labC, "labC"}, {labU, "labU"},
        {labI, "labI"}, {labF, "labF"}, {labP, "labP"}, {labQ, "labQ"}, {labS, "labS"},
        {labUA, "labUA"}, {labIA, "labIA"}, {labFA, "labFA"}, {labPA, "labPA"}, {labQA, "labQA"},
        {labSA, "labSA"}, {labUB, "labUB"}, {labIB, "labIB"}, {labFB, "labFB"}, {labPB, "labPB"},
        {labQB, "labQB"}, {labSB, "labSB"}, {labUC, "labUC"}, {labIC, "labIC"}, {labFC, "labFC"},
        {labPC, "labPC"}, {labQC, "labQC"}, {labSC, "labSC"}, {labText, "labText"},
        {butGetTekData, "butGetTekData"}, {GroupBox2, "GroupBox2"},
        {labTxtRepName, "labTxtRepName"}, {LabRepName, "LabRepName"}, {labDate, "labDate"},
        {LabReportDate, "LabReportDate"}, {labRecords, "labRecords"}, {labReadCnt, "labReadCnt"},
        {cbAddToReport, "cbAddToReport"}, {ButShow, "ButShow"}, {butReadMemory, "butReadMemory"},
        {timerPeriod, "timerPeriod"}, {timerMem, "timerMem"}, {MainMenu1, "MainMenu1"}, {N1, "N1"},
        {Create, "Create"}, {Open, "Open"}, {Save, "Save"}, {Close, "Close"}, {N2, "N2"},
        {Diagram, "Diagram"}};
    for (const auto& [object, name] : named) object->setObjectName(name);

    // The size is fixed: no resize, no maximise.
    client->setFixedSize(ClientWidth, ClientHeight);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    setFixedSize(ClientWidth, ClientHeight + MainMenu1->sizeHint().height());
}

template <class F>
void TformLumo::connectGuarded(QAction* action, F handler) {
    connect(action, &QAction::triggered, this, lumo::guarded(context_.dialogs, std::move(handler)));
}

// ---- Start and end ----

void TformLumo::FormCreate() {
    LoadSettings();
    TekCom = std::make_unique<lumo::TTekCom>(port, store, context_.dialogs);
    MemCom = std::make_unique<lumo::TMemCom>(port, store, context_.dialogs);
    if (!context_.journalFolder.empty()) {
        journal_ = std::make_unique<lumo::ReportJournal>(lumo::pathFromUtf8(context_.journalFolder));
        reportOps.setJournal(journal_.get(), context_.journalFolder);
    }
}

void TformLumo::RecoverJournal() {
    if (!journal_) return;
    // Every journal with unsaved rows that no running copy writes, newest first, one question
    // each. No leaves a journal where it is, to be offered again at the next start.
    lumo::JournalOffers offers = journal_->offers();
    for (const lumo::JournalOffer& offer : offers.list) {
        const lumo::JournalContents& c = offer.contents;
        const std::string name = !c.headerRead || c.header.file.empty() ? lumo::msg::None : lumo::fileNameOf(c.header.file);
        const auto answer = context_.dialogs.message({lumo::msg::recoverQuestion(name, c.rows.size(), c.damaged),
                                                      lumo::msg::CaptionWarning, lumo::MessageIcon::Warning,
                                                      lumo::MessageButtons::YesNo});
        if (answer != lumo::MessageResult::Yes) continue;
        // One report at a time: a report recovered before is closed first, with its question;
        // one that stays open (its application busy) leaves the other journals for the next start.
        if (report.ReportOpen && !reportOps.CloseReport()) break;
        reportOps.RecoverReport(offer);
    }
}

void TformLumo::LoadSettings() {
    const std::string name = lumo::readProfileString(context_.settingsPath, lumo::SettingsSection,
                                                     lumo::SettingsPortKey,
                                                     lumo::SettingsPortDefault);
    port.OpenPort(name);  // a failure is shown by the port; start-up goes on
    const std::string site = lumo::readProfileString(context_.settingsPath, lumo::SettingsSection,
                                                     lumo::SettingsSiteKey, lumo::SettingsSiteDefault);
    diagram_->setSite(lumo::wiring::siteFromName(site).value_or(lumo::wiring::Site::Consumption));
}

void TformLumo::SaveSettings() {
    if (!settingsDialog_) return;
    // A file that cannot be written (a read-only file or folder) keeps what it held; the
    // operator hears that the port chosen will not be there at the next start.
    bool written = lumo::writeProfileString(context_.settingsPath, lumo::SettingsSection, lumo::SettingsPortKey,
                                            settingsDialog_->portName());
    if (written && !context_.reportApplication.empty())
        written = lumo::writeProfileString(context_.settingsPath, lumo::SettingsSection, lumo::SettingsReportKey,
                                           context_.reportApplication);
    // The site's kind only once it was chosen or read: a file without the key keeps without it.
    const std::string site = lumo::wiring::siteName(diagram_->site());
    if (written && (site != std::string(lumo::SettingsSiteDefault) ||
                    lumo::readProfileString(context_.settingsPath, lumo::SettingsSection, lumo::SettingsSiteKey, "") != ""))
        written = lumo::writeProfileString(context_.settingsPath, lumo::SettingsSection, lumo::SettingsSiteKey, site);
    if (!written) context_.dialogs.error(lumo::msg::cannotSaveSettings(context_.settingsPath));
}

void TformLumo::stopWorkers() {
    if (timerPeriod) timerPeriod->stop();
    if (timerMem) timerMem->stop();
    // A worker waiting on a message box is let go first, so that it can end.
    context_.dialogs.abandonWaiters();
    if (TekCom) TekCom->Shutdown();
    if (MemCom) MemCom->Shutdown();
}

void TformLumo::FormClose() {
    stopWorkers();
    diagram_->close();
    SaveSettings();
    // A report its busy application keeps open is left to the operator there, its rows in the journal.
    if (report.ReportOpen && !reportOps.CloseReport()) reportOps.LeaveToOperator();
    port.ClosePort();
}

void TformLumo::closeEvent(QCloseEvent* event) {
    // Nothing cancels the closing; the handlers run once however often Qt asks.
    event->accept();
    if (closed_) return;
    closed_ = true;
    lumo::runGuarded(context_.dialogs, [this] { FormClose(); });
}

void TformLumo::FormCanResize(bool& resize) { resize = false; }

void TformLumo::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) {
        bool resize = true;
        FormCanResize(resize);
        if (!resize) setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowFullScreen));
    }
}

void TformLumo::N2Click() {
    if (settingsDialog_) settingsDialog_->exec();
}

void TformLumo::DiagramClick() { diagram_->showAndRaise(); }

// ---- Live readings ----

namespace {

// Marks a timer handler as running for its duration; a tick that finds it set returns.
class TickGuard {
public:
    explicit TickGuard(bool& flag) : flag_(flag), entered_(!flag) { flag_ = true; }
    ~TickGuard() {
        if (entered_) flag_ = false;
    }
    bool entered() const { return entered_; }

private:
    bool& flag_;
    bool entered_;
};

}  // namespace

void TformLumo::resumeLive() {
    TekCom->Resume();
    liveHeldForDownload_ = false;
}

void TformLumo::butGetTekDataClick() {
    if (!LivePolling) {
        // A closed port (an adapter plugged in after the start, a failed write) is opened at
        // once; the box says why it cannot be, and polling picks the meter up when it comes.
        if (!port.PortOpen()) port.OpenAgain();
        // Readings taken before this start (polling stopped, a download) were not taken at the
        // first row's time: until a job of this run has ended they go in as "нет", like
        // readings not taken since the last row.
        std::vector<std::uint64_t> writes;
        store.currentTexts(&writes);
        lastRow_ = RowMark{TekCom->JobsDone(), std::move(writes)};
        timerPeriod->start();
        LivePolling = true;
        diagram_->setPolling(true);
        resumeLive();  // the first readings are fetched while the first second runs
        butGetTekData->setText(lumo::msg::StopPolling);
    } else {
        timerPeriod->stop();
        LivePolling = false;
        diagram_->setPolling(false);
        butGetTekData->setText(lumo::msg::StartPolling);
    }
}

void TformLumo::timerPeriodTimer() {
    // A message box of the report runs a nested event loop in which this timer keeps firing.
    TickGuard guard(inPeriodTick_);
    if (!guard.entered()) return;
    std::vector<std::uint64_t> writes;
    const std::vector<std::string> readings = store.currentTexts(&writes);
    for (int n = 1; n <= lumo::ReadingCount; ++n)
        valueLabel(n)->setText(QString::fromStdString(readings[static_cast<size_t>(n - 1)]));
    diagram_->showReadings(readings, &writes);
    if (cbAddToReport->isChecked()) {
        if (!report.ReportOpen) return;  // no report to add to: no row and no new readings
        // While the meter's device is gone (until it is back and answers) no row is written.
        if (!port.AwaitingDevice()) reportOps.AppendLiveRow(rowReadings(readings, writes));
    }
    resumeLive();
}

std::vector<std::string> TformLumo::rowReadings(const std::vector<std::string>& readings,
                                                const std::vector<std::uint64_t>& writes) {
    // A slow meter's row holds what the slots hold, some of the job before; but when no job
    // has ended since the last row, a reading no exchange has refreshed since then was never
    // taken at this row's time: it is written as "нет". The labels show the slots as they are.
    std::vector<std::string> row = readings;
    const std::uint64_t jobs = TekCom->JobsDone();
    if (lastRow_ && jobs == lastRow_->jobs)
        for (size_t i = 0; i < row.size() && i < writes.size(); ++i)
            if (writes[i] == lastRow_->writes[i]) row[i] = lumo::msg::None;
    lastRow_ = RowMark{jobs, writes};
    return row;
}

// ---- Memory download ----

void TformLumo::butReadMemoryClick() {
    if (downloadRunning_) return;  // a second download would reset the running one's counts
    // A closed port is opened at once; when it cannot be, the box has said why, and a download
    // that could get nothing does not start.
    if (!port.PortOpen() && !port.OpenAgain()) return;
    downloadRunning_ = true;
    timerPeriod->stop();
    LivePolling = false;
    diagram_->setPolling(false);
    butGetTekData->setText(lumo::msg::StartPolling);
    // However many downloads run in a row, the live worker carries one hold for them.
    if (!liveHeldForDownload_) {
        TekCom->Suspend();
        liveHeldForDownload_ = true;
    }
    PeriodsWritten = 0;
    downloadMissing_ = 0;
    // The last download's count stays only until a new one starts: it says nothing of this one.
    labReadCnt->clear();
    // The worker is waiting; clearing the count here keeps the first tick from ever seeing the
    // previous download's count, however late the worker's thread gets going.
    store.PeriodsRead.store(0, std::memory_order_release);
    store.PeriodCountAnswered.store(false, std::memory_order_release);
    store.MemoryBusy.store(true, std::memory_order_release);
    MemCom->Resume();
    butGetTekData->setEnabled(false);
    butReadMemory->setEnabled(false);
    timerMem->start();
}

void TformLumo::timerMemTimer() {
    TickGuard guard(inMemTick_);
    if (!guard.entered()) return;
    // MemoryBusy before PeriodsRead: once the worker is done, every period it stored is counted.
    const bool finished = !store.MemoryBusy.load(std::memory_order_acquire);
    if (finished) {
        timerMem->stop();
        downloadRunning_ = false;
        butGetTekData->setEnabled(true);
        butReadMemory->setEnabled(report.ReportOpen);  // a report closed meanwhile stays closed
    }
    const std::int32_t count = store.PeriodCount.load(std::memory_order_acquire);
    while (count != 0 && PeriodsWritten < store.PeriodsRead.load(std::memory_order_acquire)) {
        const std::vector<std::string> statistics = store.statisticsTexts(PeriodsWritten);
        downloadMissing_ += static_cast<int>(std::count(statistics.begin(), statistics.end(), lumo::msg::None));
        reportOps.AppendMemoryRow(PeriodsWritten, statistics);
        ++PeriodsWritten;
        // Both numbers count the rows of the download, the whole-period row included.
        labReadCnt->setText(QString("Считано %1 из %2").arg(PeriodsWritten).arg(count + 1));
    }
    if (finished) tellDownloadEnd(count);
}

void TformLumo::tellDownloadEnd(std::int32_t count) {
    // A download that did not get everything says so: how many periods of how many, and how
    // many values the meter did not give.
    if (!store.PeriodCountAnswered.load(std::memory_order_acquire)) {
        context_.dialogs.message({lumo::msg::DownloadNoAnswer, lumo::msg::CaptionWarning,
                                  lumo::MessageIcon::Warning, lumo::MessageButtons::Ok});
        return;
    }
    const int rows = count > 0 ? count + 1 : 0;
    if (PeriodsWritten == 0) labReadCnt->setText(QString("Считано 0 из %1").arg(rows));
    const int values = PeriodsWritten * lumo::StatisticsPerReading * lumo::ReadingCount;
    if (PeriodsWritten < rows || downloadMissing_ > 0)
        context_.dialogs.message({lumo::msg::downloadIncomplete(PeriodsWritten, rows, downloadMissing_, values),
                                  lumo::msg::CaptionWarning, lumo::MessageIcon::Warning,
                                  lumo::MessageButtons::Ok});
}

// ---- The report menu and button ----

void TformLumo::CreateClick() {
    // A report that stays open (its application busy) is not replaced.
    if (report.ReportOpen && !reportOps.CloseReport()) return;
    reportOps.CreateReport();
}

void TformLumo::OpenClick() {
    auto name = context_.dialogs.openFileName(OpenRepDialog);
    if (!name) return;
    if (report.ReportOpen && !reportOps.CloseReport()) return;
    reportOps.OpenReport(*name);
}

void TformLumo::SaveClick() { reportOps.Save(); }

void TformLumo::CloseClick() {
    if (report.ReportOpen) reportOps.CloseReport();
}

void TformLumo::ButShowClick() {
    reportOps.ShowOrHide();
    followViewer();
}

void TformLumo::followViewer() {
#ifdef LUMO_WITH_ENGINE
    auto* app = lumo::spreadsheet::applicationOf(report.ExcelApp);
    if (!app) return;  // another spreadsheet application shows its own window
    app->setVisibilityListener([this](bool visible) {
        if (!visible) reportOps.ViewerHidden();
    });
    if (auto* window = lumo::spreadsheet::windowOf(app->viewer())) window->installEventFilter(this);
#endif
}

bool TformLumo::eventFilter(QObject* watched, QEvent* event) {
#ifdef LUMO_WITH_ENGINE
    // The viewer's title bar only hides it; its application is told before it does.
    if (event->type() == QEvent::Close) {
        auto* app = lumo::spreadsheet::applicationOf(report.ExcelApp);
        if (app && watched == lumo::spreadsheet::windowOf(app->viewer())) app->viewerClosed();
    }
#endif
    return QMainWindow::eventFilter(watched, event);
}

void TformLumo::setReportName(const std::string& text) {
    LabRepName->setText(QString::fromStdString(text));
}

void TformLumo::setReportDate(const std::string& text) {
    LabReportDate->setText(QString::fromStdString(text));
}

void TformLumo::setShowButton(bool enabled, const std::string& caption) {
    ButShow->setEnabled(enabled);
    ButShow->setText(QString::fromStdString(caption));
}

void TformLumo::setMemoryButtonEnabled(bool enabled) {
    // Whatever the report does, a running download keeps its button until it ends.
    butReadMemory->setEnabled(enabled && !downloadRunning_);
}

std::string TformLumo::shortDate(const lumo::LocalDateTime& d) {
    return QLocale().toString(QDate(d.year, d.month, d.day), QLocale::ShortFormat).toStdString();
}
