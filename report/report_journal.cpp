#include "report/report_journal.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "common/atomic_file.h"
#include "common/clock.h"


namespace lumo {

namespace fs = std::filesystem;
using namespace journal_io;

namespace {

constexpr const char* Stem = "report";
constexpr const char* Extension = ".journal";
constexpr const char* LockSuffix = ".lock";
constexpr const char* Version = "1";
constexpr int MaxCopies = 16;
constexpr auto FlushPeriod = std::chrono::milliseconds(500);
// Records kept in memory while the disk takes none (a day of live rows fits many times).
constexpr std::size_t MaxQueued = 500000;
// Held by the copy that offers the folder's journals at its start.
constexpr const char* OfferLockName = "offers.lock";

std::string escaped(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

std::vector<std::string> splitFields(const std::string& payload) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < payload.size(); ++i) {
        char c = payload[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\' && i + 1 < payload.size()) {
            char e = payload[++i];
            fields.back() += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::string hex8(std::uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(v));
    return buf;
}

std::optional<std::int32_t> number(const std::string& s) {
    if (s.empty() || s.size() > 10) return std::nullopt;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0') return std::nullopt;
    return static_cast<std::int32_t>(v);
}

std::optional<JournalHeader> parseHeader(const std::vector<std::string>& f) {
    if (f.size() != 11 || f[0] != "H" || f[1] != Version) return std::nullopt;
    JournalHeader h;
    h.file = f[2];
    std::int32_t v[8];
    for (int i = 0; i < 8; ++i) {
        auto n = number(f[static_cast<size_t>(3 + i)]);
        if (!n) return std::nullopt;
        v[i] = *n;
    }
    h.created = {v[0], v[1], v[2], v[3], v[4], v[5]};
    h.liveRow = v[6];
    h.memoryRow = v[7];
    return h;
}

std::string line(const std::string& payload) { return hex8(crc32(payload)) + " " + payload + "\n"; }

std::string headerPayload(const JournalHeader& h) {
    const LocalDateTime& c = h.created;
    std::string payload = "H\t";
    payload += Version;
    payload += '\t';
    payload += escaped(h.file);
    for (int v : {c.year, c.month, c.day, c.hour, c.minute, c.second, h.liveRow, h.memoryRow}) {
        payload += '\t';
        payload += std::to_string(v);
    }
    return payload;
}

std::string rowPayload(const JournalRow& row) {
    std::string payload(1, static_cast<char>(row.kind));
    for (const std::string& cell : row.cells) {
        payload += '\t';
        payload += escaped(cell);
    }
    return payload;
}

// The payload of a whole record "<crc> <payload>" at `at` in `text`, or nothing. The CRC's
// digits are read in either case: a record whose digit only changed case is still whole.
std::optional<std::string> recordAt(const std::string& text, size_t at) {
    if (text.size() < at + 10 || text[at + 8] != ' ') return std::nullopt;
    std::uint32_t crc = 0;
    for (size_t i = at; i < at + 8; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return std::nullopt;
        crc = crc << 4 | static_cast<std::uint32_t>(digit);
    }
    std::string payload = text.substr(at + 9);
    if (crc32(payload) != crc) return std::nullopt;
    return payload;
}

std::string localStampForName() {
    const LocalDateTime t = SystemClock().now();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

// A free dated name beside `path`: report-YYYYMMDD-HHMMSS.journal, -2, -3, ... when taken.
fs::path datedName(const fs::path& path) {
    std::error_code ec;
    const std::string stem = path.stem().string() + "-" + localStampForName();
    fs::path target = path.parent_path() / (stem + Extension);
    for (int n = 2; fs::exists(target, ec); ++n)
        target = path.parent_path() / (stem + "-" + std::to_string(n) + Extension);
    return target;
}

// The name of a running copy's journal: report.journal or report-N.journal (N up to MaxCopies).
bool copyName(const std::string& name) {
    if (name == std::string(Stem) + Extension) return true;
    const std::string prefix = std::string(Stem) + "-", suffix = Extension;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int n = std::atoi(digits.c_str());
    return n >= 2 && n <= MaxCopies;
}

fs::path lockPathOf(const fs::path& journal) { return fs::path(journal).concat(LockSuffix); }

}  // namespace

std::uint32_t crc32(const std::string& bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

fs::path defaultStateFolder() {
#ifdef _WIN32
    if (const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA"); local && *local)
        return fs::path(local) / "UserLumo";
    return {};
#else
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return fs::path(state) / "UserLumo";
    if (const char* home = std::getenv("HOME"); home && *home)
        return fs::path(home) / ".local" / "state" / "UserLumo";
    return {};
#endif
}

// ---- The offers of the next start ----

JournalOffers::~JournalOffers() {
    for (Handle h : locks_) closeHandle(h);
}

JournalOffers::JournalOffers(JournalOffers&& other) noexcept
    : list(std::move(other.list)), locks_(std::move(other.locks_)) {
    other.locks_.clear();
}

JournalOffers ReportJournal::offers() {
    JournalOffers out;
    if (!enabled()) return out;
    // Rows an earlier run of this copy left: moved to a dated name, offered with the others.
    if (!queued_.empty() || active_) return out;  // offered only before this run writes
    closeFile();
    std::error_code ec;
    if (fs::exists(path_, ec) && !setAside()) return out;

    const fs::path folder = path_.parent_path();
    // One copy at a time looks at the others' journals; a copy starting meanwhile finds none.
    Handle offering = lockExclusive(folder / OfferLockName);
    if (offering == NoHandle) return out;
    out.locks_.push_back(offering);

    struct Found {
        fs::path path;
        fs::file_time_type written;
    };
    std::vector<Found> found;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path p = it->path();
        const std::string name = pathToUtf8(p.filename());
        if (p.extension() != Extension || p == path_) continue;
        std::error_code e;
        if (!it->is_regular_file(e) || e) continue;
        if (copyName(name)) {
            // Another copy's name: offered only when no running copy holds it, and held here
            // while it is offered, so no copy starting now takes that name.
            Handle lock = lockExclusive(lockPathOf(p));
            if (lock == NoHandle) continue;
            out.locks_.push_back(lock);
        }
        found.push_back({p, fs::last_write_time(p, e)});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.written > b.written; });
    for (const Found& f : found) {
        auto contents = read(f.path);
        if (contents && !contents->rows.empty()) out.list.push_back({f.path, std::move(*contents)});
    }
    return out;
}

bool ReportJournal::adopt(const JournalOffer& offer) {
    if (!enabled() || blocked_) return false;
    closeFile();
    active_ = false;
    queued_.clear();
    std::error_code ec;
    if (offer.path != path_ && fs::exists(path_, ec) && !setAside()) return false;
    try {
        if (offer.contents.damaged > 0 || !offer.contents.headerRead) {
            // Written anew from what could be read, so every record in it is whole.
            std::string text = line(headerPayload(offer.contents.header));
            for (const JournalRow& row : offer.contents.rows) text += line(rowPayload(row));
            replaceFileWith(offer.path, text);
        }
    } catch (const std::exception&) {
        return false;
    }
    if (offer.path != path_) {
        fs::rename(offer.path, path_, ec);
        if (ec) return false;
    }
    active_ = true;
    startFile(false);
    return true;
}

// ---- Writing ----

ReportJournal::ReportJournal(const fs::path& folder) {
    std::error_code ec;
    if (folder.empty()) return;
    fs::create_directories(folder, ec);
    // A second copy of the program takes the next name; none of them writes another's journal.
    for (int copy = 1; copy <= MaxCopies && lock_ == NoHandle; ++copy) {
        std::string name = copy == 1 ? std::string(Stem) : std::string(Stem) + "-" + std::to_string(copy);
        fs::path candidate = folder / (name + Extension);
        lock_ = lockExclusive(lockPathOf(candidate));
        if (lock_ != NoHandle) path_ = candidate;
    }
    if (lock_ != NoHandle) flusher_ = std::thread([this] { flusherLoop(); });
}

ReportJournal::~ReportJournal() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (flusher_.joinable()) flusher_.join();
    closeFile();
    closeHandle(lock_);
}

void ReportJournal::flusherLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, FlushPeriod);
        if (!dirty_ || file_ == NoHandle) continue;
        // The sync runs on a handle of its own, outside the lock: appends go on meanwhile.
        Handle h = duplicate(file_);
        dirty_ = false;
        lock.unlock();
        if (h != NoHandle) {
            syncData(h);
            closeHandle(h);
        }
        lock.lock();
    }
}

