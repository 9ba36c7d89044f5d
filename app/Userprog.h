#pragma once
// The main window "ЛУМО 2210": owner of all the program's state for the whole run (the serial
// port, the readings store, the workers, the report), its controls, and its event handlers.

#include <QMainWindow>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/operator_dialogs.h"
#include "link/readings_store.h"
#include "link/workers.h"
#include "link/serial_port.h"
#include "report/report.h"
#include "report/report_journal.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;
class QTimer;
class TfrmSettings;
namespace lumo {
class DiagramWindow;
}

// What the windows are given by the program (or by a test): the operator dialogs, the clock,
// the settings file's path, the folder of the report's journal (empty: no journal), and the
// setting of the report's application, written back at close with the port (empty: none).
struct AppContext {
    AppContext(lumo::OperatorDialogs& d, const lumo::Clock& c, std::string settings,
               std::string journal = {}, std::string reportApp = {})
        : dialogs(d), clock(c), settingsPath(std::move(settings)), journalFolder(std::move(journal)),
          reportApplication(std::move(reportApp)) {}
    lumo::OperatorDialogs& dialogs;
    const lumo::Clock& clock;
    std::string settingsPath;
    std::string journalFolder;
    std::string reportApplication;
};

class TformLumo : public QMainWindow, public lumo::ReportView {
    Q_OBJECT
public:
    // The client area below the menu bar; the window never changes size.
    static constexpr int ClientWidth = 593;
    static constexpr int ClientHeight = 372;
    static constexpr int ValueLabelWidth = 79;

    explicit TformLumo(AppContext& context);
    ~TformLumo() override;

    // ---- What the other layers and the tests see of the window's state ----
    const lumo::ReportState& reportState() const { return report; }
    bool livePolling() const { return LivePolling; }
    std::int32_t periodsWritten() const { return PeriodsWritten; }
    const lumo::ReadingsStore& readings() const { return store; }
    lumo::SerialPort& serialPort() { return port; }
    lumo::TTekCom& liveWorker() { return *TekCom; }
    lumo::TMemCom& memoryWorker() { return *MemCom; }
    // The value label of parameter number n (1 to 18).
    QLabel* valueLabel(int n) const { return valueLabels_.at(static_cast<size_t>(n)); }

    // ---- Event handlers ----
    void FormCreate();
    void FormClose();
    void FormCanResize(bool& resize);
    void N2Click();
    void butGetTekDataClick();
    void timerPeriodTimer();
    void butReadMemoryClick();
    void timerMemTimer();
    void CreateClick();
    void OpenClick();
    void SaveClick();
    void CloseClick();
    void ButShowClick();
    void DiagramClick();
    // At start: rows that a run left unsaved in the journal are offered back.
    void RecoverJournal();

    // ---- Operations ----
    void LoadSettings();
    void SaveSettings();

    void setSettingsDialog(TfrmSettings* dialog) { settingsDialog_ = dialog; }
    // The vector diagram window: made with the main window, shown from "Диаграмма".
    lumo::DiagramWindow& diagramWindow() const { return *diagram_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The report's controls (lumo::ReportView).
    void setReportName(const std::string& text) override;
    void setReportDate(const std::string& text) override;
    void setShowButton(bool enabled, const std::string& caption) override;
    void setMemoryButtonEnabled(bool enabled) override;
    std::string shortDate(const lumo::LocalDateTime& date) override;

    // ---- The window's state, zeroed before the window's own initialisation runs ----
    lumo::ReportState report;  // ReportCreated, ReportSaved, ReportHasFile, ReportVisible,
                               // ReportOpen, LiveRow, MemoryRow
    bool LivePolling = false;
    lumo::SerialPort port;     // PortOpen, PortHandle
    lumo::ReadingsStore store; // CurrentValues, PeriodCount, PeriodsRead, MemoryValues, MemoryBusy
    std::int32_t PeriodsWritten = 0;
    // The workers come after the port and the store they use, so they end before those go.
    std::unique_ptr<lumo::TTekCom> TekCom;  // the live-readings worker
    std::unique_ptr<lumo::TMemCom> MemCom;  // the memory-download worker

    // The report's operations on the state above, and the journal of its unsaved rows.
    lumo::Report reportOps;
    std::unique_ptr<lumo::ReportJournal> journal_;

    // ---- Controls ----
    QGroupBox* gbCurRes = nullptr;
    QLabel *labA = nullptr, *labB = nullptr, *labC = nullptr;
    QLabel *labU = nullptr, *labI = nullptr, *labF = nullptr, *labP = nullptr, *labQ = nullptr,
           *labS = nullptr;
    QLabel *labUA = nullptr, *labIA = nullptr, *labFA = nullptr, *labPA = nullptr,
           *labQA = nullptr, *labSA = nullptr;
    QLabel *labUB = nullptr, *labIB = nullptr, *labFB = nullptr, *labPB = nullptr,
           *labQB = nullptr, *labSB = nullptr;
    QLabel *labUC = nullptr, *labIC = nullptr, *labFC = nullptr, *labPC = nullptr,
           *labQC = nullptr, *labSC = nullptr;
    QLabel* labText = nullptr;
    QPushButton* butGetTekData = nullptr;

    QGroupBox* GroupBox2 = nullptr;
    QLabel *labTxtRepName = nullptr, *LabRepName = nullptr, *labDate = nullptr,
           *LabReportDate = nullptr, *labRecords = nullptr, *labReadCnt = nullptr;
    QCheckBox* cbAddToReport = nullptr;
    QPushButton *ButShow = nullptr, *butReadMemory = nullptr;

    QTimer *timerPeriod = nullptr, *timerMem = nullptr;
    lumo::FileDialogRequest SaveRepDialog, OpenRepDialog;

    QMenuBar* MainMenu1 = nullptr;
    QMenu* N1 = nullptr;
    QAction *Create = nullptr, *Open = nullptr, *Save = nullptr, *Close = nullptr, *N2 = nullptr;
    QAction* Diagram = nullptr;
    lumo::DiagramWindow* diagram_ = nullptr;

    void buildControls();
    // The texts of a live row: the readings, but "нет" for those not refreshed since the last
    // row when no job has ended since then.
    std::vector<std::string> rowReadings(const std::vector<std::string>& readings,
                                         const std::vector<std::uint64_t>& writes);
    // The end of a memory download: what it did not get is told.
    void tellDownloadEnd(std::int32_t count);
    // Wakes the live worker; the first wake after a download takes away the download's hold.
    void resumeLive();
    // Stops both timers and ends the workers' jobs; nothing touches the port, the store or
    // the window after this.
    void stopWorkers();
    // The caption of ButShow follows the built-in application's window when the operator
    // closes it himself.
    void followViewer();
    template <class F>
    void connectGuarded(QAction* action, F handler);

    AppContext& context_;
    TfrmSettings* settingsDialog_ = nullptr;
    std::array<QLabel*, 19> valueLabels_{};
    bool closed_ = false;
    bool liveHeldForDownload_ = false;  // the live worker carries a download's hold
    bool downloadRunning_ = false;      // a memory download runs: its button stays disabled
    bool inPeriodTick_ = false, inMemTick_ = false;  // each timer's tick never nests
    // The last live row: the live worker's count of jobs and the slots' counts of writes then.
    struct RowMark {
        std::uint64_t jobs;
        std::vector<std::uint64_t> writes;
    };
    std::optional<RowMark> lastRow_;
    int downloadMissing_ = 0;  // "нет" among the statistics of this download's rows
};

// The one main window of the running program.
extern TformLumo* formLumo;
