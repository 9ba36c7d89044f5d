#pragma once
// The built-in engine's automation objects (private to spreadsheet/engine*.cpp). Each kind of
// object answers its members from one table that maps a member's name (matched
// case-insensitively) to its read, write and call handlers with the argument counts they take;
// TableObject::get/put/call look the name up and refuse the rest in one place:
//   - a dead object (its workbook closed, the application quit) before anything else;
//   - a name not in the table: code::UnknownName;
//   - a name in the table without a handler of that call kind: code::MemberNotFound;
//   - too few or too many arguments: code::BadParamCount.
// The handlers raise the other codes (type mismatch, bad index, values the application refuses).

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "automation/automation.h"
#include "spreadsheet/engine.h"
#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet::detail {

using automation::Handle;
using Args = std::span<const Handle>;

// The refusals of the dispatch and of the handlers.
[[noreturn]] void unknownMember(std::string_view object, std::string_view member);
[[noreturn]] void wrongKind(std::string_view object, std::string_view member, const char* kind);
[[noreturn]] void refused(const std::string& what);
void checkArgCount(Args args, std::size_t min, std::size_t max, std::string_view member);
void checkRunning(const Application& app);
void checkLive(const Workbook& book);

// Values taken the way automation coerces them; code::TypeMismatch otherwise.
std::int32_t toInt(const Handle& h);
double toDouble(const Handle& h);
bool toBool(const Handle& h);
std::string toText(const Handle& h);

// `name` equals `lower` (a member name in lower case) but for the case of ASCII letters.
bool sameName(std::string_view name, std::string_view lower);

// A handle of a new object of type T.
template <class T, class... A>
Handle objectHandle(A&&... args) {
    return Handle(std::shared_ptr<automation::Object>(std::make_shared<T>(std::forward<A>(args)...)));
}

// One row of an object's member table: a null handler means the member cannot be used so.
template <class Self>
struct Member {
    struct Get {
        Handle (Self::*handler)(Args) = nullptr;
        std::size_t minArgs = 0, maxArgs = 0;
    };
    struct Put {
        void (Self::*handler)(const Handle&) = nullptr;
    };
    struct Call {
        void (Self::*handler)(Args) = nullptr;
        std::size_t minArgs = 0, maxArgs = 0;
    };
    std::string_view name;  // in lower case
    Get get{};
    Put put{};
    Call call{};
};

// The dispatch of every object kind. Self gives its name for messages (kName), its table
// (members()) and checkAlive(), which raises for a dead object.
template <class Self>
class TableObject : public automation::Object {
public:
    Handle get(std::string_view name, Args args) final {
        Self& self = static_cast<Self&>(*this);
        const typename Member<Self>::Get& read = find(self, name).get;
        if (!read.handler) wrongKind(Self::kName, name, "read");
        checkArgCount(args, read.minArgs, read.maxArgs, name);
        return (self.*read.handler)(args);
    }
    void put(std::string_view name, const Handle& value) final {
        Self& self = static_cast<Self&>(*this);
        const typename Member<Self>::Put& write = find(self, name).put;
        if (!write.handler) wrongKind(Self::kName, name, "written");
        (self.*write.handler)(value);
    }
    void call(std::string_view name, Args args) final {
        Self& self = static_cast<Self&>(*this);
        const typename Member<Self>::Call& method = find(self, name).call;
        if (!method.handler) wrongKind(Self::kName, name, "called");
        checkArgCount(args, method.minArgs, method.maxArgs, name);
        (self.*method.handler)(args);
    }

private:
    static const Member<Self>& find(const Self& self, std::string_view name) {
        self.checkAlive();
        for (const Member<Self>& m : Self::members())
            if (m.name.size() == name.size() && sameName(name, m.name)) return m;
        unknownMember(Self::kName, name);
    }
};

