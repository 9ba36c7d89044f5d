#pragma once
// The vector diagram of the live readings, drawn with QPainter: the three phase voltages at
// 0°, -120° and +120°, their length by U; each current at its voltage's angle minus the
// measured angle (a lagging current turns clockwise), on a scale of its own, dashed; a circle
// scale for each; the values and the angle beside each vector; the sign convention.

#include <QWidget>

#include "app/window_style.h"

#include "wiring/wiring_check.h"

namespace lumo {

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
    // The notes, the axes and the scale circles; sets the plot's place and radius.
    void paintBackground(QPainter& p, double scaleU, double scaleI);

    wiring::Readings readings_{};
    bool any_ = false;
    ui::CachedLayer background_;
    QRectF plot_;
    double radius_ = 20;
};

// The smallest of 1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6 and 8 times a power of ten that is at least
// `value` (1 for none): the full circle of a scale.
double scaleAbove(double value);

}  // namespace lumo
