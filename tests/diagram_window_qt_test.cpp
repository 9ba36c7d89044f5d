// The vector diagram window beside the real main window: its way in from the menu bar, the
// readings handed over by the live tick from the simulated meter on a pseudo-terminal, the
// trend's ring and its reduction to pixel columns.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "app/Userprog.h"
#include "app/diagram_window.h"
#include "app/phasor_view.h"
#include "app/readings_ring.h"
#include "app/startup.h"
#include "app/settings_file.h"
#include "app/trend_view.h"
#include "app/window_style.h"
#include "common/numtext.h"
#include "sim/meter_server.h"
#include "support/scripted_dialogs.h"

using namespace lumo;
using namespace lumo::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class DiagramTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("lumo-diagram-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        destroyWindows();
        fs::remove_all(dir);
    }
    TformLumo& start(const std::string& port, const std::string& moreSettings = "") {
        const std::string ini = (dir / "UserLumo.INI").string();
        std::ofstream(ini) << "[Main]\nCOM=" << port << "\n" << moreSettings;
        context = std::make_unique<AppContext>(dialogs, clock, ini);
        createWindows(*context);
        return *formLumo;
    }
    // The check's lines as the window shows them: the faults (or the one line), then the notes.
    static QString checkText(TformLumo& w) {
        const QString notes = ui::control<QLabel>(w.diagramWindow(), "labNotes")->text();
        return ui::control<QLabel>(w.diagramWindow(), "labCheck")->text() + (notes.isEmpty() ? "" : "\n" + notes);
    }

    fs::path dir;
    ScriptedDialogs dialogs;
    PinnedClock clock{{2026, 12, 6, 7, 5, 9}};
    std::unique_ptr<AppContext> context;
};

}  // namespace

TEST_F(DiagramTest, MenuItemOpensOneWindowBesideAnUnchangedMainWindow) {
    TformLumo& w = start("/dev/lumo-missing-port");
    w.show();
    auto* bar = ui::control<QMenuBar>(w, "MainMenu1");
    auto* item = ui::control<QAction>(w, "Diagram");
    ASSERT_EQ(bar->actions().size(), 3);
    EXPECT_EQ(bar->actions()[1], ui::control<QAction>(w, "N2"));
    EXPECT_EQ(bar->actions()[2], item);
    EXPECT_EQ(item->text(), "Диаграмма");
    EXPECT_EQ(item->menu(), nullptr);  // a plain item, no menu behind it

    // The main window's pixels outside the menu bar are those of the window without the item.
    QApplication::processEvents();
    const QImage with = w.grab().toImage();
    const QSize size = w.size();
    bar->removeAction(item);
    QApplication::processEvents();
    const QImage without = w.grab().toImage();
    bar->addAction(item);
    EXPECT_EQ(w.size(), size);
    ASSERT_EQ(with.size(), without.size());
    const int barBottom = bar->geometry().bottom();
    int differing = 0;
    for (int y = barBottom + 1; y < with.height(); ++y)
        for (int x = 0; x < with.width(); ++x) differing += with.pixel(x, y) != without.pixel(x, y);
    EXPECT_EQ(differing, 0);
    EXPECT_EQ(w.centralWidget()->size(), QSize(TformLumo::ClientWidth, TformLumo::ClientHeight));

    // A separate, resizable window that does not hold the main window up.
    EXPECT_FALSE(w.diagramWindow().isVisible());
    item->trigger();
    DiagramWindow& d = w.diagramWindow();
    EXPECT_TRUE(d.isVisible() && d.isWindow());
    EXPECT_EQ(d.windowTitle(), "Векторная диаграмма");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_FALSE(d.isModal());
    d.resize(700, 500);
    EXPECT_EQ(d.size(), QSize(700, 500));
    EXPECT_EQ(checkText(w), "нет данных");
    // Again: the same window comes back, no second one.
    d.showMinimized();
    item->trigger();
    EXPECT_TRUE(d.isVisible() && !d.isMinimized());
    EXPECT_EQ(w.findChildren<DiagramWindow*>().size(), 1);

    w.close();
    EXPECT_FALSE(d.isVisible());  // it closes with the main window
}