void ReportJournal::flush() {
    Handle h = NoHandle;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_ == NoHandle) return;
        h = duplicate(file_);
        dirty_ = false;
    }
    if (h != NoHandle) {
        syncData(h);
        closeHandle(h);
    }
}

void ReportJournal::closeFile() {
    Handle h;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        h = file_;
        file_ = NoHandle;
        dirty_ = false;
    }
    if (h != NoHandle) {
        syncData(h);
        closeHandle(h);
    }
}

void ReportJournal::startFile(bool truncate) {
    Handle f = openAppend(path_, truncate);
    if (f == NoHandle) return;
    const std::int64_t size = fileSize(f);
    size_ = size < 0 ? 0 : static_cast<std::uint64_t>(size);
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = f;
}

void ReportJournal::queue(std::string record) {
    if (queued_.size() >= MaxQueued) queued_.pop_front();  // the oldest waits longest: it goes
    queued_.push_back(std::move(record));
    writeQueued();
}

// Writes the waiting records in order. A write the disk does not take whole is cut off again,
// so the file only ever holds whole records, and the record waits for the next try.
void ReportJournal::writeQueued() {
    if (blocked_ || !active_) return;
    bool haveFile;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        haveFile = file_ != NoHandle;
    }
    if (!haveFile) startFile(false);
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == NoHandle) return;
    while (!queued_.empty()) {
        if (!writeAll(file_, queued_.front())) {
            truncateTo(file_, size_);
            return;
        }
        size_ += queued_.front().size();
        queued_.pop_front();
        dirty_ = true;
    }
}

