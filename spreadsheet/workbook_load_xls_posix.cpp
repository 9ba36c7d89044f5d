// Loading legacy .xls through freexl: values only, dates and times as numbers with a date or
// time format.
#include "spreadsheet/workbook_load_other.h"

#include <fcntl.h>
#include <freexl.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <stdexcept>
#include <system_error>

#include "spreadsheet/cell_text.h"

namespace lumo::spreadsheet {

namespace {

[[noreturn]] void unreadable(const std::string& why) { throw std::runtime_error(why); }

// A copy of bytes in a file that only this process made and that is removed with the object.
class PrivateCopy {
public:
    explicit PrivateCopy(std::string_view bytes);
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;
    const std::string& path() const { return file_.path; }

private:
    [[noreturn]] static void fail(const char* what, int error) {
        throw std::system_error(error, std::generic_category(), std::string("temporary copy of the .xls: ") + what);
    }
    // Removed at the end in reverse order: the file, then its folder.
    struct Folder {
        std::string path;
        ~Folder() {
            if (!path.empty()) ::rmdir(path.c_str());
        }
    } folder_;
    struct File {
        std::string path;
        ~File() {
            if (!path.empty()) ::unlink(path.c_str());
        }
    } file_;
};

// A new folder of mode 0700 (mkdtemp) under the temp folder (TMPDIR), and in it a new file of
// mode 0600 that is not reached through a link, written and closed with every step checked.
PrivateCopy::PrivateCopy(std::string_view bytes) {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumo-xls-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) fail("cannot make a folder", errno);
    folder_.path = pattern;
    std::string path = pattern + "/book.xls";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) fail("cannot create", errno);
    file_.path = std::move(path);
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : EIO;
            ::close(fd);
            fail("cannot write", error);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) fail("cannot write", errno);
}

// --- The workbook stream, handed to freexl as it reads it -------------------------------------
//
// freexl 1.0.6 reads compound files its own way, and ordinary .xls files that other programs
// open fail in it: it looks for the Workbook stream among the first directory sector's entries
// only (4 of them), and reads a stream under 4096 bytes (in the mini stream) from the mini
// stream's start, whatever mini sectors the stream has, as it does one of exactly 4096 bytes.
// Writers other than Excel put small workbooks after their summary streams there, or write
// them beside another stream. Reading such bytes fails midway, and freexl_open then reports
// success with no workbook: asked for its sheets, it said none ("no sheets"). So the stream is
// read here as the format says, and freexl gets a compound file of that stream alone.

std::uint32_t u32(std::string_view b, std::size_t at) {
    if (at + 4 > b.size()) unreadable("not a readable .xls workbook: cut short");
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8 |
                                      static_cast<unsigned char>(b[at + 2]) << 16 |
                                      static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24);
}

constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE, kLastSector = 0xFFFFFFFA;

class CompoundFile {
public:
    explicit CompoundFile(std::string_view b) : b_(b) {
        const std::uint32_t shift = u32(b, 0x1C) >> 16;
        if (shift != 9 && shift != 12) unreadable("not a readable .xls workbook: sector size");
        size_ = std::size_t(1) << shift;
        miniShift_ = u32(b, 0x20) & 0xFFFF;
        if (miniShift_ > shift) unreadable("not a readable .xls workbook: mini sector size");
        cutoff_ = u32(b, 0x38);
        // The FAT's sectors: 109 in the header, the rest in a chain of DIFAT sectors.
        std::vector<std::uint32_t> fatSectors;
        for (std::size_t i = 0; i < 109; ++i) fatSectors.push_back(u32(b, 0x4C + 4 * i));
        std::uint32_t difat = u32(b, 0x44);
        for (std::size_t hops = 0; difat < kLastSector && hops < sectors(); ++hops) {
            const std::size_t at = offset(difat);
            for (std::size_t i = 0; i + 1 < size_ / 4; ++i) fatSectors.push_back(u32(b, at + 4 * i));
            difat = u32(b, at + size_ - 4);
        }
        for (std::uint32_t s : fatSectors) {
            if (s >= kLastSector) continue;
            const std::size_t at = offset(s);
            for (std::size_t i = 0; i < size_ / 4 && fat_.size() < sectors(); ++i) fat_.push_back(u32(b, at + 4 * i));
        }
    }

