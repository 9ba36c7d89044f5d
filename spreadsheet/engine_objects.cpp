// The automation objects of the built-in engine below the application: the Workbooks
// collection, workbooks, worksheets and ranges, each with its member table.
#include "spreadsheet/engine_objects.h"

#include <algorithm>
#include <cmath>

#include "common/numtext.h"
#include "common/atomic_file.h"
#include "spreadsheet/cell_text.h"
#include "spreadsheet/workbook_files.h"

namespace lumo::spreadsheet::detail {

using automation::Error;
namespace code = automation::code;

// Members are found by name, case-insensitively; the caller compares the lengths first.
bool sameName(std::string_view name, std::string_view lower) {
    for (size_t i = 0; i < lower.size(); ++i) {
        char c = name[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != lower[i]) return false;
    }
    return true;
}

void unknownMember(std::string_view object, std::string_view member) {
    throw Error(code::UnknownName, std::string(object) + " has no member " + std::string(member));
}

void wrongKind(std::string_view object, std::string_view member, const char* kind) {
    throw Error(code::MemberNotFound, std::string(object) + "." + std::string(member) + " cannot be " + kind);
}

void refused(const std::string& what) { throw Error(code::ApplicationDefined, what); }

void checkArgCount(Args args, std::size_t min, std::size_t max, std::string_view member) {
    if (args.size() < min || args.size() > max)
        throw Error(code::BadParamCount, "wrong number of arguments for " + std::string(member));
}

void checkRunning(const Application& app) {
    if (app.quit()) throw Error(code::ServerUnavailable, "the spreadsheet application has quit");
}

void checkLive(const Workbook& book) {
    if (book.liveness == Workbook::Liveness::ApplicationGone)
        throw Error(code::ServerUnavailable, "the spreadsheet application has quit");
    if (book.liveness == Workbook::Liveness::Closed)
        throw Error(code::Disconnected, "the workbook of this object was closed");
}

std::int32_t toInt(const Handle& h) {
    switch (h.kind()) {
        case Handle::Kind::Integer: return h.integer();
        case Handle::Kind::Boolean: return h.boolean() ? -1 : 0;
        case Handle::Kind::Double: {
            double v = std::nearbyint(h.number());
            if (v >= -2147483648.0 && v <= 2147483647.0) return static_cast<std::int32_t>(v);
            break;
        }
        case Handle::Kind::String:
            if (auto v = parseDecimal(h.string()); v && std::fabs(*v) < 2147483647.0)
                return static_cast<std::int32_t>(std::nearbyint(*v));
            break;
        default: break;
    }
    throw Error(code::TypeMismatch, "an integer was expected");
}

double toDouble(const Handle& h) {
    switch (h.kind()) {
        case Handle::Kind::Integer:
        case Handle::Kind::Double: return h.number();
        case Handle::Kind::Boolean: return h.boolean() ? -1 : 0;
        case Handle::Kind::String:
            if (auto v = parseDecimal(h.string())) return *v;
            break;
        default: break;
    }
    throw Error(code::TypeMismatch, "a number was expected");
}

bool toBool(const Handle& h) {
    switch (h.kind()) {
        case Handle::Kind::Boolean: return h.boolean();
        case Handle::Kind::Integer:
        case Handle::Kind::Double: return h.number() != 0;
        case Handle::Kind::String: {
            const std::string& s = h.string();
            if (s == "True" || s == "TRUE" || s == "true" || s == "ИСТИНА") return true;
            if (s == "False" || s == "FALSE" || s == "false" || s == "ЛОЖЬ") return false;
            break;
        }
        default: break;
    }
    throw Error(code::TypeMismatch, "a boolean was expected");
}

std::string toText(const Handle& h) {
    if (h.isObject() || h.empty()) throw Error(code::TypeMismatch, "a string was expected");
    return h.text();
}

namespace {

// Sheet names: 1 to 31 characters, none of : \ / ? * [ ], not starting or ending with '.
void checkSheetName(const Workbook& book, const Sheet& self, const std::string& name) {
    size_t chars = 0;
    for (unsigned char c : name)
        if ((c & 0xC0) != 0x80) chars += c >= 0xF0 ? 2 : 1;  // UTF-16 units
    if (chars == 0 || chars > 31 || name.find_first_of(":\\/?*[]") != std::string::npos || name.front() == '\'' ||
        name.back() == '\'')
        refused("the sheet name is not allowed: " + name);
    auto fold = [](const std::string& s) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            if (c >= 'A' && c <= 'Z') {
                out += static_cast<char>(c + 32);
            } else if (c == 0xD0 && i + 1 < s.size()) {
                // Cyrillic capitals А-П (D0 90-9F) and Р-Я (D0 A0-AF), Ё (D0 81).
                unsigned char d = static_cast<unsigned char>(s[++i]);
                if (d >= 0x90 && d <= 0x9F) out += "\xD0", out += static_cast<char>(d + 0x20);
                else if (d >= 0xA0 && d <= 0xAF) out += "\xD1", out += static_cast<char>(d - 0x20);
                else if (d == 0x81) out += "\xD1\x91";
                else out += "\xD0", out += static_cast<char>(d);
            } else {
                out += static_cast<char>(c);
            }
        }
        return out;
    };
    std::string folded = fold(name);
    for (size_t i = 0; i < book.sheetCount(); ++i)
        if (&book.sheet(i) != &self && fold(book.sheet(i).name()) == folded)
            refused("a sheet of that name exists: " + name);
}

