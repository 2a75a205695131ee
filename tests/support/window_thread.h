// Windows on threads of their own with a real message loop: one that hands every message to a
// handler, and one that records what it receives, for code under test to post and send to.
#pragma once

#include <functional>
#include <ostream>
#include <utility>
#include <vector>

#include "platform/sync.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "tests/support/recorded.h"
#include "tests/support/wait.h"

// A window of class cls on a thread of its own with a message loop. The handler sees every
// message first and returns false to leave it to the default handling.
class WindowThread {
  public:
    using Handler = std::function<bool(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result)>;
    WindowThread(LPCWSTR cls, LPCWSTR title, Handler handler)
        : cls_(cls), title_(title), handler_(std::move(handler)) {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
        if (thread_) WaitForSingleObject(ready_, 20000);
    }
    // Closes the window and waits for its thread.
    ~WindowThread() {
        if (hwnd_) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
        if (thread_) {
            WaitForSingleObject(thread_, 20000);
            CloseHandle(thread_);
        }
        CloseHandle(ready_);
    }
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;
    HWND Handle() const { return hwnd_; }

  private:
    static LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_CREATE) {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
            return 0;
        }
        auto* self = reinterpret_cast<WindowThread*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        LRESULT result = 0;
        if (self && self->handler_(msg, wParam, lParam, &result)) return result;
        if (msg == WM_CLOSE) {
            DestroyWindow(hwnd);
        } else if (msg == WM_DESTROY) {
            PostQuitMessage(0);
        } else {
            return DefWindowProcW(hwnd, msg, wParam, lParam);
        }
        return 0;
    }
    static DWORD ThreadMain(LPVOID param) {
        auto* self = static_cast<WindowThread*>(param);
        WNDCLASSW wc{};
        wc.lpfnWndProc = WndProc;
        wc.lpszClassName = self->cls_.c_str();
        RegisterClassW(&wc);  // already registered by an earlier window: fine
        self->hwnd_ = CreateWindowExW(0, self->cls_.c_str(), self->title_.c_str(), 0, 0, 0, 0, 0,
                                      nullptr, nullptr, nullptr, self);
        SetEvent(self->ready_);
        if (!self->hwnd_) return 1;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        return 0;
    }

    WString cls_;              // the window's class
    WString title_;            // its title
    Handler handler_;          // runs on the window's thread
    HANDLE ready_ = nullptr;   // set once hwnd_ is known
    HANDLE thread_ = nullptr;  // runs the message loop
    HWND hwnd_ = nullptr;      // the window, null if it could not be made
};

// ---- Messages as data ---------------------------------------------------------------------

// Posted: dispatched from the queue; sent by another thread; or called directly on the
// window's own thread.
enum class Delivery { kPosted, kSent, kDirect };

// One message a window handled, and how it came.
struct Seen {
    UINT msg;      // message number
    Delivery how;  // how it came
    bool operator==(const Seen&) const = default;
};
inline void PrintTo(const Seen& s, std::ostream* os) {
    static const char* const kHow[] = {"posted", "sent", "direct"};
    *os << "{0x" << std::hex << s.msg << std::dec << ", " << kHow[static_cast<int>(s.how)] << "}";
}
constexpr Seen Posted(UINT msg) {
    return Seen{msg, Delivery::kPosted};
}
constexpr Seen Sent(UINT msg) {
    return Seen{msg, Delivery::kSent};
}
constexpr Seen Direct(UINT msg) {
    return Seen{msg, Delivery::kDirect};
}

// Posted by Sync; once a recorder sees it, every message posted before it was handled.
constexpr UINT kSyncMessage = WM_APP + 0x3F00;

// One message a recording window received.
struct Received {
    UINT msg;                // message number
    WPARAM wParam;           // as sent or posted
    LPARAM lParam;           // as sent or posted (WM_COPYDATA: meaningless here)
    Delivery how;            // posted or sent by another thread
    ULONG_PTR kind;          // WM_COPYDATA: dwData
    std::vector<BYTE> data;  // WM_COPYDATA: the bytes received
};

// A window on a thread of its own that records every message from WM_USER up and every
// WM_COPYDATA with its bytes (answering 1). Stands for a client's reply window, the task
// viewer, the agent, or any window code under test reports to. onMessage, when given, runs
// on the window's thread as each message arrives, before it is recorded.
class RecordingWindow {
  public:
    using OnMessage = std::function<void(const Received&)>;
    explicit RecordingWindow(LPCWSTR cls = u"VantloTestRecordingWindow", LPCWSTR title = u"",
                             OnMessage onMessage = nullptr)
        : onMessage_(std::move(onMessage)),
          window_(cls, title, [this](UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) {
              return Take(msg, wParam, lParam, result);
          }) {}

    HWND Handle() const { return window_.Handle(); }
    std::vector<Received> All() { return seen_.All(); }
    std::vector<Received> Of(UINT msg) {
        return seen_.Where([msg](const Received& r) { return r.msg == msg; });
    }
    // Every message as data, in arrival order (syncs left out).
    std::vector<Seen> Messages() {
        std::vector<Seen> out;
        for (const Received& r : All()) {
            if (r.msg != kSyncMessage) out.push_back(Seen{r.msg, r.how});
        }
        return out;
    }
    // Waits until the window handled everything posted to it before this call.
    bool Sync() {
        const size_t target = Of(kSyncMessage).size() + 1;
        return PostMessageW(Handle(), kSyncMessage, 0, 0) &&
               WaitFor(kSyncMessage, target).size() >= target;
    }
    // Waits until at least n messages numbered msg arrived; what arrived by then.
    std::vector<Received> WaitFor(UINT msg, size_t n = 1) {
        seen_.WaitForCount([msg](const Received& r) { return r.msg == msg; }, n);
        return Of(msg);
    }

  private:
    bool Take(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) {
        if (msg != WM_COPYDATA && msg < WM_USER) return false;
        Received r{msg, wParam, lParam, InSendMessage() ? Delivery::kSent : Delivery::kPosted,
                   0,   {}};
        if (auto* cds =
                msg == WM_COPYDATA ? reinterpret_cast<const COPYDATASTRUCT*>(lParam) : nullptr) {
            r.kind = cds->dwData;
            auto* bytes = static_cast<const BYTE*>(cds->lpData);
            if (bytes && cds->cbData) r.data.assign(bytes, bytes + cds->cbData);
        }
        if (onMessage_ && msg != kSyncMessage) onMessage_(r);
        seen_.Add(std::move(r));
        *result = msg == WM_COPYDATA ? 1 : 0;
        return true;
    }

    OnMessage onMessage_;      // run per message, on the window's thread
    Recorded<Received> seen_;  // in arrival order
    WindowThread window_;      // last: its thread ends before the members above
};
