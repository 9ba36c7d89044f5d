#pragma once
// The trend of one quantity (U, I or P) of the three phases over the last 10 minutes, the last
// hour or everything since polling began, from the readings ring, drawn with QPainter: one
// minimum-to-maximum stroke a pixel column, joined to its neighbours; a break where polling
// stopped. The time axis shows local time.

#include <QStaticText>
#include <QWidget>
#include <cstdint>
#include <map>

#include "app/readings_ring.h"
#include "app/window_style.h"

namespace lumo {

class TrendView : public QWidget {
    Q_OBJECT
public:
    enum class Quantity { U = 0, I = 1, P = 3 };  // the reading's place within a phase
    enum class Span { TenMinutes, Hour, All };

    TrendView(const ReadingsRing& ring, QWidget* parent = nullptr);

    // The ring has a new sample: redrawn when it moves the picture by a pixel column or more
    // (on the day's scale a column is two minutes: redrawing each second would change nothing).
    void samplesAdded();
    void setQuantity(Quantity q);
    void setSpan(Span s);
    Quantity quantity() const { return quantity_; }
    Span span() const { return span_; }
    // The times [from, to) drawn: the span that ends with the newest sample.
    std::pair<std::int64_t, std::int64_t> timeRange() const;
    // Samples further apart than this are not joined: polling stopped in between.
    static constexpr std::int64_t GapMs = 3500;
    // The value axis of the last paint: its lowest and highest value and its step (0: "нет
    // данных", nothing to draw).
    struct Axis {
        double lo = 0, hi = 1, step = 0;
    };
    Axis paintedAxis() const { return paintedAxis_; }

    QSize sizeHint() const override { return {520, 320}; }
    QSize minimumSizeHint() const override { return {240, 160}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The title, the frame and the value axis (or "нет данных" without a step).
    void paintStatic(QPainter& p, const QRect& plot, double vLo, double vHi, double step);

    const ReadingsRing& ring_;
    Quantity quantity_ = Quantity::U;
    Span span_ = Span::TenMinutes;
    std::int64_t paintedNewest_ = 0;  // the newest sample's time at the last paint
    double paintedColumnMs_ = 0;      // the time a pixel column covered then
    Axis paintedAxis_;
    QRect paintedPlot_;
    ui::CachedLayer axes_;  // paintStatic's picture
    std::map<QString, QStaticText> timeLabels_;
};

}  // namespace lumo