HAlign alignmentFrom(std::int32_t v) {
    switch (v) {
        case 1: return HAlign::General;
        case 2:
        case -4131: return HAlign::Left;
        case 3:
        case -4108: return HAlign::Center;
        case 4:
        case -4152: return HAlign::Right;
        case 5: return HAlign::Fill;
        case 6:
        case -4130: return HAlign::Justify;
        case 7: return HAlign::CenterAcrossSelection;
        case -4117: return HAlign::Distributed;
        default: break;
    }
    refused("unsupported horizontal alignment " + std::to_string(v));
}

// Cell formats change through these, so every cell keeps one shared format per look.
template <class Change>
std::uint32_t changedFormat(Workbook& book, std::uint32_t from, Change change) {
    CellFormat f = book.format(from);
    change(f);
    return book.internFormat(f);
}

void checkCell(std::int64_t row, std::int64_t col) {
    if (row < 1 || row > kMaxRows || col < 1 || col > kMaxColumns)
        refused("the cell is outside the sheet: " + std::to_string(row) + ", " + std::to_string(col));
}

// The address argument of Range(...).
Rect addressArg(const Handle& arg) {
    Rect r;
    if (!parseAddress(toText(arg), r)) refused("not a range address: " + arg.text());
    return r;
}

Handle rangeHandle(const std::shared_ptr<Workbook>& book, Sheet* sheet, Rect r,
                   RangeObject::Collection collection = RangeObject::Collection::Cells) {
    return objectHandle<RangeObject>(book, sheet, r, collection);
}

// The one cell at row, col of the sheet; refused outside it.
Handle cellHandle(const std::shared_ptr<Workbook>& book, Sheet* sheet, std::int64_t row, std::int64_t col) {
    checkCell(row, col);
    auto r = static_cast<std::int32_t>(row), c = static_cast<std::int32_t>(col);
    return rangeHandle(book, sheet, Rect{r, c, r, c});
}

}  // namespace

// --- Workbooks ---------------------------------------------------------------------------

std::span<const Member<WorkbooksObject>> WorkbooksObject::members() {
    using W = WorkbooksObject;
    static constexpr Member<W> table[] = {
        {.name = "add", .call = {&W::add, 0, 0}},
        {.name = "count", .get = {&W::count, 0, 0}},
        // Open's further arguments (links, read-only, format, passwords, ...) change nothing
        // here: the engine asks no questions and opens no protected file.
        {.name = "open", .call = {&W::open, 1, 8}},
    };
    return table;
}

void WorkbooksObject::add(Args) { app_->addWorkbook(); }

Handle WorkbooksObject::count(Args) { return Handle(static_cast<std::int32_t>(app_->workbooks().size())); }

void WorkbooksObject::open(Args args) {
    std::string path = toText(args[0]);
    app_->openWorkbook(path);
}

Handle workbookHandle(const std::shared_ptr<Application>& app, std::int32_t n) {
    if (n < 1 || static_cast<size_t>(n) > app->workbooks().size()) throw Error(code::BadIndex, "no such workbook");
    return objectHandle<WorkbookObject>(app, app->workbooks()[static_cast<size_t>(n - 1)]);
}

