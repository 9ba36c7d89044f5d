// The check's protocol: what it averages and says about readings that are missing or old, the
// PDF it writes read back by poppler's pdftotext and pdfinfo, and "Протокол…" in the diagram
// window of the real main window polling the simulated meter on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/Userprog.h"
#include "app/diagram_window.h"
#include "app/protocol.h"
#include "app/settings_file.h"
#include "app/startup.h"
#include "app/window_style.h"
#include "automation/automation.h"
#include "common/messages.h"
#include "sim/meter_server.h"
#include "spreadsheet/engine.h"
#include "support/scripted_dialogs.h"

using namespace lumo;
using namespace lumo::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t T0 = 1'765'000'000'000;

// What poppler's tools say of a PDF: its text (pdftotext), its pages and size (pdfinfo).
std::string run(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}
std::string pdfText(const fs::path& pdf) { return run("pdftotext -layout '" + pdf.string() + "' -"); }
std::string pdfInfo(const fs::path& pdf) { return run("pdfinfo '" + pdf.string() + "'"); }

protocol::Tick tick(std::int64_t t, double angleA, std::optional<double> uB = 230.0) {
    protocol::Tick k;
    k.timeMs = t;
    for (int p = 0; p < 3; ++p) {
        k.values[static_cast<size_t>(p * 6 + 0)] = 230.0;
        k.values[static_cast<size_t>(p * 6 + 1)] = 5.0;
        k.values[static_cast<size_t>(p * 6 + 2)] = 20.0;
        k.values[static_cast<size_t>(p * 6 + 3)] = 1080.0;
        k.values[static_cast<size_t>(p * 6 + 4)] = 393.0;
        k.values[static_cast<size_t>(p * 6 + 5)] = 1150.0;
    }
    k.values[2] = angleA;
    k.values[6] = uB;
    return k;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// Ten seconds up to the newest tick; angles around 0° as a direction; a reading missing in some
// ticks counted; what moved is judged against the size it belongs to.
TEST(Protocol, AveragesTheLastSecondsAndMarksWhatMoved) {
    std::deque<protocol::Tick> ticks;
    for (int i = 0; i < 14; ++i) {
        auto k = tick(T0 + i * 1000, i % 2 ? 359.0 : 1.0, i % 4 == 0 ? std::nullopt : std::optional<double>(231.0));
        k.values[3 + 6] = i < 4 ? 5000.0 : (i % 2 ? 1070.0 : 1090.0);  // P of B: an old spike, then ±10 W
        k.values[1 + 12] = i % 2 ? 5.0 : 5.6;                           // I of C: 11 % up and down
        ticks.push_back(k);
    }
    protocol::Snapshot s;
    protocol::averageTicks(ticks, s);
    EXPECT_EQ(s.ticks, 10);
    EXPECT_EQ(s.firstMs, T0 + 4000);
    const protocol::Stat& angle = s.readings[2];
    EXPECT_NEAR(wiring::normalizedAngle(angle.mean), 0.0, 1e-9);
    EXPECT_NEAR(angle.spread, 2.0, 1e-9);
    EXPECT_FALSE(angle.moved);
    EXPECT_EQ(s.readings[6].count, 7);  // U of B: missing in the ticks 4, 8 and 12
    EXPECT_FALSE(s.readings[9].moved);  // 20 W of 1150 VA
    EXPECT_DOUBLE_EQ(s.readings[9].mean, 1080.0);
    EXPECT_TRUE(s.readings[13].moved);
    EXPECT_NEAR(s.sums[0].mean, 3240.0, 1e-9);

    s.state = protocol::State::Current;
    const protocol::Texts t = protocol::texts(s);
    EXPECT_EQ(t.cells[0][1], "231 ±0 " + msg::protocolOutOf(7, 10));
    EXPECT_EQ(t.cells[1][2], "5,3 ±0,3 *");
    EXPECT_EQ(t.cells[0][3], "");
    EXPECT_EQ(t.cells[3][3], "3240 ±10");
}

// No tick with a reading, polling stopped, a meter that stopped sending: each is said, and old
// readings are never averaged as current.
TEST(Protocol, SaysWhatIsMissingAndNeverPassesOldReadingsAsCurrent) {
    wiring::Verdict none;
    none.noData = true;
    std::deque<protocol::Tick> ticks;
    protocol::Tick empty;
    empty.timeMs = T0;
    ticks.push_back(empty);
    EXPECT_EQ(protocol::collect(ticks, {}, none, true, T0).state, protocol::State::NoReadings);

    ticks.clear();
    for (int i = 0; i < 5; ++i) ticks.push_back(tick(T0 + i * 1000, 20.0));
    // The meter fell silent: the ticks after go on with nothing sent afresh.
    for (int i = 5; i < 9; ++i) {
        protocol::Tick k;
        k.timeMs = T0 + i * 1000;
        ticks.push_back(k);
    }
    const auto silent = protocol::collect(ticks, {}, none, true, T0 + 8000);
    EXPECT_EQ(silent.state, protocol::State::Silent);
    EXPECT_EQ(silent.lastFreshMs, T0 + 4000);
    const auto silentTexts = protocol::texts(silent);
    EXPECT_TRUE(contains(silentTexts.state, "Прибор не отвечает"));

    // Stopped: the last ticks that had readings, said to be the last ones taken.
    const auto stopped = protocol::collect(ticks, {}, none, false, T0 + 60000);
    EXPECT_EQ(stopped.state, protocol::State::Stopped);
    EXPECT_EQ(stopped.ticks, 5);
    EXPECT_EQ(stopped.readings[0].count, 5);
    EXPECT_TRUE(contains(protocol::texts(stopped).state, "не текущие"));

    // A file name no system refuses.
    EXPECT_TRUE(protocol::defaultFileName(" ТП-1: ввод \"А\"/2. ", T0).starts_with("Протокол ТП-1_ ввод _А__2 "));
}

// The PDF: one A4 page whose text reads back; a folder that cannot be written leaves nothing.
TEST(Protocol, WritesOnePageWhoseTextReadsBack) {
    const fs::path dir = fs::temp_directory_path() / ("lumo-protocol-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    protocol::loadFonts();
    wiring::Verdict none;
    none.noData = true;
    protocol::Snapshot s = protocol::collect({}, {}, none, false, T0);
    s.fields = {"Подстанция «Северная»", "", "Кузнецова А. Б."};
    const fs::path pdf = dir / "Протокол.pdf";
    ASSERT_TRUE(protocol::writePdf(s, pdf.string()));
    const std::string text = pdfText(pdf);
    EXPECT_TRUE(contains(text, "Протокол проверки схемы подключения счётчика")) << text;
    EXPECT_TRUE(contains(text, "Подстанция «Северная»"));
    EXPECT_TRUE(contains(text, "Кузнецова А. Б."));
    EXPECT_TRUE(contains(text, msg::ProtocolNoReadings));
    EXPECT_TRUE(contains(text, msg::NoData));
    EXPECT_TRUE(contains(pdfInfo(pdf), "Pages:           1"));
    EXPECT_TRUE(contains(pdfInfo(pdf), "(A4)"));

    // Whatever is typed and however much the check says, it stays one page with its signature.
    std::string longText;
    for (int i = 0; i < 400; ++i) longText += "Подстанция ";
    s.fields = {longText, longText, longText};
    s.verdict.noData = false;
    for (int i = 0; i < 14; ++i) {
        wiring::Finding f;
        f.kind = wiring::Kind::Wiring;
        f.severity = wiring::Severity::Fault;
        f.text = "Фаза B: " + longText.substr(0, 300);
        s.verdict.findings.push_back(f);
        s.verdict.cannotTell.push_back(longText.substr(0, 200));
    }
    const fs::path crowded = dir / "crowded.pdf";
    ASSERT_TRUE(protocol::writePdf(s, crowded.string()));
    EXPECT_TRUE(contains(pdfInfo(crowded), "Pages:           1"));
    EXPECT_TRUE(contains(pdfText(crowded), "Подпись"));
    EXPECT_LT(protocol::defaultFileName(longText, T0).size(), 200u);
    fs::remove(crowded);

    EXPECT_FALSE(protocol::writePdf(s, (dir / "missing" / "p.pdf").string()));
    std::ofstream(dir / "file") << "x";
    EXPECT_FALSE(protocol::writePdf(s, (dir / "file" / "p.pdf").string()));
    int files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++files;
    EXPECT_EQ(files, 2);  // the protocol and "file": no temporary file left
    fs::remove_all(dir);
}

namespace {

class ProtocolWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("lumo-protocol-window-" + std::to_string(::getpid()));
        fs::create_directories(dir / "reports");
    }
    void TearDown() override {
        destroyWindows();
        fs::remove_all(dir);
    }
    // "Протокол…" clicked, and the events handled until the page is written.
    void clickProtocol(TformLumo& w) {
        ui::control<QPushButton>(w.diagramWindow(), "butProtocol")->click();
        for (int i = 0; i < 100000 && w.diagramWindow().writingProtocol(); ++i)
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        QApplication::processEvents();
    }
    fs::path dir;
    automation::ScopedFactory engine{automation::kSpreadsheetProgId, spreadsheet::createApplication};
    ScriptedDialogs dialogs;
    PinnedClock clock{{2026, 12, 6, 7, 5, 9}};
    std::unique_ptr<AppContext> context;
};

}  // namespace

