#pragma once
// The operator dialogs on Qt: QMessageBox and QFileDialog, in Russian through Qt's own
// translations. A box asked for from a worker thread is shown on the window's thread while
// the worker waits; at shutdown the waiting workers are let go.

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "common/operator_dialogs.h"

namespace lumo {

class QtOperatorDialogs final : public QObject, public OperatorDialogs {
    Q_OBJECT
public:
    QtOperatorDialogs() = default;
    ~QtOperatorDialogs() override;

    void setParentWindow(QWidget* w) { parent_ = w; }

    MessageResult message(const MessageRequest& request) override;
    // Queued on the window's thread, never waited for; a box of the same text that is still
    // open is not shown a second time.
    void notify(const MessageRequest& request) override;
    std::optional<std::string> openFileName(const FileDialogRequest& request) override;
    std::optional<std::string> saveFileName(const FileDialogRequest& request) override;
    std::optional<std::vector<std::string>> askFields(const FieldsRequest& request) override;
    void showException(const std::string& what) override;

    // From now on boxes asked for by other threads are not shown: the threads waiting for one
    // get OK at once, and so do later requests.
    void abandonWaiters() override;

private:
    struct Pending {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        MessageResult result = MessageResult::Ok;
    };
    MessageResult showBox(const MessageRequest& request);
    // Runs `show` on the window's thread: at once there, else queued there while the caller
    // waits; after abandonWaiters() nothing more is shown.
    MessageResult onWindowThread(std::function<MessageResult()> show);
    static void complete(Pending& p, MessageResult r);

    QPointer<QWidget> parent_;
    std::mutex mutex_;
    bool abandoned_ = false;
    std::list<std::shared_ptr<Pending>> pending_;
    std::set<std::string> notices_;  // texts of the notices queued or on screen
};

// Turns "desc|pattern|desc|pattern" into Qt's "desc (pattern);;desc (pattern)"; the pattern
// "*.*" becomes "*" so that names without a dot show too.
QString qtFileFilter(const std::string& filter);

}  // namespace lumo
