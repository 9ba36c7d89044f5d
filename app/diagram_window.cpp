#include "app/diagram_window.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <cfloat>
#include <cmath>

#include "app/handler_guard.h"
#include "app/phasor_view.h"
#include "app/settings_file.h"
#include "app/trend_view.h"
#include "app/window_style.h"
#include "common/clock.h"
#include "common/messages.h"
#include "common/operator_dialogs.h"

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
    QString text() const { return label_->text(); }
    void setText(const QString& text) {
        if (text == label_->text()) return;
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
    // The protocol's button in a row of its own under the check's lines.
    auto* protocolRow = new QHBoxLayout;
    butProtocol = new QPushButton(QString::fromUtf8(msg::ProtocolButton), left);
    butProtocol->setObjectName("butProtocol");
    protocolRow->addWidget(butProtocol);
    protocolRow->addStretch(1);
    // The check's lines: the faults (red; a clean bill green), then the notes (in the first
    // label when there is no fault), then what the readings cannot tell apart, each a label of plain text in one colour (rich text would
    // lay out a document every second).
    auto makeLabel = [left](const char* name, bool bold, double scale) {
        auto* l = new QLabel(left);
        l->setObjectName(name);
        l->setWordWrap(true);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        QFont f = l->font();
        f.setBold(bold);
        f.setPointSizeF(f.pointSizeF() * scale);
        l->setFont(f);
        return l;
    };
    labCheck = makeLabel("labCheck", true, 1.0);
    labCheck->setText(QString::fromUtf8(msg::NoData));
    labCheck->setMinimumHeight(labCheck->fontMetrics().height() * 2);
    labNotes = makeLabel("labNotes", true, 1.0);
    labCannotTell = makeLabel("labCannotTell", false, 0.9);
    leftLayout->addWidget(phasor_, 1);
    leftLayout->addLayout(siteRow);
    for (QLabel* l : {labCheck, labNotes, labCannotTell}) {
        auto* box = new LabelBox(l, left);
        leftLayout->addWidget(box);
        boxes_.push_back(box);
    }
    leftLayout->addLayout(protocolRow);

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
    connect(butProtocol, &QPushButton::clicked, this, [this] {
        if (host_.dialogs) runGuarded(*host_.dialogs, [this] { saveProtocol(); });
    });
}

