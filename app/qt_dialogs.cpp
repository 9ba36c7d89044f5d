#include "app/qt_dialogs.h"

#include "common/messages.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QThread>

namespace lumo {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

// The chosen file in the system's own form: Qt's dialogs answer with forward slashes, and the
// spreadsheet application on Windows is handed the name with backslashes.
std::optional<std::string> chosenFile(const QFileDialog& dialog) {
    if (dialog.result() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return QDir::toNativeSeparators(dialog.selectedFiles().first()).toStdString();
}

}  // namespace

QString qtFileFilter(const std::string& filter) {
    QStringList parts = q(filter).split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(';', Qt::SkipEmptyParts);
        for (QString& p : patterns)
            if (p == "*.*") p = "*";
        out << QString("%1 (%2)").arg(parts[i], patterns.join(' '));
    }
    return out.join(";;");
}

QtOperatorDialogs::~QtOperatorDialogs() { abandonWaiters(); }

void QtOperatorDialogs::complete(Pending& p, MessageResult r) {
    std::lock_guard lock(p.mutex);
    if (p.done) return;
    p.done = true;
    p.result = r;
    p.cv.notify_all();
}

MessageResult QtOperatorDialogs::message(const MessageRequest& request) {
    return onWindowThread([this, request] { return showBox(request); });
}

void QtOperatorDialogs::notify(const MessageRequest& request) {
    {
        std::lock_guard lock(mutex_);
        if (abandoned_ || !notices_.insert(request.text).second) return;
    }
    // Queued even from the window's thread: the caller goes on before the box is shown.
    QMetaObject::invokeMethod(
        this,
        [this, request] {
            bool show;
            {
                std::lock_guard lock(mutex_);
                show = !abandoned_;
            }
            if (show) showBox(request);
            std::lock_guard lock(mutex_);
            notices_.erase(request.text);
        },
        Qt::QueuedConnection);
}

MessageResult QtOperatorDialogs::onWindowThread(std::function<MessageResult()> show) {
    if (QThread::currentThread() == thread()) return show();

    auto pending = std::make_shared<Pending>();
    {
        std::lock_guard lock(mutex_);
        if (abandoned_) return MessageResult::Ok;
        pending_.push_back(pending);
    }
    QMetaObject::invokeMethod(
        this,
        [this, pending, show] {
            bool stillShown;
            {
                std::lock_guard lock(mutex_);
                stillShown = !abandoned_;
            }
            MessageResult r = stillShown ? show() : MessageResult::Ok;
            complete(*pending, r);
            std::lock_guard lock(mutex_);
            pending_.remove(pending);
        },
        Qt::QueuedConnection);

    std::unique_lock lock(pending->mutex);
    pending->cv.wait(lock, [&] { return pending->done; });
    return pending->result;
}

void QtOperatorDialogs::abandonWaiters() {
    std::list<std::shared_ptr<Pending>> waiting;
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        waiting.swap(pending_);
    }
    for (auto& p : waiting) complete(*p, MessageResult::Ok);
}

namespace {

QMessageBox::Icon iconOf(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Question: return QMessageBox::Question;
    }
    return QMessageBox::Critical;
}

}  // namespace

MessageResult QtOperatorDialogs::showBox(const MessageRequest& request) {
    const QMessageBox::Icon icon = iconOf(request.icon);
    if (request.buttons == MessageButtons::WaitOrLeave) {
        // The choice while the spreadsheet application stays busy: waiting is the default, and
        // closing the box leaves the report open.
        QMessageBox box(icon, q(request.caption), q(request.text), QMessageBox::NoButton, parent_.data());
        QPushButton* wait = box.addButton(q(msg::WaitButton), QMessageBox::AcceptRole);
        QPushButton* leave = box.addButton(q(msg::LeaveOpenButton), QMessageBox::RejectRole);
        box.setDefaultButton(wait);
        box.setEscapeButton(leave);
        box.exec();
        return box.clickedButton() == wait ? MessageResult::Wait : MessageResult::Leave;
    }
    const bool yesNo = request.buttons == MessageButtons::YesNo;
    QMessageBox box(icon, q(request.caption), q(request.text),
                    yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
                    parent_.data());
    box.setDefaultButton(yesNo ? QMessageBox::Yes : QMessageBox::Ok);
    int r = box.exec();
    if (!yesNo) return MessageResult::Ok;
    return r == QMessageBox::Yes ? MessageResult::Yes : MessageResult::No;
}

std::optional<std::string> QtOperatorDialogs::openFileName(const FileDialogRequest& request) {
    QFileDialog dialog(parent_.data(), QString(), q(request.initialName), qtFileFilter(request.filter));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (!request.defaultExtension.empty()) dialog.setDefaultSuffix(q(request.defaultExtension));
    dialog.exec();
    return chosenFile(dialog);
}

std::optional<std::string> QtOperatorDialogs::saveFileName(const FileDialogRequest& request) {
    QFileDialog dialog(parent_.data(), QString(), q(request.initialName), qtFileFilter(request.filter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // Replacing an existing file is confirmed first (Qt's standard question).
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    if (!request.defaultExtension.empty()) dialog.setDefaultSuffix(q(request.defaultExtension));
    dialog.exec();
    return chosenFile(dialog);
}

std::optional<std::vector<std::string>> QtOperatorDialogs::askFields(const FieldsRequest& request) {
    QDialog dialog(parent_.data());
    dialog.setWindowTitle(q(request.caption));
    auto* form = new QFormLayout(&dialog);
    std::vector<QLineEdit*> edits;
    for (const auto& [label, text] : request.fields) {
        auto* edit = new QLineEdit(q(text), &dialog);
        edit->setMinimumWidth(320);
        form->addRow(q(label), edit);
        edits.push_back(edit);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    std::vector<std::string> texts;
    for (QLineEdit* edit : edits) texts.push_back(edit->text().trimmed().toStdString());
    return texts;
}

void QtOperatorDialogs::showException(const std::string& what) {
    // The standard exception box: the application's title, the message ending in a full stop.
    // A worker's exception is shown on the window's thread while the worker waits.
    onWindowThread([this, what] {
        QString text = q(what);
        if (!text.isEmpty() && !text.endsWith('.')) text += '.';
        QMessageBox::critical(parent_.data(), QApplication::applicationName(), text);
        return MessageResult::Ok;
    });
}

}  // namespace lumo
