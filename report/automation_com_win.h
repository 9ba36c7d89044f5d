#pragma once
// The COM backend's pieces that the program's Windows code and its tests use beside the
// portable automation layer: wrapping an IDispatch as an automation object.

#include <windows.h>
#include <oaidl.h>

#include "report/automation.h"

namespace lumo::automation::com {

// An automation object calling through `dispatch`; takes over one reference.
Handle wrapDispatch(IDispatch* dispatch);

}  // namespace lumo::automation::com
