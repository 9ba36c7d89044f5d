#pragma once
// The journal of the open report: every row written into the workbook is also appended to a
// small file in the user's state folder, so that rows not yet saved survive a crash, a kill or
// a power cut. One line a record, each with its own CRC32, so a torn last line is dropped.
// A thread flushes the file to the disk at least twice a second; appends never wait for it.
//
// The file begins with the report it belongs to (its file, if any, its creation moment, and
// the first free rows when the journal began) and then holds the rows in the order written.
// A successful save ends it (the file goes); a journal that was not ended is offered back at
// the next start.

#include <condition_variable>
#include <cstdint>
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
    std::vector<JournalRow> rows;
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

    // What a run that did not end normally left under this journal's name: nothing when there is
    // no file or it holds no row.
    std::optional<JournalContents> left() const;
    // Moves the file (when there is one) to a dated name beside it, where it is kept; gives that
    // name, or an empty path.
    std::filesystem::path setAside();

    // True between the first row of a report's unsaved stretch and end() or detach().
    bool begun() const { return file_ != journal_io::NoHandle; }
    // A fresh journal for the report: a file still there from an earlier report is set aside.
    void begin(const JournalHeader& header);
    void append(const JournalRow& row);
    // The rows are saved (or thrown away on purpose): the file goes, when this report began it.
    void end();
    // The report closed with rows unsaved: the file stays, the next begin() sets it aside.
    void detach();
    // The appended records on the disk now.
    void flush();

    // Reads a journal file: the records up to the first torn or damaged one. Nothing when the
    // file cannot be read or has no header.
    static std::optional<JournalContents> read(const std::filesystem::path& path);

private:
    void writeRecord(const std::string& payload);
    void flusherLoop();
    void closeFile();

    std::filesystem::path path_;
    journal_io::Handle lock_ = journal_io::NoHandle;
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
