// The COM backend of the automation layer, against IDispatch objects written here: a probe that
// logs every Invoke as it arrives, and a bridge that serves the recording application over
// IDispatch, so that the report's call-sequence tests can run through the COM layer
// (LUMO_TEST_THROUGH_COM=1 with --gtest_filter=ReportCalls.*).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <atomic>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "automation/automation_com_win.h"
#include "support/dispatch_base_win.h"
#include "support/recording_automation.h"

using namespace lumo;
using namespace lumo::automation;
using lumo::test::bstr;
using lumo::test::DispatchBase;
using lumo::test::utf8;

namespace {

// ---- The probe ----

// One Invoke as the object received it: arguments in rgvarg order, each as "VT:value".
struct Invocation {
    DISPID id;
    WORD flags;
    std::vector<DISPID> named;
    std::vector<std::string> args;
    bool wantsResult;
};

std::string describe(const VARIANT& v) {
    switch (v.vt) {
        case VT_I4: return "I4:" + std::to_string(v.lVal);
        case VT_BOOL: return "BOOL:" + std::to_string(v.boolVal);
        case VT_R8: return "R8:" + std::to_string(v.dblVal);
        case VT_BSTR: return "BSTR:" + utf8(v.bstrVal, SysStringLen(v.bstrVal));
        case VT_DISPATCH: return "DISPATCH";
        case VT_EMPTY: return "EMPTY";
        default: return "VT" + std::to_string(v.vt);
    }
}

struct ProbeLog {
    std::vector<std::string> lookups;
    std::vector<Invocation> calls;
    int objects = 0;  // probe objects alive
};

// Members: Name (read and write), Count (read: 42), Child (read: another probe), Value (read:
// a date), Add (method), Fail (raises an exception with code 0x800A03EC), Refuse (fails with
// E_ACCESSDENIED). Other names are unknown.
class Probe final : public DispatchBase<Probe> {
public:
    enum : DISPID { Name = 1, Count, Child, Value, Add, Fail, Refuse };
    explicit Probe(ProbeLog& log) : log_(log) { ++log_.objects; }
    ~Probe() override { --log_.objects; }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        static const std::map<std::string, DISPID> members = {
            {"Name", Name}, {"Count", Count}, {"Child", Child}, {"Value", Value},
            {"Add", Add},   {"Fail", Fail},   {"Refuse", Refuse}};
        std::string name = utf8(names[0], static_cast<UINT>(lstrlenW(names[0])));
        log_.lookups.push_back(name);
        auto it = members.find(name);
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        if (count != 1 || it == members.end()) return DISP_E_UNKNOWNNAME;
        ids[0] = it->second;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* p, VARIANT* result,
                                     EXCEPINFO* excep, UINT*) override {
        Invocation call{id, flags, {}, {}, result != nullptr};
        for (UINT i = 0; i < p->cNamedArgs; ++i) call.named.push_back(p->rgdispidNamedArgs[i]);
        for (UINT i = 0; i < p->cArgs; ++i) call.args.push_back(describe(p->rgvarg[i]));
        log_.calls.push_back(call);
        switch (id) {
            case Name:
                if (flags & DISPATCH_PROPERTYPUT) return S_OK;
                result->vt = VT_BSTR;
                result->bstrVal = bstr("Лист «Ф1»");
                return S_OK;
            case Count:
                result->vt = VT_I4;
                result->lVal = 42;
                return S_OK;
            case Child:
                result->vt = VT_DISPATCH;
                result->pdispVal = new Probe(log_);
                return S_OK;
            case Value:
                result->vt = VT_I2;  // a narrower whole number becomes an integer
                result->iVal = 7;
                return S_OK;
            case Add: return S_OK;
            case Fail:
                ZeroMemory(excep, sizeof *excep);
                excep->scode = static_cast<SCODE>(0x800A03EC);
                excep->bstrDescription = bstr("refused");
                return DISP_E_EXCEPTION;
            case Refuse: return E_ACCESSDENIED;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    ProbeLog& log_;
};

struct ComAutomation : ::testing::Test {
    ThreadApartment apartment;
    ProbeLog log;
    Handle probe = com::wrapDispatch(new Probe(log));
};

TEST_F(ComAutomation, EachCallLooksItsMemberUpAndInvokesWithTheRightKind) {
    Handle name = propertyGet(probe, "Name");
    propertyPut(probe, "Name", "Итоги");
    methodCall(probe, "Add");
    EXPECT_EQ(log.lookups, (std::vector<std::string>{"Name", "Name", "Add"}));
    ASSERT_EQ(log.calls.size(), 3u);
    EXPECT_EQ(log.calls[0].flags, DISPATCH_PROPERTYGET);
    EXPECT_TRUE(log.calls[0].wantsResult);
    EXPECT_EQ(log.calls[1].flags, DISPATCH_PROPERTYPUT);
    EXPECT_EQ(log.calls[1].named, std::vector<DISPID>{DISPID_PROPERTYPUT});
    EXPECT_EQ(log.calls[1].args, std::vector<std::string>{"BSTR:Итоги"});
    EXPECT_EQ(log.calls[2].flags, DISPATCH_METHOD);
    EXPECT_TRUE(log.calls[2].named.empty());
    // Cyrillic text comes back as the same UTF-8.
    EXPECT_EQ(name.string(), "Лист «Ф1»");
}

TEST_F(ComAutomation, ArgumentsGoLastFirstWithTheirVariantTypes) {
    methodCall(probe, "Add", {Handle(3), Handle(true), Handle(false), Handle("Ток, А")});
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].args,
              (std::vector<std::string>{"BSTR:Ток, А", "BOOL:0", "BOOL:-1", "I4:3"}));
    propertyGet(probe, "Count", {Handle(2), Handle(5)});
    EXPECT_EQ(log.calls[1].args, (std::vector<std::string>{"I4:5", "I4:2"}));
    EXPECT_TRUE(log.calls[1].named.empty());
}

