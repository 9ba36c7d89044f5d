// The COM backend of the automation layer: the program identifier through CLSIDFromProgID and
// CoCreateInstance, every call through IDispatch::GetIDsOfNames then Invoke.
#include "automation/automation_com_win.h"

#include <objbase.h>
#include <oleauto.h>

#include <chrono>
#include <vector>

namespace lumo::automation {

namespace {

std::wstring widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t* s, UINT length) {
    if (!s || length == 0) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(length), out.data(), n, nullptr, nullptr);
    return out;
}

std::string hresultText(const char* what, std::string_view member, HRESULT hr) {
    char buf[16];
    wsprintfA(buf, "0x%08lX", static_cast<unsigned long>(hr));
    return std::string(what) + " " + std::string(member) + " failed with " + buf;
}

// Owns a VARIANT and clears it.
struct Variant {
    VARIANT v;
    Variant() { VariantInit(&v); }
    ~Variant() { VariantClear(&v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

class ComObject;
IDispatch* dispatchOf(const Handle& h);

void toVariant(const Handle& h, VARIANT& out) {
    if (com::scalarToVariant(h, out)) return;
    IDispatch* d = dispatchOf(h);
    d->AddRef();
    out.vt = VT_DISPATCH;
    out.pdispVal = d;
}

class ComObject final : public Object {
public:
    explicit ComObject(IDispatch* d) : disp_(d) {}  // takes over one reference
    ~ComObject() override { disp_->Release(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    IDispatch* dispatch() const { return disp_; }

    Handle get(std::string_view member, std::span<const Handle> args) override {
        return invoke(member, DISPATCH_PROPERTYGET, args, false);
    }
    void put(std::string_view member, const Handle& value) override {
        invoke(member, DISPATCH_PROPERTYPUT, std::span<const Handle>(&value, 1), true);
    }
    void call(std::string_view member, std::span<const Handle> args) override {
        invoke(member, DISPATCH_METHOD, args, false);
    }

private:
    // The member is looked up anew on every call. Both the lookup and the call are made in
    // the fixed CallLocale: Excel parses the text of values and of number formats by the LCID
    // it is called with ("BUG: 'Old format or invalid type library' error when automating
    // Excel", https://support.microsoft.com/topic/c309e56c-2476-b4a2-4e70-988afc727332; the
    // English locale is what Office's own tools pass, ExcelLocale1033Proxy,
    // https://learn.microsoft.com/previous-versions/visualstudio/visual-studio-2008/ms251351(v=vs.90)).
    DISPID lookup(std::string_view member) {
        std::wstring name = widen(member);
        LPOLESTR names[1] = {name.data()};
        DISPID id = DISPID_UNKNOWN;
        HRESULT hr = disp_->GetIDsOfNames(IID_NULL, names, 1, com::CallLocale, &id);
        if (FAILED(hr)) throw Error(hr, hresultText("lookup of", member, hr));
        return id;
    }

    // A busy application (a cell in edit mode, a dialog of its own open) refuses calls with
    // VBA_E_IGNORE or a rejection; such a call is made again until the thread's CallPatience
    // has passed (and longer when the operator asks for it). The message filter covers
    // rejections of calls to another process; this covers the rest. Between tries the thread's
    // window messages are dispatched (but for keyboard and mouse input), as COM's own wait does,
    // so the window keeps painting and its timers run.
    Handle invoke(std::string_view member, WORD flags, std::span<const Handle> args, bool namedPut) {
        com::CallDeadline deadline(CallPatience::deadlineFor(std::chrono::steady_clock::now()));
        for (;;) {
            try {
                return invokeOnce(member, flags, args, namedPut);
            } catch (const Error& e) {
                if (!busy(e.code())) throw;
                if (std::chrono::steady_clock::now() >= deadline.at()) {
                    if (!CallPatience::waitLonger()) throw;
                    deadline.set(CallPatience::deadlineFor(std::chrono::steady_clock::now()));
                }
            }
            com::dispatchMessagesFor(com::RetryPauseMs);
        }
    }

    Handle invokeOnce(std::string_view member, WORD flags, std::span<const Handle> args, bool namedPut) {
        DISPID id = lookup(member);
        // Positional arguments go last-first.
        std::vector<VARIANT> argv(args.size());
        size_t converted = 0;
        struct Clear {
            std::vector<VARIANT>& a;
            size_t& n;
            ~Clear() {
                for (size_t i = 0; i < n; ++i) VariantClear(&a[i]);
            }
        } clear{argv, converted};
        for (size_t i = 0; i < args.size(); ++i) {
            toVariant(args[args.size() - 1 - i], argv[i]);
            ++converted;
        }
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS params{};
        params.rgvarg = argv.empty() ? nullptr : argv.data();
        params.cArgs = static_cast<UINT>(argv.size());
        if (namedPut) {
            params.rgdispidNamedArgs = &putId;
            params.cNamedArgs = 1;
        }
        Variant result;
        EXCEPINFO excep{};
        UINT argErr = 0;
        HRESULT hr = disp_->Invoke(id, IID_NULL, com::CallLocale, flags, &params,
                                   flags == DISPATCH_PROPERTYPUT ? nullptr : &result.v, &excep, &argErr);
        if (hr == DISP_E_EXCEPTION) {
            if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
            HRESULT code = excep.scode ? excep.scode
                         : excep.wCode ? MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x200 + excep.wCode)
                                       : hr;
            SysFreeString(excep.bstrSource);
            SysFreeString(excep.bstrDescription);
            SysFreeString(excep.bstrHelpFile);
            throw Error(code, hresultText("call of", member, code));
        }
        if (FAILED(hr)) throw Error(hr, hresultText("call of", member, hr));
        return fromVariant(result.v);
    }

    static Handle fromVariant(VARIANT& v) {
        if (v.vt != VT_DISPATCH) {
            Handle out;
            if (!com::valueFromVariant(v, out)) throw Error(DISP_E_TYPEMISMATCH, "automation result of an unsupported type");
            return out;
        }
        if (!v.pdispVal) return {};
        IDispatch* d = v.pdispVal;
        d->AddRef();  // the result VARIANT keeps and clears its own reference
        return Handle(std::shared_ptr<Object>(std::make_shared<ComObject>(d)));
    }

    IDispatch* disp_;
};

IDispatch* dispatchOf(const Handle& h) {
    auto* com = dynamic_cast<ComObject*>(h.objectPtr().get());
    if (!com) throw Error(DISP_E_TYPEMISMATCH, "only objects of the same application can be passed");
    return com->dispatch();
}

// Answers the COM runtime for the apartment's outgoing calls: rejected calls are retried for
// a bounded time, incoming calls and pending messages are treated as by default.
class RetryingMessageFilter final : public IMessageFilter {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMessageFilter)) {
            *out = static_cast<IMessageFilter*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override {
        return SERVERCALL_ISHANDLED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD elapsedMs, DWORD rejectType) override {
        return com::retryRejectedAfter(elapsedMs, rejectType);
    }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }

private:
    LONG refs_ = 1;
};

}  // namespace

namespace {

// A cell's error value as the application shows it (Range.Value gives VT_ERROR with the cell's
// error number: CVErr(2042) is #N/A).
std::string errorText(SCODE code) {
    switch (code & 0xFFFF) {
        case 2000: return "#NULL!";
        case 2007: return "#DIV/0!";
        case 2015: return "#VALUE!";
        case 2023: return "#REF!";
        case 2029: return "#NAME?";
        case 2036: return "#NUM!";
        case 2042: return "#N/A";
        default: return "#ERROR";
    }
}

// A one- or two-dimensional SAFEARRAY of VARIANTs as a table (one dimension is one row).
bool tableFromArray(SAFEARRAY* psa, Handle& out) {
    if (!psa) {
        out = Handle();
        return true;
    }
    const UINT dims = SafeArrayGetDim(psa);
    if (dims != 1 && dims != 2) return false;
    LONG lo[2] = {0, 0}, hi[2] = {-1, 0};
    for (UINT d = 0; d < dims; ++d) {
        SafeArrayGetLBound(psa, d + 1, &lo[d]);
        SafeArrayGetUBound(psa, d + 1, &hi[d]);
    }
    const LONG rows = dims == 2 ? hi[0] - lo[0] + 1 : 1;
    const LONG columns = dims == 2 ? hi[1] - lo[1] + 1 : hi[0] - lo[0] + 1;
    Array a(rows, columns);
    for (LONG r = 0; r < rows; ++r)
        for (LONG c = 0; c < columns; ++c) {
            LONG index[2] = {dims == 2 ? lo[0] + r : lo[0] + c, lo[1] + c};
            Variant element;
            if (FAILED(SafeArrayGetElement(psa, index, &element.v))) return false;
            if (!com::valueFromVariant(element.v, a.at(r + 1, c + 1))) return false;
        }
    out = Handle(std::move(a));
    return true;
}

}  // namespace

bool com::valueFromVariant(const VARIANT& v, Handle& out) {
    switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL: out = Handle(); return true;
        case VT_I4: out = Handle(static_cast<std::int32_t>(v.lVal)); return true;
        case VT_BOOL: out = Handle(v.boolVal != VARIANT_FALSE); return true;
        case VT_R8: out = Handle(v.dblVal); return true;
        case VT_R4: out = Handle(static_cast<double>(v.fltVal)); return true;
        case VT_BSTR: out = Handle(narrow(v.bstrVal, SysStringLen(v.bstrVal))); return true;
        case VT_DATE: out = Handle(Date{v.date}); return true;
        case VT_ERROR: out = Handle(errorText(v.scode)); return true;
        case VT_ARRAY | VT_VARIANT: return tableFromArray(v.parray, out);
        case VT_DISPATCH: return false;
        default: break;
    }
    // Whole numbers of other widths become integers, other numbers (currency, decimals)
    // numbers; anything else is not taken.
    Variant converted;
    VARIANT source = v;  // VariantChangeTypeEx takes a non-const source; nothing is changed
    if (v.vt == VT_I2 || v.vt == VT_I1 || v.vt == VT_UI1 || v.vt == VT_UI2) {
        if (FAILED(VariantChangeTypeEx(&converted.v, &source, com::CallLocale, 0, VT_I4))) return false;
        out = Handle(static_cast<std::int32_t>(converted.v.lVal));
        return true;
    }
    if (FAILED(VariantChangeTypeEx(&converted.v, &source, com::CallLocale, 0, VT_R8))) return false;
    out = Handle(converted.v.dblVal);
    return true;
}

