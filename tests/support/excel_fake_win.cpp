#include "support/excel_fake_win.h"

#include "support/dispatch_base_win.h"

#include <oleauto.h>

#include <algorithm>
#include <cwctype>
#include <functional>
#include <set>
#include <stdexcept>

namespace lumo::test {

namespace {

constexpr HRESULT AppError = static_cast<HRESULT>(0x800A03EC);  // "Application-defined or object-defined error"
constexpr HRESULT Gone = static_cast<HRESULT>(0x800706BA);      // RPC_S_SERVER_UNAVAILABLE
constexpr HRESULT WaitedOnPrompt = E_ABORT;                     // stands for a call that never returns

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string extensionOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? "" : lower(name.substr(dot));
}

int formatOfExtension(const std::string& ext) {
    if (ext == ".xls") return 56;
    if (ext == ".xlsm") return 52;
    if (ext == ".xlsx") return 51;
    return 0;
}

const char* extensionOfFormat(int format) {
    switch (format) {
        case 56: return ".xls";
        case 52: return ".xlsm";
        default: return ".xlsx";
    }
}

struct Failure {
    HRESULT code;
};

}  // namespace

struct ExcelFake::State {
    struct Sheet {
        std::map<std::pair<int, int>, Cell> cells;  // (row, column)
        std::map<int, std::string> columnFormats;
        // Protected: its locked cells (all, unless unlocked) refuse changes (Worksheet.Protect,
        // https://learn.microsoft.com/office/vba/api/excel.worksheet.protect).
        bool protectedSheet = false;
    };
    struct Book {
        std::string path;
        int format = 51;
        bool readOnly = false;
        bool operatorOwn = false;
        // Opened from an .xls: compatibility mode, the .xls grid of 65,536 rows, until the
        // workbook is opened again; saving it as .xls or as .xlsx does not change the mode of the
        // open workbook (Workbook.Excel8CompatibilityMode,
        // https://learn.microsoft.com/office/vba/api/excel.workbook.excel8compatibilitymode; "Use
        // Excel with earlier versions of Excel",
        // https://support.microsoft.com/office/use-excel-with-earlier-versions-of-excel-2fd9ffcb-6fce-485b-85af-fecfd651a5ac).
        bool compatibilityMode = false;
        std::vector<Sheet> sheets;
        // Rows of a sheet: 65,536 in compatibility mode, else 1,048,576 (Microsoft's page of
        // Excel's limits, https://support.microsoft.com/office/1672b34d-7043-467e-8e27-269d656771c3).
        int rows() const { return compatibilityMode ? 65536 : 1048576; }
    };

    LCID systemLocale;
    std::map<std::string, File> files;
    std::vector<std::shared_ptr<Book>> books;
    int sheetsInNewWorkbook = 3;
    bool displayAlerts = true, visible = false, userControl = false, quit = false;
    int busyCalls = 0, busyAfter = 0;
    HRESULT busyCode = S_OK;
    HRESULT goneCode = S_OK;
    int invokes = 0;
    std::map<std::string, int> byMember;
    std::vector<LCID> locales;
    bool waitedOnPrompt = false, quitWithOperatorWorkbooks = false;
    std::string savedName;
    int savedFormat = 0;
    std::vector<std::string> badFormatCodes;
    std::string failing;
    // Files saved by Save or SaveAs, as a later Open reads them.
    std::map<std::string, std::shared_ptr<Book>> saved;
    int droppedRows = 0;       // rows a save in the .xls format could not hold
    std::map<std::string, std::function<void()>> duringCall;
    bool releasedInCall = false;
};

