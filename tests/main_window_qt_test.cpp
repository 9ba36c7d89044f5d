#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QThread>
#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <thread>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/Userprog.h"
#include "app/window_style.h"
#include "app/Usersett.h"
#include "app/handler_guard.h"
#include "app/qt_dialogs.h"
#include "app/startup.h"
#include "common/messages.h"
#include "support/pty_pair.h"
#include "support/scripted_dialogs.h"

using namespace lumo;
using namespace lumo::test;
namespace fs = std::filesystem;

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("lumo-win-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        ini = (dir / "UserLumo.INI").string();
    }
    void TearDown() override {
        destroyWindows();
        fs::remove_all(dir);
    }
    void start() {
        context = std::make_unique<AppContext>(AppContext{dialogs, clock, ini});
        createWindows(*context);
    }
    void writeIni(const std::string& s) { std::ofstream(ini, std::ios::binary) << s; }
    std::string readIni() {
        std::ifstream in(ini, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path dir;
    std::string ini;
    ScriptedDialogs dialogs;
    PinnedClock clock{{2026, 12, 6, 7, 5, 9}};
    std::unique_ptr<AppContext> context;
};

}  // namespace

TEST_F(MainWindowTest, ShowsEveryControlInItsInitialState) {
    start();
    TformLumo& w = *formLumo;
    using lumo::ui::control;
    EXPECT_EQ(w.windowTitle(), "ЛУМО 2210");

    // Every operator-facing text, found by the control's name.
    const std::pair<const char*, const char*> texts[] = {
        {"labF", "Угол"}, {"labText", " "}, {"butGetTekData", "Текущие данные"},
        {"labTxtRepName", "Название отчета:"}, {"LabRepName", "нет"}, {"labDate", "Дата создания:"},
        {"LabReportDate", "нет"}, {"labRecords", "Всего записей:"}, {"labReadCnt", ""},
        {"cbAddToReport", "Добавлять данные в отчет"}, {"ButShow", "Просмотреть отчет"},
        {"butReadMemory", "Считать память прибора"}};
    for (const auto& [name, text] : texts) {
        QWidget* c = control<QWidget>(w, name);
        EXPECT_EQ(c->property("text").toString(), text) << name;
    }
    EXPECT_EQ(control<QGroupBox>(w, "gbCurRes")->title(), "Текущие результаты");
    EXPECT_EQ(control<QGroupBox>(w, "GroupBox2")->title(), "Отчет");
    const std::pair<const char*, const char*> items[] = {
        {"Create", "Создать"}, {"Open", "Открыть"}, {"Save", "Сохранить"}, {"Close", "Закрыть"}, {"N2", "Настройки"},
        {"Diagram", "Диаграмма"}};
    for (const auto& [name, text] : items) EXPECT_EQ(control<QAction>(w, name)->text(), text) << name;
    EXPECT_EQ(control<QMenu>(w, "N1")->title(), "Отчет");
    EXPECT_EQ(control<QMenuBar>(w, "MainMenu1")->actions().size(), 3);

    // The value labels by parameter number, in their rows and columns.
    for (int n = 1; n <= 18; ++n) EXPECT_EQ(w.valueLabel(n)->text(), "нет") << n;
    EXPECT_EQ(w.valueLabel(1), control<QLabel>(w, "labUA"));
    EXPECT_EQ(w.valueLabel(9), control<QLabel>(w, "labFB"));
    EXPECT_EQ(w.valueLabel(18), control<QLabel>(w, "labSC"));

    EXPECT_TRUE(control<QPushButton>(w, "butGetTekData")->isEnabled());
    EXPECT_FALSE(control<QCheckBox>(w, "cbAddToReport")->isChecked());
    EXPECT_FALSE(control<QPushButton>(w, "ButShow")->isEnabled());
    EXPECT_FALSE(control<QPushButton>(w, "butReadMemory")->isEnabled());
    for (const char* timer : {"timerPeriod", "timerMem"}) {
        EXPECT_FALSE(control<QTimer>(w, timer)->isActive()) << timer;
        EXPECT_EQ(control<QTimer>(w, timer)->interval(), 1000) << timer;
    }

    // The state record starts zeroed.
    EXPECT_FALSE(w.reportState().ReportOpen || w.reportState().ReportSaved || w.reportState().ReportHasFile ||
                 w.reportState().ReportVisible || w.livePolling());
    EXPECT_EQ(w.reportState().LiveRow, 0);
    EXPECT_EQ(w.periodsWritten(), 0);
    EXPECT_EQ(w.readings().CurrentValues[1].get(), "");
    EXPECT_FALSE(w.readings().MemoryBusy.load());
}