Handle com::wrapDispatch(IDispatch* dispatch) {
    return Handle(std::shared_ptr<Object>(std::make_shared<ComObject>(dispatch)));
}

bool com::scalarToVariant(const Handle& h, VARIANT& out) {
    VariantInit(&out);
    switch (h.kind()) {
        case Handle::Kind::Empty: return true;
        case Handle::Kind::Integer:
            out.vt = VT_I4;
            out.lVal = h.integer();
            return true;
        case Handle::Kind::Boolean:
            out.vt = VT_BOOL;
            out.boolVal = h.boolean() ? VARIANT_TRUE : VARIANT_FALSE;  // true is -1
            return true;
        case Handle::Kind::Double:
            out.vt = VT_R8;
            out.dblVal = h.number();
            return true;
        case Handle::Kind::String: {
            std::wstring w = widen(h.string());
            out.bstrVal = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
            if (!out.bstrVal) throw Error(E_OUTOFMEMORY, "out of memory for a string argument");
            out.vt = VT_BSTR;
            return true;
        }
        case Handle::Kind::Date:
            out.vt = VT_DATE;
            out.date = h.date().serial;
            return true;
        case Handle::Kind::Array: {
            // A table goes as a two-dimensional SAFEARRAY of VARIANTs, rows first, both
            // counted from 1, as Range.Value takes and gives it.
            const Array& a = h.array();
            SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(a.rows()), 1}, {static_cast<ULONG>(a.columns()), 1}};
            SAFEARRAY* psa = SafeArrayCreate(VT_VARIANT, 2, bounds);
            if (!psa) throw Error(E_OUTOFMEMORY, "out of memory for a table of values");
            for (std::int32_t r = 1; r <= a.rows(); ++r)
                for (std::int32_t c = 1; c <= a.columns(); ++c) {
                    Variant element;
                    if (!scalarToVariant(a.at(r, c), element.v)) {
                        SafeArrayDestroy(psa);
                        throw Error(DISP_E_TYPEMISMATCH, "an object cannot be a cell value");
                    }
                    LONG index[2] = {r, c};
                    HRESULT hr = SafeArrayPutElement(psa, index, &element.v);
                    if (FAILED(hr)) {
                        SafeArrayDestroy(psa);
                        throw Error(hr, "cannot fill a table of values");
                    }
                }
            out.vt = VT_ARRAY | VT_VARIANT;
            out.parray = psa;
            return true;
        }
        case Handle::Kind::Object: break;
    }
    return false;
}