namespace {

using State = ExcelFake::State;
using Cell = ExcelFake::Cell;

enum class Kind { Application, Workbooks, Workbook, Worksheet, Range, Columns, Rows };

struct Rect {
    int top = 1, left = 1, bottom = 1, right = 1;
};

int columnNumber(const std::string& letters) {
    int n = 0;
    for (char c : letters) n = n * 26 + (std::toupper(static_cast<unsigned char>(c)) - 'A' + 1);
    return n;
}

// "A1", "A3:T3", "C:T".
bool parseAddress(const std::string& text, int sheetRows, Rect& r) {
    auto part = [&](const std::string& p, int& row, int& col, bool& wholeColumn) {
        size_t i = 0;
        while (i < p.size() && std::isalpha(static_cast<unsigned char>(p[i]))) ++i;
        if (i == 0) return false;
        col = columnNumber(p.substr(0, i));
        wholeColumn = i == p.size();
        row = wholeColumn ? 0 : std::atoi(p.c_str() + i);
        return wholeColumn || row >= 1;
    };
    const size_t colon = text.find(':');
    bool w1 = false, w2 = false;
    if (!part(text.substr(0, colon), r.top, r.left, w1)) return false;
    if (colon == std::string::npos) {
        r.bottom = r.top, r.right = r.left, w2 = w1;
    } else if (!part(text.substr(colon + 1), r.bottom, r.right, w2)) {
        return false;
    }
    if (w1 != w2) return false;
    if (w1) r.top = 1, r.bottom = sheetRows;
    return r.top >= 1 && r.bottom <= sheetRows && r.top <= r.bottom && r.left <= r.right;
}

// A number in the text as the locale reads it: the decimal separator of 0x0419 (and of every
// locale but English here) is ',', of 0x0409 '.'.
bool numberIn(const std::string& text, LCID locale, double& out) {
    if (text.empty()) return false;
    const char sep = (locale & 0x3FF) == 0x09 ? '.' : ',';
    std::string s;
    for (char c : text) {
        if (c == sep) s += '.';
        else if (c == '.' || c == ',') return false;
        else s += c;
    }
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return end && *end == '\0';
}

class FakeObject final : public DispatchBase<FakeObject> {
public:
    FakeObject(std::shared_ptr<State> state, Kind kind, std::shared_ptr<State::Book> book = {}, int sheet = 0,
               Rect rect = {})
        : state_(std::move(state)), kind_(kind), book_(std::move(book)), sheet_(sheet), rect_(rect) {}

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
        state_->locales.push_back(lcid);
        if (state_->goneCode != S_OK) return state_->goneCode;
        if (count != 1) return DISP_E_UNKNOWNNAME;
        const std::string name = lower(utf8(names[0], static_cast<UINT>(lstrlenW(names[0]))));
        auto it = std::find(Members.begin(), Members.end(), name);
        if (it == Members.end()) return DISP_E_UNKNOWNNAME;
        ids[0] = static_cast<DISPID>(it - Members.begin()) + 1;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* p, VARIANT* result,
                                     EXCEPINFO* excep, UINT*) override {
        // The object lives through its own call; a caller that lets go of it meanwhile (its
        // last reference released while the call waits) is noted.
        AddRef();
        const std::shared_ptr<State> state = state_;
        const HRESULT hr = invoke(id, lcid, flags, p, result, excep);
        if (Release() == 0) state->releasedInCall = true;
        return hr;
    }

private:
    HRESULT invoke(DISPID id, LCID lcid, WORD flags, DISPPARAMS* p, VARIANT* result, EXCEPINFO* excep) {
        State& s = *state_;
        ++s.invokes;
        s.locales.push_back(lcid);
        if (s.goneCode != S_OK) return s.goneCode;
        if (id < 1 || static_cast<size_t>(id) > Members.size()) return DISP_E_MEMBERNOTFOUND;
        const std::string& member = Members[static_cast<size_t>(id) - 1];
        ++s.byMember[member];
        // A message that COM's wait dispatches while this call waits (a timer's tick of the
        // caller's window): the caller runs it inside its own call (PENDINGMSG_WAITDEFPROCESS,
        // https://learn.microsoft.com/windows/win32/api/objidl/ne-objidl-pendingmsg).
        if (auto hook = s.duringCall.find(member); hook != s.duringCall.end()) {
            const std::function<void()> run = std::move(hook->second);
            s.duringCall.erase(hook);
            run();
            if (s.goneCode != S_OK) return s.goneCode;
        }
        // A busy application turns calls away: while a cell is being edited with VBA_E_IGNORE,
        // otherwise through the message filter with RPC_E_SERVERCALL_RETRYLATER ("Fix
        // 'Application is busy' and 'Call was rejected by callee' errors",
        // https://learn.microsoft.com/previous-versions/ms228772(v=vs.140)).
        if (s.busyAfter > 0) {
            --s.busyAfter;
        } else if (s.busyCalls > 0) {
            --s.busyCalls;
            return s.busyCode;
        }
        if (member == s.failing) {
            if (excep) {
                ZeroMemory(excep, sizeof *excep);
                excep->scode = AppError;
            }
            return DISP_E_EXCEPTION;
        }
        std::vector<const VARIANT*> args;  // positional, first first
        for (UINT i = p->cArgs; i-- > 0;) args.push_back(&p->rgvarg[i]);
        if (result) VariantInit(result);
        try {
            if (flags & DISPATCH_PROPERTYPUT) {
                if (p->cNamedArgs != 1 || p->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT || args.size() != 1)
                    return DISP_E_PARAMNOTOPTIONAL;
                put(member, *args[0], lcid);
            } else {
                get(member, args, flags, result);
            }
            return S_OK;
        } catch (const Failure& f) {
            if (f.code == WaitedOnPrompt) return f.code;
            if (excep) {
                ZeroMemory(excep, sizeof *excep);
                excep->scode = f.code;
            }
            return DISP_E_EXCEPTION;
        }
    }

