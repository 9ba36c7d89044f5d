#pragma once
// The journal of the open report: every row written into the workbook is also appended to a
// small file in the user's state folder, so that rows not yet saved survive a crash, a kill or
// a power cut. One line a record, each with its own CRC32: a torn or damaged record is skipped
// and the records after it still count. A thread flushes the file to the disk at least twice a
// second; appends never wait for it.
//
// The file begins with the report it belongs to (its file, if any, its creation moment, and
// the first free rows when the journal began) and then holds the rows in the order written.
// A successful save ends it (the file goes). A journal is never emptied or overwritten while
// it holds rows: a report's new journal moves an earlier one to a dated name beside it, and the
// next start offers every journal of the folder that holds rows and that no running copy of
// the program is writing. A journal whose rows are taken back becomes the open report's own
// journal (its rows are in it already), so a crash during or after the recovery loses nothing
// and doubles nothing.
//
// A record that cannot be written (a full disk) is kept in memory and written before the next
// one once the disk takes it again; writing() tells whether every record is on file.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "report/journal_file.h"

namespace lumo {

struct JournalHeader {
    std::string file;       // the report's file (full path); empty for a report never saved
    LocalDateTime created;  // when the report was created
    std::int32_t liveRow = 0, memoryRow = 0;  // the first free rows when the journal began
};

struct JournalRow {
    enum class Kind : char { Live = 'L', Memory = 'M' };
    Kind kind = Kind::Live;
    // Live: the date text, the time text, the readings. Memory: the label, the statistics.
    std::vector<std::string> cells;
    bool operator==(const JournalRow&) const = default;
};

struct JournalContents {
    JournalHeader header;
    bool headerRead = false;   // false: the header was damaged; the report's file is unknown
    std::vector<JournalRow> rows;
    std::size_t damaged = 0;   // records that could not be read (torn or damaged) and were skipped
};

// A journal that start-up offers back, with what could be read of it.
struct JournalOffer {
    std::filesystem::path path;
    JournalContents contents;
};

// The journals offered at start, newest first. The locks that keep other copies of the program
// off them are held until this goes.
class JournalOffers {
public:
    JournalOffers() = default;
    ~JournalOffers();
    JournalOffers(JournalOffers&& other) noexcept;
    JournalOffers& operator=(JournalOffers&&) = delete;
    JournalOffers(const JournalOffers&) = delete;

    std::vector<JournalOffer> list;

private:
    friend class ReportJournal;
    std::vector<journal_io::Handle> locks_;
};

class ReportJournal {
public:
    // Takes the first journal name in `folder` that no other running copy holds ("report.journal",
    // then "report-2.journal", ...), making the folder. When none can be had the journal is off
    // and every operation does nothing.
    explicit ReportJournal(const std::filesystem::path& folder);
    ~ReportJournal();
    ReportJournal(const ReportJournal&) = delete;
    ReportJournal& operator=(const ReportJournal&) = delete;

    bool enabled() const { return lock_ != journal_io::NoHandle; }
    const std::filesystem::path& path() const { return path_; }

    // Every journal of the folder that holds rows and that no running copy is writing: this
    // copy's own file left by an earlier run (first moved to a dated name, so that this run's
    // journal never touches it), the files of copies that are no longer running, and the ones
    // set aside; newest first. Another copy offering at the same time gets only its own file.
    JournalOffers offers();
    // Makes the offered journal this copy's journal of the open report, whose rows are in it
    // already: the next rows follow them. A journal that had damaged records is written anew
    // without them first. False when it cannot be taken (it then stays where it was).
    bool adopt(const JournalOffer& offer);

    // True between the first row of a report's unsaved stretch and end() or detach().
    bool begun() const { return active_; }
    // A fresh journal for the report: a file still there (rows of an earlier report) is moved to
    // a dated name first, never emptied.
    void begin(const JournalHeader& header);
    void append(const JournalRow& row);
    // Every record so far is on file (none waits in memory for the disk to take it).
    bool writing() const;
    // The rows are saved (or thrown away on purpose): the file goes, when this report began it.
    void end();
    // The report closed with rows unsaved: the file stays, the next begin() sets it aside.
    void detach();
    // The appended records on the disk now.
    void flush();

    // Reads a journal file: every record that is whole, skipping torn and damaged ones. Nothing
    // when the file cannot be read or holds no record at all.
    static std::optional<JournalContents> read(const std::filesystem::path& path);

private:
    // Moves this copy's file, when there is one, to a dated name beside it; false when a file
    // is there and cannot be moved.
    bool setAside();
    void queue(std::string line);
    void writeQueued();
    void flusherLoop();
    void closeFile();
    void startFile(bool truncate);

    std::filesystem::path path_;
    journal_io::Handle lock_ = journal_io::NoHandle;
    bool active_ = false;         // a report's journal has begun
    bool blocked_ = false;        // an earlier file could not be moved away: nothing is written
    std::deque<std::string> queued_;  // records the disk did not take yet, in order
    std::uint64_t size_ = 0;      // bytes of whole records in the file
    journal_io::Handle file_ = journal_io::NoHandle;  // guarded by mutex_ (the flusher reads it)
    bool dirty_ = false, stop_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread flusher_;
};

// The folder of the program's state: $XDG_STATE_HOME/UserLumo or ~/.local/state/UserLumo, on
// Windows %LOCALAPPDATA%\UserLumo. Empty when none is known.
std::filesystem::path defaultStateFolder();

// CRC-32 (the polynomial of zip and PNG).
std::uint32_t crc32(const std::string& bytes);

}  // namespace lumo
