#pragma once
// The vector diagram of the live readings, drawn with QPainter: the three phase voltages at
// 0°, -120° and +120°, their length by U; each current at its voltage's angle minus the
// measured angle (a lagging current turns clockwise), on a scale of its own, dashed; a circle
// scale for each; the values and the angle beside each vector; the sign convention.

#include <QWidget>
#include <array>

#include "app/window_style.h"

#include "wiring/wiring_check.h"

namespace lumo {

// How a diagram is drawn: on the window's palette, or in print.
struct PhasorStyle {
    QColor text, faint;
    std::array<QColor, 3> phases;  // A, B, C
    QFont font, small;             // the labels; the notes below
    double unit = 1;               // one pixel of the window's drawing, in the painter's units
};
// Where the diagram's circle stands, as its background set it.
struct PhasorPlot {
    QRectF plot;
    double radius = 20;
};
// The background: the notes at the foot of `area` (wrapped to its width), and unless there are
// no readings, the axes and the two scale circles with their full-scale values; "нет данных"
// when there are none.
PhasorPlot paintPhasorBackground(QPainter& p, const QRectF& area, bool any, double scaleU, double scaleI,
                                 const PhasorStyle& style);
// The vectors of the readings over that background, with their values and angles.
void paintPhasorVectors(QPainter& p, const PhasorPlot& plot, const wiring::Readings& readings, double scaleU,
                        double scaleI, const PhasorStyle& style);
// The full scales of the voltages and of the currents for these readings.
std::pair<double, double> phasorScales(const wiring::Readings& readings);

class PhasorView : public QWidget {
    Q_OBJECT
public:
    explicit PhasorView(QWidget* parent = nullptr);

    // The readings to draw; none ("нет данных") until the first that has any.
    void setReadings(const wiring::Readings& readings, bool any);
    QSize sizeHint() const override { return {480, 480}; }
    QSize minimumSizeHint() const override { return {260, 260}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    PhasorStyle style() const;

    wiring::Readings readings_{};
    bool any_ = false;
    ui::CachedLayer background_;
    PhasorPlot plot_;
};

// The smallest of 1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6 and 8 times a power of ten that is at least
// `value` (1 for none): the full circle of a scale.
double scaleAbove(double value);

}  // namespace lumo