    static const std::vector<std::string> Members;

    [[noreturn]] static void fail(HRESULT code = AppError) { throw Failure{code}; }

    static std::string text(const VARIANT& v) {
        VARIANT t;
        VariantInit(&t);
        VARIANT src = v;
        if (FAILED(VariantChangeTypeEx(&t, &src, 0x0409, 0, VT_BSTR))) fail(DISP_E_TYPEMISMATCH);
        std::string out = utf8(t.bstrVal, SysStringLen(t.bstrVal));
        VariantClear(&t);
        return out;
    }
    static long integer(const VARIANT& v) {
        VARIANT t;
        VariantInit(&t);
        VARIANT src = v;
        if (FAILED(VariantChangeTypeEx(&t, &src, 0x0409, 0, VT_I4))) fail(DISP_E_TYPEMISMATCH);
        return t.lVal;
    }
    static bool boolean(const VARIANT& v) {
        VARIANT t;
        VariantInit(&t);
        VARIANT src = v;
        if (FAILED(VariantChangeTypeEx(&t, &src, 0x0409, 0, VT_BOOL))) fail(DISP_E_TYPEMISMATCH);
        return t.boolVal != VARIANT_FALSE;
    }

    State::Sheet& sheet() const {
        if (!book_ || std::find(state_->books.begin(), state_->books.end(), book_) == state_->books.end())
            fail(static_cast<HRESULT>(0x800A01A8));  // the workbook was closed: "Object required"
        return book_->sheets.at(static_cast<size_t>(sheet_));
    }

    void giveObject(VARIANT* result, FakeObject* object) const {
        if (!result) {
            object->Release();
            return;
        }
        result->vt = VT_DISPATCH;
        result->pdispVal = object;
    }
    FakeObject* child(Kind kind, int sheet = 0, Rect rect = {}) const {
        return new FakeObject(state_, kind, book_, sheet, rect);
    }

    // A value written into a cell, as Range.Value takes it
    // (https://learn.microsoft.com/office/vba/api/excel.range.value): numbers and dates as
    // they are, a date into a cell of the general format getting a date format; a text read
    // by the call's locale, so that a number in another locale's form stays text.
    void putCell(Cell& c, const VARIANT& v, LCID lcid) const {
        switch (v.vt) {
            case VT_EMPTY:
            case VT_NULL: c.type = VT_EMPTY; break;
            case VT_R8: c.type = VT_R8, c.number = v.dblVal; break;
            case VT_I4: c.type = VT_R8, c.number = v.lVal; break;
            case VT_BOOL: c.type = VT_BOOL, c.number = v.boolVal ? 1 : 0; break;
            case VT_DATE:
                c.type = VT_R8, c.number = v.date;
                if (c.format == "General") c.format = v.date < 1 ? "h:mm:ss" : "m/d/yyyy";
                break;
            case VT_BSTR: {
                const std::string t = utf8(v.bstrVal, SysStringLen(v.bstrVal));
                const LCID locale = lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_USER_DEFAULT ? state_->systemLocale : lcid;
                double n = 0;
                if (numberIn(t, locale, n)) c.type = VT_R8, c.number = n;
                else if (t.empty()) c.type = VT_EMPTY;
                else c.type = VT_BSTR, c.text = t;
                break;
            }
            default: fail(DISP_E_TYPEMISMATCH);
        }
    }

