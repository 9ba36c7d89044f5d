#pragma once
// Helpers of the spreadsheet engine tests: a scratch folder, the python oracle, and a report
// made on the engine by the report's own operations.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "automation/automation.h"
#include "spreadsheet/engine.h"
#include "support/report_fixture.h"

namespace lumo::test {

class ScratchDir {
public:
    ScratchDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() / ("lumo-engine-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (auto& e : std::filesystem::directory_iterator(path_)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::filesystem::path path_;
};

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs a script of tests/oracle with Debian's python and gives its output lines.
inline std::vector<std::string> runOracle(const std::string& script, const std::string& args) {
    std::string cmd = "/usr/bin/python3 " LUMO_SOURCE_DIR "/tests/oracle/" + script + " " + args + " 2>&1";
    std::vector<std::string> lines;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return lines;
    std::string all;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) all.append(buf.data(), n);
    int rc = pclose(p);
    EXPECT_EQ(rc, 0) << cmd << "\n" << all;
    std::istringstream in(all);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline std::string shellQuoted(const std::string& s) { return "'" + s + "'"; }

// A report laid out by the report's own operations on the built-in engine, as the window
// makes it; rows are written through them too.
struct EngineReport {
    automation::ScopedFactory engine{automation::kSpreadsheetProgId, spreadsheet::createApplication};
    test::ReportFixture f;

    EngineReport() {
        f.report.CreateReport();
        EXPECT_TRUE(f.state.ReportOpen);
    }
    const automation::Handle& app() const { return f.state.ExcelApp; }
    const automation::Handle& book() const { return f.state.ReportBook; }
    const automation::Handle& live() const { return f.state.LiveSheet; }
    const automation::Handle& memory() const { return f.state.MemorySheet; }

    // The next live-readings row: the pinned clock's stamp (6.12.2026 7:05:09), these
    // readings and empty ones after them.
    void appendLiveRow(const std::vector<std::string>& readings) {
        for (size_t n = 1; n <= 18; ++n) f.store.CurrentValues[n].set(n <= readings.size() ? readings[n - 1] : "");
        f.appendLiveRow();
    }
};

}  // namespace lumo::test