// --- Workbook ----------------------------------------------------------------------------

std::span<const Member<WorkbookObject>> WorkbookObject::members() {
    using W = WorkbookObject;
    static constexpr Member<W> table[] = {
        {.name = "worksheets", .get = {&W::worksheets, 1, 1}},
        {.name = "name", .get = {&W::name, 0, 0}},
        {.name = "fileformat", .get = {&W::fileFormat, 0, 0}},
        {.name = "readonly", .get = {&W::readOnly, 0, 0}},
        {.name = "save", .call = {&W::save, 0, 0}},
        {.name = "close", .call = {&W::close, 0, 1}},  // SaveChanges: never saved here
        {.name = "saveas", .call = {&W::saveAs, 1, 2}},
    };
    return table;
}

Handle WorkbookObject::worksheets(Args args) {
    size_t index = book_->sheetCount();
    if (args[0].kind() == Handle::Kind::String) {
        for (size_t i = 0; i < book_->sheetCount(); ++i)
            if (book_->sheet(i).name() == args[0].string()) index = i;
    } else {
        std::int32_t n = toInt(args[0]);
        if (n >= 1) index = static_cast<size_t>(n - 1);
    }
    if (index >= book_->sheetCount()) throw Error(code::BadIndex, "no such worksheet");
    return objectHandle<SheetObject>(book_, &book_->sheet(index));
}

Handle WorkbookObject::name(Args) {
    if (book_->path.empty()) return Handle("Книга" + std::to_string(app_->workbooks().size()));
    return Handle(pathToUtf8(pathFromUtf8(book_->path).filename()));
}

// The engine keeps and writes every workbook as Office Open XML (xlOpenXMLWorkbook), also one
// read from a legacy .xls.
Handle WorkbookObject::fileFormat(Args) { return Handle(std::int32_t{51}); }

// A file that a save could not replace (write-protected or in a folder that takes no file).
Handle WorkbookObject::readOnly(Args) {
    if (book_->path.empty()) return Handle(false);
    return Handle(!fileWritable(book_->path));
}

void WorkbookObject::save(Args) {
    if (book_->path.empty()) refused("the workbook has no file yet");
    saveWorkbook(*book_, book_->path);
}

void WorkbookObject::saveAs(Args args) {
    // The format asked for is checked, but every one is written as Office Open XML: the engine
    // writes no other (a name ending in .xls keeps its name, as before).
    if (args.size() > 1 && !args[1].empty()) {
        const std::int32_t format = toInt(args[1]);
        if (format != 51 && format != 52 && format != 56 && format != -4143)
            refused("the engine does not write file format " + std::to_string(format));
    }
    std::string path = savePathFor(toText(args[0]));
    saveWorkbook(*book_, path);
    book_->path = path;
    book_->notifyLayout();
}

void WorkbookObject::close(Args) { app_->closeWorkbook(book_); }

// --- Worksheet ---------------------------------------------------------------------------

std::span<const Member<SheetObject>> SheetObject::members() {
    using S = SheetObject;
    static constexpr Member<S> table[] = {
        {.name = "cells", .get = {&S::cells, 2, 2}},  // first: every cell write comes through it
        {.name = "range", .get = {&S::range, 1, 1}},
        {.name = "columns", .get = {&S::columns, 0, 0}},
        {.name = "rows", .get = {&S::rows, 0, 0}},
        {.name = "name", .put = {&S::setName}},
        {.name = "activate", .call = {&S::activate, 0, 0}},
    };
    return table;
}

Handle SheetObject::cells(Args args) {
    std::int32_t r = toInt(args[0]), c = toInt(args[1]);
    return cellHandle(book_, sheet_, r, c);
}

Handle SheetObject::range(Args args) { return rangeHandle(book_, sheet_, addressArg(args[0])); }

Handle SheetObject::columns(Args) {
    return rangeHandle(book_, sheet_, Rect{1, 1, kMaxRows, kMaxColumns}, RangeObject::Collection::Columns);
}

Handle SheetObject::rows(Args) {
    return rangeHandle(book_, sheet_, Rect{1, 1, kMaxRows, kMaxColumns}, RangeObject::Collection::Rows);
}