    void put(const std::string& member, const VARIANT& v, LCID lcid) {
        State& s = *state_;
        if (kind_ == Kind::Application) {
            if (member == "sheetsinnewworkbook") s.sheetsInNewWorkbook = integer(v);
            else if (member == "displayalerts") s.displayAlerts = boolean(v);
            else if (member == "visible") s.visible = boolean(v);
            else if (member == "usercontrol") s.userControl = boolean(v);
            else fail(DISP_E_MEMBERNOTFOUND);
            return;
        }
        if (kind_ == Kind::Worksheet && member == "name") return;
        if (kind_ != Kind::Range && kind_ != Kind::Columns) fail(DISP_E_MEMBERNOTFOUND);
        State::Sheet& sh = sheet();
        if (sh.protectedSheet) fail();
        if (member == "value") {
            if (v.vt == (VT_ARRAY | VT_VARIANT)) {
                LONG lo[2] = {}, hi[2] = {};
                const UINT dims = SafeArrayGetDim(v.parray);
                for (UINT d = 0; d < dims && d < 2; ++d) {
                    SafeArrayGetLBound(v.parray, d + 1, &lo[d]);
                    SafeArrayGetUBound(v.parray, d + 1, &hi[d]);
                }
                if (dims != 2) fail(DISP_E_TYPEMISMATCH);
                for (int r = rect_.top; r <= rect_.bottom && r - rect_.top <= hi[0] - lo[0]; ++r)
                    for (int c = rect_.left; c <= rect_.right && c - rect_.left <= hi[1] - lo[1]; ++c) {
                        LONG index[2] = {lo[0] + (r - rect_.top), lo[1] + (c - rect_.left)};
                        VARIANT e;
                        VariantInit(&e);
                        SafeArrayGetElement(v.parray, index, &e);
                        putCell(cellAt(sh, r, c), e, lcid);
                        VariantClear(&e);
                    }
            } else {
                for (int r = rect_.top; r <= rect_.bottom; ++r)
                    for (int c = rect_.left; c <= rect_.right; ++c) putCell(cellAt(sh, r, c), v, lcid);
            }
        } else if (member == "numberformat") {
            // NumberFormat takes the codes of the English locale whatever the locale of Excel
            // (https://learn.microsoft.com/office/vba/api/excel.range.numberformat): letters
            // of another alphabet are no codes.
            const std::string code = text(v);
            for (unsigned char ch : code)
                if (ch >= 0x80) {
                    s.badFormatCodes.push_back(code);
                    break;
                }
            if (rect_.top == 1 && rect_.bottom == book_->rows()) {
                for (int c = rect_.left; c <= rect_.right; ++c) sh.columnFormats[c] = code;
            } else {
                for (int r = rect_.top; r <= rect_.bottom; ++r)
                    for (int c = rect_.left; c <= rect_.right; ++c) cellAt(sh, r, c).format = code;
            }
        } else if (member != "horizontalalignment" && member != "columnwidth") {
            fail(DISP_E_MEMBERNOTFOUND);
        }
    }

    Cell& cellAt(State::Sheet& sh, int r, int c) const {
        auto it = sh.cells.find({r, c});
        if (it != sh.cells.end()) return it->second;
        Cell& cell = sh.cells[{r, c}];
        if (auto f = sh.columnFormats.find(c); f != sh.columnFormats.end()) cell.format = f->second;
        return cell;
    }

