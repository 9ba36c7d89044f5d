#pragma once
// Operator dialogs for the benchmarks: every box is printed to standard error and answered at
// once (OK, or No to a question); file dialogs are cancelled.

#include <cstdio>

#include "common/operator_dialogs.h"

namespace lumo::bench {

class ConsoleDialogs : public OperatorDialogs {
public:
    MessageResult message(const MessageRequest& r) override {
        std::fprintf(stderr, "message: %s\n", r.text.c_str());
        return r.buttons == MessageButtons::YesNo ? MessageResult::No : MessageResult::Ok;
    }
    std::optional<std::string> openFileName(const FileDialogRequest&) override { return {}; }
    std::optional<std::string> saveFileName(const FileDialogRequest&) override { return {}; }
    void showException(const std::string& what) override {
        std::fprintf(stderr, "exception: %s\n", what.c_str());
    }
};

}  // namespace lumo::bench
