// A real window on a thread of its own with a message loop, recording every message of the
// application range (WM_USER and above) it receives. Tests hand its handle to the code under
// test and wait for messages with a watchdog.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/sync.h"
#include "platform/window.h"

struct ReceivedMessage {
    UINT msg;       // message number
    WPARAM wParam;  // as posted
    LPARAM lParam;  // as posted
};

class MessageWindow {
  public:
    // Long enough that a wait which should end never reaches it; it only guards against a hang.
    static constexpr auto kWatchdog = std::chrono::seconds(20);
    // Posted by Sync; once it is seen, every message posted before it has been recorded.
    static constexpr UINT kSyncMessage = WM_APP + 77;

    // onMessage, when given, runs on the window's thread as each message arrives.
    explicit MessageWindow(std::function<void(const ReceivedMessage&)> onMessage = nullptr)
        : onMessage_(std::move(onMessage)) {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
        if (thread_) WaitForSingleObject(ready_, 20000);
    }
    ~MessageWindow() {
        if (hwnd_) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
        if (thread_) {
            WaitForSingleObject(thread_, 20000);
            CloseHandle(thread_);
        }
        CloseHandle(ready_);
    }
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    HWND Handle() const { return hwnd_; }

    // The messages numbered msg once there are at least n, or those that came in time.
    std::vector<ReceivedMessage> WaitFor(UINT msg, size_t n) {
        std::unique_lock<std::mutex> g(lock_);
        changed_.wait_for(g, kWatchdog, [&] { return CountLocked(msg) >= n; });
        return OfLocked(msg);
    }
    // Waits until everything posted to the window before this call has been recorded.
    bool Sync() {
        size_t before = WaitFor(kSyncMessage, 0).size();
        PostMessageW(hwnd_, kSyncMessage, 0, 0);
        return WaitFor(kSyncMessage, before + 1).size() == before + 1;
    }
    std::vector<ReceivedMessage> Of(UINT msg) {
        std::lock_guard<std::mutex> g(lock_);
        return OfLocked(msg);
    }

  private:
    size_t CountLocked(UINT msg) const { return OfLocked(msg).size(); }
    std::vector<ReceivedMessage> OfLocked(UINT msg) const {
        std::vector<ReceivedMessage> out;
        for (const auto& m : seen_) {
            if (m.msg == msg) out.push_back(m);
        }
        return out;
    }

    static LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<MessageWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (msg == WM_CREATE) {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
            return 0;
        }
        if (msg == WM_CLOSE) {
            DestroyWindow(hwnd);
            return 0;
        }
        if (msg == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        if (self && msg >= WM_USER) {
            ReceivedMessage m{msg, wParam, lParam};
            if (self->onMessage_ && msg != kSyncMessage) self->onMessage_(m);
            std::lock_guard<std::mutex> g(self->lock_);
            self->seen_.push_back(m);
            self->changed_.notify_all();
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }

    static DWORD ThreadMain(LPVOID param) {
        auto* self = static_cast<MessageWindow*>(param);
        WNDCLASSW wc{};
        wc.lpfnWndProc = WndProc;
        wc.lpszClassName = u"VantloTestMessageWindow";
        RegisterClassW(&wc);  // already registered by an earlier window: fine
        self->hwnd_ = CreateWindowExW(0, wc.lpszClassName, u"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                      nullptr, self);
        SetEvent(self->ready_);
        if (!self->hwnd_) return 1;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        return 0;
    }

    std::function<void(const ReceivedMessage&)> onMessage_;  // run per message, window thread
    HANDLE ready_ = nullptr;                                 // set once hwnd_ is known
    HANDLE thread_ = nullptr;                                // runs the message loop
    HWND hwnd_ = nullptr;                                    // the window, null if not created
    std::mutex lock_;
    std::condition_variable changed_;    // signalled per recorded message
    std::vector<ReceivedMessage> seen_;  // in arrival order, under lock_
};
