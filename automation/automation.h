#pragma once
// Late-bound calls into a spreadsheet application: the automation handle, the three call
// primitives (property read, property write, method call), the error they raise, and the
// registry that creates an application object from its program identifier.
//
// Pure C++: the COM backend (Windows) and the built-in engine (elsewhere) plug in as
// implementations of Object.

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lumo::automation {

// Result codes (HRESULT values) that calls fail with.
namespace code {
inline constexpr std::int32_t TypeMismatch = static_cast<std::int32_t>(0x80020005);   // DISP_E_TYPEMISMATCH
inline constexpr std::int32_t UnknownName = static_cast<std::int32_t>(0x80020006);    // DISP_E_UNKNOWNNAME
inline constexpr std::int32_t MemberNotFound = static_cast<std::int32_t>(0x80020003); // DISP_E_MEMBERNOTFOUND: no such call kind
inline constexpr std::int32_t BadIndex = static_cast<std::int32_t>(0x8002000B);       // DISP_E_BADINDEX
inline constexpr std::int32_t BadParamCount = static_cast<std::int32_t>(0x8002000E);  // DISP_E_BADPARAMCOUNT
inline constexpr std::int32_t ObjectRequired = static_cast<std::int32_t>(0x800A01A8); // call through a non-object
inline constexpr std::int32_t Disconnected = static_cast<std::int32_t>(0x80010108);   // RPC_E_DISCONNECTED
inline constexpr std::int32_t ServerUnavailable = static_cast<std::int32_t>(0x800706BA);  // application gone
inline constexpr std::int32_t InvalidClassString = static_cast<std::int32_t>(0x800401F3); // CO_E_CLASSSTRING
inline constexpr std::int32_t OutOfMemory = static_cast<std::int32_t>(0x8007000E);    // E_OUTOFMEMORY
inline constexpr std::int32_t FileTooLarge = static_cast<std::int32_t>(0x800700DF);   // ERROR_FILE_TOO_LARGE
// A workbook format this build has no reader for (the built-in engine on Windows opens .xlsx
// and .xlsm only, not .ods or legacy .xls).
inline constexpr std::int32_t FormatNotOpenable = static_cast<std::int32_t>(0x80070032);  // ERROR_NOT_SUPPORTED
// What the built-in engine cannot open for reasons the operator can act on: a workbook saved
// with a password (encrypted), a folder, a device or pipe chosen as the file.
inline constexpr std::int32_t PasswordProtected = static_cast<std::int32_t>(0x80071772);  // ERROR_FILE_ENCRYPTED
inline constexpr std::int32_t IsAFolder = static_cast<std::int32_t>(0x80070150);  // ERROR_DIRECTORY_NOT_SUPPORTED
inline constexpr std::int32_t NotAFile = static_cast<std::int32_t>(0x800700DE);   // ERROR_BAD_FILE_TYPE
// The application refused the call: a cell outside the sheet, a file it cannot open or write,
// a value it does not accept.
inline constexpr std::int32_t ApplicationDefined = static_cast<std::int32_t>(0x800A03EC);
// The application is busy: it rejected the call (its message filter), or it cannot take calls
// while a cell is being edited or a dialog of its own is open (VBA_E_IGNORE).
inline constexpr std::int32_t CallRejected = static_cast<std::int32_t>(0x80010001);   // RPC_E_CALL_REJECTED
inline constexpr std::int32_t RetryLater = static_cast<std::int32_t>(0x8001010A);     // RPC_E_SERVERCALL_RETRYLATER
inline constexpr std::int32_t VbaIgnore = static_cast<std::int32_t>(0x800AC472);      // VBA_E_IGNORE
// The application is gone (closed by the operator, or ended): its objects answer no more.
inline constexpr std::int32_t ServerDied = static_cast<std::int32_t>(0x80010007);     // RPC_E_SERVER_DIED
inline constexpr std::int32_t ServerDiedDne = static_cast<std::int32_t>(0x80010012);  // RPC_E_SERVER_DIED_DNE
inline constexpr std::int32_t CallFailed = static_cast<std::int32_t>(0x800706BE);     // RPC_S_CALL_FAILED
inline constexpr std::int32_t CallFailedDne = static_cast<std::int32_t>(0x800706BF);  // RPC_S_CALL_FAILED_DNE
inline constexpr std::int32_t ObjectNotConnected = static_cast<std::int32_t>(0x800401FD);  // CO_E_OBJNOTCONNECTED
}  // namespace code

// A failure that passes: the application is busy and takes the call later.
bool busy(std::int32_t code);
// A failure that stays: the application is gone, and nothing of it can be called again.
bool gone(std::int32_t code);

// Every failed start, lookup or call raises this, carrying the result code.
class Error : public std::runtime_error {
public:
    Error(std::int32_t code, const std::string& what);
    std::int32_t code() const noexcept { return code_; }

private:
    std::int32_t code_;
};

class Object;
class Array;

// A date and time as automation passes it (VT_DATE): a serial of the 1900 date system.
struct Date {
    double serial = 0;
    bool operator==(const Date&) const = default;
};

// A reference-counted variant: empty, an application object, a plain value, or a table of
// plain values (what a range of several cells reads and writes). Copies share the object or
// the table; assigning or release() lets go of what the handle held.
class Handle {
public:
    enum class Kind { Empty, Object, Integer, Boolean, Double, String, Date, Array };

    Handle() = default;
    Handle(std::int32_t v) : v_(v) {}
    Handle(bool v) : v_(v) {}
    Handle(double v) : v_(v) {}
    Handle(const char* v) : v_(std::string(v)) {}
    Handle(std::string v) : v_(std::move(v)) {}
    Handle(std::string_view v) : v_(std::string(v)) {}
    Handle(Date v) : v_(v) {}
    Handle(std::shared_ptr<Object> v);
    Handle(Array v);

    Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
    bool empty() const noexcept { return kind() == Kind::Empty; }
    bool isObject() const noexcept { return kind() == Kind::Object; }
    void release() noexcept { v_ = std::monostate{}; }

    // The held object; raises code::ObjectRequired when the handle holds none.
    Object& object() const;
    const std::shared_ptr<Object>& objectPtr() const;  // null unless an object is held
    // The plain values; each raises code::TypeMismatch for another kind.
    std::int32_t integer() const;
    bool boolean() const;
    double number() const;  // an integer or a double
    const std::string& string() const;
    Date date() const;
    const Array& array() const;

    // The value as text: empty gives "", numbers in the general number format with a decimal
    // comma, booleans "True"/"False", dates d.m.yyyy h:mm:ss (the date or the time alone when
    // the other part is zero). An object or a table raises code::TypeMismatch.
    std::string text() const;
    // Holds nothing a cell would show: empty, or an empty text.
    bool blank() const noexcept;

    // How a value looks in call logs: 3, true, "text", #6.12.2026 7:05:09#, {1, 2; 3, 4},
    // <object>, <empty>.
    std::string describe() const;

private:
    std::variant<std::monostate, std::shared_ptr<Object>, std::int32_t, bool, double, std::string,
                 Date, std::shared_ptr<const Array>>
        v_;
};

// A table of plain values, row by row: a range's "Value" of several cells. A table of one row
// is what a report row is written with.
class Array {
public:
    Array(std::int32_t rows, std::int32_t columns);
    // A table of one row.
    static Array row(std::vector<Handle> values);

    std::int32_t rows() const { return rows_; }
    std::int32_t columns() const { return columns_; }
    // 1-based, as the application counts them.
    const Handle& at(std::int32_t row, std::int32_t column) const;
    Handle& at(std::int32_t row, std::int32_t column);

private:
    std::int32_t rows_, columns_;
    std::vector<Handle> cells_;
};

// One application object answering members by name. Implementations raise Error.
class Object {
public:
    virtual ~Object() = default;
    virtual Handle get(std::string_view member, std::span<const Handle> args) = 0;
    virtual void put(std::string_view member, const Handle& value) = 0;
    virtual void call(std::string_view member, std::span<const Handle> args) = 0;
};

// The three primitives. A read takes 0 to 2 positional arguments and gives a new handle, a
// write takes one value, a method call takes 0 to 8 arguments and drops any result. A call
// through an empty handle or a plain value raises code::ObjectRequired.
Handle propertyGet(const Handle& target, std::string_view member, std::initializer_list<Handle> args = {});
void propertyPut(const Handle& target, std::string_view member, const Handle& value);
void methodCall(const Handle& target, std::string_view member, std::initializer_list<Handle> args = {});

// The registry: program identifier (case-insensitive) -> factory. createObject uses the
// registered factory; without one it falls back to COM on Windows and fails with
// code::InvalidClassString elsewhere. A factory reports failure by raising Error.
using Factory = std::function<Handle()>;
void registerFactory(std::string_view progId, Factory factory);
Handle createObject(std::string_view progId);

// Registers a factory for the lifetime of the guard and puts back what was there before.
class ScopedFactory {
public:
    ScopedFactory(std::string_view progId, Factory factory);
    ~ScopedFactory();
    ScopedFactory(const ScopedFactory&) = delete;
    ScopedFactory& operator=(const ScopedFactory&) = delete;

private:
    std::string progId_;
    Factory previous_;
};

inline constexpr std::string_view kSpreadsheetProgId = "Excel.Application";

// How long the calls of this thread wait for a busy application while the guard lives: a call
// it rejects is tried again until `patience` has passed since it was first made, then fails
// with the rejection. Calls that must finish (a save, an open) wait long; the rows written at a
// tick wait no longer than a fraction of the tick. Guards nest; the default is Patient.
//
// A guard made with a question gives every call made while it lives one patience together,
// counted from the guard's start (an operation of many steps, such as closing the report, then
// waits one patience in all, not one a step). When that has passed and the application still
// turns a call away, the question is asked: true waits one patience more (and asks again after
// it), false lets the call fail with the rejection; every later call under the guard then fails
// at its first rejection. Per-call guards inside it keep its shared patience.
class CallPatience {
public:
    static constexpr std::chrono::milliseconds Patient{30000};
    static constexpr std::chrono::milliseconds WithinATick{400};
    // How long an operation the operator waits on lets a busy application be before he is asked,
    // as COM's own busy dialog comes after its message-pending delay of 5 s
    // (COleMessageFilter::SetMessagePendingDelay,
    // https://learn.microsoft.com/previous-versions/visualstudio/visual-studio-2008/y91aw7w2(v=vs.90);
    // the dialog, COleMessageFilter::SetRetryReply,
    // https://learn.microsoft.com/previous-versions/visualstudio/visual-studio-2008/9w8dhwt6(v=vs.90)).
    static constexpr std::chrono::milliseconds BeforeAsking{5000};

    explicit CallPatience(std::chrono::milliseconds patience);
    CallPatience(std::chrono::milliseconds patience, std::function<bool()> waitLonger);
    ~CallPatience();
    CallPatience(const CallPatience&) = delete;
    CallPatience& operator=(const CallPatience&) = delete;
    // The per-call patience of the calling thread now.
    static std::chrono::milliseconds current();
    // When a call first made at `start` stops waiting for a busy application.
    static std::chrono::steady_clock::time_point deadlineFor(std::chrono::steady_clock::time_point start);
    // A call is still turned away at its deadline: true when the guard's question says to wait
    // longer (its shared patience then starts again); false without a question, before the
    // shared patience has passed, or after the question was answered no.
    static bool waitLonger();
    // The time the operator spent on a question or a dialog does not count: the shared patience
    // of the guard with a question starts again now (unless he answered no already).
    static void startAgain();

    struct Shared;  // the patience a guard with a question shares with the calls under it

private:
    std::chrono::milliseconds previousPatience_;
    Shared* previousShared_;
    std::unique_ptr<Shared> shared_;
};

// Prepares the calling thread for automation calls (a single-threaded COM apartment on
// Windows, with a message filter that retries calls a busy application rejects; nothing
// elsewhere) for the guard's lifetime. The window's thread holds one.
class ThreadApartment {
public:
    ThreadApartment();
    ~ThreadApartment();
    ThreadApartment(const ThreadApartment&) = delete;
    ThreadApartment& operator=(const ThreadApartment&) = delete;

private:
    bool initialized_ = false;
    bool filterRegistered_ = false;
    void* previousFilter_ = nullptr;  // the filter registered before, put back at the end
};

// Whether COM knows the program identifier (an application installed for it); never off
// Windows.
bool comProgIdRegistered(std::string_view progId);

#ifdef _WIN32
// The COM backend: CLSIDFromProgID + CoCreateInstance, calls through IDispatch.
Handle createComObject(std::string_view progId);
#endif

}  // namespace lumo::automation