TEST_F(ComAutomation, ResultsBecomeHandlesAndObjectsAreWrapped) {
    EXPECT_EQ(propertyGet(probe, "Count").integer(), 42);
    EXPECT_EQ(propertyGet(probe, "Value").text(), "7");
    {
        Handle child = propertyGet(probe, "Child");
        ASSERT_TRUE(child.isObject());
        EXPECT_EQ(log.objects, 2);
        EXPECT_EQ(propertyGet(child, "Count").integer(), 42);
        // An object of the same application goes back as VT_DISPATCH.
        methodCall(probe, "Add", {child});
        EXPECT_EQ(log.calls.back().args, std::vector<std::string>{"DISPATCH"});
    }
    EXPECT_EQ(log.objects, 1);  // the child's last reference went with its handle
    probe.release();
    EXPECT_EQ(log.objects, 0);
}

TEST_F(ComAutomation, FailuresRaiseTheErrorWithTheirCode) {
    EXPECT_EQ(lumo::test::errorCodeOf([&] { methodCall(probe, "Fail"); }), code::ApplicationDefined);
    EXPECT_EQ(lumo::test::errorCodeOf([&] { propertyGet(probe, "Refuse"); }), static_cast<std::int32_t>(E_ACCESSDENIED));
    EXPECT_EQ(lumo::test::errorCodeOf([&] { propertyGet(probe, "Cells"); }), code::UnknownName);
    EXPECT_EQ(log.calls.size(), 2u);  // the unknown name was never invoked
    try {
        methodCall(probe, "Fail");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("Fail"));
        EXPECT_THAT(e.what(), ::testing::HasSubstr("0x800A03EC"));
    }
}

TEST_F(ComAutomation, SpreadsheetApplicationMissingFailsToStart) {
    // No spreadsheet application is registered here (and none is installed under Wine).
    std::int32_t code = lumo::test::errorCodeOf([] { createObject(kSpreadsheetProgId); });
    EXPECT_TRUE(code == code::InvalidClassString || code == static_cast<std::int32_t>(REGDB_E_CLASSNOTREG))
        << std::hex << code;
}

TEST_F(ComAutomation, ApartmentRetriesRejectedCallsForABoundedTime) {
    // The apartment's message filter answers the COM runtime; ask it directly.
    IMessageFilter* filter = nullptr;
    ASSERT_EQ(CoRegisterMessageFilter(nullptr, &filter), S_OK);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->RetryRejectedCall(nullptr, 0, SERVERCALL_RETRYLATER), com::RetryPauseMs);
    EXPECT_EQ(filter->RetryRejectedCall(nullptr, 1000, SERVERCALL_REJECTED), com::RetryPauseMs);
    EXPECT_EQ(filter->RetryRejectedCall(nullptr, 29999, SERVERCALL_RETRYLATER), com::RetryPauseMs);
    EXPECT_EQ(filter->RetryRejectedCall(nullptr, 30000, SERVERCALL_RETRYLATER), static_cast<DWORD>(-1));
    EXPECT_EQ(filter->RetryRejectedCall(nullptr, 60000, SERVERCALL_REJECTED), static_cast<DWORD>(-1));
    {
        // While rows are written at a tick the window waits no longer than part of the tick.
        CallPatience quick(CallPatience::WithinATick);
        EXPECT_EQ(filter->RetryRejectedCall(nullptr, 300, SERVERCALL_RETRYLATER), com::RetryPauseMs);
        EXPECT_EQ(filter->RetryRejectedCall(nullptr, 400, SERVERCALL_RETRYLATER), static_cast<DWORD>(-1));
    }
    EXPECT_EQ(filter->HandleInComingCall(CALLTYPE_TOPLEVEL, nullptr, 0, nullptr), static_cast<DWORD>(SERVERCALL_ISHANDLED));
    IMessageFilter* ours = nullptr;
    ASSERT_EQ(CoRegisterMessageFilter(filter, &ours), S_OK);  // put it back
    filter->Release();
    if (ours) ours->Release();
}

