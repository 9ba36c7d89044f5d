#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/Userprog.h"
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
    EXPECT_EQ(w.windowTitle(), "ЛУМО 2210");
    EXPECT_EQ(w.gbCurRes->title(), "Текущие результаты");
    EXPECT_EQ(w.gbCurRes->geometry(), QRect(0, 0, 337, 369));
    EXPECT_EQ(w.GroupBox2->title(), "Отчет");
    EXPECT_EQ(w.GroupBox2->geometry(), QRect(344, 0, 249, 369));

    for (int n = 1; n <= 18; ++n) {
        EXPECT_EQ(w.valueLabel(n)->text(), "нет") << n;
        EXPECT_EQ(w.valueLabel(n)->font().pixelSize(), 19);
    }
    EXPECT_EQ(w.valueLabel(1), w.labUA);
    EXPECT_EQ(w.valueLabel(9), w.labFB);
    EXPECT_EQ(w.valueLabel(18), w.labSC);
    EXPECT_EQ(w.labUA->pos(), QPoint(88, 72));
    EXPECT_EQ(w.labSC->pos(), QPoint(248, 232));
    EXPECT_EQ(w.labF->text(), "Угол");
    EXPECT_EQ(w.labA->font().pixelSize(), 24);
    EXPECT_EQ(w.labText->text(), " ");

    EXPECT_EQ(w.butGetTekData->text(), "Текущие данные");
    EXPECT_TRUE(w.butGetTekData->isEnabled());
    EXPECT_EQ(w.butGetTekData->geometry(), QRect(8, 320, 161, 41));
    EXPECT_EQ(w.labTxtRepName->text(), "Название отчета:");
    EXPECT_EQ(w.LabRepName->text(), "нет");
    EXPECT_EQ(w.labDate->text(), "Дата создания:");
    EXPECT_EQ(w.LabReportDate->text(), "нет");
    EXPECT_EQ(w.labRecords->text(), "Всего записей:");
    EXPECT_EQ(w.labReadCnt->text(), "");
    EXPECT_EQ(w.cbAddToReport->text(), "Добавлять данные в отчет");
    EXPECT_FALSE(w.cbAddToReport->isChecked());
    EXPECT_EQ(w.ButShow->text(), "Просмотреть отчет");
    EXPECT_FALSE(w.ButShow->isEnabled());
    EXPECT_EQ(w.butReadMemory->text(), "Считать память прибора");
    EXPECT_FALSE(w.butReadMemory->isEnabled());

    EXPECT_FALSE(w.timerPeriod->isActive());
    EXPECT_FALSE(w.timerMem->isActive());
    EXPECT_EQ(w.timerPeriod->interval(), 1000);
    EXPECT_EQ(w.timerMem->interval(), 1000);
    EXPECT_EQ(w.OpenRepDialog.filter, "*.xls, *.xlsx|*.xls;*.xlsx|*.*|*.*");

    EXPECT_EQ(w.N1->title(), "Отчет");
    EXPECT_EQ(w.Create->text(), "Создать");
    EXPECT_EQ(w.Open->text(), "Открыть");
    EXPECT_EQ(w.Save->text(), "Сохранить");
    EXPECT_EQ(w.Close->text(), "Закрыть");
    EXPECT_EQ(w.N2->text(), "Настройки");
    EXPECT_EQ(w.MainMenu1->actions().size(), 2);

    // The state record starts zeroed.
    EXPECT_FALSE(w.report.ReportOpen || w.report.ReportSaved || w.report.ReportHasFile ||
                 w.report.ReportVisible || w.LivePolling);
    EXPECT_EQ(w.report.LiveRow, 0);
    EXPECT_EQ(w.PeriodsWritten, 0);
    EXPECT_EQ(w.store.CurrentValues[1].get(), "");
    EXPECT_FALSE(w.store.MemoryBusy.load());
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
    EXPECT_EQ(frmSettings->cbCOM->currentText(), "COM3");
    EXPECT_LE(dialogs.messages().size(), 1u);
    formLumo->close();
    EXPECT_EQ(readIni(), "[Main]\nCOM=COM3\n");
}

TEST_F(MainWindowTest, OpensTheConfiguredPortAndSavesTheDialogsChoice) {
    PtyPair pty;
    writeIni("[Other]\nKeep=1\n[Main]\nCOM=" + pty.slavePath() + "\n");
    start();
    EXPECT_TRUE(formLumo->port.PortOpen());
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_EQ(frmSettings->cbCOM->currentText().toStdString(), pty.slavePath());

    // Picking a port without checking it changes nothing now, but is saved at close.
    frmSettings->cbCOM->setCurrentText("COM1");
    EXPECT_TRUE(formLumo->port.PortOpen());
    formLumo->close();
    EXPECT_FALSE(formLumo->port.PortOpen());
    EXPECT_EQ(readIni(), "[Other]\nKeep=1\n[Main]\nCOM=COM1\n");
    formLumo->close();  // a second close runs nothing again
    EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(MainWindowTest, APortThatNeverOpenedClosesNothingAndShowsNothing) {
    writeIni("[Main]\nCOM=/dev/lumo-missing-port\n");
    start();
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{std::string(msg::CannotOpenPort) + "\n" + msg::PortNotFound});
    EXPECT_FALSE(formLumo->port.PortOpen());
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