TEST_F(MainWindowTest, ReadingsFitTheirColumnsAndNeverTouchForTheLongestTexts) {
    start();
    TformLumo& w = *formLumo;
    const QRect box = lumo::ui::control<QGroupBox>(w, "gbCurRes")->rect();
    for (const char* text : {"-1021,81", "1021,817", "-0000,00", "нет"}) {
        for (int n = 1; n <= 18; ++n) {
            QLabel* l = w.valueLabel(n);
            l->setText(text);
            EXPECT_EQ(l->font().pixelSize(), 19);
            EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width()) << text << " in " << n;
            EXPECT_TRUE(box.contains(l->geometry())) << n;
            for (int m = n + 1; m <= 18; ++m)
                EXPECT_FALSE(l->geometry().intersects(w.valueLabel(m)->geometry())) << n << " and " << m;
        }
    }
    // The designed places stay: parameter 1 at the top left, 18 at the bottom right.
    EXPECT_EQ(w.valueLabel(1)->pos(), QPoint(88, 72));
    EXPECT_EQ(w.valueLabel(18)->pos(), QPoint(248, 232));
}

TEST_F(MainWindowTest, RefusesEveryResize) {
    start();
    TformLumo& w = *formLumo;
    w.show();
    const QSize designed = w.size();
    EXPECT_EQ(w.centralWidget()->size(), QSize(TformLumo::ClientWidth, TformLumo::ClientHeight));
    w.resize(800, 600);
    EXPECT_EQ(w.size(), designed);
    w.showMaximized();
    QApplication::processEvents();
    EXPECT_EQ(w.size(), designed);
    bool resize = true;
    w.FormCanResize(resize);
    EXPECT_FALSE(resize);
    frmSettings->resize(400, 400);
    EXPECT_EQ(frmSettings->size(), QSize(TfrmSettings::ClientWidth + 1, TfrmSettings::ClientHeight + 1));
}

TEST_F(MainWindowTest, FirstRunUsesCom3AndWritesTheSettingsAtClose) {
    start();  // COM3 is /dev/ttyS2: on a machine without it the open fails and says so once
    EXPECT_EQ(lumo::ui::control<QComboBox>(*frmSettings, "cbCOM")->currentText(), "COM3");
    EXPECT_LE(dialogs.messages().size(), 1u);
    formLumo->close();
    EXPECT_EQ(readIni(), "[Main]\nCOM=COM3\n");
}

TEST_F(MainWindowTest, OpensTheConfiguredPortAndSavesTheDialogsChoice) {
    PtyPair pty;
    writeIni("[Other]\nKeep=1\n[Main]\nCOM=" + pty.slavePath() + "\n");
    start();
    EXPECT_TRUE(formLumo->serialPort().PortOpen());
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_EQ(lumo::ui::control<QComboBox>(*frmSettings, "cbCOM")->currentText().toStdString(), pty.slavePath());

    // Picking a port without checking it changes nothing now, but is saved at close.
    lumo::ui::control<QComboBox>(*frmSettings, "cbCOM")->setCurrentText("COM1");
    EXPECT_TRUE(formLumo->serialPort().PortOpen());
    formLumo->close();
    EXPECT_FALSE(formLumo->serialPort().PortOpen());
    EXPECT_EQ(readIni(), "[Other]\nKeep=1\n[Main]\nCOM=COM1\n");
    formLumo->close();  // a second close runs nothing again
    EXPECT_TRUE(dialogs.messages().empty());
}

TEST(EventLoop, RunsOnQtsOwnDispatcher) {
    // Set up as the program's entry does; glib's dispatcher could leave a close request lying.
    EXPECT_FALSE(QString(QAbstractEventDispatcher::instance()->metaObject()->className()).contains("Glib"));
}

TEST_F(MainWindowTest, ASettingsFileThatCannotBeWrittenKeepsItsContentAndSaysSo) {
    writeIni("[Main]\nCOM=/dev/lumo-missing-port\n");
    fs::permissions(ini, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    start();
    dialogs.clear();
    lumo::ui::control<QComboBox>(*frmSettings, "cbCOM")->setCurrentText("COM1");
    formLumo->close();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::cannotSaveSettings(ini)});
    EXPECT_EQ(readIni(), "[Main]\nCOM=/dev/lumo-missing-port\n");
}

TEST_F(MainWindowTest, TheReportsApplicationIsChosenInTheSettingsAndWrittenBack) {
    EXPECT_EQ(reportApplicationFrom("excel"), ReportApplication::Excel);
    EXPECT_EQ(reportApplicationFrom("BUILTIN"), ReportApplication::Builtin);
    EXPECT_EQ(reportApplicationFrom(""), ReportApplication::Auto);
    EXPECT_EQ(reportApplicationFrom("Calc"), ReportApplication::Auto);
    // Where no "Excel.Application" is registered (here, and a PC without Excel), Auto comes to
    // the built-in engine.
    EXPECT_EQ(registerSpreadsheetApplication(ReportApplication::Auto), ReportApplication::Builtin);
#ifndef _WIN32
    EXPECT_EQ(registerSpreadsheetApplication(ReportApplication::Excel), ReportApplication::Builtin);
#endif
    writeIni("[Main]\nCOM=/dev/lumo-missing-port\nReport=builtin\n");
    context = std::make_unique<AppContext>(dialogs, clock, ini, "", settingOf(reportApplicationFrom("builtin")));
    createWindows(*context);
    formLumo->close();
    EXPECT_EQ(readIni(), "[Main]\nCOM=/dev/lumo-missing-port\nReport=Builtin\n");
}

