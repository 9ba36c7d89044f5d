// The report's journal on real files: what is written is read back, a torn or damaged tail is
// dropped, a journal of unsaved rows is never overwritten, and two copies never share one.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "common/atomic_file.h"
#include "report/report_journal.h"

using namespace lumo;
namespace fs = std::filesystem;

namespace {

struct TempFolder {
    fs::path path = fs::temp_directory_path() / ("lumo-journal-" + std::to_string(std::random_device{}()));
    TempFolder() { fs::create_directories(path); }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (auto& e : fs::directory_iterator(path)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void put(const fs::path& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }

const JournalHeader Header{"/data/отчет\tдва.xlsx", {2026, 12, 6, 7, 5, 9}, 8, 15};
const JournalRow Live{JournalRow::Kind::Live, {"6.12.2026", "7:5:9", "230,5", "", "a\\b\nc\r\td"}};
const JournalRow Memory{JournalRow::Kind::Memory, {"Весь период", "0100,000", "нет"}};

}  // namespace

TEST(ReportJournal, RowsReadBackAndATornOrDamagedTailIsDropped) {
    TempFolder dir;
    fs::path path;
    {
        ReportJournal j(dir.path);
        ASSERT_TRUE(j.enabled());
        path = j.path();
        EXPECT_FALSE(j.left());  // nothing left by an earlier run
        j.begin(Header);
        j.append(Live);
        j.append(Memory);
        j.append(Live);
        j.flush();
    }  // a run that ends without end(): the file stays for the next start

    ReportJournal next(dir.path);
    ASSERT_EQ(next.path(), path);
    auto left = next.left();
    ASSERT_TRUE(left);
    EXPECT_EQ(left->header.file, Header.file);
    EXPECT_EQ(left->header.created, Header.created);
    EXPECT_EQ(left->header.liveRow, 8);
    EXPECT_EQ(left->header.memoryRow, 15);
    EXPECT_EQ(left->rows, (std::vector<JournalRow>{Live, Memory, Live}));

    // A record cut short by a kill is dropped, the ones before it stay.
    const std::string whole = slurp(path);
    put(path, whole + whole.substr(whole.find('\n') + 1, 20));
    EXPECT_EQ(ReportJournal::read(path)->rows.size(), 3u);
    // A damaged byte drops its record and everything after it.
    std::string damaged = whole;
    const size_t third = damaged.find('\n', damaged.find('\n', damaged.find('\n') + 1) + 1);
    damaged[third - 3] ^= 1;  // inside the second row
    put(path, damaged);
    EXPECT_EQ(ReportJournal::read(path)->rows, (std::vector<JournalRow>{Live}));
}

TEST(ReportJournal, UnsavedRowsAreKeptAsideAndASecondCopyTakesAnotherName) {
    TempFolder dir;
    ReportJournal j(dir.path);
    j.begin(Header);
    j.append(Live);
    j.detach();  // the report closed with this row unsaved
    // The next report's journal keeps the earlier one under a dated name.
    j.begin({"", {}, 3, 4});
    j.append(Memory);
    auto names = dir.names();
    ASSERT_EQ(names.size(), 3u);  // report.journal, report.journal.lock, report-<date>.journal
    const fs::path aside = dir.path / names[0];
    EXPECT_NE(aside, j.path());
    EXPECT_EQ(ReportJournal::read(aside)->rows, (std::vector<JournalRow>{Live}));

    ReportJournal second(dir.path);  // another copy of the program, at the same time
    ASSERT_TRUE(second.enabled());
    EXPECT_NE(second.path(), j.path());
    EXPECT_FALSE(second.left());

    j.end();  // saved: the file goes, the one kept aside stays
    EXPECT_FALSE(fs::exists(j.path()));
    EXPECT_TRUE(fs::exists(aside));
    EXPECT_FALSE(j.left());
}

TEST(AtomicFile, LeftoversOfKilledSavesOlderThanAMinuteGo) {
    TempFolder dir;
    const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(5);
    for (const char* name : {".~lumo-1-0.tmp", ".~lumo-2-1.tmp", ".~lumo-3.txt", "x.~lumo-4.tmp"}) {
        put(dir.path / name, "part");
        fs::last_write_time(dir.path / name, old);
    }
    put(dir.path / ".~lumo-5-2.tmp", "a save running now");
    replaceFileWith(dir.path / "report.xlsx", "new");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{".~lumo-3.txt", ".~lumo-5-2.tmp", "report.xlsx",
                                                     "x.~lumo-4.tmp"}));
}
