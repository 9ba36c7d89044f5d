#include "automation/automation.h"

#include <algorithm>
#include <map>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "common/date_serial.h"
#include "common/numtext.h"

namespace lumo::automation {

Error::Error(std::int32_t code, const std::string& what) : std::runtime_error(what), code_(code) {}

Handle::Handle(std::shared_ptr<Object> v) {
    if (v) v_ = std::move(v);
}

Handle::Handle(Array v) : v_(std::make_shared<const Array>(std::move(v))) {}

Array::Array(std::int32_t rows, std::int32_t columns)
    : rows_(rows < 0 ? 0 : rows), columns_(columns < 0 ? 0 : columns),
      cells_(static_cast<size_t>(rows_) * static_cast<size_t>(columns_)) {}

Array Array::row(std::vector<Handle> values) {
    Array a(1, static_cast<std::int32_t>(values.size()));
    a.cells_ = std::move(values);
    return a;
}

const Handle& Array::at(std::int32_t row, std::int32_t column) const {
    if (row < 1 || row > rows_ || column < 1 || column > columns_)
        throw Error(code::BadIndex, "outside the table of values");
    return cells_[static_cast<size_t>(row - 1) * static_cast<size_t>(columns_) + static_cast<size_t>(column - 1)];
}

Handle& Array::at(std::int32_t row, std::int32_t column) {
    return const_cast<Handle&>(static_cast<const Array&>(*this).at(row, column));
}

namespace {

[[noreturn]] void typeMismatch(const char* wanted) {
    throw Error(code::TypeMismatch, std::string("automation value is not ") + wanted);
}

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return out;
}

// The called object, held for the whole call: a handle assigned anew while the call waits (a
// nested handler run by the wait) does not release the object the call is still made on.
std::shared_ptr<Object> target(const Handle& h, std::string_view member) {
    if (!h.isObject())
        throw Error(code::ObjectRequired, "call of " + std::string(member) + " through a handle without an object");
    return h.objectPtr();
}

struct Registry {
    std::mutex mutex;
    std::map<std::string, Factory> factories;  // keyed by the lower-case program identifier
};

Registry& registry() {
    static Registry r;
    return r;
}

Factory swapFactory(std::string_view progId, Factory factory) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::string key = lowerAscii(progId);
    Factory previous;
    auto it = r.factories.find(key);
    if (it != r.factories.end()) previous = std::move(it->second);
    if (factory)
        r.factories[key] = std::move(factory);
    else if (it != r.factories.end())
        r.factories.erase(it);
    return previous;
}

}  // namespace

Object& Handle::object() const {
    if (!isObject()) throw Error(code::ObjectRequired, "automation handle holds no object");
    return *std::get<std::shared_ptr<Object>>(v_);
}

const std::shared_ptr<Object>& Handle::objectPtr() const {
    static const std::shared_ptr<Object> none;
    return isObject() ? std::get<std::shared_ptr<Object>>(v_) : none;
}

std::int32_t Handle::integer() const {
    if (kind() != Kind::Integer) typeMismatch("an integer");
    return std::get<std::int32_t>(v_);
}

bool Handle::boolean() const {
    if (kind() != Kind::Boolean) typeMismatch("a boolean");
    return std::get<bool>(v_);
}

double Handle::number() const {
    if (kind() == Kind::Integer) return std::get<std::int32_t>(v_);
    if (kind() != Kind::Double) typeMismatch("a number");
    return std::get<double>(v_);
}

const std::string& Handle::string() const {
    if (kind() != Kind::String) typeMismatch("a string");
    return std::get<std::string>(v_);
}

Date Handle::date() const {
    if (kind() != Kind::Date) typeMismatch("a date");
    return std::get<Date>(v_);
}

const Array& Handle::array() const {
    if (kind() != Kind::Array) typeMismatch("a table of values");
    return *std::get<std::shared_ptr<const Array>>(v_);
}

bool Handle::blank() const noexcept {
    return kind() == Kind::Empty || (kind() == Kind::String && std::get<std::string>(v_).empty());
}

namespace {

std::string dateText(double serial) {
    const DateTimeParts p = dateTimeParts(serial);
    const double whole = std::floor(serial);
    char buf[48];
    if (whole == 0)  // a time of day alone, midnight too
        std::snprintf(buf, sizeof buf, "%d:%02d:%02d", p.hour, p.minute, p.second);
    else if (serial == whole)
        std::snprintf(buf, sizeof buf, "%d.%d.%d", p.day, p.month, p.year);
    else
        std::snprintf(buf, sizeof buf, "%d.%d.%d %d:%02d:%02d", p.day, p.month, p.year, p.hour, p.minute,
                      p.second);
    return buf;
}

}  // namespace

std::string Handle::text() const {
    switch (kind()) {
        case Kind::Empty: return {};
        case Kind::Integer: return std::to_string(std::get<std::int32_t>(v_));
        case Kind::Boolean: return std::get<bool>(v_) ? "True" : "False";
        case Kind::Double: return formatGeneral(std::get<double>(v_));
        case Kind::String: return std::get<std::string>(v_);
        case Kind::Date: return dateText(std::get<Date>(v_).serial);
        case Kind::Object:
        case Kind::Array: break;
    }
    typeMismatch("convertible to text");
}