    // The stream of that name (or the first of the names found), or nothing.
    std::optional<std::string> stream(std::initializer_list<std::u16string_view> names) const {
        const std::string directory = chained(u32(b_, 0x30), std::size_t(-1));
        std::optional<std::size_t> found;
        std::size_t rank = names.size();
        for (std::size_t at = 0; at + 128 <= directory.size(); at += 128) {
            const std::size_t length = directory[at + 0x40] & 0xFF;
            if (directory[at + 0x42] != 2 || length < 2 || length > 64) continue;
            std::u16string name;
            for (std::size_t i = 0; i + 2 < length; i += 2)  // the length counts a terminating zero
                name += static_cast<char16_t>((directory[at + i] & 0xFF) | (directory[at + i + 1] & 0xFF) << 8);
            std::size_t k = 0;
            for (std::u16string_view n : names) {
                if (n == name && k < rank) rank = k, found = at;
                ++k;
            }
        }
        if (!found) return std::nullopt;
        const std::uint32_t start = u32(directory, *found + 0x74);
        const std::size_t length = u32(directory, *found + 0x78);
        if (length < cutoff_) {
            const std::string miniStream = chained(u32(directory, 0x74), u32(directory, 0x78));
            const std::string miniFat = chained(u32(b_, 0x3C), std::size_t(-1));
            const std::size_t mini = std::size_t(1) << miniShift_;
            std::string out;
            for (std::uint32_t s = start; s < kLastSector && out.size() < length;) {
                if ((std::size_t(s) + 1) * mini > miniStream.size()) unreadable("not a readable .xls workbook: mini stream");
                out.append(miniStream, std::size_t(s) * mini, mini);
                s = u32(miniFat, 4 * std::size_t(s));
            }
            if (out.size() < length) unreadable("not a readable .xls workbook: stream cut short");
            out.resize(length);
            return out;
        }
        std::string out = chained(start, length);
        if (out.size() < length) unreadable("not a readable .xls workbook: stream cut short");
        return out;
    }

private:
    std::size_t sectors() const { return b_.size() / size_; }
    std::size_t offset(std::uint32_t sector) const {
        const std::size_t at = (std::size_t(sector) + 1) * size_;
        if (at >= b_.size()) unreadable("not a readable .xls workbook: sector out of the file");
        return at;
    }
    // The sectors of a chain, joined, up to `limit` bytes; a chain longer than the file is a loop.
    std::string chained(std::uint32_t sector, std::size_t limit) const {
        std::string out;
        for (std::size_t hops = 0; sector < kLastSector && out.size() < limit; ++hops) {
            if (hops > sectors() || sector >= fat_.size()) unreadable("not a readable .xls workbook: broken chain");
            const std::size_t at = offset(sector);
            out.append(b_.substr(at, std::min(size_, b_.size() - at)));
            sector = fat_[sector];
        }
        if (out.size() > limit) out.resize(limit);
        return out;
    }

    std::string_view b_;
    std::size_t size_ = 512, miniShift_ = 6, cutoff_ = 4096;
    std::vector<std::uint32_t> fat_;
};

void put32(std::string& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i) & 0xFF);
}

// A compound file of 4096-byte sectors (room for 450 MB in the header's 109 FAT sectors) that
// holds the stream alone, as "Workbook", in sectors of its own.
std::string compoundFileOf(const std::string& stream) {
    constexpr std::size_t kSector = 4096, kPerFat = kSector / 4;
    const std::size_t data = std::max<std::size_t>(1, (stream.size() + kSector - 1) / kSector);
    std::size_t fats = 1;
    while (fats * kPerFat < fats + 1 + data) ++fats;
    if (fats > 109) unreadable("not a readable .xls workbook: too large");
    std::string out((1 + fats + 1 + data) * kSector, '\0');
    const char signature[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
    out.replace(0, 8, signature, 8);
    put32(out, 0x18, 0x0004003E);         // minor version, major version 4
    put32(out, 0x1C, 0x000CFFFE);         // byte order, sector shift 12
    put32(out, 0x20, 6);                  // mini sector shift
    put32(out, 0x2C, static_cast<std::uint32_t>(fats));
    put32(out, 0x30, static_cast<std::uint32_t>(fats));  // the directory
    put32(out, 0x38, 4096);
    put32(out, 0x3C, kEndOfChain);
    put32(out, 0x44, kEndOfChain);
    for (std::size_t i = 0; i < 109; ++i) put32(out, 0x4C + 4 * i, i < fats ? static_cast<std::uint32_t>(i) : 0xFFFFFFFF);
    const std::size_t fat = kSector;
    for (std::size_t i = 0; i < fats * kPerFat; ++i) {
        std::uint32_t v = 0xFFFFFFFF;
        if (i < fats) v = 0xFFFFFFFD;
        else if (i == fats) v = kEndOfChain;
        else if (i < fats + 1 + data) v = i + 1 == fats + 1 + data ? kEndOfChain : static_cast<std::uint32_t>(i + 1);
        put32(out, fat + 4 * i, v);
    }
    const std::size_t directory = (1 + fats) * kSector;
    auto entry = [&](std::size_t index, std::u16string_view name, char kind, std::uint32_t child, std::uint32_t start,
                     std::uint32_t size) {
        const std::size_t at = directory + 128 * index;
        for (std::size_t i = 0; i < name.size(); ++i) out[at + 2 * i] = static_cast<char>(name[i] & 0xFF), out[at + 2 * i + 1] = static_cast<char>(name[i] >> 8);
        out[at + 0x40] = static_cast<char>(2 * name.size() + 2);
        out[at + 0x42] = kind;
        out[at + 0x43] = 1;  // black
        put32(out, at + 0x44, 0xFFFFFFFF);
        put32(out, at + 0x48, 0xFFFFFFFF);
        put32(out, at + 0x4C, child);
        put32(out, at + 0x74, start);
        put32(out, at + 0x78, size);
    };
    entry(0, u"Root Entry", 5, 1, kEndOfChain, 0);
    entry(1, u"Workbook", 2, 0xFFFFFFFF, static_cast<std::uint32_t>(fats + 1), static_cast<std::uint32_t>(stream.size()));
    for (std::size_t i = 2; i < kSector / 128; ++i) {  // unused entries
        put32(out, directory + 128 * i + 0x44, 0xFFFFFFFF);
        put32(out, directory + 128 * i + 0x48, 0xFFFFFFFF);
        put32(out, directory + 128 * i + 0x4C, 0xFFFFFFFF);
    }
    out.replace((2 + fats) * kSector, stream.size(), stream);
    return out;
}

}  // namespace

