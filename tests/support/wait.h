// Waiting in tests: for a condition to hold, polled or while this thread's messages are
// dispatched, always under a watchdog that only a hang reaches.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "platform/window.h"

// Long enough that a wait which should end never reaches it; it only guards against a hang.
constexpr auto kWatchdog = std::chrono::seconds(60);

// Calls pred until it holds, waking every 10 ms; false when limit ran out first.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds limit = kWatchdog) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Whether this thread is inside the DispatchMessage of PumpUntil: the message was posted.
inline thread_local bool t_pumpDispatching = false;

// Dispatches this thread's messages until done() (checked before each message) holds; with
// quitCode a WM_QUIT ends it too, its code in *quitCode. False when limit ran out first.
inline bool PumpUntil(const std::function<bool()>& done, int* quitCode = nullptr,
                      std::chrono::milliseconds limit = kWatchdog) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (MSG m{}; !done || !done();) {
        if (!PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        } else if (m.message == WM_QUIT && quitCode) {
            *quitCode = static_cast<int>(m.wParam);
            return true;
        } else {
            t_pumpDispatching = true;
            DispatchMessageW(&m);
            t_pumpDispatching = false;
        }
    }
    return true;
}

// Dispatches every message due now, WM_PAINT included.
inline void PumpPending() {
    for (MSG m{}; PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&m);
}