std::string Handle::describe() const {
    switch (kind()) {
        case Kind::Empty: return "<empty>";
        case Kind::Object: return "<object>";
        case Kind::Boolean: return std::get<bool>(v_) ? "true" : "false";
        case Kind::String: return '"' + std::get<std::string>(v_) + '"';
        case Kind::Date: return "#" + text() + "#";
        case Kind::Array: {
            const Array& a = array();
            std::string out = "{";
            for (std::int32_t r = 1; r <= a.rows(); ++r)
                for (std::int32_t c = 1; c <= a.columns(); ++c)
                    out += (c > 1 ? ", " : r > 1 ? "; " : "") + a.at(r, c).describe();
            return out + "}";
        }
        default: return text();
    }
}

Handle propertyGet(const Handle& h, std::string_view member, std::initializer_list<Handle> args) {
    const std::shared_ptr<Object> obj = target(h, member);
    if (args.size() > 2) throw Error(code::BadParamCount, "a property read takes at most 2 arguments");
    return obj->get(member, std::span<const Handle>(args.begin(), args.size()));
}

void propertyPut(const Handle& h, std::string_view member, const Handle& value) {
    const Handle held = value;  // the value too: it may be a handle that the wait assigns anew
    target(h, member)->put(member, held);
}

void methodCall(const Handle& h, std::string_view member, std::initializer_list<Handle> args) {
    const std::shared_ptr<Object> obj = target(h, member);
    if (args.size() > 8) throw Error(code::BadParamCount, "a method call takes at most 8 arguments");
    obj->call(member, std::span<const Handle>(args.begin(), args.size()));
}

void registerFactory(std::string_view progId, Factory factory) { swapFactory(progId, std::move(factory)); }

bool busy(std::int32_t c) { return c == code::CallRejected || c == code::RetryLater || c == code::VbaIgnore; }

bool gone(std::int32_t c) {
    // A call that failed and did not run (RPC_S_CALL_FAILED_DNE, System Error Codes 1700-3999,
    // https://learn.microsoft.com/windows/win32/debug/system-error-codes--1700-3999-) and an
    // object no longer connected to its server (CO_E_OBJNOTCONNECTED, COM Error Codes,
    // https://learn.microsoft.com/windows/win32/com/com-error-codes) mean the same as the others:
    // the application's process is gone.
    return c == code::Disconnected || c == code::ServerUnavailable || c == code::CallFailed ||
           c == code::CallFailedDne || c == code::ServerDied || c == code::ServerDiedDne ||
           c == code::ObjectRequired || c == code::ObjectNotConnected;
}

struct CallPatience::Shared {
    std::chrono::steady_clock::time_point deadline;
    std::chrono::milliseconds patience;
    std::function<bool()> ask;
    bool refused = false;  // the question was answered no: no more waiting under this guard
};

namespace {
using Clock = std::chrono::steady_clock;
thread_local std::chrono::milliseconds patienceNow = CallPatience::Patient;
thread_local CallPatience::Shared* sharedNow = nullptr;
}  // namespace

CallPatience::CallPatience(std::chrono::milliseconds patience)
    : previousPatience_(patienceNow), previousShared_(sharedNow) {
    patienceNow = patience;
}

CallPatience::CallPatience(std::chrono::milliseconds patience, std::function<bool()> waitLonger)
    : previousPatience_(patienceNow), previousShared_(sharedNow),
      shared_(new Shared{Clock::now() + patience, patience, std::move(waitLonger)}) {
    patienceNow = patience;
    sharedNow = shared_.get();
}

CallPatience::~CallPatience() {
    patienceNow = previousPatience_;
    sharedNow = previousShared_;
}

std::chrono::milliseconds CallPatience::current() { return patienceNow; }

Clock::time_point CallPatience::deadlineFor(Clock::time_point start) {
    const Clock::time_point own = start + patienceNow;
    if (!sharedNow) return own;
    if (sharedNow->refused) return start;
    return std::min(own, sharedNow->deadline);
}

void CallPatience::startAgain() {
    if (sharedNow && !sharedNow->refused) sharedNow->deadline = Clock::now() + sharedNow->patience;
}

bool CallPatience::waitLonger() {
    Shared* s = sharedNow;
    if (!s || s->refused || !s->ask || Clock::now() < s->deadline) return false;
    if (!s->ask()) {
        s->refused = true;
        return false;
    }
    s->deadline = Clock::now() + s->patience;
    return true;
}


Handle createObject(std::string_view progId) {
    Factory factory;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.factories.find(lowerAscii(progId));
        if (it != r.factories.end()) factory = it->second;
    }
    if (factory) return factory();
#ifdef _WIN32
    return createComObject(progId);
#else
    throw Error(code::InvalidClassString, "no application registered as " + std::string(progId));
#endif
}

ScopedFactory::ScopedFactory(std::string_view progId, Factory factory)
    : progId_(progId), previous_(swapFactory(progId, std::move(factory))) {}

ScopedFactory::~ScopedFactory() { swapFactory(progId_, std::move(previous_)); }

#ifndef _WIN32
ThreadApartment::ThreadApartment() = default;
ThreadApartment::~ThreadApartment() = default;
bool comProgIdRegistered(std::string_view) { return false; }
#endif

}  // namespace lumo::automation
