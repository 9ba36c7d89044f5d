#pragma once
// The window "Векторная диаграмма": a separate, resizable, non-modal window beside the main
// window, opened from its menu item "Диаграмма". It follows the live readings that the main
// window's tick hands over: the vector diagram, the wiring check's lines under it, and the
// trend of U, I or P of the three phases. It keeps the readings of every tick, up to a day,
// from the first tick on, whether it is shown or not.

#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/readings_ring.h"
#include "wiring/wiring_check.h"

class QComboBox;
class QLabel;

namespace lumo {

class PhasorView;
class TrendView;

class DiagramWindow : public QWidget {
    Q_OBJECT
public:
    explicit DiagramWindow(QWidget* parent = nullptr);

    // The 18 reading texts of one tick, as the labels show them.
    void showReadings(const std::vector<std::string>& texts);
    // Shows the window, or brings it back to the front.
    void showAndRaise();

    // Where the samples' times come from (milliseconds since the epoch); the computer's clock
    // unless a test or a benchmark sets another.
    void setTimeSource(std::function<std::int64_t()> now) { now_ = std::move(now); }

    const ReadingsRing& ring() const { return ring_; }
    ReadingsRing& ring() { return ring_; }
    const wiring::Verdict& verdict() const { return verdict_; }
    TrendView& trend() { return *trend_; }

private:
    ReadingsRing ring_;
    wiring::Verdict verdict_{.noData = true, .findings = {}};
    std::function<std::int64_t()> now_;
    PhasorView* phasor_ = nullptr;
    TrendView* trend_ = nullptr;
    QLabel* labCheck = nullptr;
    QComboBox *cbQuantity = nullptr, *cbSpan = nullptr;

    void showVerdict();
};

}  // namespace lumo
