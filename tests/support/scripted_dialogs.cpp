#include "support/scripted_dialogs.h"

namespace lumo::test {

MessageResult ScriptedDialogs::message(const MessageRequest& request) {
    std::function<void(const MessageRequest&)> shown;
    MessageResult r = MessageResult::Ok;
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(request);
        shown = onShown_;
        if (request.buttons == MessageButtons::YesNo || request.buttons == MessageButtons::WaitOrLeave) {
            // Unscripted, a question is answered Yes, and the busy application's choice leaves
            // the report open (a test never waits for good).
            r = request.buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Leave;
            if (!answers_.empty()) {
                r = answers_.front();
                answers_.pop_front();
            }
        }
    }
    if (shown) shown(request);
    return r;
}

std::optional<std::string> ScriptedDialogs::openFileName(const FileDialogRequest& request) {
    std::lock_guard lock(mutex_);
    fileDialogs_.push_back(request);
    if (openNames_.empty()) return std::nullopt;
    auto r = openNames_.front();
    openNames_.pop_front();
    return r;
}

std::optional<std::string> ScriptedDialogs::saveFileName(const FileDialogRequest& request) {
    std::lock_guard lock(mutex_);
    fileDialogs_.push_back(request);
    if (saveNames_.empty()) return std::nullopt;
    auto r = saveNames_.front();
    saveNames_.pop_front();
    return r;
}

std::optional<std::vector<std::string>> ScriptedDialogs::askFields(const FieldsRequest& request) {
    std::lock_guard lock(mutex_);
    forms_.push_back(request);
    if (fieldsAnswers_.empty()) {
        std::vector<std::string> texts;
        for (const auto& field : request.fields) texts.push_back(field.second);
        return texts;
    }
    auto r = fieldsAnswers_.front();
    fieldsAnswers_.pop_front();
    return r;
}

void ScriptedDialogs::fieldsAnswer(std::optional<std::vector<std::string>> texts) {
    std::lock_guard lock(mutex_);
    fieldsAnswers_.push_back(std::move(texts));
}

std::vector<FieldsRequest> ScriptedDialogs::forms() const {
    std::lock_guard lock(mutex_);
    return forms_;
}

void ScriptedDialogs::showException(const std::string& what) {
    std::lock_guard lock(mutex_);
    exceptions_.push_back(what);
}

void ScriptedDialogs::whenShown(std::function<void(const MessageRequest&)> action) {
    std::lock_guard lock(mutex_);
    onShown_ = std::move(action);
}

void ScriptedDialogs::answer(MessageResult r) {
    std::lock_guard lock(mutex_);
    answers_.push_back(r);
}
void ScriptedDialogs::openName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    openNames_.push_back(std::move(name));
}
void ScriptedDialogs::saveName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    saveNames_.push_back(std::move(name));
}

std::vector<MessageRequest> ScriptedDialogs::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}
std::vector<std::string> ScriptedDialogs::texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> t;
    for (const auto& m : messages_) t.push_back(m.text);
    return t;
}
std::vector<std::string> ScriptedDialogs::exceptions() const {
    std::lock_guard lock(mutex_);
    return exceptions_;
}
std::vector<FileDialogRequest> ScriptedDialogs::fileDialogs() const {
    std::lock_guard lock(mutex_);
    return fileDialogs_;
}
void ScriptedDialogs::clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
    exceptions_.clear();
    fileDialogs_.clear();
}

}  // namespace lumo::test
