#include "spreadsheet/engine.h"

#include <algorithm>
#include <cmath>

#include "common/numtext.h"
#include "spreadsheet/cell_text.h"
#include "spreadsheet/workbook_files.h"

namespace lumo::spreadsheet {

using automation::Error;
using automation::Handle;
namespace code = automation::code;

namespace {

ViewerFactory& viewerFactory() {
    static ViewerFactory f;
    return f;
}

enum class Member {
    Unknown,
    SheetsInNewWorkbook, WorkBooks, DisplayAlerts, Visible, Quit,  // application
    Add, Open,                                                      // workbooks
    WorkSheets, Save, Close, SaveAs,                                // workbook
    Name, Activate, Columns, Range, Cells,                          // sheet
    Item, ColumnWidth, HorizontalAlignment, Select, Merge, Value, NumberFormat,  // range
};

// Members are found by name, case-insensitively; by length first, as this runs on every call.
bool sameName(std::string_view name, std::string_view lower) {
    for (size_t i = 0; i < lower.size(); ++i) {
        char c = name[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != lower[i]) return false;
    }
    return true;
}

Member memberId(std::string_view name) {
    struct Entry {
        std::string_view lower;
        Member id;
    };
    static const Entry table[] = {
        {"sheetsinnewworkbook", Member::SheetsInNewWorkbook}, {"workbooks", Member::WorkBooks},
        {"displayalerts", Member::DisplayAlerts}, {"visible", Member::Visible}, {"quit", Member::Quit},
        {"add", Member::Add}, {"open", Member::Open}, {"worksheets", Member::WorkSheets}, {"save", Member::Save},
        {"close", Member::Close}, {"saveas", Member::SaveAs}, {"name", Member::Name}, {"activate", Member::Activate},
        {"columns", Member::Columns}, {"range", Member::Range}, {"cells", Member::Cells}, {"item", Member::Item},
        {"columnwidth", Member::ColumnWidth}, {"horizontalalignment", Member::HorizontalAlignment},
        {"select", Member::Select}, {"merge", Member::Merge}, {"value", Member::Value},
        {"numberformat", Member::NumberFormat},
    };
    // The two members of every cell write come first.
    if (name.size() == 5 && sameName(name, "cells")) return Member::Cells;
    if (name.size() == 5 && sameName(name, "value")) return Member::Value;
    for (const Entry& e : table)
        if (e.lower.size() == name.size() && sameName(name, e.lower)) return e.id;
    return Member::Unknown;
}

[[noreturn]] void unknownMember(std::string_view object, std::string_view member) {
    throw Error(code::UnknownName, std::string(object) + " has no member " + std::string(member));
}

[[noreturn]] void wrongKind(std::string_view object, std::string_view member, const char* kind) {
    throw Error(code::MemberNotFound, std::string(object) + "." + std::string(member) + " cannot be " + kind);
}

[[noreturn]] void refused(const std::string& what) { throw Error(code::ApplicationDefined, what); }

void argCount(std::span<const Handle> args, size_t min, size_t max, std::string_view member) {
    if (args.size() < min || args.size() > max)
        throw Error(code::BadParamCount, "wrong number of arguments for " + std::string(member));
}

// Values are taken the way automation coerces them.
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

void checkLive(const Workbook& book) {
    if (book.liveness == Workbook::Liveness::ApplicationGone)
        throw Error(code::ServerUnavailable, "the spreadsheet application has quit");
    if (book.liveness == Workbook::Liveness::Closed)
        throw Error(code::Disconnected, "the workbook of this object was closed");
}

// Cell formats change through these, so every cell keeps one shared format per look.
template <class Change>
std::uint32_t changedFormat(Workbook& book, std::uint32_t from, Change change) {
    CellFormat f = book.format(from);
    change(f);
    return book.internFormat(f);
}

class RangeObject;

Handle rangeHandle(const std::shared_ptr<Workbook>& book, Sheet* sheet, Rect r, bool columns = false);

void checkCell(std::int64_t row, std::int64_t col) {
    if (row < 1 || row > kMaxRows || col < 1 || col > kMaxColumns)
        refused("the cell is outside the sheet: " + std::to_string(row) + ", " + std::to_string(col));
}

class RangeObject final : public automation::Object {
public:
    RangeObject(std::shared_ptr<Workbook> book, Sheet* sheet, Rect r, bool columns)
        : book_(std::move(book)), sheet_(sheet), rect_(r), columns_(columns) {}

    Sheet& sheet() const { return *sheet_; }

