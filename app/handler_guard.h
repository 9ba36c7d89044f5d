#pragma once
// Every event handler of the windows runs through guarded(): an exception that escapes the
// handler stops at its edge (Qt does not let exceptions unwind through its event loop) and is
// shown in the standard exception box; the program goes on.

#include <exception>
#include <utility>

#include "common/operator_dialogs.h"

namespace lumo {

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

// A slot for connect(): calls the handler inside runGuarded.
template <class F>
auto guarded(OperatorDialogs& dialogs, F handler) {
    return [&dialogs, handler = std::move(handler)]() mutable { runGuarded(dialogs, handler); };
}

}  // namespace lumo