namespace {
// The deadline of the call the thread is making now through invoke(), for the message filter.
thread_local const std::chrono::steady_clock::time_point* callDeadlineNow = nullptr;
}  // namespace

com::CallDeadline::CallDeadline(std::chrono::steady_clock::time_point at) : at_(at), previous_(callDeadlineNow) {
    callDeadlineNow = &at_;
}

com::CallDeadline::~CallDeadline() { callDeadlineNow = previous_; }

DWORD com::retryRejectedAfter(DWORD elapsedMs, DWORD rejectType) {
    // SERVERCALL_REJECTED comes with RPC_E_CALL_REJECTED, SERVERCALL_RETRYLATER with
    // RPC_E_SERVERCALL_RETRYLATER; a busy spreadsheet application gives either. A value below
    // 100 would retry at once; -1 cancels the call (IMessageFilter::RetryRejectedCall,
    // https://learn.microsoft.com/windows/win32/api/objidl/nf-objidl-imessagefilter-retryrejectedcall).
    if (rejectType != SERVERCALL_REJECTED && rejectType != SERVERCALL_RETRYLATER) return static_cast<DWORD>(-1);
    const auto now = std::chrono::steady_clock::now();
    const auto deadline = callDeadlineNow ? *callDeadlineNow
                                          : CallPatience::deadlineFor(now - std::chrono::milliseconds(elapsedMs));
    if (now >= deadline) return static_cast<DWORD>(-1);
    return RetryPauseMs;
}

