#include "report/report_journal.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "common/clock.h"


namespace lumo {

namespace fs = std::filesystem;
using namespace journal_io;

namespace {

constexpr const char* Stem = "report";
constexpr const char* Extension = ".journal";
constexpr const char* Version = "1";
constexpr int MaxCopies = 16;
constexpr auto FlushPeriod = std::chrono::milliseconds(500);

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

std::string localStampForName() {
    const LocalDateTime t = SystemClock().now();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

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

ReportJournal::ReportJournal(const fs::path& folder) {
    std::error_code ec;
    if (folder.empty()) return;
    fs::create_directories(folder, ec);
    // A second copy of the program takes the next name; none of them reads another's journal.
    for (int copy = 1; copy <= MaxCopies && lock_ == NoHandle; ++copy) {
        std::string name = copy == 1 ? std::string(Stem) : std::string(Stem) + "-" + std::to_string(copy);
        fs::path candidate = folder / (name + Extension);
        lock_ = lockExclusive(fs::path(candidate).concat(".lock"));
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

void ReportJournal::writeRecord(const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == NoHandle) return;
    writeAll(file_, hex8(crc32(payload)) + " " + payload + "\n");
    dirty_ = true;
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

std::optional<JournalContents> ReportJournal::left() const {
    if (!enabled()) return std::nullopt;
    auto contents = read(path_);
    if (!contents || contents->rows.empty()) return std::nullopt;
    return contents;
}

fs::path ReportJournal::setAside() {
    if (!enabled()) return {};
    closeFile();
    std::error_code ec;
    if (!fs::exists(path_, ec)) return {};
    const std::string stem = path_.stem().string() + "-" + localStampForName();
    fs::path target = path_.parent_path() / (stem + Extension);
    for (int n = 2; fs::exists(target, ec); ++n)
        target = path_.parent_path() / (stem + "-" + std::to_string(n) + Extension);
    fs::rename(path_, target, ec);
    return ec ? fs::path() : target;
}

void ReportJournal::begin(const JournalHeader& h) {
    if (!enabled()) return;
    // Rows of an earlier report that were never saved are kept, not overwritten.
    if (auto earlier = read(path_); earlier && !earlier->rows.empty()) setAside();
    closeFile();
    Handle f = openAppend(path_, true);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        file_ = f;
    }
    const LocalDateTime& c = h.created;
    std::string payload = std::string("H\t") + Version + "\t" + escaped(h.file);
    for (int v : {c.year, c.month, c.day, c.hour, c.minute, c.second, h.liveRow, h.memoryRow})
        payload += "\t" + std::to_string(v);
    writeRecord(payload);
}

void ReportJournal::append(const JournalRow& row) {
    std::string payload(1, static_cast<char>(row.kind));
    for (const std::string& cell : row.cells) payload += "\t" + escaped(cell);
    writeRecord(payload);
}

void ReportJournal::end() {
    // Only the current report's own journal: one kept from an earlier report stays.
    if (!begun()) return;
    closeFile();
    std::error_code ec;
    fs::remove(path_, ec);
}

void ReportJournal::detach() { closeFile(); }

std::optional<JournalContents> ReportJournal::read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();

    std::optional<JournalContents> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t eol = text.find('\n', at);
        if (eol == std::string::npos) break;  // torn: the write never finished
        const std::string line = text.substr(at, eol - at);
        at = eol + 1;
        if (line.size() < 10 || line[8] != ' ') break;
        const std::string payload = line.substr(9);
        if (hex8(crc32(payload)) != line.substr(0, 8)) break;  // damaged: nothing after it counts
        std::vector<std::string> fields = splitFields(payload);
        if (!out) {
            auto header = parseHeader(fields);
            if (!header) return std::nullopt;
            out = JournalContents{*header, {}};
            continue;
        }
        if (fields[0] != "L" && fields[0] != "M") break;
        JournalRow row;
        row.kind = fields[0] == "L" ? JournalRow::Kind::Live : JournalRow::Kind::Memory;
        row.cells.assign(fields.begin() + 1, fields.end());
        out->rows.push_back(std::move(row));
    }
    return out;
}

}  // namespace lumo
