#pragma once
// Every event handler of the windows runs through guarded(): an exception that escapes the
// handler stops at its edge (Qt does not let exceptions unwind through its event loop) and is
// shown in the standard exception box; the program goes on.

#include <utility>

#include "common/operator_dialogs.h"

namespace lumo {

// A slot for connect(): calls the handler inside runGuarded.
template <class F>
auto guarded(OperatorDialogs& dialogs, F handler) {
    return [&dialogs, handler = std::move(handler)]() mutable { runGuarded(dialogs, handler); };
}

}  // namespace lumo
