// Loading legacy .xls through freexl: values only, dates and times as numbers with a date or
// time format.
#include "spreadsheet/workbook_load_xls.h"

#include <freexl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <random>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#endif

#include "spreadsheet/cell_text.h"

namespace lumo::spreadsheet {

namespace {

[[noreturn]] void unreadable(const std::string& why) { throw std::runtime_error(why); }

// A copy of bytes in a file that only this process made and that is removed with the object.
// freexl reads it by a narrow path.
class PrivateCopy {
public:
    explicit PrivateCopy(std::string_view bytes);
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;
    const std::string& path() const { return narrowPath_; }

private:
    [[noreturn]] static void fail(const char* what, int error) {
        throw std::system_error(error, std::generic_category(), std::string("temporary copy of the .xls: ") + what);
    }
#ifdef _WIN32
    // The file, deleted at the end.
    struct File {
        std::wstring path;
        ~File() {
            if (!path.empty()) ::DeleteFileW(path.c_str());
        }
    } file_;
#else
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
#endif
    std::string narrowPath_;
};

#ifdef _WIN32
// A new file of a random 64-bit name in the user's temp folder, made only when no file has
// that name (CREATE_NEW), written and closed with every step checked.
PrivateCopy::PrivateCopy(std::string_view bytes) {
    wchar_t folder[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) fail("no temp folder", EIO);
    std::random_device random;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; h == INVALID_HANDLE_VALUE; ++attempt) {
        std::uint64_t r = (std::uint64_t(random()) << 32) ^ random();
        wchar_t name[40];
        std::swprintf(name, 40, L"lumo-xls-%016llx.xls", static_cast<unsigned long long>(r));
        std::wstring path = std::wstring(folder, length) + name;
        h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (h != INVALID_HANDLE_VALUE) file_.path = std::move(path);
        else if (::GetLastError() != ERROR_FILE_EXISTS || attempt == 16) fail("cannot create", EIO);
    }
    for (std::size_t done = 0; done < bytes.size();) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30)), written = 0;
        if (!::WriteFile(h, bytes.data() + done, chunk, &written, nullptr) || written != chunk) {
            ::CloseHandle(h);
            fail("cannot write", EIO);
        }
        done += chunk;
    }
    if (!::CloseHandle(h)) fail("cannot write", EIO);
    // freexl opens it with fopen, in the ANSI code page: the short name keeps a user folder
    // with other letters within it.
    wchar_t shortPath[MAX_PATH + 1];
    DWORD shortLength = ::GetShortPathNameW(file_.path.c_str(), shortPath, MAX_PATH + 1);
    if (shortLength == 0 || shortLength > MAX_PATH) fail("no short name", EIO);
    BOOL lossy = FALSE;
    int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, shortPath, static_cast<int>(shortLength), nullptr, 0,
                                     nullptr, &lossy);
    if (size <= 0 || lossy) fail("no path in the ANSI code page", EIO);
    narrowPath_.resize(static_cast<std::size_t>(size));
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, shortPath, static_cast<int>(shortLength), narrowPath_.data(), size,
                          nullptr, nullptr);
}
#else
// A new folder of mode 0700 (mkdtemp) under the temp folder (TMPDIR), and in it a new file of
// mode 0600 that is not reached through a link, written and closed with every step checked.
PrivateCopy::PrivateCopy(std::string_view bytes) {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumo-xls-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) fail("cannot make a folder", errno);
    folder_.path = pattern;
    std::string path = pattern + "/book.xls";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) fail("cannot create", errno);
    file_.path = path;
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
    narrowPath_ = std::move(path);
}
#endif

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
