#pragma once
// The window "Векторная диаграмма": a separate, resizable, non-modal window beside the main
// window, opened from its menu item "Диаграмма". It follows the live readings that the main
// window's tick hands over: the vector diagram, the wiring check's lines under it (judged for
// the kind of site chosen there: consumption, generation or both), what the readings cannot
// tell apart, and the trend of U, I or P of the three phases. It keeps the readings of every
// tick, up to a day, from the first tick on, whether it is shown or not.

#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
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

    // The kind of site the readings are judged for (the combo box "Объект:"); setting it judges
    // the last readings again.
    wiring::Site site() const { return site_; }
    void setSite(wiring::Site site);

    // Where the samples' times come from: the computer's clock (milliseconds since the epoch)
    // and a clock of elapsed time that runs on through a suspend and is never set (by default
    // sinceBootMs). Where the two part by more than ClockSetMs between two ticks the computer's
    // clock was set, and the samples before are moved with it; a suspend or a pause moves both
    // and leaves a gap. Tests and benchmarks set their own; one clock alone serves as both.
    void setClocks(std::function<std::int64_t()> wall, std::function<std::int64_t()> elapsed);
    void setTimeSource(std::function<std::int64_t()> now) { setClocks(now, now); }
    static constexpr std::int64_t ClockSetMs = 2000;

    const ReadingsRing& ring() const { return ring_; }
    ReadingsRing& ring() { return ring_; }
    // The last verdict: its lines as the window shows them (Verdict::shownLines), what the
    // readings cannot tell apart (Verdict::cannotTell), and the site it was judged for.
    const wiring::Verdict& verdict() const { return verdict_; }
    TrendView& trend() { return *trend_; }

private:
    ReadingsRing ring_;
    wiring::Site site_ = wiring::Site::Consumption;
    wiring::Readings readings_{};
    wiring::Verdict verdict_ = [] {
        wiring::Verdict v;
        v.noData = true;
        return v;
    }();
    std::function<std::int64_t()> wall_, elapsed_;
    std::optional<std::int64_t> lastElapsed_;  // the elapsed clock at the newest sample
    PhasorView* phasor_ = nullptr;
    TrendView* trend_ = nullptr;
    QLabel *labCheck = nullptr, *labNotes = nullptr, *labCannotTell = nullptr;
    std::vector<QWidget*> boxes_;  // each holds one of the three labels at the height it needs
    QComboBox *cbQuantity = nullptr, *cbSpan = nullptr, *cbSite = nullptr;

    void showVerdict();
    void showEvent(QShowEvent* event) override;
};

}  // namespace lumo
