// The built-in spreadsheet engine against openpyxl on the report's own job: a new report laid
// out by the report's operations, N live rows (20 cells each) and 11 memory rows written by
// them, saved; then opened in a fresh process and column 1 scanned cell by cell for the first
// free row. Prints, for each size, seconds (wall and CPU: the figures stay comparable on a
// busy machine) and memory of each step, and the ratios.
//
// Then, for the first size: the report opened again, one live row written and saved in place
// (the package patched: every part but the live sheet copied as it was), also with a 10 MB
// picture part in the package; and the opening of two hostile packages made here, which must
// be refused at once: 1,000 entries over one 100 MB deflate stream, and one 100 MB sheet part
// named by 40 sheets.
//
// usage: engine_bench [--engine-only] [rows ...]     (default 100000 1000000)
//        engine_bench --write <path> <rows>          one report, as the bench writes it
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/console_dialogs.h"
#include "bench/process_stats.h"
#include "common/clock.h"
#include "common/numtext.h"
#include "automation/automation.h"
#include "link/readings_store.h"
#include "report/report.h"
#include "spreadsheet/engine.h"
#include "spreadsheet/workbook_files.h"
#include "spreadsheet/xlsx_zip.h"
#include "spreadsheet/zip_archive.h"

using namespace lumo;
using namespace lumo::automation;
namespace fs = std::filesystem;

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpuNow() { return bench::processCpuSeconds(); }
using bench::peakMiB;
using bench::resetPeak;
using bench::rssMiB;

// A clock a second further on at every reading, as the live tick sees it.
class SteppingClock final : public Clock {
public:
    LocalDateTime now() const override {
        int s = static_cast<int>(tick_++);
        return {2026, 12, 1 + s / 86400 % 28, s / 3600 % 24, s / 60 % 60, s % 60};
    }
    std::optional<LocalDateTime> fileModified(const std::string&) const override { return LocalDateTime{2026, 12, 6}; }

private:
    mutable long tick_ = 7 * 3600;
};

class NoView final : public ReportView {
public:
    void setReportName(const std::string&) override {}
    void setReportDate(const std::string&) override {}
    void setShowButton(bool, const std::string&) override {}
    void setMemoryButtonEnabled(bool) override {}
    std::string shortDate(const LocalDateTime&) override { return {}; }
};

// Writes and saves one report; prints: build-s build-cpu save-s save-cpu base-MiB built-MiB
// save-peak-MiB.
int writeAndSave(const std::string& path, int rows) {
    spreadsheet::registerBuiltInEngine();
    std::vector<std::string> texts;  // the readings, made before the clock starts
    for (int i = 0; i < 400; ++i) texts.push_back(formatGeneral(200 + i / 10.0));
    ReadingsStore store;
    for (int p = 0; p <= 10; ++p)
        for (int n = 1; n <= 18; ++n) {
            (*store.MemoryValues)[ReadingsStore::minIndex(p, n)].set(texts[static_cast<size_t>(p + n)]);
            (*store.MemoryValues)[ReadingsStore::maxIndex(p, n)].set(texts[static_cast<size_t>(p + n + 50)]);
            (*store.MemoryValues)[ReadingsStore::avgIndex(p, n)].set(texts[static_cast<size_t>(p + n + 25)]);
        }
    ReportState state;
    bench::ConsoleDialogs dialogs;
    SteppingClock clock;
    NoView view;
    Report report(state, dialogs, clock, view);
    const double base = rssMiB();

    const double t0 = now(), c0 = cpuNow();
    report.CreateReport();
    for (int r = 0; r < rows; ++r) {
        for (int n = 1; n <= 18; ++n) store.CurrentValues[static_cast<size_t>(n)].set(texts[static_cast<size_t>((r * 7 + n * 13) % 400)]);
        report.AppendLiveRow(store.currentTexts());
    }
    for (int p = 0; p <= 10; ++p) report.AppendMemoryRow(p, store.statisticsTexts(p));
    const double build = now() - t0, buildCpu = cpuNow() - c0;
    if (!state.ReportOpen || state.LiveRow != rows + 3) {
        std::fprintf(stderr, "the report was not written\n");
        return 1;
    }
    const double built = rssMiB();
    resetPeak();
    const double t1 = now(), c1 = cpuNow();
    methodCall(state.ReportBook, "SaveAs", {path});
    const double save = now() - t1, saveCpu = cpuNow() - c1;
    std::printf("%.3f %.3f %.3f %.3f %.1f %.1f %.1f\n", build, buildCpu, save, saveCpu, base, built, peakMiB());
    return 0;
}