// The Workbooks collection: Add, Count and Open.
class WorkbooksObject final : public TableObject<WorkbooksObject> {
public:
    static constexpr std::string_view kName = "Workbooks";
    static std::span<const Member<WorkbooksObject>> members();
    explicit WorkbooksObject(std::shared_ptr<Application> app) : app_(std::move(app)) {}
    void checkAlive() const { checkRunning(*app_); }

private:
    void add(Args args);
    Handle count(Args args);
    void open(Args args);

    std::shared_ptr<Application> app_;
};

// A workbook: Worksheets(i), Name, FileFormat, ReadOnly, Save, SaveAs, Close.
class WorkbookObject final : public TableObject<WorkbookObject> {
public:
    static constexpr std::string_view kName = "Workbook";
    static std::span<const Member<WorkbookObject>> members();
    WorkbookObject(std::shared_ptr<Application> app, std::shared_ptr<Workbook> book)
        : app_(std::move(app)), book_(std::move(book)) {}
    void checkAlive() const { checkLive(*book_); }
    const std::shared_ptr<Workbook>& book() const { return book_; }

private:
    Handle worksheets(Args args);
    Handle name(Args args);
    Handle fileFormat(Args args);
    Handle readOnly(Args args);
    void save(Args args);
    void saveAs(Args args);
    void close(Args args);

    std::shared_ptr<Application> app_;
    std::shared_ptr<Workbook> book_;
};

// A worksheet: Cells(r, c), Range(address), Columns, Rows, Name, Activate.
class SheetObject final : public TableObject<SheetObject> {
public:
    static constexpr std::string_view kName = "Worksheet";
    static std::span<const Member<SheetObject>> members();
    SheetObject(std::shared_ptr<Workbook> book, Sheet* sheet) : book_(std::move(book)), sheet_(sheet) {}
    void checkAlive() const { checkLive(*book_); }
    Sheet& sheet() const { return *sheet_; }

private:
    Handle cells(Args args);
    Handle range(Args args);
    Handle columns(Args args);
    Handle rows(Args args);
    void setName(const Handle& value);
    void activate(Args args);

    std::shared_ptr<Workbook> book_;
    Sheet* sheet_;
};

// A range of cells, or the sheet's Columns or Rows collection: Item, Range, Value, Count,
// NumberFormat, HorizontalAlignment, ColumnWidth, Select, Merge, MergeCells.
class RangeObject final : public TableObject<RangeObject> {
public:
    static constexpr std::string_view kName = "Range";
    static std::span<const Member<RangeObject>> members();
    // What the range is: cells, or one of the sheet's collections, which count and index by
    // whole columns or rows.
    enum class Collection : std::uint8_t { Cells, Columns, Rows };
    RangeObject(std::shared_ptr<Workbook> book, Sheet* sheet, Rect r, Collection collection)
        : book_(std::move(book)), sheet_(sheet), rect_(r), collection_(collection) {}
    void checkAlive() const { checkLive(*book_); }
    Sheet& sheet() const { return *sheet_; }

private:
    Handle item(Args args);
    Handle range(Args args);
    Handle count(Args args);
    Handle value(Args args);
    void setValue(const Handle& value);
    void putValue(std::int32_t row, std::int32_t column, const Handle& value);
    void setNumberFormat(const Handle& value);
    void setHorizontalAlignment(const Handle& value);
    void setColumnWidth(const Handle& value);
    void select(Args args);
    void merge(Args args);
    Handle mergeCells(Args args);

    template <class F>
    void forEachWritableCell(F f);
    template <class Change>
    void restyle(Change change);
    template <class Change>
    void restyleStored(Change change);
    void notifyStoredRows() const;

    std::shared_ptr<Workbook> book_;
    Sheet* sheet_;
    Rect rect_;
    Collection collection_;
};

// The most cells one read or write of a range's values takes.
inline constexpr std::int64_t kMaxTableCells = std::int64_t(1) << 22;

// Workbook n (1-based) of the application; code::BadIndex when there is none.
Handle workbookHandle(const std::shared_ptr<Application>& app, std::int32_t n);

}  // namespace lumo::spreadsheet::detail
