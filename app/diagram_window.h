#pragma once
// The window "Векторная диаграмма": a separate, resizable, non-modal window beside the main
// window, opened from its menu item "Диаграмма". It follows the live readings that the main
// window's tick hands over: the vector diagram, the wiring check's lines under it (judged for
// the kind of site chosen there: consumption, generation or both), what the readings cannot
// tell apart, and the trend of U, I or P of the three phases. It keeps the readings of every
// tick, up to a day, from the first tick on, whether it is shown or not.

#include <QWidget>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/protocol.h"
#include "app/readings_ring.h"
#include "wiring/wiring_check.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace lumo {

class OperatorDialogs;
class PhasorView;
class TrendView;

// What the check's protocol needs from the program around the window.
struct ProtocolHost {
    OperatorDialogs* dialogs = nullptr;   // the form, the save dialog, the error box
    std::string settingsPath;             // where the form's texts are kept (empty: nowhere)
    std::function<std::string()> folder;  // the folder of the last report (empty: none)
};

class DiagramWindow : public QWidget {
    Q_OBJECT
public:
    explicit DiagramWindow(QWidget* parent = nullptr);
    ~DiagramWindow() override;

    // The 18 reading texts of one tick, as the labels show them; with `writes`, how many times
    // each reading's slot was written, so that a reading the meter did not send afresh for
    // protocol::StaleMs is not taken into the protocol as current.
    void showReadings(const std::vector<std::string>& texts, const std::vector<std::uint64_t>* writes = nullptr);
    // Whether live polling runs: a protocol of readings taken before it stopped says so.
    void setPolling(bool polling) { polling_ = polling; }

    // "Протокол…": the form of the object, the connection and the operator's name (kept in the
    // settings file), the save dialog, then the PDF written on a thread of its own; a file that
    // cannot be written is told as a report that cannot be saved, and the dialog comes once more.
    void setProtocolHost(ProtocolHost host) { host_ = std::move(host); }
    void saveProtocol();
    // A protocol is being written (the button is disabled until it is).
    bool writingProtocol() const { return writer_.joinable(); }
    // The ticks the protocol averages, oldest first.
    const std::deque<protocol::Tick>& ticks() const { return ticks_; }
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
    QPushButton* butProtocol = nullptr;

    // The protocol's part: the last ticks, when each reading's slot was last written, polling.
    std::deque<protocol::Tick> ticks_;
    std::array<std::uint64_t, ReadingCount> lastWrites_{};
    std::array<std::int64_t, ReadingCount> freshAt_{};
    bool polling_ = false;
    ProtocolHost host_;
    std::string lastProtocolFolder_;
    std::thread writer_;

    // Reading n (0 to 17) of the last tick, unless missing or the check found it cannot be real.
    std::optional<double> realReading(int n) const;
    void keepTick(std::int64_t wall, const std::vector<std::uint64_t>* writes);
    void askNameAndWrite(protocol::Snapshot snapshot, bool again);
    void protocolWritten(bool ok, bool again, protocol::Snapshot snapshot);
    void showVerdict();
    void showEvent(QShowEvent* event) override;
};

}  // namespace lumo