// The filter registered on the thread now (the apartment keeps it alive).
IMessageFilter* currentFilter() {
    IMessageFilter* f = nullptr;
    if (FAILED(CoRegisterMessageFilter(nullptr, &f))) return nullptr;
    CoRegisterMessageFilter(f, nullptr);
    if (f) f->Release();
    return f;
}

TEST(ComApartment, EachGuardRegistersItsFilterAndPutsThePreviousBack) {
    ThreadApartment outer;
    IMessageFilter* before = currentFilter();
    ASSERT_NE(before, nullptr);
    {
        ThreadApartment inner;
        EXPECT_NE(currentFilter(), before);
        EXPECT_NE(currentFilter(), nullptr);
    }
    EXPECT_EQ(currentFilter(), before);
}


// ---- A probe in another apartment, reached through a proxy ----

// Turns every incoming call away as rejected, as a spreadsheet application does while the
// operator edits a cell.
class RejectingFilter final : public IMessageFilter {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        *out = (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMessageFilter)) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on the test's stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override {
        return SERVERCALL_REJECTED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
};

// A probe served by a thread of its own in a single-threaded apartment, with `filter` as its
// message filter; the caller's thread gets a marshalled proxy.
class OtherApartment {
public:
    OtherApartment(ProbeLog& log, IMessageFilter* filter) {
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([&, filter] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            if (filter) CoRegisterMessageFilter(filter, nullptr);
            IDispatch* probe = new Probe(log);
            CoMarshalInterThreadInterfaceInStream(IID_IDispatch, probe, &stream_);
            probe->Release();
            threadId_ = GetCurrentThreadId();
            SetEvent(ready);
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
            if (filter) CoRegisterMessageFilter(nullptr, nullptr);
            CoUninitialize();
        });
        WaitForSingleObject(ready, 30000);
        CloseHandle(ready);
    }
    ~OtherApartment() {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    // The proxy, for the calling thread's apartment.
    Handle proxy() {
        IDispatch* d = nullptr;
        if (!stream_ || FAILED(CoGetInterfaceAndReleaseStream(stream_, IID_IDispatch, reinterpret_cast<void**>(&d))))
            return {};
        stream_ = nullptr;
        return com::wrapDispatch(d);
    }

private:
    std::thread thread_;
    IStream* stream_ = nullptr;
    DWORD threadId_ = 0;
};

TEST(ComOtherApartment, CallsGoThroughTheProxyAndARejectionKeepsItsCode) {
    ThreadApartment apartment;
    ProbeLog log;
    {
        OtherApartment other(log, nullptr);
        Handle probe = other.proxy();
        ASSERT_TRUE(probe.isObject());
        EXPECT_EQ(propertyGet(probe, "Count").integer(), 42);
        propertyPut(probe, "Name", "Итоги");
        EXPECT_EQ(propertyGet(probe, "Name").string(), "Лист «Ф1»");
        Handle child = propertyGet(probe, "Child");
        EXPECT_EQ(propertyGet(child, "Count").integer(), 42);
        EXPECT_EQ(lumo::test::errorCodeOf([&] { methodCall(probe, "Fail"); }), code::ApplicationDefined);
        ASSERT_GE(log.calls.size(), 2u);
        EXPECT_EQ(log.calls[1].args, std::vector<std::string>{"BSTR:Итоги"});
        EXPECT_EQ(log.calls[1].named, std::vector<DISPID>{DISPID_PROPERTYPUT});
    }
    EXPECT_EQ(log.objects, 0);

    // An application that keeps rejecting: the call fails with the rejection (at once under
    // Wine, which does not ask the caller's filter; after the filter's bound on Windows).
    RejectingFilter rejecting;
    OtherApartment busy(log, &rejecting);
    Handle probe = busy.proxy();
    ASSERT_TRUE(probe.isObject());
    EXPECT_EQ(lumo::test::errorCodeOf([&] { propertyGet(probe, "Count"); }),
              static_cast<std::int32_t>(RPC_E_CALL_REJECTED));
}

