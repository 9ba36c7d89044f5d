// The report's journal on real files: what is written is read back, a torn or damaged tail is
// dropped, a journal of unsaved rows is never overwritten, and two copies never share one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

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

TEST(ReportJournal, EveryWholeRecordIsReadAndDamagedOnesAreSkipped) {
    TempFolder dir;
    fs::path path;
    {
        ReportJournal j(dir.path);
        ASSERT_TRUE(j.enabled());
        path = j.path();
        EXPECT_TRUE(j.offers().list.empty());  // nothing left by an earlier run
        j.begin(Header);
        for (int i = 0; i < 3; ++i) j.append(Live), j.append(Memory);
        j.append(Live);
        j.flush();
    }  // a run that ends without end(): the file stays for the next start
    const std::vector<JournalRow> all{Live, Memory, Live, Memory, Live, Memory, Live};
    auto whole = ReportJournal::read(path);
    ASSERT_TRUE(whole && whole->headerRead);
    EXPECT_EQ(whole->header.file, Header.file);
    EXPECT_EQ(whole->header.created, Header.created);
    EXPECT_EQ(whole->header.liveRow, 8);
    EXPECT_EQ(whole->header.memoryRow, 15);
    EXPECT_EQ(whole->rows, all);
    EXPECT_EQ(whole->damaged, 0u);

    const std::string text = slurp(path);
    auto lineStart = [&](int n) {
        size_t at = 0;
        for (int i = 0; i < n; ++i) at = text.find('\n', at) + 1;
        return at;
    };
    // One flipped bit in the header: the rows are all there, the report's file unknown.
    std::string damaged = text;
    damaged[lineStart(0) + 12] ^= 1;
    put(path, damaged);
    auto read = ReportJournal::read(path);
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->headerRead);
    EXPECT_EQ(read->rows, all);
    EXPECT_EQ(read->damaged, 1u);
    // One in row 2 of 7: the other six.
    damaged = text;
    damaged[lineStart(2) + 12] ^= 1;
    put(path, damaged);
    read = ReportJournal::read(path);
    EXPECT_TRUE(read->headerRead);
    EXPECT_EQ(read->rows, (std::vector<JournalRow>{Live, Live, Memory, Live, Memory, Live}));
    EXPECT_EQ(read->damaged, 1u);
    // A digit of a CRC that only changed case: the record is still whole.
    damaged = text;
    for (size_t at = lineStart(4); at < lineStart(4) + 8; ++at)
        if (damaged[at] >= 'a') {
            damaged[at] ^= 0x20;
            break;
        }
    put(path, damaged);
    read = ReportJournal::read(path);
    EXPECT_EQ(read->rows, all);
    EXPECT_EQ(read->damaged, 0u);
    // A record cut short, the next one written right after it on the same line: that one counts.
    damaged = text.substr(0, lineStart(3) - 10) + text.substr(lineStart(3));
    put(path, damaged);
    read = ReportJournal::read(path);
    EXPECT_EQ(read->rows, (std::vector<JournalRow>{Live, Live, Memory, Live, Memory, Live}));
    EXPECT_EQ(read->damaged, 1u);
}

#ifndef _WIN32
TEST(ReportJournal, AFullDiskKeepsRecordsWaitingInOrderAndTheFileWhole) {
    // The file size limit stands in for a full disk: writes past it fail as they would.
    TempFolder dir;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    ReportJournal j(dir.path);
    j.begin(Header);
    j.append(Live);
    ASSERT_TRUE(j.writing());
    const auto size = fs::file_size(j.path());
    rlimit full = before;
    full.rlim_cur = size + 20;  // the next record fits only in part
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    j.append(Memory);
    j.append(Live);
    EXPECT_FALSE(j.writing());
    EXPECT_EQ(fs::file_size(j.path()), size);  // the part that fitted was cut off again
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    j.append(Memory);  // space again: the waiting records first, in order
    EXPECT_TRUE(j.writing());
    auto read = ReportJournal::read(j.path());
    EXPECT_EQ(read->rows, (std::vector<JournalRow>{Live, Memory, Live, Memory}));
    EXPECT_EQ(read->damaged, 0u);
}
#endif

TEST(ReportJournal, StartOffersEveryUnsavedJournalNoRunningCopyWritesNewestFirst) {
    TempFolder dir;
    auto journalWith = [&](const fs::path& path, std::vector<JournalRow> rows) {
        std::string text;
        {
            TempFolder other;
            ReportJournal j(other.path);
            j.begin(Header);
            for (auto& r : rows) j.append(r);
            text = slurp(j.path());
        }
        put(path, text);
    };
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(2);
    journalWith(dir.path / "report.journal", {Live});                 // this copy's, from a run that died
    journalWith(dir.path / "report-20261206-070509.journal", {Memory});  // set aside by a report
    fs::last_write_time(dir.path / "report-20261206-070509.journal", old);
    journalWith(dir.path / "report-3.journal", {Live, Live});          // a copy that died
    journalWith(dir.path / "report-2.journal", {Memory, Memory});      // written by a copy running now
    journalWith(dir.path / "report-4.journal", {});                    // no rows: nothing to offer

    ReportJournal running(dir.path);  // takes report.journal: its rows are another run's
    ReportJournal second(dir.path);   // takes report-2.journal
    ASSERT_EQ(second.path(), dir.path / "report-2.journal");
    {
        ReportJournal third(dir.path);
        ASSERT_EQ(third.path(), dir.path / "report-3.journal");
    }
    // The running copy's leftover went to a dated name, so its new rows never mix with them.
    JournalOffers offers = running.offers();
    ASSERT_EQ(offers.list.size(), 3u);
    EXPECT_EQ(offers.list[2].path.filename(), "report-20261206-070509.journal");
    std::vector<std::size_t> rows;
    for (auto& o : offers.list) rows.push_back(o.contents.rows.size());
    EXPECT_THAT(rows, ::testing::UnorderedElementsAre(1u, 2u, 1u));
    EXPECT_FALSE(fs::exists(running.path()));
    // Another copy starting meanwhile sees only its own.
    EXPECT_TRUE(ReportJournal(dir.path).offers().list.empty());

    // Taken back: the journal becomes the copy's own and goes on with the next rows.
    const JournalOffer& taken = offers.list[2];
    ASSERT_TRUE(running.adopt(taken));
    EXPECT_FALSE(fs::exists(taken.path));
    running.append(Live);
    EXPECT_EQ(ReportJournal::read(running.path())->rows, (std::vector<JournalRow>{Memory, Live}));
    // A new report's journal never empties it: it goes aside again, to be offered later.
    running.detach();
    running.begin({"", {}, 3, 4});
    running.append(Live);
    EXPECT_EQ(ReportJournal::read(running.path())->rows, std::vector<JournalRow>{Live});
    std::size_t kept = 0;
    for (auto& e : fs::directory_iterator(dir.path))
        if (auto c = ReportJournal::read(e.path()); c && c->rows == std::vector<JournalRow>{Memory, Live}) ++kept;
    EXPECT_EQ(kept, 1u);
    running.end();  // saved: only its own file goes
    EXPECT_FALSE(fs::exists(running.path()));
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
