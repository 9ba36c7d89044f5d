// The built-in spreadsheet engine against openpyxl on the report's own job: 100,000 live rows
// (20 cells each) written through the automation calls, saved, then opened in a fresh process
// and column 1 scanned cell by cell for the first free row. Prints seconds and peak memory of
// each step and the ratios. Usage: engine_bench [rows] (default 100000).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/numtext.h"
#include "automation/automation.h"
#include "spreadsheet/engine.h"

using namespace lumo;
using namespace lumo::automation;
namespace fs = std::filesystem;

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Peak resident memory of this process so far, in MiB.
double peakMiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// The reading texts, made before the clock starts: the report takes them ready from the
// readings store.
std::vector<std::string> readingTexts() {
    std::vector<std::string> out;
    for (int i = 0; i < 400; ++i) out.push_back(formatGeneral(200 + i / 10.0));
    return out;
}
const std::string& reading(const std::vector<std::string>& texts, int row, int n) { return texts[(row * 7 + n * 13) % 400]; }

long long g_calls = 0;
Handle get(const Handle& h, std::string_view m, std::initializer_list<Handle> a = {}) {
    ++g_calls;
    return propertyGet(h, m, a);
}
void put(const Handle& h, std::string_view m, const Handle& v) {
    ++g_calls;
    propertyPut(h, m, v);
}

int writeAndSave(const std::string& path, int rows) {
    const std::vector<std::string> texts = readingTexts();
    double t0 = now();
    Handle app = spreadsheet::createApplication();
    put(app, "SheetsInNewWorkbook", 2);
    methodCall(propertyGet(app, "WorkBooks"), "add");
    Handle book = get(app, "WorkBooks", {1});
    Handle live = get(book, "WorkSheets", {1});
    put(live, "Name", "Результат текущих измерений");
    put(get(book, "WorkSheets", {2}), "Name", "Данные из памяти прибора");
    // The header texts, so the file has its shared strings as every report has.
    const char* quantities[] = {"U", "I", "УГОЛ", "P", "Q", "S"};
    put(get(live, "Cells", {1, 1}), "Value", "Дата");
    put(get(live, "Cells", {1, 2}), "Value", "Время");
    for (int c = 3; c <= 20; ++c) put(get(live, "Cells", {2, c}), "Value", quantities[(c - 3) % 6]);
    for (int r = 3; r < rows + 3; ++r) {
        int s = r % 86400;
        Handle cell = get(live, "Cells", {r, 1});
        put(cell, "NumberFormat", "ДД.ММ.ГГГГ");
        put(cell, "Value", std::to_string(1 + r % 28) + ".12.2026");
        cell = get(live, "Cells", {r, 2});
        put(cell, "NumberFormat", "ЧЧ:ММ:СС");
        put(cell, "Value", std::to_string(s / 3600) + ":" + std::to_string(s / 60 % 60) + ":" + std::to_string(s % 60));
        for (int n = 1; n <= 18; ++n) put(get(live, "Cells", {r, n + 2}), "Value", reading(texts, r, n));
    }
    double t1 = now();
    double buildPeak = peakMiB();
    methodCall(book, "SaveAs", {path});
    double t2 = now();
    std::printf("%.3f %.3f %.1f %.1f %lld\n", t1 - t0, t2 - t1, buildPeak, peakMiB(), g_calls);
    return 0;
}

int openAndScan(const std::string& path) {
    double t0 = now();
    Handle app = spreadsheet::createApplication();
    methodCall(propertyGet(app, "WorkBooks"), "Open", {path, 0, false, 1});
    Handle book = propertyGet(app, "WorkBooks", {1});
    Handle live = propertyGet(book, "WorkSheets", {1});
    propertyGet(book, "WorkSheets", {2});
    double t1 = now();
    int row = 3;
    Handle cell;
    for (;; ++row) {
        cell = propertyGet(live, "Cells", {row, 1});
        if (propertyGet(cell, "Value").text().empty()) break;
    }
    double t2 = now();
    std::printf("%.3f %.3f %.1f %d\n", t1 - t0, t2 - t1, peakMiB(), row);
    return 0;
}

