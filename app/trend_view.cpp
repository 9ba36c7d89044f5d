#include "app/trend_view.h"

#include <QDateTime>
#include <QPainter>
#include <QStaticText>
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "app/window_style.h"
#include "common/messages.h"
#include "common/numtext.h"

namespace lumo {

namespace {

std::int64_t spanMs(TrendView::Span s) {
    return s == TrendView::Span::TenMinutes ? 10 * 60 * 1000 : 60 * 60 * 1000;
}

// A step of 1, 2 or 5 times a power of ten near range / count.
double niceStep(double range, int count) {
    const double raw = range / std::max(count, 1);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * power >= raw) return m * power;
    return 10 * power;
}

const char* title(TrendView::Quantity q) {
    switch (q) {
        case TrendView::Quantity::U: return "Напряжение U, В";
        case TrendView::Quantity::I: return "Ток I, А";
        default: return "Активная мощность P, Вт";
    }
}

}  // namespace

TrendView::TrendView(const ReadingsRing& ring, QWidget* parent) : QWidget(parent), ring_(ring) {
    setObjectName("trendView");
    setAttribute(Qt::WA_OpaquePaintEvent);  // the pixmap of the axes covers the whole view
}

void TrendView::samplesAdded() {
    if (ring_.empty()) return;
    const std::int64_t newest = ring_.time(ring_.size() - 1);
    // The strokes and the time labels under them move; the title above stays as painted.
    if (paintedColumnMs_ <= 0 || static_cast<double>(newest - paintedNewest_) >= paintedColumnMs_)
        update(paintedPlot_.isEmpty() ? rect() : QRect(0, paintedPlot_.top() - fontMetrics().height(), width(), height()));
}

void TrendView::setQuantity(Quantity q) {
    quantity_ = q;
    update();
}

void TrendView::setSpan(Span s) {
    span_ = s;
    update();
}

std::pair<std::int64_t, std::int64_t> TrendView::timeRange() const {
    if (ring_.empty()) return {0, 0};
    const std::int64_t end = ring_.time(ring_.size() - 1) + 1;
    if (span_ != Span::All) return {end - spanMs(span_), end};
    // Everything, but at least a minute, so that the first seconds do not fill the width.
    return {std::min(ring_.time(0), end - 60 * 1000), end};
}

