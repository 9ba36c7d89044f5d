#include "common/operator_dialogs.h"

#include "common/messages.h"

namespace lumo {

namespace {
MessageRequest errorBox(const std::string& text) {
    return {text, msg::CaptionError, MessageIcon::Error, MessageButtons::Ok};
}
}  // namespace

void OperatorDialogs::error(const std::string& text) { message(errorBox(text)); }

void OperatorDialogs::notifyError(const std::string& text) { notify(errorBox(text)); }

}  // namespace lumo