    Handle get(std::string_view member, std::span<const Handle> args) override {
        checkLive(*book_);
        switch (memberId(member)) {
            case Member::Item: return item(args, member);
            case Member::Range: {
                argCount(args, 1, 1, member);
                Rect r;
                if (!parseAddress(toText(args[0]), r)) refused("not a range address: " + args[0].text());
                return relative(r);
            }
            case Member::Value: {
                argCount(args, 0, 0, member);
                const Cell* cell = sheet_->find(rect_.top, rect_.left);
                return Handle(valueText(*book_, cell, book_->format(sheet_->effectiveFormat(rect_.top, rect_.left))));
            }
            case Member::ColumnWidth:
            case Member::HorizontalAlignment:
            case Member::NumberFormat:
            case Member::Select:
            case Member::Merge: wrongKind("Range", member, "read");
            default: unknownMember("Range", member);
        }
    }

    void put(std::string_view member, const Handle& value) override {
        checkLive(*book_);
        switch (memberId(member)) {
            case Member::Value: writeValue(value); return;
            case Member::NumberFormat: {
                std::string code = standardFormatCode(toText(value));
                restyle([&](CellFormat& f) { f.numberFormat = code; });
                return;
            }
            case Member::HorizontalAlignment: {
                HAlign a = alignmentFrom(toInt(value));
                restyle([&](CellFormat& f) { f.align = a; });
                return;
            }
            case Member::ColumnWidth: {
                double w = toDouble(value);
                if (!(w >= 0 && w <= 255)) refused("column width out of range");
                for (std::int32_t c = rect_.left; c <= rect_.right; ++c) sheet_->columnForWrite(c).width = w;
                book_->notifyLayout();
                return;
            }
            case Member::Item:
            case Member::Range:
            case Member::Select:
            case Member::Merge: wrongKind("Range", member, "written");
            default: unknownMember("Range", member);
        }
    }

    void call(std::string_view member, std::span<const Handle> args) override {
        checkLive(*book_);
        switch (memberId(member)) {
            case Member::Select: {
                argCount(args, 0, 1, member);
                if (&book_->sheet(book_->activeSheet) != sheet_) refused("Select of a range on a sheet that is not active");
                return;
            }
            case Member::Merge:
                argCount(args, 0, 1, member);
                merge();
                return;
            case Member::Value:
            case Member::NumberFormat:
            case Member::HorizontalAlignment:
            case Member::ColumnWidth:
            case Member::Item:
            case Member::Range: wrongKind("Range", member, "called");
            default: unknownMember("Range", member);
        }
    }

private:
    Handle relative(const Rect& r) const {
        std::int64_t top = std::int64_t(r.top) + rect_.top - 1, left = std::int64_t(r.left) + rect_.left - 1;
        std::int64_t bottom = r.wholeColumns() ? kMaxRows : std::int64_t(r.bottom) + rect_.top - 1;
        std::int64_t right = r.wholeRows() ? kMaxColumns : std::int64_t(r.right) + rect_.left - 1;
        checkCell(top, left);
        checkCell(bottom, right);
        return rangeHandle(book_, sheet_, Rect{static_cast<std::int32_t>(top), static_cast<std::int32_t>(left),
                                               static_cast<std::int32_t>(bottom), static_cast<std::int32_t>(right)});
    }

    Handle item(std::span<const Handle> args, std::string_view member) const {
        argCount(args, 1, 2, member);
        std::int64_t i = toInt(args[0]);
        if (columns_ && args.size() == 1) {
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
        checkCell(row, col);
        auto r = static_cast<std::int32_t>(row), c = static_cast<std::int32_t>(col);
        return rangeHandle(book_, sheet_, Rect{r, c, r, c});
    }

    // Every cell of the range but the hidden parts of merged ranges.
    template <class F>
    void forEachWritableCell(F f) {
        if (rect_.area() > (std::int64_t(1) << 22)) throw Error(code::OutOfMemory, "too many cells for one write");
        for (std::int32_t r = rect_.top; r <= rect_.bottom; ++r)
            for (std::int32_t c = rect_.left; c <= rect_.right; ++c) {
                const Rect* m = sheet_->merges().empty() ? nullptr : sheet_->mergeAt(r, c);
                if (m && (m->top != r || m->left != c)) continue;
                f(r, c);
            }
    }

    void writeValue(const Handle& value) {
        if (value.isObject()) throw Error(code::TypeMismatch, "an object cannot be a cell value");
        Workbook& book = *book_;
        forEachWritableCell([&](std::int32_t r, std::int32_t c) {
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
                case Handle::Kind::Boolean:
                    cell.kind = CellKind::Boolean;
                    cell.boolean = value.boolean();
                    break;
                default:
                    cell.kind = CellKind::Empty;
                    cell.number = 0;
                    break;
            }
        });
        book.notifyRows(*sheet_, rect_.top, rect_.bottom);
    }