void TrendView::paintStatic(QPainter& p, const QRect& plot, double vLo, double vHi, double step) {
    const QPalette& pal = palette();
    const QColor text = pal.color(QPalette::WindowText);
    const QPen gridPen(ui::faintText(pal, 0.2), 0);
    const QFontMetrics fm = p.fontMetrics();

    // The title and the phases' colours.
    int x = 6;
    p.setPen(text);
    const QString heading = QString::fromUtf8(title(quantity_));
    p.drawText(x, fm.ascent() + 4, heading);
    x += fm.horizontalAdvance(heading) + 16;
    for (int phase = 0; phase < 3; ++phase) {
        p.setPen(QPen(ui::phaseColor(phase, pal), 3));
        p.drawLine(x, fm.height() / 2 + 4, x + 16, fm.height() / 2 + 4);
        p.setPen(text);
        p.drawText(x + 20, fm.ascent() + 4, QString(QChar('A' + phase)));
        x += 20 + fm.horizontalAdvance("A") + 14;
    }
    p.setPen(gridPen);
    p.drawRect(plot.adjusted(0, 0, -1, -1));
    if (step <= 0) {
        p.setPen(text);
        p.drawText(plot, Qt::AlignCenter, QString::fromUtf8(msg::NoData));
        return;
    }
    // The value axis.
    const int decimals = std::clamp(static_cast<int>(-std::floor(std::log10(step))), 0, 3);
    for (double v = vLo; v <= vHi + step / 2; v += step) {
        const double y = plot.bottom() - (v - vLo) / (vHi - vLo) * (plot.height() - 1);
        p.setPen(gridPen);
        p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        p.setPen(text);
        p.drawText(QRectF(0, y - fm.height() / 2.0, plot.left() - 6, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                   QString::fromStdString(formatRounded(std::abs(v) < step / 2 ? 0 : v, decimals)));
    }
}

void TrendView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette& pal = palette();
    const QFontMetrics fm = p.fontMetrics();
    const int left = fm.horizontalAdvance("-00000,0") + 10;
    const QRect plot(left, fm.height() + 12, std::max(1, width() - left - 12),
                     std::max(1, height() - 2 * fm.height() - 22));

    const auto [from, to] = timeRange();
    const int columns = plot.width();
    paintedNewest_ = ring_.empty() ? 0 : ring_.time(ring_.size() - 1);
    paintedColumnMs_ = ring_.empty() ? 0 : static_cast<double>(to - from) / columns;
    std::vector<TrendColumn> series[3];
    // In double: two floats of opposite sign near their limit (±3.4E38) have a difference no
    // float holds.
    double lo = std::numeric_limits<double>::max(), hi = std::numeric_limits<double>::lowest();
    if (!ring_.empty())
        for (int phase = 0; phase < 3; ++phase) {
            series[phase] = decimate(ring_, phase * ReadingsPerPhase + static_cast<int>(quantity_), from, to, columns);
            for (const TrendColumn& c : series[phase])
                if (!c.empty) lo = std::min(lo, static_cast<double>(c.min)), hi = std::max(hi, static_cast<double>(c.max));
        }

    // The value axis: a little room above and below, out to whole steps of 1, 2 or 5, so that
    // it stays put while the readings move within it.
    double vLo = 0, vHi = 1, step = 0;
    if (lo <= hi) {
        const double pad = std::max((hi - lo) * 0.05, std::max(std::abs(hi), 1.0) * 0.005);
        step = niceStep(hi - lo + 2 * pad, std::max(2, plot.height() / (fm.height() * 3)));
        vLo = std::floor((lo - pad) / step) * step;
        vHi = std::ceil((hi + pad) / step) * step;
        if (!(vHi > vLo) || !std::isfinite(vHi - vLo)) step = 0, vLo = 0, vHi = 1;
    }
    paintedAxis_ = {vLo, vHi, step};
    paintedPlot_ = plot;
    // The title, the frame, the value grid and its labels change only with the size, the
    // quantity, the value axis or the colours.
    const QString key = QString("%1 %2 %3 %4").arg(static_cast<int>(quantity_)).arg(vLo).arg(vHi).arg(step);
    const QPixmap& axes = axes_.get(*this, key, [&](QPainter& s) { paintStatic(s, plot, vLo, vHi, step); });
    p.drawPixmap(0, 0, axes);
    if (step <= 0) return;
    auto yOf = [&](double v) { return plot.bottom() - (v - vLo) / (vHi - vLo) * (plot.height() - 1); };

    // The time axis in local time, the labels on round minutes or hours.
    static constexpr std::int64_t Steps[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                             600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
    const double msPerPixel = static_cast<double>(to - from) / columns;
    const int labelWidth = fm.horizontalAdvance("00:00:00") + 24;
    std::int64_t tickMs = Steps[std::size(Steps) - 1] * 1000;
    for (std::int64_t s : Steps)
        if (s * 1000 / msPerPixel >= labelWidth) {
            tickMs = s * 1000;
            break;
        }
    const std::int64_t offset = QDateTime::fromMSecsSinceEpoch(from).offsetFromUtc() * 1000LL;
    const QString format = tickMs < 60000 ? "HH:mm:ss" : "HH:mm";
    const QPen gridPen(ui::faintText(pal, 0.2), 0);
    if (timeLabels_.size() > 64) timeLabels_.clear();
    for (std::int64_t t = ((from + offset) / tickMs + 1) * tickMs - offset; t < to; t += tickMs) {
        const double xt = plot.left() + static_cast<double>(t - from) / msPerPixel;
        p.setPen(gridPen);
        p.drawLine(QPointF(xt, plot.top() + 1), QPointF(xt, plot.bottom() - 1));
        // The same labels come back tick after tick: their layout is kept.
        const QString label = QDateTime::fromMSecsSinceEpoch(t).toString(format);
        auto cached = timeLabels_.find(label);
        if (cached == timeLabels_.end()) cached = timeLabels_.emplace(label, QStaticText(label)).first;
        const double w = cached->second.size().width();
        if (xt - w / 2 < 0 || xt + w / 2 > width()) continue;
        p.setPen(pal.color(QPalette::WindowText));
        p.drawStaticText(QPointF(xt - w / 2, plot.bottom() + 4), cached->second);
    }

    // Each phase: a stroke from the minimum to the maximum of each column, joined to the
    // previous column unless polling stopped in between.
    p.setClipRect(plot);
    std::vector<QLineF> lines;
    std::vector<QPointF> points;
    for (int phase = 0; phase < 3; ++phase) {
        lines.clear();
        points.clear();
        const TrendColumn* previous = nullptr;
        double previousX = 0;
        for (int c = 0; c < columns; ++c) {
            const TrendColumn& col = series[phase][static_cast<size_t>(c)];
            if (col.empty) continue;
            const double xc = plot.left() + c + 0.5;
            const bool joined = previous && col.firstTime - previous->lastTime <= GapMs;
            if (joined) lines.emplace_back(previousX, yOf(previous->last), xc, yOf(col.first));
            if (col.min != col.max) lines.emplace_back(xc, yOf(col.min), xc, yOf(col.max));
            else if (!joined) points.emplace_back(xc, yOf(col.min));
            previous = &col;
            previousX = xc;
        }
        // Two one-pixel strokes a pixel apart: as wide as a 2-pixel pen, but drawn by the
        // painter's fast path for thin lines.
        p.setPen(QPen(ui::phaseColor(phase, pal), 0));
        for (int shift = 0; shift < 2; ++shift) {
            p.drawLines(lines.data(), static_cast<int>(lines.size()));
            p.drawPoints(points.data(), static_cast<int>(points.size()));
            p.translate(1, 1);
        }
        p.resetTransform();
    }
}

}  // namespace lumo
