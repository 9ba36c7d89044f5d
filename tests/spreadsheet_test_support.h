#pragma once
// Helpers of the spreadsheet engine tests: a scratch folder, the python oracle, and the
// report layout built call by call through the automation primitives.

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

#include "report/automation.h"

namespace lumo::testing {

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

// The header texts of the report workbook.
inline const std::array<const char*, 6> kLiveQuantities = {"U", "I", "УГОЛ", "P", "Q", "S"};
inline const std::array<const char*, 6> kMemoryQuantities = {"U", "I", "Угол", "P", "Q", "S"};
inline const std::array<const char*, 3> kPhases = {"ФАЗА А", "ФАЗА B", "ФАЗА C"};

// Builds the report layout in a new workbook of the application, call by call, as the report
// operations do, and gives the two sheets.
struct ReportSheets {
    automation::Handle book, live, memory;
};

inline void mergedTitle(const automation::Handle& sheet, const std::string& address, const std::string& text) {
    using namespace automation;
    Handle range = propertyGet(sheet, "Range", {address});
    methodCall(range, "Select");
    methodCall(range, "Merge");
    propertyPut(range, "Value", text);
    propertyPut(range, "HorizontalAlignment", 3);
}

inline void columnFormat(const automation::Handle& sheet, const automation::Handle& which, int width) {
    using namespace automation;
    Handle columns = propertyGet(sheet, "Columns");
    Handle col = which.kind() == Handle::Kind::String ? propertyGet(columns, "Range", {which}) : propertyGet(columns, "Item", {which});
    propertyPut(col, "ColumnWidth", width);
    columns = propertyGet(sheet, "Columns");
    col = which.kind() == Handle::Kind::String ? propertyGet(columns, "Range", {which}) : propertyGet(columns, "Item", {which});
    propertyPut(col, "HorizontalAlignment", 3);
}

inline ReportSheets buildReportLayout(const automation::Handle& app) {
    using namespace automation;
    propertyPut(app, "SheetsInNewWorkbook", 2);
    methodCall(propertyGet(app, "WorkBooks"), "add");
    ReportSheets s;
    s.book = propertyGet(app, "WorkBooks", {1});
    s.live = propertyGet(s.book, "WorkSheets", {1});
    s.memory = propertyGet(s.book, "WorkSheets", {2});
    propertyPut(s.live, "Name", "Результат текущих измерений");
    propertyPut(s.memory, "Name", "Данные из памяти прибора");
    methodCall(s.live, "Activate");
    columnFormat(s.live, 1, 10);
    columnFormat(s.live, 2, 8);
    columnFormat(s.live, "C:T", 5);
    propertyPut(propertyGet(s.live, "Cells", {1, 1}), "Value", "Дата");
    propertyPut(propertyGet(s.live, "Cells", {1, 2}), "Value", "Время");
    mergedTitle(s.live, "C1:H1", kPhases[0]);
    mergedTitle(s.live, "I1:N1", kPhases[1]);
    mergedTitle(s.live, "O1:T1", kPhases[2]);
    for (int c = 3; c <= 20; ++c) propertyPut(propertyGet(s.live, "Cells", {2, c}), "Value", kLiveQuantities[(c - 3) % 6]);
    methodCall(s.memory, "Activate");
    columnFormat(s.memory, 1, 15);
    columnFormat(s.memory, "B:BC", 5);
    propertyPut(propertyGet(s.memory, "Cells", {1, 1}), "Value", "№ периода");
    auto letters = [](int c) {
        std::string out;
        for (; c > 0; c = (c - 1) / 26) out.insert(out.begin(), static_cast<char>('A' + (c - 1) % 26));
        return out;
    };
    const char* triple[] = {"MIN", "MAX", "AVR"};
    for (int phase = 0; phase < 3; ++phase) {
        int first = 2 + 18 * phase;
        mergedTitle(s.memory, letters(first) + "1:" + letters(first + 17) + "1", kPhases[static_cast<size_t>(phase)]);
        for (int q = 0; q < 6; ++q)
            mergedTitle(s.memory, letters(first + 3 * q) + "2:" + letters(first + 3 * q + 2) + "2", kMemoryQuantities[static_cast<size_t>(q)]);
        for (int c = first; c < first + 18; ++c)
            propertyPut(propertyGet(s.memory, "Cells", {3, c}), "Value", triple[(c - first) % 3]);
    }
    methodCall(s.live, "Activate");
    return s;
}

// Writes one live-readings row: the stamp with its number formats, then the 18 readings.
inline void writeLiveRow(const automation::Handle& live, int row, const std::string& date, const std::string& time,
                         const std::vector<std::string>& values) {
    using namespace automation;
    Handle cell = propertyGet(live, "Cells", {row, 1});
    propertyPut(cell, "NumberFormat", "ДД.ММ.ГГГГ");
    propertyPut(cell, "Value", date);
    cell = propertyGet(live, "Cells", {row, 2});
    propertyPut(cell, "NumberFormat", "ЧЧ:ММ:СС");
    propertyPut(cell, "Value", time);
    for (size_t n = 0; n < values.size(); ++n)
        propertyPut(propertyGet(live, "Cells", {row, static_cast<int>(n) + 3}), "Value", values[n]);
}

}  // namespace lumo::testing