// ---- The bridge: the recording application served over IDispatch ----

class Bridge final : public DispatchBase<Bridge> {
public:
    explicit Bridge(Handle object) : object_(std::move(object)) {}
    const Handle& object() const { return object_; }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (count != 1) return DISP_E_UNKNOWNNAME;
        std::string name = utf8(names[0], static_cast<UINT>(lstrlenW(names[0])));
        auto it = std::find(names_.begin(), names_.end(), name);
        if (it == names_.end()) it = names_.insert(names_.end(), name);
        ids[0] = static_cast<DISPID>(it - names_.begin()) + 1;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* p, VARIANT* result,
                                     EXCEPINFO* excep, UINT*) override {
        if (id < 1 || static_cast<size_t>(id) > names_.size()) return DISP_E_MEMBERNOTFOUND;
        const std::string& member = names_[static_cast<size_t>(id) - 1];
        try {
            std::vector<Handle> args;
            for (UINT i = p->cArgs; i-- > 0;) args.push_back(toHandle(p->rgvarg[i]));
            if (flags == DISPATCH_PROPERTYPUT) {
                if (p->cNamedArgs != 1 || p->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT || args.size() != 1)
                    return DISP_E_PARAMNOTOPTIONAL;
                object_.object().put(member, args[0]);
            } else if (flags == DISPATCH_PROPERTYGET) {
                toVariant(object_.object().get(member, args), *result);
            } else if (flags == DISPATCH_METHOD) {
                object_.object().call(member, args);
            } else {
                return DISP_E_MEMBERNOTFOUND;
            }
            return S_OK;
        } catch (const Error& e) {
            ZeroMemory(excep, sizeof *excep);
            excep->scode = e.code();
            return DISP_E_EXCEPTION;
        }
    }

private:
    static Handle toHandle(const VARIANT& v) {
        if (v.vt == VT_DISPATCH) return static_cast<Bridge*>(v.pdispVal)->object();
        Handle h;
        if (!com::valueFromVariant(v, h)) throw Error(DISP_E_TYPEMISMATCH, "argument of type " + std::to_string(v.vt));
        return h;
    }
    static void toVariant(const Handle& h, VARIANT& out) {
        if (com::scalarToVariant(h, out)) return;
        out.vt = VT_DISPATCH;
        out.pdispVal = new Bridge(h);
    }

    Handle object_;
    std::vector<std::string> names_;
};

// With LUMO_TEST_THROUGH_COM set, every recording application reaches the report's operations
// through the COM backend and the bridge; the apartment lasts the whole run.
struct ThroughCom {
    ThroughCom() {
        if (!std::getenv("LUMO_TEST_THROUGH_COM")) return;
        apartment = std::make_unique<ThreadApartment>();
        lumo::test::setInstallRoute([](Handle app) { return com::wrapDispatch(new Bridge(std::move(app))); });
    }
    std::unique_ptr<ThreadApartment> apartment;
} throughCom;

TEST(ComBridge, RecordingApplicationAnswersThroughTheComLayer) {
    lumo::test::RecordingAutomation rec;
    lumo::test::setInstallRoute([](Handle app) { return com::wrapDispatch(new Bridge(std::move(app))); });
    rec.install();
    {
        ThreadApartment apartment;
        Handle app = createObject(kSpreadsheetProgId);
        Handle books = propertyGet(app, "WorkBooks");
        methodCall(books, "Open", {Handle("Отчёт.xlsx"), Handle(0), Handle(false), Handle(1)});
        propertyPut(app, "Visible", Handle(true));
        Handle cell = propertyGet(propertyGet(books, "Item", {Handle(1)}), "Cells", {Handle(2), Handle(3)});
        EXPECT_EQ(propertyGet(cell, "Value").text(), "");
        rec.failAtMember("Save");
        EXPECT_EQ(lumo::test::errorCodeOf([&] { methodCall(app, "Save"); }), code::ApplicationDefined);
    }
    if (!std::getenv("LUMO_TEST_THROUGH_COM")) lumo::test::setInstallRoute({});
    EXPECT_EQ(rec.lines(), (std::vector<std::string>{
                               "create Excel.Application",
                               "get app.WorkBooks()",
                               "call app.WorkBooks().Open(\"Отчёт.xlsx\", 0, false, 1)",
                               "put app.Visible = true",
                               "get app.WorkBooks().Item(1)",
                               "get app.WorkBooks().Item(1).Cells(2, 3)",
                               "get app.WorkBooks().Item(1).Cells(2, 3).Value()",
                               "call app.Save()",
                           }));
    EXPECT_EQ(rec.liveObjects(), 0);
}

}  // namespace