TEST_F(DiagramTest, FollowsTheLiveTicksAndNamesAWiringFault) {
    sim::MeterConfig config;
    config.wiring = sim::wiringFromName("reversed-b");
    sim::MeterServer meter(config);
    TformLumo& w = start(meter.devicePath());
    std::int64_t now = 1'765'000'000'000;
    w.diagramWindow().setTimeSource([&now] { return now; });
    ui::control<QAction>(w, "Diagram")->trigger();

    ui::control<QPushButton>(w, "butGetTekData")->click();
    ASSERT_TRUE(w.liveWorker().waitForJobs(1, 30s));
    // The worker's readings reach the diagram only through the window's tick.
    EXPECT_EQ(checkText(w), "нет данных");
    EXPECT_TRUE(w.diagramWindow().ring().empty());
    w.timerPeriodTimer();
    EXPECT_TRUE(checkText(w).startsWith("Фаза B: ток или напряжение в обратном направлении (углы ")) << checkText(w).toStdString();
    // The label shows the verdict's lines as they are.
    QStringList lines;
    for (const auto& line : w.diagramWindow().verdict().shownLines()) lines << QString::fromStdString(line.text);
    EXPECT_EQ(checkText(w), lines.join("\n"));
    ASSERT_EQ(w.diagramWindow().ring().size(), 1u);
    // The trend keeps what the labels show.
    for (int n = 1; n <= 18; ++n)
        EXPECT_FLOAT_EQ(w.diagramWindow().ring().value(0, n - 1),
                        static_cast<float>(*parseDecimal(w.valueLabel(n)->text().toStdString())))
            << n;

    ASSERT_TRUE(w.liveWorker().waitForJobs(2, 30s));
    now += 1000;
    w.timerPeriodTimer();
    EXPECT_EQ(w.diagramWindow().ring().size(), 2u);
    EXPECT_EQ(w.diagramWindow().ring().time(1), now);
    EXPECT_EQ(w.diagramWindow().verdict().findings.size(), 1u);
}

// The kind of site is chosen in the window, judges the readings at once, and is kept in the
// settings file from one run to the next.
TEST_F(DiagramTest, SiteChosenInTheWindowJudgesAndIsKept) {
    const std::string ini = (dir / "UserLumo.INI").string();
    {
        TformLumo& w = start("/dev/lumo-missing-port");
        DiagramWindow& d = w.diagramWindow();
        d.showAndRaise();
        EXPECT_EQ(d.site(), wiring::Site::Consumption);
        // A plant's readings: every phase near 180°.
        std::vector<std::string> texts;
        for (int p = 0; p < 3; ++p)
            for (const char* t : {"230", "4", "180", "-920", "0", "920"}) texts.push_back(t);
        d.showReadings(texts);
        EXPECT_TRUE(d.verdict().anyFault());
        auto* cbSite = ui::control<QComboBox>(d, "cbSite");
        ASSERT_EQ(cbSite->count(), 3);
        EXPECT_EQ(cbSite->itemText(1), "Генерация");
        cbSite->setCurrentIndex(1);
        EXPECT_EQ(d.site(), wiring::Site::Generation);
        EXPECT_EQ(d.verdict().site, wiring::Site::Generation);
        EXPECT_FALSE(d.verdict().anyFinding());
        EXPECT_EQ(checkText(w), "Ошибок подключения не найдено");
        w.close();
    }
    EXPECT_EQ(readProfileString(ini, SettingsSection, SettingsSiteKey, ""), "Generation");
    destroyWindows();
    TformLumo& again = start("/dev/lumo-missing-port", "site=both\n");
    EXPECT_EQ(again.diagramWindow().site(), wiring::Site::Both);
    EXPECT_EQ(ui::control<QComboBox>(again.diagramWindow(), "cbSite")->currentIndex(), 2);
    destroyWindows();
    TformLumo& third = start("/dev/lumo-missing-port", "Site=Generation\n");
    EXPECT_EQ(third.diagramWindow().site(), wiring::Site::Generation);
    EXPECT_EQ(ui::control<QComboBox>(third.diagramWindow(), "cbSite")->currentIndex(), 1);
}

