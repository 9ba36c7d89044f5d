#pragma once
// Operator dialogs for tests: every box is recorded and answered from a script; file dialogs
// answer the names queued for them. Safe to use from worker threads.

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/operator_dialogs.h"

namespace lumo::test {

class ScriptedDialogs : public OperatorDialogs {
public:
    MessageResult message(const MessageRequest& request) override;
    std::optional<std::string> openFileName(const FileDialogRequest& request) override;
    std::optional<std::string> saveFileName(const FileDialogRequest& request) override;
    std::optional<std::vector<std::string>> askFields(const FieldsRequest& request) override;
    void showException(const std::string& what) override;

    // Answers for Yes/No and Wait/Leave boxes, in order; when none is queued the answer is Yes,
    // or Leave.
    void answer(MessageResult r);
    // Runs for every box shown, as the operator sees it (before it is answered): what he does
    // meanwhile, elsewhere.
    void whenShown(std::function<void(const MessageRequest&)> action);
    // Names for the next file dialogs; nullopt is a cancelled dialog. None queued: cancelled.
    void openName(std::optional<std::string> name);
    void saveName(std::optional<std::string> name);
    // Answers for the next forms; nullopt is a cancelled form. None queued: the texts as given.
    void fieldsAnswer(std::optional<std::vector<std::string>> texts);
    std::vector<FieldsRequest> forms() const;

    std::vector<MessageRequest> messages() const;
    std::vector<std::string> texts() const;  // the texts of the boxes shown, in order
    std::vector<std::string> exceptions() const;
    std::vector<FileDialogRequest> fileDialogs() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<MessageRequest> messages_;
    std::vector<std::string> exceptions_;
    std::vector<FileDialogRequest> fileDialogs_;
    std::deque<MessageResult> answers_;
    std::function<void(const MessageRequest&)> onShown_;
    std::deque<std::optional<std::string>> openNames_, saveNames_;
    std::vector<FieldsRequest> forms_;
    std::deque<std::optional<std::vector<std::string>>> fieldsAnswers_;
};

}  // namespace lumo::test
