#pragma once
// What the program asks of the operator: modal message boxes and the report file dialogs.
// The window supplies a Qt implementation; tests supply a scripted one. Lower layers take it
// by reference, so they never reach up to the window.

#include <exception>
#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace lumo {

enum class MessageIcon { Error, Warning, Information, Question };
// WaitOrLeave: the choice offered while the spreadsheet application stays busy, buttons
// msg::WaitButton and msg::LeaveOpenButton, answered Wait or Leave (Leave when closed).
enum class MessageButtons { Ok, YesNo, WaitOrLeave };
enum class MessageResult { Ok, Yes, No, Wait, Leave };

// One modal message box. Texts are UTF-8.
struct MessageRequest {
    std::string text;
    std::string caption;
    MessageIcon icon = MessageIcon::Error;
    MessageButtons buttons = MessageButtons::Ok;
};

// One file dialog. `filter` pairs description and pattern as "desc|pattern|desc|pattern".
struct FileDialogRequest {
    std::string filter;
    std::string defaultExtension;  // without the dot, may be empty
    std::string initialName;       // the name shown at first, may be empty
};

// A small form of one-line text fields: a caption, then each field's label and its text at
// first. The answer is the texts in the same order.
struct FieldsRequest {
    std::string caption;
    std::vector<std::pair<std::string, std::string>> fields;  // label, text
};

class OperatorDialogs {
public:
    virtual ~OperatorDialogs() = default;

    // Shows the box and waits for the answer. Safe to call from any thread: a box asked for
    // from another thread is shown on the window's thread while the caller waits.
    virtual MessageResult message(const MessageRequest& request) = 0;

    // File dialogs, window thread only. An empty result means the operator cancelled.
    virtual std::optional<std::string> openFileName(const FileDialogRequest& request) = 0;
    virtual std::optional<std::string> saveFileName(const FileDialogRequest& request) = 0;

    // A form of text fields, window thread only; empty when the operator cancelled. Dialogs that
    // have no form cancel.
    virtual std::optional<std::vector<std::string>> askFields(const FieldsRequest&) { return std::nullopt; }

    // The standard box for an exception that reached the edge of a handler.
    virtual void showException(const std::string& what) = 0;

    // At shutdown: threads waiting for a box are let go, and later requests from other
    // threads return at once.
    virtual void abandonWaiters() {}

    // Shows the box without the caller waiting for the operator where the dialogs can (the
    // window's dialogs queue it on the window's thread, and show a box that is still open only
    // once); here the same as message(). For news that needs no answer from any thread.
    virtual void notify(const MessageRequest& request) { (void)message(request); }

    // Convenience: an error box with the caption "Ошибка", the error icon and OK; shown and
    // waited for, or only shown.
    void error(const std::string& text);
    void notifyError(const std::string& text);
};

// Runs `handler`; an exception that escapes it stops here and is shown in the standard
// exception box (the windows' handlers and the workers' jobs both end at such an edge).
template <class F>
void runGuarded(OperatorDialogs& dialogs, F&& handler) noexcept {
    try {
        try {
            std::forward<F>(handler)();
        } catch (const std::exception& e) {
            dialogs.showException(e.what());
        } catch (...) {
            dialogs.showException("");
        }
    } catch (...) {
        // The box itself failed; nothing more can be told.
    }
}

}  // namespace lumo