void com::dispatchMessagesFor(DWORD ms) {
    // Paint, timer, posted and sent messages; keyboard and mouse input stays queued for after
    // the call (PeekMessage's PM_QS_ flags, https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-peekmessagew).
    constexpr UINT Kinds = PM_QS_PAINT | PM_QS_POSTMESSAGE | PM_QS_SENDMESSAGE;
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | Kinds)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that ends the thread
                return;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now),
                                    QS_PAINT | QS_POSTMESSAGE | QS_TIMER | QS_HOTKEY | QS_SENDMESSAGE, 0);
    }
}

bool comProgIdRegistered(std::string_view progId) {
    std::wstring id = widen(progId);
    CLSID clsid;
    return SUCCEEDED(CLSIDFromProgID(id.c_str(), &clsid));
}

Handle createComObject(std::string_view progId) {
    std::wstring id = widen(progId);
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(id.c_str(), &clsid);
    if (FAILED(hr)) throw Error(hr, hresultText("class lookup of", progId, hr));
    IDispatch* d = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(&d));
    if (FAILED(hr) || !d) throw Error(FAILED(hr) ? hr : E_NOINTERFACE, hresultText("start of", progId, hr));
    return com::wrapDispatch(d);
}

ThreadApartment::ThreadApartment() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    initialized_ = SUCCEEDED(hr);  // S_FALSE too: every successful call needs its CoUninitialize
    if (!initialized_) return;
    // Calls to an application that is busy (an operator editing a cell) wait instead of failing.
    auto* filter = new RetryingMessageFilter;
    IMessageFilter* previous = nullptr;
    if (SUCCEEDED(CoRegisterMessageFilter(filter, &previous))) {
        filterRegistered_ = true;
        previousFilter_ = previous;
    }
    filter->Release();  // the apartment holds its own reference
}

ThreadApartment::~ThreadApartment() {
    if (filterRegistered_) {
        auto* previous = static_cast<IMessageFilter*>(previousFilter_);
        CoRegisterMessageFilter(previous, nullptr);
        if (previous) previous->Release();
    }
    if (initialized_) CoUninitialize();
}

}  // namespace lumo::automation
