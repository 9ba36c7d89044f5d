#include "common/operator_dialogs.h"

#include "common/messages.h"

namespace lumo {

void OperatorDialogs::error(const std::string& text) {
    message({text, msg::CaptionError, MessageIcon::Error, MessageButtons::Ok});
}

}  // namespace lumo