    // Changes the format of every cell of the range; whole columns change the column format
    // and the cells stored in them.
    template <class Change>
    void restyle(Change change) {
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
        book.notifyRows(*sheet_, rect_.top, std::min(rect_.bottom, std::max(sheet_->lastRow(), rect_.top)));
        book.notifyLayout();
    }

    template <class Change>
    void restyleStored(Change change) {
        Workbook& book = *book_;
        std::uint32_t lastFrom = UINT32_MAX, lastTo = 0;
        for (const Row& row : sheet_->rows()) {
            if (row.index < rect_.top || row.index > rect_.bottom) continue;
            for (const Cell& stored : row.cells) {
                if (stored.column < rect_.left || stored.column > rect_.right || stored.format == 0) continue;
                Cell& cell = const_cast<Cell&>(stored);
                if (cell.format != lastFrom) lastFrom = cell.format, lastTo = changedFormat(book, cell.format, change);
                cell.format = lastTo;
            }
        }
    }

    void merge() {
        if (rect_.area() <= 1) return;
        // The top-left value stays; the others go.
        for (const Row& row : sheet_->rows()) {
            if (row.index < rect_.top || row.index > rect_.bottom) continue;
            for (const Cell& stored : row.cells) {
                if (stored.column < rect_.left || stored.column > rect_.right) continue;
                if (row.index == rect_.top && stored.column == rect_.left) continue;
                Cell& cell = const_cast<Cell&>(stored);
                cell.kind = CellKind::Empty;
                cell.number = 0;
            }
        }
        sheet_->merge(rect_);
        book_->notifyRows(*sheet_, rect_.top, std::min(rect_.bottom, std::max(sheet_->lastRow(), rect_.top)));
        book_->notifyLayout();
    }

    std::shared_ptr<Workbook> book_;
    Sheet* sheet_;
    Rect rect_;
    bool columns_;  // the sheet's Columns collection: Item(n) is the n-th column
};

Handle rangeHandle(const std::shared_ptr<Workbook>& book, Sheet* sheet, Rect r, bool columns) {
    return Handle(std::shared_ptr<automation::Object>(std::make_shared<RangeObject>(book, sheet, r, columns)));
}

class SheetObject final : public automation::Object {
public:
    SheetObject(std::shared_ptr<Workbook> book, Sheet* sheet) : book_(std::move(book)), sheet_(sheet) {}
    Sheet& sheet() const { return *sheet_; }

    Handle get(std::string_view member, std::span<const Handle> args) override {
        checkLive(*book_);
        switch (memberId(member)) {
            case Member::Cells: {
                argCount(args, 2, 2, member);
                std::int32_t r = toInt(args[0]), c = toInt(args[1]);
                checkCell(r, c);
                return rangeHandle(book_, sheet_, Rect{r, c, r, c});
            }
            case Member::Range: {
                argCount(args, 1, 1, member);
                Rect r;
                if (!parseAddress(toText(args[0]), r)) refused("not a range address: " + args[0].text());
                return rangeHandle(book_, sheet_, r);
            }
            case Member::Columns:
                argCount(args, 0, 0, member);
                return rangeHandle(book_, sheet_, Rect{1, 1, kMaxRows, kMaxColumns}, true);
            case Member::Name:
            case Member::Activate: wrongKind("Worksheet", member, "read");
            default: unknownMember("Worksheet", member);
        }
    }

    void put(std::string_view member, const Handle& value) override {
        checkLive(*book_);
        switch (memberId(member)) {
            case Member::Name: {
                std::string name = toText(value);
                checkSheetName(*book_, *sheet_, name);
                sheet_->setName(std::move(name));
                book_->notifyLayout();
                return;
            }
            case Member::Cells:
            case Member::Range:
            case Member::Columns:
            case Member::Activate: wrongKind("Worksheet", member, "written");
            default: unknownMember("Worksheet", member);
        }
    }