// Opens a report and finds its first free row; prints: open-s open-cpu scan-s scan-cpu
// peak-MiB first-free-row.
int openAndScan(const std::string& path) {
    double t0 = now(), c0 = cpuNow();
    Handle app = spreadsheet::createApplication();
    methodCall(propertyGet(app, "WorkBooks"), "Open", {path, 0, false, 1});
    Handle book = propertyGet(app, "WorkBooks", {1});
    Handle live = propertyGet(book, "WorkSheets", {1});
    propertyGet(book, "WorkSheets", {2});
    double t1 = now(), c1 = cpuNow();
    int row = 3;
    Handle cell;
    for (;; ++row) {
        cell = propertyGet(live, "Cells", {row, 1});
        if (propertyGet(cell, "Value").text().empty()) break;
    }
    double t2 = now(), c2 = cpuNow();
    std::printf("%.3f %.3f %.3f %.3f %.1f %d\n", t1 - t0, c1 - c0, t2 - t1, c2 - c1, peakMiB(), row);
    return 0;
}

// Opens a report, writes one live row below its `rows` rows and saves it in place; prints:
// save-s save-cpu.
int saveInPlace(const std::string& path, int rows) {
    Handle app = spreadsheet::createApplication();
    methodCall(propertyGet(app, "WorkBooks"), "Open", {path, 0, false, 1});
    Handle book = propertyGet(app, "WorkBooks", {1});
    Handle live = propertyGet(book, "WorkSheets", {1});
    Array row(1, 20);
    row.at(1, 1) = Handle(Date{46362});
    row.at(1, 2) = Handle(Date{0.25});
    for (int c = 3; c <= 20; ++c) row.at(1, c) = Handle(220.5 + c);
    const std::string address = "A" + std::to_string(rows + 3) + ":T" + std::to_string(rows + 3);
    propertyPut(propertyGet(live, "Range", {address}), "Value", Handle(row));
    const double t0 = now(), c0 = cpuNow();
    methodCall(book, "Save");
    std::printf("%.3f %.3f\n", now() - t0, cpuNow() - c0);
    return 0;
}

// A copy of the package with a 10 MB picture part (bytes that do not pack, as a photo's).
void withPicture(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const spreadsheet::ZipReader zip(bytes);
    spreadsheet::ZipWriter out(to);
    for (const auto& e : zip.entries()) out.copy(e, zip.packed(e));
    std::string picture(10 << 20, '\0');
    std::uint32_t x = 2463534242u;
    for (char& c : picture) x ^= x << 13, x ^= x >> 17, x ^= x << 5, c = static_cast<char>(x);
    out.begin("xl/media/image1.png");
    out.write(picture);
    out.end();
    out.finish();
}

void put16(std::string& out, std::uint32_t v) { out += static_cast<char>(v & 0xFF), out += static_cast<char>(v >> 8 & 0xFF); }
void put32(std::string& out, std::uint32_t v) { put16(out, v & 0xFFFF), put16(out, v >> 16); }

// 1,000 entries of a few hundred bytes of directory, each naming the one 100 MB deflate stream.
void overlappingPackage(const std::string& to) {
    const std::string zeros(100 << 20, ' ');
    std::string packed(compressBound(static_cast<uLong>(zeros.size())), '\0');
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    z.avail_in = static_cast<uInt>(zeros.size());
    z.next_out = reinterpret_cast<Bytef*>(packed.data());
    z.avail_out = static_cast<uInt>(packed.size());
    deflate(&z, Z_FINISH);
    packed.resize(z.total_out);
    deflateEnd(&z);
    const std::uint32_t crc = spreadsheet::crcOf(zeros);
    std::string file, central;
    const std::string first = "xl/worksheets/sheet1.xml";
    put32(file, 0x04034b50), put16(file, 20), put16(file, 0), put16(file, 8), put32(file, 0), put32(file, crc);
    put32(file, static_cast<std::uint32_t>(packed.size())), put32(file, static_cast<std::uint32_t>(zeros.size()));
    put16(file, static_cast<std::uint32_t>(first.size())), put16(file, 0);
    file += first + packed;
    for (int i = 0; i < 1000; ++i) {
        const std::string name = i == 0 ? "[Content_Types].xml" : "xl/part" + std::to_string(i) + ".xml";
        put32(central, 0x02014b50), put16(central, 20), put16(central, 20), put16(central, 0), put16(central, 8);
        put32(central, 0), put32(central, crc), put32(central, static_cast<std::uint32_t>(packed.size()));
        put32(central, static_cast<std::uint32_t>(zeros.size())), put16(central, static_cast<std::uint32_t>(name.size()));
        put16(central, 0), put16(central, 0), put16(central, 0), put16(central, 0), put32(central, 0), put32(central, 0);
        central += name;
    }
    const auto at = static_cast<std::uint32_t>(file.size());
    file += central;
    put32(file, 0x06054b50), put16(file, 0), put16(file, 0), put16(file, 1000), put16(file, 1000);
    put32(file, static_cast<std::uint32_t>(central.size())), put32(file, at), put16(file, 0);
    std::ofstream(to, std::ios::binary) << file;
}