// The samples are timed on the computer's clock: a clock set back or forward moves the samples
// before with it (the trend stays whole, its labels right at once); a suspend or a pause in
// polling leaves a gap. A reading that cannot be real stays out of the trend.
TEST(DiagramWindow, SamplesOnTheWallClockAcrossAClockSetAndASuspend) {
    DiagramWindow window;
    std::int64_t wall = 1'765'000'000'000, elapsed = 5'000;
    window.setClocks([&] { return wall; }, [&] { return elapsed; });
    std::vector<std::string> texts(18, "1");
    auto tick = [&](std::int64_t wallStep, std::int64_t elapsedStep) {
        wall += wallStep, elapsed += elapsedStep;
        window.showReadings(texts);
    };
    tick(0, 0);
    tick(1000, 1000);
    tick(-3'600'000 + 1000, 1000);  // the clock set back an hour
    const ReadingsRing& ring = window.ring();
    ASSERT_EQ(ring.size(), 3u);
    EXPECT_EQ(ring.time(2), wall);
    EXPECT_EQ(ring.time(1), wall - 1000);
    EXPECT_EQ(ring.time(0), wall - 2000);
    tick(7'200'000 + 1000, 1000);  // set forward two hours
    EXPECT_EQ(ring.time(2), wall - 1000);
    tick(1'800'000, 1'800'000);  // half an hour asleep: a gap
    EXPECT_EQ(ring.time(4) - ring.time(3), 1'800'000);
    EXPECT_GT(ring.time(4) - ring.time(3), TrendView::GapMs);

    // U of A garbled: named by the check, missing in the trend; the others kept.
    texts = {"8230,5", "4", "20", "864", "315", "920", "230", "4", "20", "864", "315", "920",
             "230", "4", "20", "864", "315", "920"};
    tick(1000, 1000);
    EXPECT_EQ(window.verdict().implausible, 1u);
    EXPECT_TRUE(std::isnan(ring.value(ring.size() - 1, 0)));
    EXPECT_EQ(ring.value(ring.size() - 1, 6), 230.0f);
    // Hidden, the window lays out no lines; shown, it shows the last verdict's.
    EXPECT_EQ(ui::control<QLabel>(window, "labCheck")->text(), "нет данных");
    window.show();
    EXPECT_EQ(ui::control<QLabel>(window, "labCheck")->text().toStdString(),
              window.verdict().lines()[0] + "\n" + window.verdict().lines()[1]);
    EXPECT_TRUE(ui::control<QLabel>(window, "labNotes")->text().isEmpty());
    EXPECT_TRUE(ui::control<QLabel>(window, "labCannotTell")->text().isEmpty());
}

// P of ±3.4E38 on two phases (a float's limits) still gives a value axis, and "нет данных"
// only when there is nothing to draw.
TEST(DiagramViews, TrendAxisHoldsTheLimitsOfAFloat) {
    ReadingsRing ring;
    TrendView trend(ring);
    trend.resize(600, 300);
    trend.setQuantity(TrendView::Quantity::P);
    QImage image(trend.size(), QImage::Format_ARGB32);
    trend.render(&image);
    EXPECT_EQ(trend.paintedAxis().step, 0);  // empty: "нет данных"
    ReadingsRing::Sample s{};
    for (std::int64_t t = 0; t < 30; ++t) {
        s[3] = 3.4e38f, s[9] = -3.4e38f, s[15] = static_cast<float>(900 + t);
        ring.push(1'765'000'000'000 + t * 1000, s);
    }
    trend.render(&image);
    const TrendView::Axis axis = trend.paintedAxis();
    EXPECT_GT(axis.step, 0);
    EXPECT_LE(axis.lo, -3.4e38);
    EXPECT_GE(axis.hi, 3.4e38);
}