// Runs a command and gives its output's first line.
std::string run(const std::string& cmd) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return {};
    char buf[512] = {};
    std::string out = std::fgets(buf, sizeof buf, p) ? buf : "";
    int rc = pclose(p);
    if (rc != 0) std::fprintf(stderr, "failed (%d): %s\n", rc, cmd.c_str());
    return out;
}

std::string self() { return fs::read_symlink("/proc/self/exe").string(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--write") return writeAndSave(argv[2], std::atoi(argv[3]));
    if (argc == 3 && std::string(argv[1]) == "--open") return openAndScan(argv[2]);
    int rows = argc > 1 ? std::atoi(argv[1]) : 100000;

    fs::path dir = fs::temp_directory_path() / ("lumo-engine-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string engineFile = (dir / "engine.xlsx").string(), peerFile = (dir / "openpyxl.xlsx").string();
    std::string peer = (fs::path(__FILE__).parent_path() / "engine_bench_peer.py").string();

    // Each step in a fresh process, so that its peak memory is its own.
    double eBuild, eSave, eBuildPeak, eSavePeak, eOpen, eScan, eOpenPeak;
    long long calls;
    int eRow;
    std::istringstream(run(self() + " --write " + engineFile + " " + std::to_string(rows))) >> eBuild >> eSave >> eBuildPeak >> eSavePeak >> calls;
    std::istringstream(run(self() + " --open " + engineFile)) >> eOpen >> eScan >> eOpenPeak >> eRow;
    double pBuild, pSave, pBuildPeak, pSavePeak, pOpen, pScan, pOpenPeak;
    int pRow;
    std::istringstream(run("/usr/bin/python3 " + peer + " write " + peerFile + " " + std::to_string(rows))) >> pBuild >> pSave >> pBuildPeak >> pSavePeak;
    std::istringstream(run("/usr/bin/python3 " + peer + " open " + peerFile)) >> pOpen >> pScan >> pOpenPeak >> pRow;
    // Each side also opens the other's file: the engine reads what openpyxl wrote and back.
    double xOpen, xScan, xPeak, yOpen, yScan, yPeak;
    int xRow, yRow;
    std::istringstream(run(self() + " --open " + peerFile)) >> xOpen >> xScan >> xPeak >> xRow;
    std::istringstream(run("/usr/bin/python3 " + peer + " open " + engineFile)) >> yOpen >> yScan >> yPeak >> yRow;

    std::printf("engine_bench: %d live rows x 20 cells, %lld automation calls to build\n", rows, calls);
    std::printf("%-34s %12s %12s %9s\n", "step", "engine", "openpyxl", "ratio");
    auto line = [](const char* what, double e, double p, const char* unit) {
        std::printf("%-34s %10.3f %s %10.3f %s %8.1fx\n", what, e, unit, p, unit, e > 0 ? p / e : 0.0);
    };
    line("build rows (seconds)", eBuild, pBuild, "s");
    line("save (seconds)", eSave, pSave, "s");
    line("open (seconds)", eOpen, pOpen, "s");
    line("scan column 1 (seconds)", eScan, pScan, "s");
    line("open + scan (seconds)", eOpen + eScan, pOpen + pScan, "s");
    line("peak memory, build (MiB)", eBuildPeak, pBuildPeak, "M");
    line("peak memory, build + save (MiB)", eSavePeak, pSavePeak, "M");
    line("peak memory, open + scan (MiB)", eOpenPeak, pOpenPeak, "M");
    std::printf("per automation call while building: %.0f ns\n", eBuild / static_cast<double>(calls) * 1e9);
    std::printf("per scanned row (Cells + Value): %.0f ns\n", eScan / (eRow - 3) * 1e9);
    std::printf("first free row: engine %d, openpyxl %d (expected %d)\n", eRow, pRow, rows + 3);
    std::printf("cross-read: engine opens openpyxl's file in %.3f s (+%.3f s scan, row %d, %.1f MiB); "
                "openpyxl opens the engine's in %.3f s (row %d)\n",
                xOpen, xScan, xRow, xPeak, yOpen + yScan, yRow);
    std::printf("file sizes: engine %.1f MiB, openpyxl %.1f MiB\n", fs::file_size(engineFile) / 1048576.0,
                fs::file_size(peerFile) / 1048576.0);
    fs::remove_all(dir);
    return 0;
}