// One 100 MB sheet part that 40 sheets name.
void sharedPartPackage(const std::string& to) {
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
    spreadsheet::ZipWriter out(to);
    auto part = [&](const std::string& name, const std::string& text) {
        out.begin(name);
        out.write(text);
        out.end();
    };
    part("[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>");
    part("_rels/.rels", "<Relationships><Relationship Id=\"rId1\" Type=\"" + rel + "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");
    std::string sheets;
    for (int i = 1; i <= 40; ++i) sheets += "<sheet name=\"S" + std::to_string(i) + "\" sheetId=\"" + std::to_string(i) + "\" r:id=\"rId1\"/>";
    part("xl/workbook.xml", "<workbook xmlns:r=\"" + rel + "\"><sheets>" + sheets + "</sheets></workbook>");
    part("xl/_rels/workbook.xml.rels", "<Relationships><Relationship Id=\"rId1\" Type=\"" + rel + "/worksheet\" Target=\"worksheets/sheet1.xml\"/></Relationships>");
    out.begin("xl/worksheets/sheet1.xml");
    out.write(std::string_view("<worksheet><sheetData>"));
    std::string row;
    for (int c = 0; c < 3300; ++c) row += "<c><v>1</v></c>";
    for (int r = 1; r <= 2000; ++r) out.write("<row r=\"" + std::to_string(r) + "\">" + row + "</row>");
    out.write(std::string_view("</sheetData></worksheet>"));
    out.end();
    out.finish();
}

// Opens a file, which must be refused; prints: seconds what-was-said.
void openRefused(const char* what, const std::string& path) {
    const double t0 = now();
    std::string said = "opened (not refused)";
    try {
        spreadsheet::loadWorkbook(path);
    } catch (const std::exception& e) {
        said = e.what();
    }
    std::printf("open %-56s %.3f s (%s, file %.0f KiB)\n", what, now() - t0, said.c_str(),
                static_cast<double>(fs::file_size(path)) / 1024.0);
}

// Runs a command and gives its output's first line.
std::string run(const std::string& cmd) {
#ifdef _WIN32
    FILE* p = _popen(cmd.c_str(), "r");
#else
    FILE* p = popen(cmd.c_str(), "r");
#endif
    if (!p) return {};
    char buf[512] = {};
    std::string out = std::fgets(buf, sizeof buf, p) ? buf : "";
#ifdef _WIN32
    int rc = _pclose(p);
#else
    int rc = pclose(p);
#endif
    if (rc != 0) std::fprintf(stderr, "failed (%d): %s\n", rc, cmd.c_str());
    return out;
}

std::string self() { return bench::selfPath(); }

struct Write {
    double build = 0, buildCpu = 0, save = 0, saveCpu = 0, base = 0, built = 0, peak = 0;
};
struct Open {
    double open = 0, openCpu = 0, scan = 0, scanCpu = 0, peak = 0;
    int row = 0;
};
Write parseWrite(const std::string& line) {
    Write w;
    std::istringstream(line) >> w.build >> w.buildCpu >> w.save >> w.saveCpu >> w.base >> w.built >> w.peak;
    return w;
}
Open parseOpen(const std::string& line) {
    Open o;
    std::istringstream(line) >> o.open >> o.openCpu >> o.scan >> o.scanCpu >> o.peak >> o.row;
    return o;
}

