#pragma once
// The COM backend's pieces that the program's Windows code and its tests use beside the
// portable automation layer: wrapping an IDispatch as an automation object, and the message
// filter that lets calls rejected by a busy application wait and go through.

#include <windows.h>
#include <oaidl.h>

#include <chrono>

#include "automation/automation.h"

namespace lumo::automation::com {

// An automation object calling through `dispatch`; takes over one reference.
Handle wrapDispatch(IDispatch* dispatch);

// A handle other than an object as a VARIANT (VT_EMPTY, VT_I4, VT_BOOL with true as -1, VT_R8,
// VT_BSTR, VT_DATE, a table as a two-dimensional SAFEARRAY of VARIANTs counted from 1); for an
// object it gives false and leaves `out` empty.
bool scalarToVariant(const Handle& h, VARIANT& out);

// A VARIANT that holds no object as a handle: empty, numbers, booleans, texts, dates, a cell's
// error value as its text (#N/A), a one- or two-dimensional array as a table. False for an
// object (VT_DISPATCH) or a value of another kind.
bool valueFromVariant(const VARIANT& v, Handle& out);

// The message filter's patience: a call the application rejects (RPC_E_CALL_REJECTED, or
// RPC_E_SERVERCALL_RETRYLATER while busy) is tried again every RetryPauseMs until the calling
// thread's CallPatience has passed since it was first made; after that it fails with the
// rejection as before.
inline constexpr DWORD RetryPauseMs = 100;

// RetryRejectedCall's answer for a call rejected `elapsedMs` after it was made: the pause in
// milliseconds before trying again, or (DWORD)-1 to give up (at the deadline of the call being
// made, or else when the thread's patience has passed since it was made).
DWORD retryRejectedAfter(DWORD elapsedMs, DWORD rejectType);

// While it lives, the deadline of the call the thread makes (read by the message filter).
class CallDeadline {
public:
    explicit CallDeadline(std::chrono::steady_clock::time_point at);
    ~CallDeadline();
    CallDeadline(const CallDeadline&) = delete;
    CallDeadline& operator=(const CallDeadline&) = delete;
    std::chrono::steady_clock::time_point at() const { return at_; }
    void set(std::chrono::steady_clock::time_point at) { at_ = at; }

private:
    std::chrono::steady_clock::time_point at_;
    const std::chrono::steady_clock::time_point* previous_;
};

// Waits `ms` milliseconds while dispatching the thread's window messages, but for keyboard and
// mouse input: the window keeps painting and its timers run while a busy application is waited for.
void dispatchMessagesFor(DWORD ms);

// The locale every call is made in: English (United States). Excel reads the text of values
// and number formats by the locale of the call, so the program's calls mean the same on every
// computer (numbers go as numbers and dates as dates in any case).
inline constexpr LCID CallLocale = 0x0409;

}  // namespace lumo::automation::com