void SheetObject::setName(const Handle& value) {
    std::string name = toText(value);
    checkSheetName(*book_, *sheet_, name);
    sheet_->setName(std::move(name));
    book_->notifyLayout();
}

void SheetObject::activate(Args) {
    for (size_t i = 0; i < book_->sheetCount(); ++i)
        if (&book_->sheet(i) == sheet_) book_->activeSheet = i;
    book_->notifyLayout();
}

// --- Range -------------------------------------------------------------------------------

std::span<const Member<RangeObject>> RangeObject::members() {
    using R = RangeObject;
    static constexpr Member<R> table[] = {
        {.name = "value", .get = {&R::value, 0, 0}, .put = {&R::setValue}},  // first: every cell write
        {.name = "item", .get = {&R::item, 1, 2}},
        {.name = "range", .get = {&R::range, 1, 1}},
        {.name = "count", .get = {&R::count, 0, 0}},
        {.name = "numberformat", .put = {&R::setNumberFormat}},
        {.name = "horizontalalignment", .put = {&R::setHorizontalAlignment}},
        {.name = "columnwidth", .put = {&R::setColumnWidth}},
        {.name = "select", .call = {&R::select, 0, 1}},
        {.name = "merge", .call = {&R::merge, 0, 1}},
        {.name = "mergecells", .get = {&R::mergeCells, 0, 0}},
    };
    return table;
}

// Item(i) counts the cells of the range row by row, Item(row, column) is relative to its top
// left cell; Item(n) of the Columns collection is the n-th column.
Handle RangeObject::item(Args args) {
    std::int64_t i = toInt(args[0]);
    if (collection_ == Collection::Columns && args.size() == 1) {
        std::int64_t c = rect_.left + i - 1;
        checkCell(1, c);
        auto col = static_cast<std::int32_t>(c);
        return rangeHandle(book_, sheet_, Rect{1, col, kMaxRows, col});
    }
    std::int64_t row, col;
    if (args.size() == 2) {
        row = rect_.top + i - 1;
        col = rect_.left + std::int64_t(toInt(args[1])) - 1;
    } else {
        std::int64_t width = rect_.right - rect_.left + 1;
        if (i < 1) refused("item index out of range");
        row = rect_.top + (i - 1) / width;
        col = rect_.left + (i - 1) % width;
    }
    return cellHandle(book_, sheet_, row, col);
}

// The cells of a range; the columns or rows of a collection.
Handle RangeObject::count(Args) {
    const std::int64_t n = collection_ == Collection::Columns ? rect_.right - rect_.left + 1
                          : collection_ == Collection::Rows  ? rect_.bottom - rect_.top + 1
                                                              : rect_.area();
    if (n > 2147483647) return Handle(static_cast<double>(n));
    return Handle(static_cast<std::int32_t>(n));
}

// Range(address) relative to the range's top left cell.
Handle RangeObject::range(Args args) {
    Rect r = addressArg(args[0]);
    std::int64_t top = std::int64_t(r.top) + rect_.top - 1, left = std::int64_t(r.left) + rect_.left - 1;
    std::int64_t bottom = r.wholeColumns() ? kMaxRows : std::int64_t(r.bottom) + rect_.top - 1;
    std::int64_t right = r.wholeRows() ? kMaxColumns : std::int64_t(r.right) + rect_.left - 1;
    checkCell(top, left);
    checkCell(bottom, right);
    return rangeHandle(book_, sheet_, Rect{static_cast<std::int32_t>(top), static_cast<std::int32_t>(left),
                                           static_cast<std::int32_t>(bottom), static_cast<std::int32_t>(right)});
}

