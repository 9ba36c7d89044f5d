#include "automation/automation.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "common/numtext.h"

namespace lumo::automation {

Error::Error(std::int32_t code, const std::string& what) : std::runtime_error(what), code_(code) {}

Handle::Handle(std::shared_ptr<Object> v) {
    if (v) v_ = std::move(v);
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

Object& target(const Handle& h, std::string_view member) {
    if (!h.isObject())
        throw Error(code::ObjectRequired, "call of " + std::string(member) + " through a handle without an object");
    return h.object();
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

std::string Handle::text() const {
    switch (kind()) {
        case Kind::Empty: return {};
        case Kind::Integer: return std::to_string(std::get<std::int32_t>(v_));
        case Kind::Boolean: return std::get<bool>(v_) ? "True" : "False";
        case Kind::Double: return formatGeneral(std::get<double>(v_));
        case Kind::String: return std::get<std::string>(v_);
        case Kind::Object: break;
    }
    typeMismatch("convertible to text");
}

std::string Handle::describe() const {
    switch (kind()) {
        case Kind::Empty: return "<empty>";
        case Kind::Object: return "<object>";
        case Kind::Boolean: return std::get<bool>(v_) ? "true" : "false";
        case Kind::String: return '"' + std::get<std::string>(v_) + '"';
        default: return text();
    }
}

Handle propertyGet(const Handle& h, std::string_view member, std::initializer_list<Handle> args) {
    Object& obj = target(h, member);
    if (args.size() > 2) throw Error(code::BadParamCount, "a property read takes at most 2 arguments");
    return obj.get(member, std::span<const Handle>(args.begin(), args.size()));
}

void propertyPut(const Handle& h, std::string_view member, const Handle& value) {
    target(h, member).put(member, value);
}

void methodCall(const Handle& h, std::string_view member, std::initializer_list<Handle> args) {
    Object& obj = target(h, member);
    if (args.size() > 4) throw Error(code::BadParamCount, "a method call takes at most 4 arguments");
    obj.call(member, std::span<const Handle>(args.begin(), args.size()));
}

void registerFactory(std::string_view progId, Factory factory) { swapFactory(progId, std::move(factory)); }


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
#endif

}  // namespace lumo::automation
