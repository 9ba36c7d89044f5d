// Loading: the format is told by the file's content, never by its name. .xlsx/.xlsm are read
// by the engine itself (xlsx_reader.h); .ods and legacy .xls by the readers of
// workbook_load_other.h, which only some builds have.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <new>

#include "automation/automation.h"
#include "common/atomic_file.h"
#include "spreadsheet/workbook_files.h"
#include "spreadsheet/workbook_load_other.h"
#include "spreadsheet/xlsx_reader.h"
#include "spreadsheet/zip_archive.h"

namespace lumo::spreadsheet {

using automation::Error;
namespace code = automation::code;

namespace {

[[noreturn]] void cannotOpen(const std::string& why) { throw Error(code::ApplicationDefined, "cannot open: " + why); }

bool startsWith(std::string_view data, std::string_view magic) { return data.substr(0, magic.size()) == magic; }

// The first bytes of a zip package (.xlsx, .xlsm, .ods) and of a compound file (legacy .xls).
constexpr std::string_view ZipSignature = "PK\x03\x04";
constexpr std::string_view CompoundFileSignature = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";

// A compound file that holds an encrypted package: a workbook saved with a password to open
// it (its directory names the streams EncryptionInfo and EncryptedPackage). Directory entries
// are 128 bytes each, at 128-byte steps of their sectors: their UTF-16 names are looked for
// there, with the name's length and the kind of entry (a stream) that follow.
bool encryptedPackage(std::string_view cfb) {
    static constexpr char16_t kName[] = u"EncryptedPackage";
    constexpr std::size_t kNameBytes = sizeof kName;  // with its terminating zero
    for (std::size_t at = 512; at + 128 <= cfb.size(); at += 128) {
        if (static_cast<unsigned char>(cfb[at + 0x40]) != kNameBytes || cfb[at + 0x41] != 0 || cfb[at + 0x42] != 2) continue;
        bool same = true;
        for (std::size_t i = 0; i < kNameBytes / 2 && same; ++i)
            same = static_cast<unsigned char>(cfb[at + 2 * i]) == (kName[i] & 0xFF) && static_cast<unsigned char>(cfb[at + 2 * i + 1]) == (kName[i] >> 8);
        if (same) return true;
    }
    return false;
}

std::shared_ptr<Workbook> loadZip(std::shared_ptr<const std::string> bytes) {
    const ZipReader zip(*bytes);
    return isOpenDocumentSpreadsheet(zip) ? loadOds(zip) : readXlsx(zip, std::move(bytes));
}

std::shared_ptr<Workbook> loadChecked(std::shared_ptr<const std::string> bytes) {
    std::shared_ptr<Workbook> book;
    try {
        if (startsWith(*bytes, ZipSignature)) {
            book = loadZip(bytes);
        } else if (startsWith(*bytes, CompoundFileSignature)) {
            if (encryptedPackage(*bytes)) throw Error(code::PasswordProtected, "the workbook is encrypted with a password");
            book = loadXlsBytes(*bytes);
        } else {
            cannotOpen("not a workbook");
        }
    } catch (const Error&) {
        throw;
    } catch (const WorkbookTooLarge& e) {
        throw Error(code::OutOfMemory, std::string("the workbook is too large: ") + e.what());
    } catch (const std::bad_alloc&) {
        throw Error(code::OutOfMemory, "the workbook is too large: out of memory");
    } catch (const std::exception& e) {
        cannotOpen(e.what());
    }
    if (book->sheetCount() == 0) cannotOpen("the workbook has no sheets");
    return book;
}

}  // namespace

double charactersFromFileWidth(double fileWidth) {
    if (!(fileWidth > 0)) return 0;
    double pixels = std::floor((256 * fileWidth + std::floor(128.0 / 7)) / 256 * 7);
    double chars = pixels <= 12 ? pixels / 12 : (pixels - 5) / 7;
    return std::floor(chars * 100 + 0.5) / 100;
}

std::shared_ptr<Workbook> loadWorkbookBytes(std::string_view bytes) {
    return loadChecked(std::make_shared<const std::string>(bytes));
}

std::shared_ptr<Workbook> loadWorkbook(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path file = pathFromUtf8(path);
    const auto status = std::filesystem::status(file, ec);
    // A folder, a device or a pipe is not opened at all: reading a pipe would wait for a
    // writer that may never come.
    if (std::filesystem::is_directory(status)) throw Error(code::IsAFolder, "a folder, not a file: " + path);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        throw Error(code::NotAFile, "not a regular file: " + path);
    if (!std::filesystem::is_regular_file(status)) cannotOpen("no such file: " + path);
    const auto size = std::filesystem::file_size(file, ec);
    if (ec) cannotOpen("cannot read " + path);
    // A file beyond what the engine can hold is refused before any of it is read.
    if (size > kMaxWorkbookFileBytes)
        throw Error(code::FileTooLarge, "the file is too large to open: " + std::to_string(size) + " bytes");
    // Read through a stream, not mapped: a read that fails (a file cut short by another
    // program's save, a drive or share that went away) is a refusal here, where a mapping
    // would end the program. The signature comes first: a file that is no workbook is refused
    // having read 8 bytes of it.
    std::ifstream in(file, std::ios::binary);
    auto bytes = std::make_shared<std::string>(std::min<std::uintmax_t>(size, 8), '\0');
    if (!in || !in.read(bytes->data(), static_cast<std::streamsize>(bytes->size()))) cannotOpen("cannot read " + path);
    const size_t head = bytes->size();
    if ((startsWith(*bytes, ZipSignature) || startsWith(*bytes, CompoundFileSignature)) && size > head) {
        bytes->resize(static_cast<size_t>(size));
        const auto rest = static_cast<std::streamsize>(size - head);
        if (!in.read(bytes->data() + head, rest) || in.gcount() != rest) cannotOpen("cannot read " + path);
    }
    return loadChecked(std::move(bytes));
}

}  // namespace lumo::spreadsheet