// One cell: the value of the top left cell, as the application shows it. Several cells: a
// table of their values as they are kept (numbers, texts, booleans, dates for numbers in a
// date or time format, nothing for empty cells), row by row, as the application gives it.
Handle RangeObject::value(Args) {
    if (rect_.area() == 1) {
        const Cell* cell = sheet_->find(rect_.top, rect_.left);
        return Handle(valueText(*book_, cell, book_->format(sheet_->effectiveFormat(rect_.top, rect_.left))));
    }
    if (rect_.area() > kMaxTableCells) throw Error(code::OutOfMemory, "too many cells for one read");
    automation::Array table(rect_.bottom - rect_.top + 1, rect_.right - rect_.left + 1);
    for (std::int32_t r = rect_.top; r <= rect_.bottom; ++r)
        for (std::int32_t c = rect_.left; c <= rect_.right; ++c) {
            const Cell* cell = sheet_->find(r, c);
            if (!cell) continue;
            Handle& out = table.at(r - rect_.top + 1, c - rect_.left + 1);
            switch (cell->kind) {
                case CellKind::Number:
                    if (isDateTimeFormat(book_->format(sheet_->effectiveFormat(r, c)).numberFormat))
                        out = Handle(automation::Date{book_->automationDate(cell->number)});
                    else
                        out = Handle(cell->number);
                    break;
                case CellKind::Text:
                case CellKind::Error: out = Handle(book_->string(cell->text)); break;
                case CellKind::Boolean: out = Handle(cell->boolean); break;
                case CellKind::Empty: break;
            }
        }
    return Handle(std::move(table));
}

// A scalar goes into every cell of the range; a table into the cells it covers, from the
// range's top left cell on.
void RangeObject::setValue(const Handle& value) {
    if (value.isObject()) throw Error(code::TypeMismatch, "an object cannot be a cell value");
    if (value.kind() == Handle::Kind::Array) {
        const automation::Array& table = value.array();
        for (std::int32_t i = 1; i <= table.rows(); ++i)
            for (std::int32_t j = 1; j <= table.columns(); ++j)
                if (table.at(i, j).isObject() || table.at(i, j).kind() == Handle::Kind::Array)
                    throw Error(code::TypeMismatch, "a table of values holds plain values only");
        const std::int32_t bottom = std::min<std::int64_t>(rect_.bottom, std::int64_t(rect_.top) + table.rows() - 1);
        const std::int32_t right = std::min<std::int64_t>(rect_.right, std::int64_t(rect_.left) + table.columns() - 1);
        forEachWritableCell([&](std::int32_t r, std::int32_t c) {
            if (r <= bottom && c <= right) putValue(r, c, table.at(r - rect_.top + 1, c - rect_.left + 1));
        });
    } else {
        forEachWritableCell([&](std::int32_t r, std::int32_t c) { putValue(r, c, value); });
    }
    book_->notifyRows(*sheet_, rect_.top, rect_.bottom);
}

void RangeObject::putValue(std::int32_t r, std::int32_t c, const Handle& value) {
    Workbook& book = *book_;
    Cell& cell = sheet_->at(r, c);
    switch (value.kind()) {
        case Handle::Kind::String:
            enterText(book, cell, value.string(), book.format(cell.format ? cell.format : sheet_->column(c).format));
            break;
        case Handle::Kind::Integer:
        case Handle::Kind::Double:
            cell.kind = CellKind::Number;
            cell.number = value.number();
            break;
        case Handle::Kind::Date: {
            // A date value in the workbook's own date system
            // (Workbook.Date1904, https://learn.microsoft.com/office/vba/api/excel.workbook.date1904).
            cell.kind = CellKind::Number;
            cell.number = book.storedDate(value.date().serial);
            // A date in a cell without a date or time format gets one, as the application
            // gives it: the time (no day part, midnight too), the date, or both.
            const CellFormat& shown = book.format(cell.format ? cell.format : sheet_->column(c).format);
            if (!isDateTimeFormat(shown.numberFormat)) {
                const double whole = std::floor(cell.number);
                const char* code = whole == 0 ? "hh:mm:ss" : cell.number == whole ? "dd.mm.yyyy" : "dd.mm.yyyy hh:mm";
                cell.format = changedFormat(book, cell.format ? cell.format : sheet_->column(c).format,
                                            [&](CellFormat& f) { f.numberFormat = code; });
            }
            break;
        }
        case Handle::Kind::Boolean:
            cell.kind = CellKind::Boolean;
            cell.boolean = value.boolean();
            break;
        default:
            cell.kind = CellKind::Empty;
            cell.number = 0;
            break;
    }
}

void RangeObject::setNumberFormat(const Handle& value) {
    std::string code = standardFormatCode(toText(value));
    restyle([&](CellFormat& f) { f.numberFormat = code; });
}

void RangeObject::setHorizontalAlignment(const Handle& value) {
    HAlign a = alignmentFrom(toInt(value));
    restyle([&](CellFormat& f) { f.align = a; });
}