    void call(std::string_view member, std::span<const Handle> args) override {
        checkLive(*book_);
        switch (memberId(member)) {
            case Member::Activate:
                argCount(args, 0, 0, member);
                for (size_t i = 0; i < book_->sheetCount(); ++i)
                    if (&book_->sheet(i) == sheet_) book_->activeSheet = i;
                book_->notifyLayout();
                return;
            case Member::Cells:
            case Member::Range:
            case Member::Columns:
            case Member::Name: wrongKind("Worksheet", member, "called");
            default: unknownMember("Worksheet", member);
        }
    }

private:
    std::shared_ptr<Workbook> book_;
    Sheet* sheet_;
};

class WorkbookObject final : public automation::Object {
public:
    WorkbookObject(std::shared_ptr<Application> app, std::shared_ptr<Workbook> book)
        : app_(std::move(app)), book_(std::move(book)) {}
    const std::shared_ptr<Workbook>& book() const { return book_; }

    Handle get(std::string_view member, std::span<const Handle> args) override {
        checkLive(*book_);
        switch (memberId(member)) {
            case Member::WorkSheets: {
                argCount(args, 1, 1, member);
                size_t index = book_->sheetCount();
                if (args[0].kind() == Handle::Kind::String) {
                    for (size_t i = 0; i < book_->sheetCount(); ++i)
                        if (book_->sheet(i).name() == args[0].string()) index = i;
                } else {
                    std::int32_t n = toInt(args[0]);
                    if (n >= 1) index = static_cast<size_t>(n - 1);
                }
                if (index >= book_->sheetCount()) throw Error(code::BadIndex, "no such worksheet");
                return Handle(std::shared_ptr<automation::Object>(std::make_shared<SheetObject>(book_, &book_->sheet(index))));
            }
            case Member::Save:
            case Member::Close:
            case Member::SaveAs: wrongKind("Workbook", member, "read");
            default: unknownMember("Workbook", member);
        }
    }

    void put(std::string_view member, const Handle&) override {
        checkLive(*book_);
        switch (memberId(member)) {
            case Member::WorkSheets:
            case Member::Save:
            case Member::Close:
            case Member::SaveAs: wrongKind("Workbook", member, "written");
            default: unknownMember("Workbook", member);
        }
    }

    void call(std::string_view member, std::span<const Handle> args) override {
        checkLive(*book_);
        switch (memberId(member)) {
            case Member::Save:
                argCount(args, 0, 0, member);
                if (book_->path.empty()) refused("the workbook has no file yet");
                saveWorkbook(*book_, book_->path);
                return;
            case Member::SaveAs: {
                argCount(args, 1, 1, member);
                std::string path = savePathFor(toText(args[0]));
                saveWorkbook(*book_, path);
                book_->path = path;
                book_->notifyLayout();
                return;
            }
            case Member::Close:
                argCount(args, 0, 0, member);
                app_->closeWorkbook(book_);
                return;
            case Member::WorkSheets: wrongKind("Workbook", member, "called");
            default: unknownMember("Workbook", member);
        }
    }

private:
    std::shared_ptr<Application> app_;
    std::shared_ptr<Workbook> book_;
};

void checkRunning(const Application& app) {
    if (app.quit()) throw Error(code::ServerUnavailable, "the spreadsheet application has quit");
}

Handle workbookHandle(const std::shared_ptr<Application>& app, std::int32_t n) {
    if (n < 1 || static_cast<size_t>(n) > app->workbooks().size()) throw Error(code::BadIndex, "no such workbook");
    return Handle(std::shared_ptr<automation::Object>(
        std::make_shared<WorkbookObject>(app, app->workbooks()[static_cast<size_t>(n - 1)])));
}

class WorkbooksObject final : public automation::Object {
public:
    explicit WorkbooksObject(std::shared_ptr<Application> app) : app_(std::move(app)) {}

    Handle get(std::string_view member, std::span<const Handle>) override {
        checkRunning(*app_);
        switch (memberId(member)) {
            case Member::Add:
            case Member::Open: wrongKind("Workbooks", member, "read");
            default: unknownMember("Workbooks", member);
        }
    }
    void put(std::string_view member, const Handle&) override {
        checkRunning(*app_);
        switch (memberId(member)) {
            case Member::Add:
            case Member::Open: wrongKind("Workbooks", member, "written");
            default: unknownMember("Workbooks", member);
        }
    }
    void call(std::string_view member, std::span<const Handle> args) override {
        checkRunning(*app_);
        switch (memberId(member)) {
            case Member::Add:
                argCount(args, 0, 0, member);
                app_->addWorkbook();
                return;
            case Member::Open: {
                argCount(args, 1, 4, member);
                std::string path = toText(args[0]);
                app_->openWorkbook(path);
                return;
            }
            default: unknownMember("Workbooks", member);
        }
    }

private:
    std::shared_ptr<Application> app_;
};

class ApplicationObject final : public automation::Object {
public:
    ApplicationObject() : app_(std::make_shared<Application>()) {}
    ~ApplicationObject() override = default;
    Application& app() const { return *app_; }

