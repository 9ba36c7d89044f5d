// Loading legacy .xls through freexl: values only, dates and times as numbers with a date or
// time format.
#include "spreadsheet/workbook_load_other.h"

#include <fcntl.h>
#include <freexl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

}  // namespace

std::shared_ptr<Workbook> loadXlsFile(const std::string& path) {
    const void* handle = nullptr;
    if (freexl_open(path.c_str(), &handle) != FREEXL_OK) {
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
    const PrivateCopy copy(bytes);
    return loadXlsFile(copy.path());
}

}  // namespace lumo::spreadsheet
