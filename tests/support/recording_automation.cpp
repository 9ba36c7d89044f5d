#include "support/recording_automation.h"

#include <algorithm>

namespace lumo::test {

using automation::Error;
using automation::Handle;

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string argList(const std::vector<Handle>& args) {
    std::string out;
    for (size_t i = 0; i < args.size(); ++i) out += (i ? ", " : "") + args[i].describe();
    return out;
}

}  // namespace

struct RecordingAutomation::State {
    std::vector<RecordedCall> log;
    std::optional<std::pair<std::size_t, std::int32_t>> failAt, failFrom;
    struct MemberRule {
        std::string member;
        int occurrence;
        std::int32_t code;
        int seen = 0;
    };
    std::vector<MemberRule> memberRules;
    std::optional<std::int32_t> failCreate;
    Answer answer;
    int live = 0;
    int created = 0;

    // Logs the call, then raises if a rule says so.
    void record(RecordedCall call) {
        log.push_back(std::move(call));
        const RecordedCall& c = log.back();
        std::size_t n = log.size();
        if (failAt && failAt->first == n) throw Error(failAt->second, "scripted failure of " + c.text());
        if (failFrom && n >= failFrom->first) throw Error(failFrom->second, "scripted failure of " + c.text());
        for (MemberRule& rule : memberRules) {
            if (lower(c.member) != rule.member) continue;
            ++rule.seen;
            if (rule.occurrence == 0 || rule.occurrence == rule.seen)
                throw Error(rule.code, "scripted failure of " + c.text());
        }
    }
};

namespace {

class RecordingObject final : public automation::Object {
public:
    RecordingObject(std::shared_ptr<RecordingAutomation::State> state, std::string name)
        : state_(std::move(state)), name_(std::move(name)) {
        ++state_->live;
    }
    ~RecordingObject() override { --state_->live; }

    Handle get(std::string_view member, std::span<const Handle> args) override {
        RecordedCall call{RecordedCall::Kind::Get, name_, std::string(member), {args.begin(), args.end()}};
        state_->record(call);
        if (state_->answer)
            if (auto h = state_->answer(call)) return *h;
        // What an application answers by default: empty cells, none merged, a sheet of
        // 1,048,576 rows, no workbook left once the report's is closed, a writable .xlsx
        // workbook.
        const std::string m = lower(call.member);
        if (m == "value") return Handle(std::string());
        if (m == "mergecells") return Handle(false);
        if (m == "count") return Handle(std::int32_t{name_.ends_with("WorkBooks()") ? 0 : 1048576});
        if (m == "readonly") return Handle(false);
        if (m == "fileformat") return Handle(std::int32_t{51});
        if (m == "name") return Handle("r1.xlsx");
        return Handle(std::shared_ptr<automation::Object>(
            std::make_shared<RecordingObject>(state_, name_ + "." + call.member + "(" + argList(call.args) + ")")));
    }
    void put(std::string_view member, const Handle& value) override {
        state_->record(RecordedCall{RecordedCall::Kind::Put, name_, std::string(member), {value}});
    }
    void call(std::string_view member, std::span<const Handle> args) override {
        state_->record(RecordedCall{RecordedCall::Kind::Call, name_, std::string(member), {args.begin(), args.end()}});
    }

private:
    std::shared_ptr<RecordingAutomation::State> state_;
    std::string name_;
};

}  // namespace

std::int32_t errorCodeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& e) {
        return e.code();
    }
    return 0;
}

std::string RecordedCall::text() const {
    switch (kind) {
        case Kind::Create: return "create " + object;
        case Kind::Get: return "get " + object + "." + member + "(" + argList(args) + ")";
        case Kind::Put: return "put " + object + "." + member + " = " + (args.empty() ? "" : args[0].describe());
        case Kind::Call: return "call " + object + "." + member + "(" + argList(args) + ")";
    }
    return {};
}

RecordingAutomation::RecordingAutomation() : state_(std::make_shared<State>()) {}
RecordingAutomation::~RecordingAutomation() = default;

namespace {
ObjectRoute& installRoute() {
    static ObjectRoute route;
    return route;
}
}  // namespace

void setInstallRoute(ObjectRoute route) { installRoute() = std::move(route); }

void RecordingAutomation::install() {
    registration_ = std::make_unique<automation::ScopedFactory>(automation::kSpreadsheetProgId, [this] {
        Handle app = create();
        return installRoute() ? installRoute()(app) : app;
    });
}

Handle RecordingAutomation::create() {
    state_->record(RecordedCall{RecordedCall::Kind::Create, std::string(automation::kSpreadsheetProgId), "", {}});
    if (state_->failCreate) throw Error(*state_->failCreate, "scripted failure to start");
    ++state_->created;
    std::string name = state_->created == 1 ? "app" : "app" + std::to_string(state_->created);
    return Handle(std::shared_ptr<automation::Object>(std::make_shared<RecordingObject>(state_, name)));
}

const std::vector<RecordedCall>& RecordingAutomation::calls() const { return state_->log; }

std::vector<std::string> RecordingAutomation::lines() const {
    std::vector<std::string> out;
    for (const RecordedCall& c : state_->log) out.push_back(c.text());
    return out;
}

void RecordingAutomation::clearLog() { state_->log.clear(); }

void RecordingAutomation::failAtCall(std::size_t k, std::int32_t code) { state_->failAt = {k, code}; }
void RecordingAutomation::failFromCall(std::size_t k, std::int32_t code) { state_->failFrom = {k, code}; }
void RecordingAutomation::failAtMember(std::string member, int occurrence, std::int32_t code) {
    state_->memberRules.push_back({lower(std::move(member)), occurrence, code});
}
void RecordingAutomation::failCreate(std::int32_t code) { state_->failCreate = code; }
void RecordingAutomation::clearFailures() {
    state_->failAt.reset();
    state_->failFrom.reset();
    state_->memberRules.clear();
    state_->failCreate.reset();
}

void RecordingAutomation::answerReads(Answer answer) { state_->answer = std::move(answer); }

int RecordingAutomation::liveObjects() const { return state_->live; }

}  // namespace lumo::test