bool ReportJournal::writing() const { return !enabled() || (!blocked_ && queued_.empty()); }

bool ReportJournal::setAside() {
    std::error_code ec;
    if (!fs::exists(path_, ec)) return true;
    // A file without a single row (nor a damaged record that might have been one) holds
    // nothing to keep.
    const auto contents = read(path_);
    const bool emptyFile = fs::file_size(path_, ec) == 0 && !ec;
    if (emptyFile || (contents && contents->rows.empty() && contents->damaged == 0)) {
        fs::remove(path_, ec);
        if (!ec) return true;
    }
    fs::rename(path_, datedName(path_), ec);
    return !ec;
}

void ReportJournal::begin(const JournalHeader& h) {
    if (!enabled()) return;
    closeFile();
    queued_.clear();
    active_ = true;
    // Rows of an earlier report that were never saved are kept, never emptied or overwritten.
    blocked_ = !setAside();
    if (blocked_) return;
    startFile(true);
    queue(line(headerPayload(h)));
}

void ReportJournal::append(const JournalRow& row) {
    if (!enabled() || !active_) return;
    queue(line(rowPayload(row)));
}

void ReportJournal::end() {
    // Only the current report's own journal: one kept from an earlier report stays.
    if (!active_) return;
    active_ = false;
    queued_.clear();
    closeFile();
    if (blocked_) {
        blocked_ = false;
        return;  // the file there is another report's
    }
    std::error_code ec;
    fs::remove(path_, ec);
}

void ReportJournal::detach() {
    active_ = false;
    blocked_ = false;
    closeFile();
    // Records the disk never took are lost with the run; the ones on file stay for the next start.
    queued_.clear();
}

// ---- Reading ----

std::optional<JournalContents> ReportJournal::read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();

    JournalContents out;
    bool any = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t eol = text.find('\n', at);
        const bool torn = eol == std::string::npos;
        const std::string ln = text.substr(at, torn ? std::string::npos : eol - at);
        at = torn ? text.size() : eol + 1;
        if (ln.empty()) continue;
        // A whole record; else one that starts later in the line (after a record cut short by
        // a kill or a full disk).
        std::optional<std::string> payload = recordAt(ln, 0);
        if (!payload) {
            ++out.damaged;
            for (size_t i = 1; i + 10 <= ln.size() && !payload; ++i)
                if (ln[i + 8] == ' ') payload = recordAt(ln, i);
            if (!payload) continue;
        }
        any = true;
        std::vector<std::string> fields = splitFields(*payload);
        if (fields[0] == "H") {
            auto header = parseHeader(fields);
            if (header && !out.headerRead && out.rows.empty()) {
                out.header = *header;
                out.headerRead = true;
            } else {
                ++out.damaged;
            }
            continue;
        }
        if (fields[0] != "L" && fields[0] != "M") {
            ++out.damaged;
            continue;
        }
        JournalRow row;
        row.kind = fields[0] == "L" ? JournalRow::Kind::Live : JournalRow::Kind::Memory;
        row.cells.assign(fields.begin() + 1, fields.end());
        out.rows.push_back(std::move(row));
    }
    if (!any && out.damaged == 0) return std::nullopt;
    return out;
}

}  // namespace lumo