// The operator's protocol of a reversed phase B: the form (remembered), the name offered in the
// report's folder, the fault and the readings on the page; then a folder that cannot be written.
TEST_F(ProtocolWindowTest, SavesTheProtocolOfTheLiveReadings) {
    sim::MeterConfig config;
    config.wiring = sim::wiringFromName("reversed-b");
    sim::MeterServer meter(config);
    const std::string ini = (dir / "UserLumo.INI").string();
    std::ofstream(ini) << "[Main]\nCOM=" << meter.devicePath() << "\n";
    context = std::make_unique<AppContext>(dialogs, clock, ini);
    createWindows(*context);
    TformLumo& w = *formLumo;
    std::int64_t now = T0;
    w.diagramWindow().setTimeSource([&now] { return now; });

    // A report saved in its folder: the protocol is offered beside it.
    ui::control<QAction>(w, "Create")->trigger();
    dialogs.saveName((dir / "reports" / "r.xlsx").string());
    ui::control<QAction>(w, "Save")->trigger();
    ASSERT_TRUE(fs::exists(dir / "reports" / "r.xlsx"));

    ui::control<QPushButton>(w, "butGetTekData")->click();
    for (int i = 1; i <= 4; ++i) {
        ASSERT_TRUE(w.liveWorker().waitForJobs(static_cast<std::uint64_t>(i), 30s));
        w.timerPeriodTimer();
        now += 1000;
    }
    dialogs.fieldsAnswer(std::vector<std::string>{"ТП 7/2", "Ввод 2", "Сидоров С. С."});
    const fs::path pdf = dir / "reports" / "protocol.pdf";
    dialogs.saveName(pdf.string());
    clickProtocol(w);
    ASSERT_EQ(dialogs.forms().size(), 1u);
    EXPECT_EQ(dialogs.forms()[0].fields[0].first, msg::ProtocolObject);
    EXPECT_EQ(readProfileString(ini, ProtocolSection, ProtocolOperatorKey, ""), "Сидоров С. С.");
    const std::string offered = dialogs.fileDialogs().back().initialName;
    EXPECT_EQ(fs::path(offered).parent_path(), dir / "reports");
    EXPECT_TRUE(fs::path(offered).filename().string().starts_with("Протокол ТП 7_2 ")) << offered;
    ASSERT_TRUE(fs::exists(pdf));
    const std::string text = pdfText(pdf);
    EXPECT_TRUE(contains(text, "Фаза B: ток или напряжение в обратном направлении")) << text;
    EXPECT_TRUE(contains(text, "Сидоров С. С."));
    EXPECT_FALSE(contains(text, "Прибор не отвечает"));
    EXPECT_TRUE(contains(text, "UserLumo "));
    EXPECT_TRUE(dialogs.texts().empty());

    // The form comes back filled; a folder that cannot be written is told as a report that
    // cannot be saved, the dialog comes once more, and nothing is left.
    dialogs.saveName((dir / "gone" / "p.pdf").string());
    dialogs.saveName(std::nullopt);
    clickProtocol(w);
    EXPECT_EQ(dialogs.forms().back().fields[2].second, "Сидоров С. С.");
    EXPECT_EQ(dialogs.texts(), std::vector<std::string>{msg::CannotSaveReport});
    EXPECT_FALSE(fs::exists(dir / "gone"));
    EXPECT_TRUE(ui::control<QPushButton>(w.diagramWindow(), "butProtocol")->isEnabled());
}

// Slots the meter no longer writes hold its last words: they are no current readings.
TEST(ProtocolWindow, ReadingsNotSentAfreshAreNotCurrent) {
    DiagramWindow d;
    std::int64_t now = T0;
    d.setTimeSource([&now] { return now; });
    d.setPolling(true);
    const std::vector<std::string> texts = {"230", "5", "20", "1080", "393", "1150", "230", "5", "20",
                                            "1080", "393", "1150", "230", "5", "20", "1080", "393", "1150"};
    std::vector<std::uint64_t> writes(18, 1);
    for (int i = 0; i < 10; ++i, now += 1000) {
        if (i < 3) std::fill(writes.begin(), writes.end(), static_cast<std::uint64_t>(i + 1));
        d.showReadings(texts, &writes);
    }
    now -= 1000;
    const auto s = protocol::collect(d.ticks(), {}, d.verdict(), true, now);
    EXPECT_EQ(s.state, protocol::State::Silent);
    EXPECT_EQ(s.lastFreshMs, T0 + 5000);  // written at the third tick, current three seconds more
}
