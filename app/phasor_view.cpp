#include "app/phasor_view.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>
#include <algorithm>
#include <cmath>
#include <vector>

#include "app/window_style.h"
#include "common/messages.h"
#include "common/numtext.h"

namespace lumo {

namespace {

// The voltages' drawn angles: A 0°, B -120°, C +120° (counter-clockwise positive).
constexpr double VoltageAngle[3] = {0.0, -120.0, 120.0};
// The currents' scale circle, as a share of the voltages'.
constexpr double CurrentShare = 0.7;

const char* const Convention =
    "φ — угол от напряжения фазы до её тока: φ > 0 — ток отстаёт (вектор повёрнут по часовой "
    "стрелке), φ < 0 — опережает. Напряжения — сплошные линии, токи — пунктир, у каждого своя шкала.";
const char* const MeasuredNote =
    "Прибор измеряет угол каждой фазы относительно её собственного напряжения: порядок напряжений "
    "A 0°, B −120°, C +120° нарисован, а не измерен.";

QPointF polar(QPointF centre, double radius, double degrees) {
    const double a = qDegreesToRadians(degrees);
    return centre + QPointF(radius * std::cos(a), -radius * std::sin(a));
}

// A vector: its shaft in the painter's pen, its head a filled triangle in the pen's colour;
// `unit` is a pixel of the window's drawing.
void arrow(QPainter& p, QPointF from, QPointF to, double unit) {
    const QLineF line(to, from);
    const double length = std::min(12.0 * unit, line.length() * 0.4);
    if (length < 2 * unit) {
        p.drawLine(from, to);
        return;
    }
    QLineF shaft(from, to);
    shaft.setLength(std::max(0.0, shaft.length() - length * 0.8));  // the dash ends under the head
    if (p.pen().style() == Qt::DashLine) {
        // Dashes of the pen's pattern (4 widths on, 2 off) as plain strokes: the painter's
        // dasher costs more than the whole of the rest of the diagram.
        const double width = std::max(1.0, p.pen().widthF()), on = 4 * width, period = 6 * width;
        QPen solid = p.pen();
        solid.setStyle(Qt::SolidLine);
        solid.setCapStyle(Qt::FlatCap);
        p.setPen(solid);
        std::vector<QLineF> dashes;
        for (double at = 0; at < shaft.length(); at += period)
            dashes.push_back(QLineF(shaft.pointAt(at / shaft.length()),
                                    shaft.pointAt(std::min(at + on, shaft.length()) / shaft.length())));
        p.drawLines(dashes.data(), static_cast<int>(dashes.size()));
    } else {
        p.drawLine(shaft);
    }
    QPointF head[3] = {to, {}, {}};
    for (int side = 0; side < 2; ++side) {
        QLineF edge(to, from);
        edge.setLength(length);
        edge.setAngle(line.angle() + (side ? 22.0 : -22.0));
        head[side + 1] = edge.p2();
    }
    const QPen pen = p.pen();
    p.setPen(Qt::NoPen);
    p.setBrush(pen.color());
    p.drawPolygon(head, 3);
    p.setBrush(Qt::NoBrush);
    p.setPen(pen);
}

// A text beside the point in the direction `degrees` from the centre, so that it stands clear
// of the vector that ends there.
void labelAt(QPainter& p, QPointF at, double degrees, const QString& text, double unit) {
    const double a = qDegreesToRadians(degrees);
    const double cx = std::cos(a), cy = -std::sin(a);
    const QPointF anchor = at + QPointF(8 * unit * cx, 8 * unit * cy);
    const QFontMetricsF fm(p.font(), p.device());
    QRectF box(0, 0, fm.horizontalAdvance(text) + 2 * unit, fm.height());
    box.moveCenter(anchor);
    if (cx > 0.3) box.moveLeft(anchor.x());
    if (cx < -0.3) box.moveRight(anchor.x());
    if (cy > 0.3) box.moveTop(anchor.y());
    if (cy < -0.3) box.moveBottom(anchor.y());
    // From the baseline: a single line needs none of the formatting that a box asks for, which
    // every tick would pay for six labels.
    p.drawText(QPointF(box.left() + unit, box.top() + fm.ascent()), text);
}

QString number(double value, int decimals) { return QString::fromStdString(formatRounded(value, decimals)); }

}  // namespace

double scaleAbove(double value) {
    if (!(value > 0) || !std::isfinite(value)) return 1;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (double step : {1.0, 1.2, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0})
        if (step * power >= value * (1 - 1e-12) && std::isfinite(step * power)) return step * power;
    return value;  // at the very end of the numbers
}

PhasorPlot paintPhasorBackground(QPainter& p, const QRectF& area, bool any, double scaleU, double scaleI,
                                 const PhasorStyle& style) {
    const double u = style.unit;
    // The notes below the diagram, wrapped to the width.
    p.setFont(style.small);
    const QString notes = QString::fromUtf8(Convention) + "\n" + QString::fromUtf8(MeasuredNote);
    const QRectF textArea = area.adjusted(6 * u, 0, -6 * u, 0);
    const QRectF notesArea = p.boundingRect(textArea, Qt::TextWordWrap, notes);
    const double notesTop = area.bottom() - notesArea.height() - 4 * u;
    p.setPen(style.text);
    p.drawText(QRectF(textArea.left(), notesTop, textArea.width(), notesArea.height()), Qt::TextWordWrap, notes);
    p.setFont(style.font);

    PhasorPlot out;
    out.plot = QRectF(area.left(), area.top(), area.width(), std::max(0.0, notesTop - 4 * u - area.top()));
    if (!any) {
        p.drawText(out.plot, Qt::AlignCenter, QString::fromUtf8(msg::NoData));
        return out;
    }
    // Room around the circle for the labels.
    out.radius = std::max(20.0 * u, std::min(out.plot.width() - 2 * 105 * u, out.plot.height() - 2 * 28 * u) / 2);
    const QPointF centre = out.plot.center();
    const double radius = out.radius, currentRadius = out.radius * CurrentShare;

    // The axes and the two scale circles, each with its full-scale value.
    p.setPen(QPen(style.faint, u));
    p.drawLine(QPointF(centre.x() - radius - 8 * u, centre.y()), QPointF(centre.x() + radius + 8 * u, centre.y()));
    p.drawLine(QPointF(centre.x(), centre.y() - radius - 8 * u), QPointF(centre.x(), centre.y() + radius + 8 * u));
    p.setPen(QPen(style.faint, u, Qt::DashLine));
    p.drawEllipse(centre, radius, radius);
    p.setPen(QPen(style.faint, u, Qt::DotLine));
    p.drawEllipse(centre, currentRadius, currentRadius);
    p.setPen(style.text);
    labelAt(p, polar(centre, radius, 62), 62, "U: " + number(scaleU, 1) + " В", u);
    labelAt(p, polar(centre, currentRadius, 62), 62, "I: " + number(scaleI, 3) + " А", u);
    return out;
}

std::pair<double, double> phasorScales(const wiring::Readings& readings) {
    double maxU = 0, maxI = 0;
    for (const auto& r : readings) {
        if (r.U) maxU = std::max(maxU, *r.U);
        if (r.I) maxI = std::max(maxI, *r.I);
    }
    return {scaleAbove(maxU), scaleAbove(maxI)};
}

void paintPhasorVectors(QPainter& p, const PhasorPlot& plot, const wiring::Readings& readings, double scaleU,
                        double scaleI, const PhasorStyle& style) {
    const double u = style.unit;
    const QPointF centre = plot.plot.center();
    const double radius = plot.radius, currentRadius = plot.radius * CurrentShare;
    p.setFont(style.font);
    for (int phase = 0; phase < 3; ++phase) {
        const auto& r = readings[static_cast<size_t>(phase)];
        const QColor colour = style.phases[static_cast<size_t>(phase)];
        const QString letter(QChar('A' + phase));
        const double uAngle = VoltageAngle[phase];
        // The voltage: thick and solid.
        const double uLength = r.U ? radius * std::min(*r.U / scaleU, 1.0) : 0;
        const QPointF uTip = polar(centre, uLength, uAngle);
        p.setPen(QPen(colour, 3 * u, Qt::SolidLine, Qt::RoundCap));
        if (r.U) arrow(p, centre, uTip, u);
        const QString uText = "U" + letter + " " + (r.U ? number(*r.U, 1) + " В" : QString::fromUtf8(msg::None)) +
                              ", " + number(uAngle, 0) + "°";
        p.setPen(colour);
        labelAt(p, polar(centre, std::max(uLength, radius * 0.85), uAngle), uAngle, uText, u);

        // The current: thinner, dashed, at the voltage's angle minus the measured angle.
        if (!r.I) continue;
        const double iLength = currentRadius * std::min(*r.I / scaleI, 1.0);
        QString iText = "I" + letter + " " + number(*r.I, *r.I < 1 ? 3 : 2) + " А";
        if (!r.angle) {
            p.setPen(colour);
            labelAt(p, polar(centre, currentRadius * 0.5, uAngle - 40), uAngle - 40,
                    iText + ", φ " + QString::fromUtf8(msg::None), u);
            continue;
        }
        const double iAngle = uAngle - *r.angle;
        const QPointF iTip = polar(centre, iLength, iAngle);
        p.setPen(QPen(colour, 2 * u, Qt::DashLine, Qt::RoundCap));
        arrow(p, centre, iTip, u);
        // The angle between the two, as an arc near the centre.
        const double arcRadius = radius * (0.14 + 0.06 * phase);
        const QRectF arcBox(centre.x() - arcRadius, centre.y() - arcRadius, 2 * arcRadius, 2 * arcRadius);
        p.setPen(QPen(colour, u));
        const double sweep = -wiring::normalizedAngle(*r.angle);
        p.drawArc(arcBox, static_cast<int>(std::lround(uAngle * 16)), static_cast<int>(std::lround(sweep * 16)));
        p.setPen(colour);
        labelAt(p, polar(centre, std::max(iLength, currentRadius * 0.35), iAngle), iAngle,
                iText + ", φ " + number(*r.angle, 1) + "°", u);
    }
}

PhasorView::PhasorView(QWidget* parent) : QWidget(parent) {
    setObjectName("phasorView");
    setAttribute(Qt::WA_OpaquePaintEvent);  // the background pixmap covers the whole view
}

void PhasorView::setReadings(const wiring::Readings& readings, bool any) {
    // New readings move the vectors and their labels only: the notes below stay as painted.
    const bool whole = any != any_ || plot_.plot.isEmpty();
    readings_ = readings;
    any_ = any;
    if (whole) update();
    else update(plot_.plot.toAlignedRect());
}

PhasorStyle PhasorView::style() const {
    const QPalette& pal = palette();
    PhasorStyle s;
    s.text = pal.color(QPalette::WindowText);
    s.faint = ui::faintText(pal, 0.35);
    for (int phase = 0; phase < 3; ++phase) s.phases[static_cast<size_t>(phase)] = ui::phaseColor(phase, pal);
    s.font = font();
    s.small = font();
    s.small.setPointSizeF(s.small.pointSizeF() * 0.9);
    return s;
}

void PhasorView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const std::pair<double, double> scales = phasorScales(readings_);
    const double scaleU = scales.first, scaleI = scales.second;
    const PhasorStyle look = style();
    // The notes, the axes and the scale circles change only with the size, the scales or the
    // colours.
    const QString key = QString("%1 %2 %3").arg(scaleU).arg(scaleI).arg(any_);
    const QPixmap& background = background_.get(*this, key, [&](QPainter& b) {
        b.setRenderHint(QPainter::Antialiasing);
        plot_ = paintPhasorBackground(b, QRectF(rect()), any_, scaleU, scaleI, look);
    });
    p.drawPixmap(0, 0, background);
    if (!any_) return;
    p.setRenderHint(QPainter::Antialiasing);
    paintPhasorVectors(p, plot_, readings_, scaleU, scaleI, look);
}

}  // namespace lumo
