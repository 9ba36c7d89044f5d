// The check's protocol: how long its PDF takes to write (goal: under 0.5 s), the first one
// (fonts loaded) and the next ones, and how long "Протокол…" holds the window's thread (the
// form and the dialog answered at once): the page itself is written on a thread of its own.
//
// usage: protocol_bench_qt [writes (20)]
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>

#include "app/diagram_window.h"
#include "app/protocol.h"
#include "bench/tick_timing.h"
#include "common/numtext.h"

namespace {

using lumo::bench::figures;
namespace fs = std::filesystem;

// The readings of phase B reversed under loads near 25°, ten seconds of them.
std::vector<std::string> texts(int second) {
    std::vector<std::string> out;
    for (int p = 0; p < 3; ++p) {
        const double u = 228 + p + 0.3 * std::sin(second), i = 4 + 0.1 * std::sin(second + p);
        const double phi = 25 + p * 3 + (p == 1 ? 180 : 0);
        const double a = phi * std::numbers::pi / 180;
        for (double v : {u, i, phi, u * i * std::cos(a), u * i * std::sin(a), u * i}) out.push_back(lumo::formatRounded(v, 3));
    }
    return out;
}

class AnsweringDialogs : public lumo::OperatorDialogs {
public:
    explicit AnsweringDialogs(std::string path) : path_(std::move(path)) {}
    lumo::MessageResult message(const lumo::MessageRequest& r) override {
        std::fprintf(stderr, "message: %s\n", r.text.c_str());
        return lumo::MessageResult::Ok;
    }
    std::optional<std::string> openFileName(const lumo::FileDialogRequest&) override { return {}; }
    std::optional<std::string> saveFileName(const lumo::FileDialogRequest&) override { return path_; }
    std::optional<std::vector<std::string>> askFields(const lumo::FieldsRequest&) override {
        return std::vector<std::string>{"ТП-12, РУ-0,4 кВ", "Ввод 2", "Иванов И. И."};
    }
    void showException(const std::string& what) override { std::fprintf(stderr, "exception: %s\n", what.c_str()); }

private:
    std::string path_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int writes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const fs::path dir = fs::temp_directory_path() / ("lumo-protocol-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "protocol.pdf").string();

    lumo::DiagramWindow window;
    std::int64_t now = 1'765'000'000'000;
    window.setTimeSource([&now] { return now; });
    window.setPolling(true);
    for (int s = 0; s < 12; ++s, now += 1000) window.showReadings(texts(s));
    now -= 1000;

    QElapsedTimer t;
    t.start();
    lumo::protocol::loadFonts();
    const double fontsMs = static_cast<double>(t.nsecsElapsed()) / 1e6;
    const lumo::protocol::Snapshot snapshot =
        lumo::protocol::collect(window.ticks(), lumo::wiring::parseReadings(texts(11)), window.verdict(), true, now);
    std::vector<double> times;
    for (int i = 0; i < writes; ++i) {
        t.restart();
        if (!lumo::protocol::writePdf(snapshot, path)) {
            std::fprintf(stderr, "the protocol could not be written to %s\n", path.c_str());
            return 1;
        }
        times.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    const double first = times.front();
    const auto f = figures(times);
    std::printf("fonts loaded: %.1f ms\n", fontsMs);
    std::printf("protocol written (%d times, %lld bytes): first %.1f ms, median %.1f ms, p99 %.1f ms, worst %.1f ms (goal: 500 ms)\n",
                writes, static_cast<long long>(fs::file_size(path)), first, f.median, f.p99, f.worst);

    // "Протокол…" in the window: the window thread's part, then the page on its thread.
    AnsweringDialogs dialogs(path);
    window.setProtocolHost({&dialogs, "", {}});
    std::vector<double> held, whole;
    for (int i = 0; i < std::min(writes, 10); ++i) {
        t.restart();
        window.findChild<QPushButton*>("butProtocol")->click();
        held.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        while (window.writingProtocol()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        whole.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    const auto h = figures(held), w = figures(whole);
    std::printf("\"Протокол…\" holds the window's thread: median %.2f ms, worst %.2f ms; written after %.1f ms (median)\n",
                h.median, h.worst, w.median);
    fs::remove_all(dir);
    return 0;
}
