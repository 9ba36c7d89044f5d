#include "app/diagram_window.h"

#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QLabel>
#include <QSplitter>
#include <QVBoxLayout>
#include <cfloat>
#include <cmath>

#include "app/phasor_view.h"
#include "app/trend_view.h"
#include "app/window_style.h"
#include "common/messages.h"

namespace lumo {

namespace {

// The check found something, but only why it could not judge: no verdict either way.
bool onlyNotJudged(const wiring::Verdict& v) {
    for (const auto& f : v.findings)
        if (f.kind != wiring::Kind::LowLoad && f.kind != wiring::Kind::MissingReadings &&
            f.kind != wiring::Kind::NoVoltageAnywhere)
            return false;
    return true;
}

}  // namespace

DiagramWindow::DiagramWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("formDiagram");
    setWindowTitle("Векторная диаграмма");
    resize(1000, 640);
    // The samples' times: the computer's clock when the window was made, then a steady clock,
    // so that a clock set back or forward does not fold or tear the trend.
    QElapsedTimer steady;
    steady.start();
    now_ = [start = QDateTime::currentMSecsSinceEpoch(), steady] { return start + steady.elapsed(); };

    auto* split = new QSplitter(Qt::Horizontal, this);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(4, 4, 4, 4);
    outer->addWidget(split);

    auto* left = new QWidget(split);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    phasor_ = new PhasorView(left);
    labCheck = new QLabel(QString::fromUtf8(msg::NoData), left);
    labCheck->setObjectName("labCheck");
    labCheck->setWordWrap(true);
    labCheck->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont checkFont = labCheck->font();
    checkFont.setBold(true);
    labCheck->setFont(checkFont);
    labCheck->setMinimumHeight(labCheck->fontMetrics().height() * 4);
    labCheck->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    leftLayout->addWidget(phasor_, 1);
    leftLayout->addWidget(labCheck);

    auto* right = new QWidget(split);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    auto* controls = new QHBoxLayout;
    controls->addWidget(new QLabel("Тренд:", right));
    cbQuantity = new QComboBox(right);
    cbQuantity->setObjectName("cbQuantity");
    cbQuantity->addItem("Напряжение U", static_cast<int>(TrendView::Quantity::U));
    cbQuantity->addItem("Ток I", static_cast<int>(TrendView::Quantity::I));
    cbQuantity->addItem("Активная мощность P", static_cast<int>(TrendView::Quantity::P));
    cbSpan = new QComboBox(right);
    cbSpan->setObjectName("cbSpan");
    cbSpan->addItem("Последние 10 минут", static_cast<int>(TrendView::Span::TenMinutes));
    cbSpan->addItem("Последний час", static_cast<int>(TrendView::Span::Hour));
    cbSpan->addItem("С начала опроса", static_cast<int>(TrendView::Span::All));
    controls->addWidget(cbQuantity);
    controls->addWidget(cbSpan);
    controls->addStretch(1);
    trend_ = new TrendView(ring_, right);
    rightLayout->addLayout(controls);
    rightLayout->addWidget(trend_, 1);
    split->setSizes({560, 440});

    connect(cbQuantity, &QComboBox::currentIndexChanged, this, [this] {
        trend_->setQuantity(static_cast<TrendView::Quantity>(cbQuantity->currentData().toInt()));
    });
    connect(cbSpan, &QComboBox::currentIndexChanged, this, [this] {
        trend_->setSpan(static_cast<TrendView::Span>(cbSpan->currentData().toInt()));
    });
}

void DiagramWindow::showReadings(const std::vector<std::string>& texts) {
    const wiring::Readings readings = wiring::parseReadings(texts);
    verdict_ = wiring::check(readings);
    phasor_->setReadings(readings, !verdict_.noData);
    if (!verdict_.noData) {
        ReadingsRing::Sample sample;
        for (int p = 0; p < 3; ++p) {
            const auto& r = readings[static_cast<size_t>(p)];
            const std::optional<double>* values[] = {&r.U, &r.I, &r.angle, &r.P, &r.Q, &r.S};
            // A reading beyond a float's range is kept as missing, never as infinity.
            for (int q = 0; q < ReadingsPerPhase; ++q)
                sample[static_cast<size_t>(p * ReadingsPerPhase + q)] =
                    *values[q] && std::abs(**values[q]) <= FLT_MAX ? static_cast<float>(**values[q]) : NAN;
        }
        ring_.push(now_(), sample);
        trend_->samplesAdded();
    }
    showVerdict();
}

void DiagramWindow::showVerdict() {
    QString text;
    for (const std::string& line : verdict_.lines()) text += (text.isEmpty() ? "" : "\n") + QString::fromStdString(line);
    labCheck->setText(text);
    // Red for faults, green for a clean bill, the usual colour when nothing could be judged.
    QPalette pal = palette();
    const bool dark = ui::darkBackground(pal);
    if (!verdict_.noData && !verdict_.anyFinding())
        pal.setColor(QPalette::WindowText, dark ? QColor(0x6B, 0xE0, 0x7B) : QColor(0x1B, 0x6E, 0x2A));
    else if (!verdict_.noData && !onlyNotJudged(verdict_))
        pal.setColor(QPalette::WindowText, dark ? QColor(0xFF, 0x6B, 0x6B) : QColor(0xB0, 0x00, 0x20));
    // A new palette restyles the label: only when the colour changes.
    if (labCheck->palette().color(QPalette::WindowText) != pal.color(QPalette::WindowText)) labCheck->setPalette(pal);
}

void DiagramWindow::showAndRaise() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
}

}  // namespace lumo