    static void cellVariant(const Cell* c, VARIANT& out) {
        VariantInit(&out);
        if (!c || c->type == VT_EMPTY) return;
        if (c->type == VT_BSTR) {
            out.vt = VT_BSTR;
            out.bstrVal = bstr(c->text);
        } else if (c->type == VT_BOOL) {
            out.vt = VT_BOOL;
            out.boolVal = c->number ? VARIANT_TRUE : VARIANT_FALSE;
        } else if (c->format.find_first_of("dmyhs") != std::string::npos && c->format != "General") {
            out.vt = VT_DATE;
            out.date = c->number;
        } else {
            out.vt = VT_R8;
            out.dblVal = c->number;
        }
    }

    void get(const std::string& member, const std::vector<const VARIANT*>& args, WORD flags, VARIANT* result) {
        State& s = *state_;
        switch (kind_) {
            case Kind::Application:
                if (member == "workbooks") {
                    if (args.empty()) return giveObject(result, child(Kind::Workbooks));
                    if (args[0]->vt == VT_BSTR) {
                        // By the workbook's name, its file name without the folder (Workbooks.Item,
                        // https://learn.microsoft.com/office/vba/api/excel.workbooks.item).
                        const std::string name = lower(text(*args[0]));
                        for (auto& b : s.books)
                            if (!b->path.empty() && lower(b->path.substr(b->path.find_last_of("\\/") + 1)) == name)
                                return giveObject(result, new FakeObject(state_, Kind::Workbook, b));
                        fail(DISP_E_BADINDEX);
                    }
                    const long n = integer(*args[0]);
                    if (n < 1 || n > static_cast<long>(s.books.size())) fail(DISP_E_BADINDEX);
                    return giveObject(result, new FakeObject(state_, Kind::Workbook, s.books[static_cast<size_t>(n - 1)]));
                }
                if (member == "quit" && (flags & DISPATCH_METHOD)) {
                    // Quit asks about unsaved workbooks unless alerts are off, then throws them
                    // away (Application.Quit, https://learn.microsoft.com/office/vba/api/excel.application.quit).
                    for (auto& b : s.books)
                        if (b->operatorOwn) s.quitWithOperatorWorkbooks = true;
                    s.quit = true;
                    s.books.clear();
                    s.goneCode = Gone;
                    return;
                }
                break;
            case Kind::Workbooks:
                if (member == "count") {
                    result->vt = VT_I4;
                    result->lVal = static_cast<LONG>(s.books.size());
                    return;
                }
                if (member == "add") {
                    auto b = std::make_shared<State::Book>();
                    b->sheets.resize(static_cast<size_t>(s.sheetsInNewWorkbook));
                    s.books.push_back(b);
                    return;
                }
                if (member == "open") return open(args);
                break;
            case Kind::Workbook:
                return workbookMember(member, args, result);
            case Kind::Worksheet:
                if (member == "activate") return;
                if (member == "columns" || member == "rows") {
                    (void)sheet();
                    return giveObject(result, child(member == "columns" ? Kind::Columns : Kind::Rows, sheet_,
                                                    Rect{1, 1, book_->rows(), 16384}));
                }
                if (member == "cells") {
                    (void)sheet();
                    const int r = integer(*args.at(0)), c = integer(*args.at(1));
                    if (r < 1 || r > book_->rows() || c < 1 || c > 16384) fail();
                    return giveObject(result, child(Kind::Range, sheet_, Rect{r, c, r, c}));
                }
                if (member == "range") {
                    (void)sheet();
                    Rect r;
                    if (!parseAddress(text(*args.at(0)), book_->rows(), r)) fail();
                    return giveObject(result, child(Kind::Range, sheet_, r));
                }
                break;
            case Kind::Columns:
            case Kind::Rows:
                if (member == "count") {
                    result->vt = VT_I4;
                    result->lVal = kind_ == Kind::Rows ? rect_.bottom : rect_.right;
                    return;
                }
                if (member == "item") {
                    const int c = integer(*args.at(0));
                    return giveObject(result, child(Kind::Columns, sheet_, Rect{1, c, book_->rows(), c}));
                }
                if (member == "range") {
                    Rect r;
                    if (!parseAddress(text(*args.at(0)), book_->rows(), r)) fail();
                    return giveObject(result, child(Kind::Columns, sheet_, r));
                }
                break;
            case Kind::Range:
                if (member == "value") {
                    State::Sheet& sh = sheet();
                    if (rect_.top == rect_.bottom && rect_.left == rect_.right) {
                        auto it = sh.cells.find({rect_.top, rect_.left});
                        cellVariant(it == sh.cells.end() ? nullptr : &it->second, *result);
                        return;
                    }
                    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(rect_.bottom - rect_.top + 1), 1},
                                                {static_cast<ULONG>(rect_.right - rect_.left + 1), 1}};
                    SAFEARRAY* psa = SafeArrayCreate(VT_VARIANT, 2, bounds);
                    for (auto it = sh.cells.lower_bound({rect_.top, 0}); it != sh.cells.end() && it->first.first <= rect_.bottom; ++it) {
                        if (it->first.second < rect_.left || it->first.second > rect_.right) continue;
                        VARIANT e;
                        cellVariant(&it->second, e);
                        LONG index[2] = {it->first.first - rect_.top + 1, it->first.second - rect_.left + 1};
                        SafeArrayPutElement(psa, index, &e);
                        VariantClear(&e);
                    }
                    result->vt = VT_ARRAY | VT_VARIANT;
                    result->parray = psa;
                    return;
                }
                if (member == "select" || member == "merge") return;
                // The fake keeps no merged ranges: no cell of a range is merged
                // (Range.MergeCells, https://learn.microsoft.com/office/vba/api/excel.range.mergecells).
                if (member == "mergecells") {
                    result->vt = VT_BOOL;
                    result->boolVal = VARIANT_FALSE;
                    return;
                }
                break;
        }
        fail(DISP_E_MEMBERNOTFOUND);
    }

    // An optional argument that was given (not left out as VT_ERROR/DISP_E_PARAMNOTFOUND).
    static bool given(const std::vector<const VARIANT*>& args, size_t i) {
        return args.size() > i && args[i]->vt != VT_ERROR && args[i]->vt != VT_EMPTY;
    }

    void open(const std::vector<const VARIANT*>& args) {
        State& s = *state_;
        const std::string path = text(*args.at(0));
        auto b = std::make_shared<State::Book>();
        if (auto saved = s.saved.find(path); saved != s.saved.end()) {
            // A file saved here before: the workbook as it was written.
            *b = *saved->second;
        } else {
            auto f = s.files.find(path);
            if (f == s.files.end()) fail();
            const ExcelFake::File& file = f->second;
            // Without a password the operator is asked for one, for reading (Password) as for
            // writing (WriteResPassword); a workbook saved "read-only recommended" asks whether
            // to open it read-only unless IgnoreReadOnlyRecommended is True (Workbooks.Open,
            // https://learn.microsoft.com/office/vba/api/excel.workbooks.open). These prompts
            // come whatever the alerts; a wrong password fails.
            if (file.passwordProtected) {
                if (!given(args, 4)) {
                    s.waitedOnPrompt = true;
                    fail(WaitedOnPrompt);
                }
                fail();
            }
            if (file.writeReserved) {
                if (!given(args, 5)) {
                    s.waitedOnPrompt = true;
                    fail(WaitedOnPrompt);
                }
                fail();
            }
            if (file.readOnlyRecommended && !(given(args, 6) && boolean(*args[6]))) {
                s.waitedOnPrompt = true;
                fail(WaitedOnPrompt);
            }
            // A file whose content differs from its name is opened after a question, answered
            // with its default (open) while alerts are off (Application.DisplayAlerts,
            // https://learn.microsoft.com/office/vba/api/excel.application.displayalerts).
            if (file.formatDiffersFromName && s.displayAlerts) {
                s.waitedOnPrompt = true;
                fail(WaitedOnPrompt);
            }
            b->readOnly = file.readOnly;
            b->sheets.resize(2);
            for (int i = 0; i < file.liveRows; ++i) b->sheets[0].cells[{3 + i, 1}] = Cell{VT_R8, 46362.0 + i, "", "dd.mm.yyyy"};
            for (int i = 0; i < file.memoryRows; ++i) b->sheets[1].cells[{4 + i, 1}] = Cell{VT_R8, double(i), "", "General"};
        }
        b->path = path;
        b->format = formatOfExtension(extensionOf(path)) ? formatOfExtension(extensionOf(path)) : 51;
        b->compatibilityMode = b->format == 56;
        b->operatorOwn = false;
        s.books.push_back(b);
    }

    // The file a save writes: in the .xls format a sheet keeps its first 65,536 rows, the rest
    // is lost ("Data beyond 65,536 rows by 256 columns will not be saved", the Compatibility
    // Checker's worksheet issues, https://support.microsoft.com/excel/worksheet-compatibility-issues).
    void writeFile(const State::Book& b) {
        State& s = *state_;
        auto file = std::make_shared<State::Book>(b);
        if (b.format == 56) {
            for (auto& sheet : file->sheets) {
                std::set<int> lost;
                for (auto it = sheet.cells.lower_bound({65537, 0}); it != sheet.cells.end(); it = sheet.cells.erase(it))
                    if (it->second.type != VT_EMPTY) lost.insert(it->first.first);
                s.droppedRows += static_cast<int>(lost.size());
            }
        }
        s.saved[b.path] = file;
    }

    void workbookMember(const std::string& member, const std::vector<const VARIANT*>& args, VARIANT* result) {
        State& s = *state_;
        if (std::find(s.books.begin(), s.books.end(), book_) == s.books.end()) fail(static_cast<HRESULT>(0x800A01A8));
        State::Book& b = *book_;
        if (member == "worksheets") {
            const long n = integer(*args.at(0));
            if (n < 1 || n > static_cast<long>(b.sheets.size())) fail(DISP_E_BADINDEX);
            return giveObject(result, child(Kind::Worksheet, static_cast<int>(n - 1)));
        }
        if (member == "name") {
            result->vt = VT_BSTR;
            result->bstrVal = bstr(b.path.empty() ? "Book1" : b.path.substr(b.path.find_last_of("\\/") + 1));
            return;
        }
        if (member == "fileformat") {
            result->vt = VT_I4;
            result->lVal = b.format;
            return;
        }
        if (member == "readonly") {
            result->vt = VT_BOOL;
            result->boolVal = b.readOnly ? VARIANT_TRUE : VARIANT_FALSE;
            return;
        }
        if (member == "save") {
            if (b.path.empty() || b.readOnly) fail();
            s.savedName = b.path;
            s.savedFormat = b.format;
            writeFile(b);
            return;
        }
        if (member == "saveas") {
            // Without a format the workbook keeps its own; a name whose extension is not the
            // format's is refused, and a name without one gets the format's (Workbook.SaveAs,
            // https://learn.microsoft.com/office/vba/api/excel.workbook.saveas; XlFileFormat,
            // https://learn.microsoft.com/office/vba/api/excel.xlfileformat).
            std::string name = text(*args.at(0));
            const int format = args.size() > 1 && args[1]->vt != VT_ERROR ? integer(*args[1]) : b.format;
            const std::string ext = extensionOf(name);
            if (ext.empty()) name += extensionOfFormat(format);
            else if (formatOfExtension(ext) != format) fail();
            b.path = name;
            b.format = format;
            b.readOnly = false;
            s.savedName = name;
            s.savedFormat = format;
            writeFile(b);
            return;
        }
        if (member == "close") {
            s.books.erase(std::find(s.books.begin(), s.books.end(), book_));
            return;
        }
        fail(DISP_E_MEMBERNOTFOUND);
    }

    std::shared_ptr<State> state_;
    Kind kind_;
    std::shared_ptr<State::Book> book_;
    int sheet_;
    Rect rect_;
};