TEST(ReadingsRing, KeepsTheLastDayAndColumnsKeepEveryExtreme) {
    // Bounded: a day of seconds and no more, the oldest going first.
    ReadingsRing day;
    ReadingsRing::Sample s{};
    for (std::int64_t t = 0; t < 86400 + 25; ++t) {
        s[0] = static_cast<float>(t);
        day.push(t * 1000, s);
    }
    EXPECT_EQ(day.size(), 86400u);
    EXPECT_EQ(day.time(0), 25 * 1000);
    EXPECT_EQ(day.value(0, 0), 25.0f);
    EXPECT_EQ(day.time(day.size() - 1), (86400 + 24) * 1000);
    EXPECT_EQ(day.lowerBound(50 * 1000 + 1), 26u);
    EXPECT_EQ(day.lowerBound(0), 0u);
    EXPECT_EQ(day.lowerBound(1LL << 50), day.size());

    // A small ring wrapped several times, with missing readings, pauses and a clock set back.
    ReadingsRing ring(500);
    std::mt19937 random(7);
    std::int64_t t = 1000;
    for (int i = 0; i < 1700; ++i) {
        t += i % 211 == 0 ? 60000 : (i == 1600 ? -5000 : 1000);  // pauses; once a clock set back
        s[4] = random() % 13 == 0 ? NAN : static_cast<float>(random() % 1000) / 10.0f;
        ring.push(t, s);
    }
    for (size_t i = 1; i < ring.size(); ++i) ASSERT_LE(ring.time(i - 1), ring.time(i));
    const std::int64_t from = ring.time(0) + 3333, to = ring.time(ring.size() - 1) - 777;
    for (int width : {1, 37, 800}) {
        const auto columns = decimate(ring, 4, from, to, width);
        ASSERT_EQ(columns.size(), static_cast<size_t>(width));
        std::vector<TrendColumn> expected(static_cast<size_t>(width));
        for (size_t i = 0; i < ring.size(); ++i) {
            const std::int64_t ti = ring.time(i);
            const float v = ring.value(i, 4);
            if (ti < from || ti >= to || std::isnan(v)) continue;
            TrendColumn& c = expected[static_cast<size_t>((ti - from) * width / (to - from))];
            if (c.empty) c = {false, v, v, v, v, ti, ti};
            c.min = std::min(c.min, v), c.max = std::max(c.max, v), c.last = v, c.lastTime = ti;
        }
        for (int c = 0; c < width; ++c) {
            const TrendColumn &got = columns[static_cast<size_t>(c)], &want = expected[static_cast<size_t>(c)];
            ASSERT_EQ(got.empty, want.empty) << width << " " << c;
            if (want.empty) continue;
            EXPECT_EQ(std::tie(got.min, got.max, got.first, got.last, got.firstTime, got.lastTime),
                      std::tie(want.min, want.max, want.first, want.last, want.firstTime, want.lastTime))
                << width << " " << c;
        }
    }
}

// The views draw whatever the readings hold: the extremes of a number, missing readings, a full
// day in the trend, at any size.
TEST(DiagramViews, DrawHostileReadingsAndAFullDayAtAnySize) {
    ReadingsRing ring;
    TrendView trend(ring);
    PhasorView phasor;
    QImage image(800, 400, QImage::Format_ARGB32);
    auto draw = [&](QWidget& view, QSize size) {
        view.resize(size);
        image.fill(Qt::white);
        view.render(&image);
    };
    for (QSize size : {QSize(800, 400), QSize(3, 3), QSize(0, 0)}) {
        draw(trend, size);  // empty: "нет данных"
        draw(phasor, size);
    }
    wiring::Readings hostile;
    hostile[0] = {1.7e308, 1e-300, 1e300, -1e300, std::nullopt, 0};
    hostile[1] = {0, 0, -720.5, 0, 0, 0};
    hostile[2] = {std::nullopt, 5, std::nullopt, std::nullopt, 1, 1};
    phasor.setReadings(hostile, true);
    ReadingsRing::Sample s;
    s.fill(1.0e30f);
    ring.push(0, s);
    s.fill(-3.0e38f);
    for (std::int64_t t = 1; t < 86400; ++t) {
        s[0] = static_cast<float>(220 + t % 17);
        ring.push(t * 1000, s);
    }
    for (auto span : {TrendView::Span::TenMinutes, TrendView::Span::Hour, TrendView::Span::All})
        for (auto q : {TrendView::Quantity::U, TrendView::Quantity::I, TrendView::Quantity::P}) {
            trend.setSpan(span);
            trend.setQuantity(q);
            for (QSize size : {QSize(800, 300), QSize(7, 5)}) draw(trend, size);
        }
    draw(phasor, QSize(480, 480));

    // Through the window: a reading beyond a float's range is kept as missing.
    DiagramWindow window;
    std::vector<std::string> texts(18, "1");
    texts[0] = "1E300";
    texts[3] = "-1,79E308";
    window.showReadings(texts);
    ASSERT_EQ(window.ring().size(), 1u);
    EXPECT_TRUE(std::isnan(window.ring().value(0, 0)) && std::isnan(window.ring().value(0, 3)));
    EXPECT_EQ(window.ring().value(0, 1), 1.0f);
    window.resize(300, 200);
    QImage whole(window.size(), QImage::Format_ARGB32);
    window.render(&whole);
    window.showReadings(std::vector<std::string>(18, "нет"));
    EXPECT_TRUE(window.verdict().noData);
    EXPECT_EQ(window.ring().size(), 1u);  // nothing to keep

    EXPECT_EQ(scaleAbove(227.5), 250);
    EXPECT_EQ(scaleAbove(5.54), 6);
    EXPECT_EQ(scaleAbove(0), 1);
    EXPECT_TRUE(std::isfinite(scaleAbove(1.7e308)));
}