void RangeObject::setColumnWidth(const Handle& value) {
    double w = toDouble(value);
    if (!(w >= 0 && w <= 255)) refused("column width out of range");
    for (std::int32_t c = rect_.left; c <= rect_.right; ++c) sheet_->columnForWrite(c).width = w;
    book_->notifyLayout();
}

void RangeObject::select(Args) {
    if (&book_->sheet(book_->activeSheet) != sheet_) refused("Select of a range on a sheet that is not active");
}

// True when every cell of the range is part of a merged range, false when none is, and Null
// (an empty value) when some are (Range.MergeCells,
// https://learn.microsoft.com/office/vba/api/excel.range.mergecells).
Handle RangeObject::mergeCells(Args) {
    std::int64_t merged = 0;
    sheet_->forEachMergeIn(rect_, [&](const Rect& m) {
        const Rect in{std::max(m.top, rect_.top), std::max(m.left, rect_.left), std::min(m.bottom, rect_.bottom),
                      std::min(m.right, rect_.right)};
        merged += in.area();
    });
    if (merged == 0) return Handle(false);
    if (merged == rect_.area()) return Handle(true);
    return Handle();
}

// The top-left value stays; the others go.
void RangeObject::merge(Args) {
    if (rect_.area() <= 1) return;
    for (const Row& row : sheet_->rows()) {
        if (row.index < rect_.top || row.index > rect_.bottom) continue;
        for (const Cell& stored : row.cells) {
            if (stored.column < rect_.left || stored.column > rect_.right) continue;
            if (row.index == rect_.top && stored.column == rect_.left) continue;
            Cell& cell = sheet_->edit(row, stored);
            cell.kind = CellKind::Empty;
            cell.number = 0;
        }
    }
    sheet_->merge(rect_);
    notifyStoredRows();
}

// Every cell of the range but the hidden parts of merged ranges.
template <class F>
void RangeObject::forEachWritableCell(F f) {
    if (rect_.area() > kMaxTableCells) throw Error(code::OutOfMemory, "too many cells for one write");
    for (std::int32_t r = rect_.top; r <= rect_.bottom; ++r)
        for (std::int32_t c = rect_.left; c <= rect_.right; ++c) {
            const Rect* m = sheet_->merges().empty() ? nullptr : sheet_->mergeAt(r, c);
            if (m && (m->top != r || m->left != c)) continue;
            f(r, c);
        }
}

// Changes the format of every cell of the range; whole columns change the column format
// and the cells stored in them.
template <class Change>
void RangeObject::restyle(Change change) {
    Workbook& book = *book_;
    if (rect_.wholeColumns()) {
        for (std::int32_t c = rect_.left; c <= rect_.right; ++c) {
            ColumnInfo& col = sheet_->columnForWrite(c);
            col.format = changedFormat(book, col.format, change);
        }
        restyleStored(change);
    } else if (rect_.wholeRows()) {
        restyleStored(change);
    } else {
        forEachWritableCell([&](std::int32_t r, std::int32_t c) {
            Cell& cell = sheet_->at(r, c);
            cell.format = changedFormat(book, cell.format ? cell.format : sheet_->column(c).format, change);
        });
    }
    notifyStoredRows();
}

template <class Change>
void RangeObject::restyleStored(Change change) {
    Workbook& book = *book_;
    std::uint32_t lastFrom = UINT32_MAX, lastTo = 0;
    for (const Row& row : sheet_->rows()) {
        if (row.index < rect_.top || row.index > rect_.bottom) continue;
        for (const Cell& stored : row.cells) {
            if (stored.column < rect_.left || stored.column > rect_.right || stored.format == 0) continue;
            Cell& cell = sheet_->edit(row, stored);
            if (cell.format != lastFrom) lastFrom = cell.format, lastTo = changedFormat(book, cell.format, change);
            cell.format = lastTo;
        }
    }
}

// Tells the viewer about the rows of the range that hold cells, and the layout.
void RangeObject::notifyStoredRows() const {
    book_->notifyRows(*sheet_, rect_.top, std::min(rect_.bottom, std::max(sheet_->lastRow(), rect_.top)));
    book_->notifyLayout();
}

}  // namespace lumo::spreadsheet::detail