const std::vector<std::string> FakeObject::Members = {
    "workbooks", "sheetsinnewworkbook", "displayalerts", "visible", "usercontrol", "quit",
    "add", "open", "count", "item", "worksheets", "name", "fileformat", "readonly", "save",
    "saveas", "close", "activate", "columns", "rows", "range", "cells", "value", "numberformat",
    "horizontalalignment", "columnwidth", "select", "merge", "mergecells"};

}  // namespace

ExcelFake::ExcelFake(LCID systemLocale) : state_(std::make_shared<State>()) { state_->systemLocale = systemLocale; }
ExcelFake::~ExcelFake() = default;

IDispatch* ExcelFake::start() {
    // A fresh application: nothing of the one before but the files and the scripted failure.
    auto fresh = std::make_shared<State>();
    fresh->systemLocale = state_->systemLocale;
    fresh->files = state_->files;
    fresh->saved = state_->saved;
    fresh->droppedRows = state_->droppedRows;
    fresh->failing = state_->failing;
    *state_ = std::move(*fresh);
    return new FakeObject(state_, Kind::Application);
}

void ExcelFake::addFile(const std::string& path, File file) { state_->files[path] = file; }
void ExcelFake::busyFor(int calls, HRESULT code, int after) {
    state_->busyCalls = calls;
    state_->busyCode = code;
    state_->busyAfter = after;
}
void ExcelFake::closeByHand(HRESULT code) { state_->goneCode = code; }
void ExcelFake::failMember(const std::string& member) { state_->failing = lower(member); }
void ExcelFake::protectSheet(int sheet, bool on) {
    for (auto& b : state_->books)
        if (!b->operatorOwn) {
            b->sheets.at(static_cast<size_t>(sheet - 1)).protectedSheet = on;
            return;
        }
}
void ExcelFake::duringCall(const std::string& member, std::function<void()> action) {
    state_->duringCall[lower(member)] = std::move(action);
}
void ExcelFake::openOperatorWorkbook() {
    auto b = std::make_shared<State::Book>();
    b->operatorOwn = true;
    b->sheets.resize(1);
    state_->books.push_back(b);
}