std::shared_ptr<Workbook> loadXlsFile(const std::string& path) {
    const void* handle = nullptr;
    // freexl 1.0.6 can report success without a workbook when reading its records failed.
    if (freexl_open(path.c_str(), &handle) != FREEXL_OK || !handle) {
        if (handle) freexl_close(handle);
        unreadable("not a readable .xls workbook");
    }
    struct Close {
        const void* h;
        ~Close() { freexl_close(h); }
    } close{handle};
    unsigned int sheets = 0;
    if (freexl_get_info(handle, FREEXL_BIFF_SHEET_COUNT, &sheets) != FREEXL_OK) unreadable("no sheets");
    auto book = std::make_shared<Workbook>();
    const std::uint32_t dateFormat = book->internFormat(CellFormat{"dd.mm.yyyy", HAlign::General});
    const std::uint32_t timeFormat = book->internFormat(CellFormat{"hh:mm:ss", HAlign::General});
    const std::uint32_t dateTimeFormat = book->internFormat(CellFormat{"dd.mm.yyyy hh:mm:ss", HAlign::General});
    for (unsigned short i = 0; i < sheets; ++i) {
        const char* name = nullptr;
        if (freexl_get_worksheet_name(handle, i, &name) != FREEXL_OK || freexl_select_active_worksheet(handle, i) != FREEXL_OK)
            unreadable("unreadable sheet");
        Sheet& sheet = book->addSheet(name ? name : "Лист" + std::to_string(i + 1));
        unsigned int rows = 0;
        unsigned short cols = 0;
        if (freexl_worksheet_dimensions(handle, &rows, &cols) != FREEXL_OK) unreadable("unreadable sheet size");
        rows = std::min<unsigned int>(rows, kMaxRows);
        cols = static_cast<unsigned short>(std::min<int>(cols, kMaxColumns));
        for (unsigned int r = 0; r < rows; ++r)
            for (unsigned short c = 0; c < cols; ++c) {
                FreeXL_CellValue v;
                if (freexl_get_cell_value(handle, r, c, &v) != FREEXL_OK || v.type == FREEXL_CELL_NULL) continue;
                Cell& cell = sheet.at(static_cast<std::int32_t>(r + 1), c + 1);
                int y, mo, d, h = 0, mi = 0, s = 0;
                switch (v.type) {
                    case FREEXL_CELL_INT: cell.kind = CellKind::Number, cell.number = v.value.int_value; break;
                    case FREEXL_CELL_DOUBLE: cell.kind = CellKind::Number, cell.number = v.value.double_value; break;
                    case FREEXL_CELL_TEXT:
                    case FREEXL_CELL_SST_TEXT:
                        cell.kind = CellKind::Text, cell.text = book->intern(v.value.text_value ? v.value.text_value : "");
                        break;
                    case FREEXL_CELL_DATE:
                    case FREEXL_CELL_DATETIME:
                        if (v.value.text_value && std::sscanf(v.value.text_value, "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) >= 3 &&
                            y >= 1900 && y <= 9999 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31) {
                            cell.kind = CellKind::Number;
                            cell.number = dateSerial(y, mo, d) + (h * 3600 + mi * 60 + s) / 86400.0;
                            cell.format = v.type == FREEXL_CELL_DATE ? dateFormat : dateTimeFormat;
                        }
                        break;
                    case FREEXL_CELL_TIME:
                        if (v.value.text_value && std::sscanf(v.value.text_value, "%d:%d:%d", &h, &mi, &s) == 3) {
                            cell.kind = CellKind::Number;
                            cell.number = (h * 3600 + mi * 60 + s) / 86400.0;
                            cell.format = timeFormat;
                        }
                        break;
                    default: break;
                }
            }
    }
    return book;
}

std::shared_ptr<Workbook> loadXlsBytes(std::string_view bytes) {
    const std::optional<std::string> workbook = CompoundFile(bytes).stream({u"Workbook", u"Book"});
    if (!workbook) unreadable("not a readable .xls workbook: no Workbook stream");
    const PrivateCopy copy(compoundFileOf(*workbook));
    return loadXlsFile(copy.path());
}

}  // namespace lumo::spreadsheet