void benchSize(int rows, bool peer, bool extras, const fs::path& dir) {
    const std::string engineFile = (dir / "engine.xlsx").string(), peerFile = (dir / "openpyxl.xlsx").string();
    const std::string script = (fs::path(__FILE__).parent_path() / "engine_bench_peer.py").string();
    const std::string python = "/usr/bin/python3 " + script;

    // Each step in a fresh process, so that its memory is its own.
    const Write ew = parseWrite(run(self() + " --write " + engineFile + " " + std::to_string(rows)));
    const Open eo = parseOpen(run(self() + " --open " + engineFile));
    Write pw;
    Open po, cross;
    if (peer) {
        pw = parseWrite(run(python + " write " + peerFile + " " + std::to_string(rows)));
        po = parseOpen(run(python + " open " + peerFile));
        cross = parseOpen(run(python + " open " + engineFile));  // openpyxl reads the engine's file
    }

    std::printf("\nengine_bench: %d live rows x 20 cells + 11 memory rows x 55 cells\n", rows);
    std::printf("%-36s %10s %10s %10s %10s %8s\n", "step", "engine", "CPU", "openpyxl", "CPU", "ratio");
    auto line = [&](const char* what, double e, double ec, double p, double pc) {
        std::printf("%-36s %9.3fs %9.3fs", what, e, ec);
        if (peer) std::printf(" %9.3fs %9.3fs %7.1fx", p, pc, ec > 0 ? pc / ec : 0.0);
        std::printf("\n");
    };
    line("build rows (report operations)", ew.build, ew.buildCpu, pw.build, pw.buildCpu);
    line("save", ew.save, ew.saveCpu, pw.save, pw.saveCpu);
    line("open", eo.open, eo.openCpu, po.open, po.openCpu);
    line("scan column 1", eo.scan, eo.scanCpu, po.scan, po.scanCpu);
    line("open + scan", eo.open + eo.scan, eo.openCpu + eo.scanCpu, po.open + po.scan, po.openCpu + po.scanCpu);
    std::printf("save per 100,000 rows: %.3f s (CPU %.3f s)\n", ew.save * 1e5 / rows, ew.saveCpu * 1e5 / rows);
    const double workbook = ew.built - ew.base, saving = ew.peak - ew.base;
    std::printf("memory: the workbook %.1f MiB; during its save at most %.1f MiB (%.2f x the workbook)\n", workbook,
                saving, workbook > 0 ? saving / workbook : 0.0);
    std::printf("peak memory (MiB): engine save %.1f, open + scan %.1f", ew.peak, eo.peak);
    if (peer) std::printf("; openpyxl build + save %.1f, open + scan %.1f", pw.peak, po.peak);
    std::printf("\nfirst free row: engine %d", eo.row);
    if (peer) std::printf(", openpyxl %d, openpyxl in the engine's file %d (open %.3f s)", po.row, cross.row, cross.open);
    std::printf(" (expected %d)\n", rows + 3);
    std::printf("file size: engine %.1f MiB", static_cast<double>(fs::file_size(engineFile)) / 1048576.0);
    if (peer) std::printf(", openpyxl %.1f MiB", static_cast<double>(fs::file_size(peerFile)) / 1048576.0);
    std::printf("\n");

    if (extras) {
        // Saved in place: one row more, the package patched.
        auto inPlace = [&](const std::string& file) {
            double wall = 0, cpu = 0;
            std::istringstream(run(self() + " --save-in-place " + file + " " + std::to_string(rows))) >> wall >> cpu;
            return std::pair(wall, cpu);
        };
        const std::string pictured = (dir / "pictured.xlsx").string();
        withPicture(engineFile, pictured);
        const auto [plainWall, plainCpu] = inPlace(engineFile);
        const auto [picWall, picCpu] = inPlace(pictured);
        std::printf("save in place, one row more: %.3f s (CPU %.3f s); with a 10 MB picture part: %.3f s (CPU %.3f s)\n",
                    plainWall, plainCpu, picWall, picCpu);
        const std::string overlapping = (dir / "overlapping.xlsx").string(), shared = (dir / "shared.xlsx").string();
        overlappingPackage(overlapping);
        sharedPartPackage(shared);
        openRefused("1,000 entries over one 100 MB stream", overlapping);
        openRefused("one 100 MB sheet part named by 40 sheets", shared);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--write") return writeAndSave(argv[2], std::atoi(argv[3]));
    if (argc == 3 && std::string(argv[1]) == "--open") return openAndScan(argv[2]);
    if (argc == 4 && std::string(argv[1]) == "--save-in-place") return saveInPlace(argv[2], std::atoi(argv[3]));
    bool peer = true;
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--engine-only") peer = false;
        else sizes.push_back(std::max(1, std::atoi(argv[i])));
    }
    if (sizes.empty()) sizes = {100000, 1000000};

    fs::path dir = fs::temp_directory_path() / ("lumo-engine-bench-" + std::to_string(bench::processId()));
    fs::create_directories(dir);
    for (size_t i = 0; i < sizes.size(); ++i) benchSize(sizes[i], peer, i == 0, dir);
    fs::remove_all(dir);
    return 0;
}