    Handle get(std::string_view member, std::span<const Handle> args) override {
        checkRunning(*app_);
        switch (memberId(member)) {
            case Member::WorkBooks:
                argCount(args, 0, 1, member);
                if (args.empty()) return Handle(std::shared_ptr<automation::Object>(std::make_shared<WorkbooksObject>(app_)));
                return workbookHandle(app_, toInt(args[0]));
            case Member::SheetsInNewWorkbook:
            case Member::DisplayAlerts:
            case Member::Visible:
            case Member::Quit: wrongKind("Application", member, "read");
            default: unknownMember("Application", member);
        }
    }

    void put(std::string_view member, const Handle& value) override {
        checkRunning(*app_);
        switch (memberId(member)) {
            case Member::SheetsInNewWorkbook: {
                std::int32_t n = toInt(value);
                if (n < 1 || n > 255) refused("SheetsInNewWorkbook takes 1 to 255");
                app_->setSheetsInNewWorkbook(n);
                return;
            }
            case Member::DisplayAlerts: app_->setDisplayAlerts(toBool(value)); return;
            case Member::Visible: app_->setVisible(toBool(value)); return;
            case Member::WorkBooks:
            case Member::Quit: wrongKind("Application", member, "written");
            default: unknownMember("Application", member);
        }
    }

    void call(std::string_view member, std::span<const Handle> args) override {
        checkRunning(*app_);
        switch (memberId(member)) {
            case Member::Quit:
                argCount(args, 0, 0, member);
                app_->doQuit();
                return;
            case Member::WorkBooks:
            case Member::SheetsInNewWorkbook:
            case Member::DisplayAlerts:
            case Member::Visible: wrongKind("Application", member, "called");
            default: unknownMember("Application", member);
        }
    }

private:
    std::shared_ptr<Application> app_;
};

}  // namespace

void setViewerFactory(ViewerFactory factory) { viewerFactory() = std::move(factory); }

Application::~Application() {
    for (auto& book : workbooks_) book->observer = nullptr;
}

std::shared_ptr<Workbook> Application::addWorkbook() {
    auto book = std::make_shared<Workbook>();
    for (std::int32_t i = 1; i <= sheetsInNewWorkbook_; ++i) book->addSheet("Лист" + std::to_string(i));
    book->observer = viewer_.get();
    workbooks_.push_back(book);
    notifyLayout();
    return book;
}

std::shared_ptr<Workbook> Application::openWorkbook(const std::string& path) {
    for (auto& open : workbooks_)
        if (open->path == path) return open;
    auto book = loadWorkbook(path);
    book->path = path;
    book->observer = viewer_.get();
    workbooks_.push_back(book);
    notifyLayout();
    return book;
}

void Application::closeWorkbook(const std::shared_ptr<Workbook>& book) {
    book->liveness = Workbook::Liveness::Closed;
    book->observer = nullptr;
    std::erase(workbooks_, book);
    notifyLayout();
}

void Application::setVisible(bool v) {
    visible_ = v;
    if (v && !viewer_ && viewerFactory()) {
        viewer_ = viewerFactory()(*this);
        for (auto& book : workbooks_) book->observer = viewer_.get();
    }
    if (viewer_) viewer_->setVisible(v);
}

void Application::doQuit() {
    for (auto& book : workbooks_) {
        book->liveness = Workbook::Liveness::ApplicationGone;
        book->observer = nullptr;
    }
    workbooks_.clear();
    visible_ = false;
    viewer_.reset();
    quit_ = true;
}

Handle createApplication() {
    return Handle(std::shared_ptr<automation::Object>(std::make_shared<ApplicationObject>()));
}

void registerBuiltInEngine() { automation::registerFactory(automation::kSpreadsheetProgId, createApplication); }

Application* applicationOf(const Handle& h) {
    auto* o = dynamic_cast<ApplicationObject*>(h.objectPtr().get());
    return o ? &o->app() : nullptr;
}

Workbook* workbookOf(const Handle& h) {
    auto* o = dynamic_cast<WorkbookObject*>(h.objectPtr().get());
    return o ? o->book().get() : nullptr;
}

Sheet* sheetOf(const Handle& h) {
    if (auto* s = dynamic_cast<SheetObject*>(h.objectPtr().get())) return &s->sheet();
    if (auto* r = dynamic_cast<RangeObject*>(h.objectPtr().get())) return &r->sheet();
    return nullptr;
}

}  // namespace lumo::spreadsheet