int ExcelFake::invokes() const { return state_->invokes; }
int ExcelFake::invokesOf(const std::string& member) const {
    auto it = state_->byMember.find(lower(member));
    return it == state_->byMember.end() ? 0 : it->second;
}
void ExcelFake::clearCounts() {
    state_->invokes = 0;
    state_->byMember.clear();
    state_->locales.clear();
}
std::vector<LCID> ExcelFake::locales() const { return state_->locales; }
bool ExcelFake::waitedOnAPrompt() const { return state_->waitedOnPrompt; }
bool ExcelFake::quitWithOperatorWorkbooks() const { return state_->quitWithOperatorWorkbooks; }
bool ExcelFake::quit() const { return state_->quit; }
bool ExcelFake::userControl() const { return state_->userControl; }
bool ExcelFake::displayAlerts() const { return state_->displayAlerts; }
bool ExcelFake::visible() const { return state_->visible; }
bool ExcelFake::objectReleasedInItsCall() const { return state_->releasedInCall; }
int ExcelFake::droppedRows() const { return state_->droppedRows; }
int ExcelFake::sheetRows() const {
    for (auto& b : state_->books)
        if (!b->operatorOwn) return b->rows();
    return 0;
}
int ExcelFake::workbooks() const { return static_cast<int>(state_->books.size()); }
std::string ExcelFake::savedName() const { return state_->savedName; }
int ExcelFake::savedFormat() const { return state_->savedFormat; }
std::vector<std::string> ExcelFake::badFormatCodes() const { return state_->badFormatCodes; }

ExcelFake::Cell ExcelFake::cell(int sheet, int row, int column) const {
    for (auto& b : state_->books) {
        if (b->operatorOwn) continue;
        auto& cells = b->sheets.at(static_cast<size_t>(sheet - 1)).cells;
        auto it = cells.find({row, column});
        return it == cells.end() ? Cell{} : it->second;
    }
    return {};
}

}  // namespace lumo::test

namespace lumo::test {

ExcelFake::Cell ExcelFake::savedCell(const std::string& path, int sheet, int row, int column) const {
    auto file = state_->saved.find(path);
    if (file == state_->saved.end()) return {};
    auto& cells = file->second->sheets.at(static_cast<size_t>(sheet - 1)).cells;
    auto it = cells.find({row, column});
    return it == cells.end() ? Cell{} : it->second;
}

}  // namespace lumo::test
