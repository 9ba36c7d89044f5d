// Saving: into a temporary file beside the target that is renamed over it once complete; a
// workbook read from a package is that package again with its changes (xlsx_patch.h), any
// other one Office Open XML written straight from the model (xlsx_writer.h).
#include <filesystem>

#include "common/atomic_file.h"
#include "automation/automation.h"
#include "spreadsheet/save_hook_testing.h"
#include "spreadsheet/workbook_files.h"
#include "spreadsheet/xlsx_patch.h"
#include "spreadsheet/xlsx_writer.h"
#include "spreadsheet/xlsx_zip.h"

namespace lumo::spreadsheet {

namespace fs = std::filesystem;
using automation::Error;
namespace code = automation::code;

namespace {

SaveHook& saveHook() {
    static SaveHook hook;
    return hook;
}

[[noreturn]] void saveFailed(const std::string& why) { throw Error(code::ApplicationDefined, "cannot save: " + why); }

// The kind of workbook a name asks for by its extension.
MainType mainTypeFor(const std::string& path) {
    std::string ext = pathToUtf8(pathFromUtf8(path).extension());
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (ext == ".xlsx") return MainType::Plain;
    if (ext == ".xlsm") return MainType::MacroEnabled;
    return MainType::AsSource;
}

}  // namespace

void setSaveHook(SaveHook hook) { saveHook() = std::move(hook); }

void saveWorkbook(const Workbook& book, const std::string& path) {
    try {
        replaceFile(pathFromUtf8(path), [&](const fs::path& tmp) {
            if (book.source) writePatchedXlsx(book, tmp, mainTypeFor(path));
            else writeXlsx(book, tmp);
            if (saveHook()) saveHook()(pathToUtf8(tmp));
        });
    } catch (const FileReplaceError& e) {
        saveFailed(e.what());
    } catch (const fs::filesystem_error& e) {
        saveFailed(e.what());
    } catch (const ZipWriteError& e) {
        saveFailed(e.what());
    } catch (const Error&) {
        throw;
    } catch (const std::runtime_error& e) {  // a part of the package that cannot be written again
        saveFailed(e.what());
    }
}

std::string savePathFor(std::string_view name) {
    size_t slash = name.find_last_of("/\\");
    std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::string(name) + ".xlsx";
    return std::string(name);
}

}  // namespace lumo::spreadsheet