DiagramWindow::~DiagramWindow() {
    // A protocol being written is finished first: its thread reads this window's snapshot.
    if (writer_.joinable()) writer_.join();
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

void DiagramWindow::showReadings(const std::vector<std::string>& texts, const std::vector<std::uint64_t>* writes) {
    readings_ = wiring::parseReadings(texts);
    verdict_ = wiring::check(readings_, site_);
    phasor_->setReadings(readings_, !verdict_.noData);
    const std::int64_t wall = wall_();
    keepTick(wall, writes);
    if (!verdict_.noData) {
        // A reading the check found cannot be real (a garbled value) is kept as missing, so
        // that it neither draws a spike nor stretches the value axis.
        ReadingsRing::Sample sample;
        for (int n = 0; n < ReadingCount; ++n) {
            const std::optional<double> v = realReading(n);
            sample[static_cast<size_t>(n)] = v && std::abs(*v) <= FLT_MAX ? static_cast<float>(*v) : NAN;
        }
        const std::int64_t elapsed = elapsed_();
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

std::optional<double> DiagramWindow::realReading(int n) const {
    const auto& r = readings_[static_cast<size_t>(n / ReadingsPerPhase)];
    const std::optional<double>* values[] = {&r.U, &r.I, &r.angle, &r.P, &r.Q, &r.S};
    if (verdict_.implausible & (1u << n)) return std::nullopt;
    return *values[n % ReadingsPerPhase];
}

void DiagramWindow::keepTick(std::int64_t wall, const std::vector<std::uint64_t>* writes) {
    protocol::Tick tick;
    tick.timeMs = wall;
    for (size_t n = 0; n < static_cast<size_t>(ReadingCount); ++n) {
        // A slot written since the last tick holds a reading sent afresh; one that has not been
        // for StaleMs holds what the meter said before it fell silent.
        bool fresh = true;
        if (writes && writes->size() == static_cast<size_t>(ReadingCount)) {
            if ((*writes)[n] != lastWrites_[n]) freshAt_[n] = wall;
            lastWrites_[n] = (*writes)[n];
            fresh = freshAt_[n] != 0 && wall - freshAt_[n] <= protocol::StaleMs;
        }
        if (fresh) tick.values[n] = realReading(static_cast<int>(n));
    }
    // The ticks older than the protocol's seconds before the newest are of no more use.
    while (!ticks_.empty() && (ticks_.front().timeMs <= wall - 2 * protocol::WindowMs || ticks_.size() >= 64))
        ticks_.pop_front();
    ticks_.push_back(tick);
}

void DiagramWindow::saveProtocol() {
    if (!host_.dialogs || writer_.joinable()) return;
    OperatorDialogs& dialogs = *host_.dialogs;
    // What the window shows now: the operator asked for this moment's protocol.
    protocol::Snapshot snapshot = protocol::collect(ticks_, readings_, verdict_, polling_, wall_());
    const std::string& ini = host_.settingsPath;
    const char* keys[] = {ProtocolObjectKey, ProtocolConnectionKey, ProtocolOperatorKey};
    const char* labels[] = {msg::ProtocolObject, msg::ProtocolConnection, msg::ProtocolOperator};
    FieldsRequest form{msg::ProtocolFormCaption, {}};
    for (int i = 0; i < 3; ++i)
        form.fields.emplace_back(labels[i], ini.empty() ? "" : readProfileString(ini, ProtocolSection, keys[i], ""));
    const auto answer = dialogs.askFields(form);
    if (!answer || answer->size() != 3) return;
    snapshot.fields = {(*answer)[0], (*answer)[1], (*answer)[2]};
    if (!ini.empty()) {
        bool written = true;
        for (int i = 0; i < 3 && written; ++i)
            written = writeProfileString(ini, ProtocolSection, keys[i], (*answer)[static_cast<size_t>(i)]);
        if (!written) dialogs.notifyError(msg::cannotSaveSettings(ini));
    }
    askNameAndWrite(std::move(snapshot), false);
}

void DiagramWindow::askNameAndWrite(protocol::Snapshot snapshot, bool again) {
    // In the folder of the last report, else of the last protocol, else the user's documents.
    std::string folder = host_.folder ? host_.folder() : "";
    if (folder.empty()) folder = lastProtocolFolder_;
    if (folder.empty()) folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation).toStdString();
    FileDialogRequest request{msg::ProtocolFilter, "pdf", ""};
    const std::string name = protocol::defaultFileName(snapshot.fields.object, snapshot.madeMs);
    request.initialName = QDir::toNativeSeparators(QDir(QString::fromStdString(folder)).filePath(QString::fromStdString(name))).toStdString();
    const auto path = host_.dialogs->saveFileName(request);
    if (!path) return;
    lastProtocolFolder_ = QFileInfo(QString::fromStdString(*path)).absolutePath().toStdString();
    protocol::loadFonts();
    butProtocol->setEnabled(false);
    // The window goes on while the page is written; the answer comes back on its thread.
    writer_ = std::thread([this, snapshot = std::move(snapshot), path = *path, again]() mutable {
        const bool ok = protocol::writePdf(snapshot, path);
        QMetaObject::invokeMethod(
            this, [this, ok, again, snapshot = std::move(snapshot)]() mutable { protocolWritten(ok, again, std::move(snapshot)); },
            Qt::QueuedConnection);
    });
}

void DiagramWindow::protocolWritten(bool ok, bool again, protocol::Snapshot snapshot) {
    if (writer_.joinable()) writer_.join();
    butProtocol->setEnabled(true);
    if (ok || !host_.dialogs) return;
    runGuarded(*host_.dialogs, [&] {
        host_.dialogs->error(msg::CannotSaveReport);
        if (!again) askNameAndWrite(std::move(snapshot), true);
    });
}

void DiagramWindow::showVerdict() {
    // Nothing to lay out while the window is hidden: showEvent brings the labels up to date.
    if (!isVisible()) return;
    const QPalette& pal = palette();
    const bool dark = ui::darkBackground(pal);
    QString faults, notes;
    const bool clean = !verdict_.noData && !verdict_.anyFinding();
    for (const wiring::Line& line : verdict_.shownLines()) {
        QString& to = line.severity == wiring::Severity::Fault || clean || verdict_.noData ? faults : notes;
        to += (to.isEmpty() ? "" : "\n") + QString::fromStdString(line.text);
    }
    if (faults.isEmpty()) std::swap(faults, notes);  // notes alone take the first label
    QString cannotTell;
    if (!verdict_.cannotTell.empty()) {
        cannotTell = QString::fromUtf8(msg::CannotTellHeading);
        for (const std::string& item : verdict_.cannotTell) cannotTell += "\n• " + QString::fromStdString(item);
    }
    // Red for faults, green for a clean bill, the usual colour otherwise.
    QColor colour = pal.color(QPalette::WindowText);
    if (clean) colour = dark ? QColor(0x6B, 0xE0, 0x7B) : QColor(0x1B, 0x6E, 0x2A);
    else if (!faults.isEmpty()) colour = dark ? QColor(0xFF, 0x6B, 0x6B) : QColor(0xB0, 0x00, 0x20);
    if (labCheck->palette().color(QPalette::WindowText) != colour) {
        QPalette p = labCheck->palette();
        p.setColor(QPalette::WindowText, colour);
        labCheck->setPalette(p);
    }
    // A new text of the same height repaints its label alone.
    const QString texts[] = {faults, notes, cannotTell};
    for (size_t i = 0; i < boxes_.size(); ++i) static_cast<LabelBox*>(boxes_[i])->setText(texts[i]);
}

void DiagramWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    showVerdict();
}

void DiagramWindow::showAndRaise() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
}

}  // namespace lumo