TEST_F(MainWindowTest, APortThatNeverOpenedClosesNothingAndShowsNothing) {
    writeIni("[Main]\nCOM=/dev/lumo-missing-port\n");
    start();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{std::string(msg::CannotOpenPort) + "\n" + msg::PortNotFound});
    EXPECT_FALSE(formLumo->serialPort().PortOpen());
    dialogs.clear();
    formLumo->close();
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_EQ(readIni(), "[Main]\nCOM=/dev/lumo-missing-port\n");
}

TEST_F(MainWindowTest, ExceptionsStopAtTheHandlersEdge) {
    start();
    bool after = false;
    auto slot = guarded(dialogs, [] { throw std::runtime_error("сбой"); });
    QTimer::singleShot(0, formLumo, slot);
    QTimer::singleShot(0, formLumo, guarded(dialogs, [] { throw 42; }));
    QTimer::singleShot(0, formLumo, [&] { after = true; });
    QApplication::processEvents();
    EXPECT_TRUE(after);
    EXPECT_EQ(dialogs.exceptions(), (std::vector<std::string>{"сбой", ""}));
}

TEST(QtDialogs, FileFiltersInQtSyntax) {
    EXPECT_EQ(qtFileFilter("*.xls|*.xls|*.*|*.*"), "*.xls (*.xls);;*.* (*)");
    EXPECT_EQ(qtFileFilter("Отчеты|*.xls;*.xlsx"), "Отчеты (*.xls *.xlsx)");
}

TEST(QtDialogs, BoxAskedFromAWorkerIsShownOnTheWindowThreadAndAbandonedAtShutdown) {
    QtOperatorDialogs d;
    // Close every box as soon as it shows, and note on which thread it showed.
    bool onWindowThread = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* w = QApplication::activeModalWidget()) {
            onWindowThread = QThread::currentThread() == QApplication::instance()->thread();
            w->close();
        }
    });
    closer.start(10);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        d.error(msg::CheckConnection);
        done = true;
    });
    while (!done) QApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    EXPECT_TRUE(onWindowThread);

    // After abandonWaiters a worker's box returns at once without being shown.
    closer.stop();
    d.abandonWaiters();
    std::thread late([&] { d.error(msg::CheckConnection); });
    late.join();
}

TEST(QtDialogs, TheChoiceWhileTheSpreadsheetIsBusyIsToWaitOrToLeaveTheReportOpen) {
    QtOperatorDialogs d;
    QStringList buttons;
    QString press;  // the button the operator presses; none: he closes the box
    QTimer operatorHand;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        buttons.clear();
        for (QAbstractButton* b : box->buttons()) buttons << b->text();
        if (press.isEmpty()) return (void)box->close();
        for (QAbstractButton* b : box->buttons())
            if (b->text() == press) return b->click();
    });
    operatorHand.start(10);
    const MessageRequest choice{msg::SpreadsheetBusyWait, msg::CaptionWarning, MessageIcon::Warning,
                                MessageButtons::WaitOrLeave};
    press = msg::WaitButton;
    EXPECT_EQ(d.message(choice), MessageResult::Wait);
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{msg::WaitButton, msg::LeaveOpenButton}));
    press = msg::LeaveOpenButton;
    EXPECT_EQ(d.message(choice), MessageResult::Leave);
    press.clear();
    EXPECT_EQ(d.message(choice), MessageResult::Leave);
}

TEST(QtDialogs, ANoticeIsNotWaitedForAndShownOnceWhileItIsOpen) {
    QtOperatorDialogs d;
    int shown = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* w = QApplication::activeModalWidget()) {
            ++shown;
            w->close();
        }
    });
    // From a worker, twice: the worker goes on at once (no event is processed meanwhile), and
    // the same box waiting to be shown is not queued a second time.
    std::thread worker([&] {
        d.notifyError(msg::CheckConnection);
        d.notifyError(msg::CheckConnection);
    });
    worker.join();
    closer.start(10);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (shown == 0 && std::chrono::steady_clock::now() < deadline)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(shown, 1);
    // Once closed, the next notice shows again; from the window's thread too, after the caller.
    d.notifyError(msg::CheckConnection);
    EXPECT_EQ(shown, 1);
    while (shown == 1 && std::chrono::steady_clock::now() < deadline)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(shown, 2);
}
