#include "app/diagram_window.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QSplitter>
#include <QVBoxLayout>
#include <cfloat>
#include <cmath>

#include "app/phasor_view.h"
#include "app/trend_view.h"
#include "app/window_style.h"
#include "common/clock.h"
#include "common/messages.h"

namespace lumo {

namespace {

// A label in a box of the height its text needs: a new text of the same height repaints the
// label alone instead of laying out the whole window again (the check's lines change with the
// angles every second while a fault is shown, and a layout of the window costs a millisecond).
class LabelBox : public QWidget {
public:
    LabelBox(QLabel* label, QWidget* parent) : QWidget(parent), label_(label) {
        label_->setParent(this);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    }
    void setText(const QString& text) {
        label_->setText(text);
        fit();
    }

protected:
    void resizeEvent(QResizeEvent*) override { fit(); }

private:
    void fit() {
        const int needed = std::max(label_->heightForWidth(std::max(width(), 1)), label_->minimumHeight());
        label_->setGeometry(0, 0, width(), needed);
        if (needed != height()) setFixedHeight(needed);
    }
    QLabel* label_;
};

}  // namespace

DiagramWindow::DiagramWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("formDiagram");
    setWindowTitle("Векторная диаграмма");
    resize(1000, 640);
    setClocks([] { return QDateTime::currentMSecsSinceEpoch(); }, [] { return sinceBootMs(); });

    auto* split = new QSplitter(Qt::Horizontal, this);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(4, 4, 4, 4);
    outer->addWidget(split);

    auto* left = new QWidget(split);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    phasor_ = new PhasorView(left);
    auto* siteRow = new QHBoxLayout;
    siteRow->addWidget(new QLabel(QString::fromUtf8(msg::SiteLabel), left));
    cbSite = new QComboBox(left);
    cbSite->setObjectName("cbSite");
    for (wiring::Site site : {wiring::Site::Consumption, wiring::Site::Generation, wiring::Site::Both})
        cbSite->addItem(QString::fromUtf8(msg::SiteChoices[static_cast<int>(site)]), static_cast<int>(site));
    siteRow->addWidget(cbSite);
    siteRow->addStretch(1);
    labCheck = new QLabel(QString::fromUtf8(msg::NoData), left);
    labCheck->setObjectName("labCheck");
    labCheck->setWordWrap(true);
    labCheck->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont checkFont = labCheck->font();
    checkFont.setBold(true);
    labCheck->setFont(checkFont);
    labCheck->setMinimumHeight(labCheck->fontMetrics().height() * 4);
    labCheck->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    labCheck->setTextFormat(Qt::RichText);
    labCannotTell = new QLabel(left);
    labCannotTell->setObjectName("labCannotTell");
    labCannotTell->setWordWrap(true);
    labCannotTell->setTextInteractionFlags(Qt::TextSelectableByMouse);
    labCannotTell->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QFont small = labCannotTell->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    labCannotTell->setFont(small);
    leftLayout->addWidget(phasor_, 1);
    leftLayout->addLayout(siteRow);
    leftLayout->addWidget(checkBox_ = new LabelBox(labCheck, left));
    leftLayout->addWidget(cannotTellBox_ = new LabelBox(labCannotTell, left));

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
    connect(cbSite, &QComboBox::currentIndexChanged, this,
            [this] { setSite(static_cast<wiring::Site>(cbSite->currentData().toInt())); });
}

void DiagramWindow::setClocks(std::function<std::int64_t()> wall, std::function<std::int64_t()> elapsed) {
    wall_ = std::move(wall);
    elapsed_ = std::move(elapsed);
    lastElapsed_.reset();
}

void DiagramWindow::setSite(wiring::Site site) {
    if (cbSite->currentData().toInt() != static_cast<int>(site))
        cbSite->setCurrentIndex(cbSite->findData(static_cast<int>(site)));  // comes back here
    if (site == site_) return;
    site_ = site;
    if (verdict_.noData) {
        verdict_.site = site;
        return;
    }
    verdict_ = wiring::check(readings_, site_);
    showVerdict();
}

void DiagramWindow::showReadings(const std::vector<std::string>& texts) {
    readings_ = wiring::parseReadings(texts);
    verdict_ = wiring::check(readings_, site_);
    phasor_->setReadings(readings_, !verdict_.noData);
    if (!verdict_.noData) {
        ReadingsRing::Sample sample;
        for (int p = 0; p < 3; ++p) {
            const auto& r = readings_[static_cast<size_t>(p)];
            const std::optional<double>* values[] = {&r.U, &r.I, &r.angle, &r.P, &r.Q, &r.S};
            // A reading the check found cannot be real (a garbled value) is kept as missing, so
            // that it neither draws a spike nor stretches the value axis.
            for (int q = 0; q < ReadingsPerPhase; ++q) {
                const int n = p * ReadingsPerPhase + q;
                const bool real = *values[q] && !(verdict_.implausible & (1u << n)) && std::abs(**values[q]) <= FLT_MAX;
                sample[static_cast<size_t>(n)] = real ? static_cast<float>(**values[q]) : NAN;
            }
        }
        const std::int64_t wall = wall_(), elapsed = elapsed_();
        if (lastElapsed_ && !ring_.empty()) {
            // The computer's clock moved on by more (or less) than the time that passed: it was
            // set. The samples before are moved with it, so the trend stays whole.
            const std::int64_t expected = ring_.time(ring_.size() - 1) + (elapsed - *lastElapsed_);
            if (std::abs(wall - expected) > ClockSetMs) ring_.shiftTimes(wall - expected);
        }
        lastElapsed_ = elapsed;
        ring_.push(wall, sample);
        trend_->samplesAdded();
    }
    showVerdict();
}

void DiagramWindow::showVerdict() {
    // Faults red, a clean bill green, notes in the usual colour.
    const QPalette& pal = palette();
    const bool dark = ui::darkBackground(pal);
    const QString red = dark ? "#ff6b6b" : "#b00020", green = dark ? "#6be07b" : "#1b6e2a";
    QString text;
    const bool clean = !verdict_.noData && !verdict_.anyFinding();
    for (const wiring::Line& line : verdict_.shownLines()) {
        const QString escaped = QString::fromStdString(line.text).toHtmlEscaped();
        const QString colour = line.severity == wiring::Severity::Fault ? red : clean ? green : QString();
        text += (text.isEmpty() ? "" : "<br>") +
                (colour.isEmpty() ? escaped : "<span style=\"color:" + colour + "\">" + escaped + "</span>");
    }
    // A new text lays the labels out again: only when it changed.
    if (text != shownCheck_) static_cast<LabelBox*>(checkBox_)->setText(shownCheck_ = text);
    QString cannotTell;
    if (!verdict_.cannotTell.empty()) {
        cannotTell = QString::fromUtf8(msg::CannotTellHeading);
        for (const std::string& item : verdict_.cannotTell) cannotTell += "\n• " + QString::fromStdString(item);
    }
    if (cannotTell != shownCannotTell_) static_cast<LabelBox*>(cannotTellBox_)->setText(shownCannotTell_ = cannotTell);
}

void DiagramWindow::showAndRaise() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
}

}  // namespace lumo
