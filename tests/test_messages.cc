// Windows and messages as client code uses them: posted and sent messages between threads,
// time-outs, timers, WM_COPYDATA, lost messages, FindWindow, show state and foreground.
// Every window procedure here records what reached it and how: posted (through
// DispatchMessage), sent by another thread, or called directly on its own thread.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/sync.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "tests/support/recorded.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"
#include "tests/support/window_thread.h"

namespace {

constexpr DWORD kWatchdogMs = 10000;  // only a hang reaches it
const WCHAR kRecorder[] = u"Recorder";

Recorded<std::pair<HWND, Seen>> g_log;  // what reached every window, in order
thread_local int t_depth = 0;           // nesting of the recording procedure

// What a test's windows do beyond recording; the default answers WM_USER+n with
// WM_USER+n+1000, quits the thread's loop with 7 on WM_DESTROY, and defers the rest.
std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)> g_handler;

LRESULT DefaultHandling(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg >= WM_USER && msg < WM_APP) return msg + 1000;
    if (msg == WM_DESTROY) PostQuitMessage(7);
    return DefWindowProcW(h, msg, wp, lp);
}

LRESULT RecordingProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    ++t_depth;
    Delivery how = InSendMessage()                       ? Delivery::kSent
                   : (t_depth == 1 && t_pumpDispatching) ? Delivery::kPosted
                                                         : Delivery::kDirect;
    g_log.Add({h, Seen{msg, how}});
    LRESULT r = g_handler ? g_handler(h, msg, wp, lp) : DefaultHandling(h, msg, wp, lp);
    --t_depth;
    return r;
}

std::vector<Seen> ArrivalsAt(HWND h) {
    std::vector<Seen> out;
    for (auto& [hwnd, a] : g_log.All()) {
        if (hwnd == h) out.push_back(a);
    }
    return out;
}

int CountAt(HWND h, UINT msg) {
    int n = 0;
    for (auto& a : ArrivalsAt(h)) n += a.msg == msg;
    return n;
}

// The thread's loop until WM_QUIT; the thread's exit code is the quit code, 999 on a hang.
DWORD PumpToQuit() {
    int code = 999;
    return PumpUntil(nullptr, &code) ? static_cast<DWORD>(code) : 999;
}

class Messages : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        g_handler = nullptr;
        WNDCLASSW wc{};
        wc.lpfnWndProc = RecordingProc;
        wc.cbWndExtra = 8;
        wc.lpszClassName = kRecorder;
        // Cases share the class when the whole program runs in one process.
        ASSERT_TRUE(RegisterClassW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS);
    }
    void TearDown() override {
        // Leave nothing queued (a WM_QUIT from WM_DESTROY, say) for a case run after this one.
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        }
        g_handler = nullptr;
        DeviceTest::TearDown();
    }
    static HWND NewWindow(LPCWSTR title, DWORD style = 0, HWND parent = nullptr) {
        return CreateWindowExW(0, kRecorder, title, style, 0, 0, 100, 50, parent, nullptr, nullptr,
                               nullptr);
    }
};

// A thread that creates a window, reports it, then runs body (by default its loop).
struct Worker {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // for bodies that wait
    std::atomic<HWND> hwnd{nullptr};
    DWORD (*body)(Worker*) = [](Worker*) { return PumpToQuit(); };
    HANDLE thread = nullptr;

    void Start() {
        thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        EXPECT_EQ(WaitForSingleObject(ready, kWatchdogMs), WAIT_OBJECT_0);
    }
    // Waits for the thread; its exit code.
    DWORD Join() {
        EXPECT_EQ(WaitForSingleObject(thread, kWatchdogMs), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeThread(thread, &code);
        return code;
    }
    ~Worker() {
        SetEvent(release);
        if (thread) {
            WaitForSingleObject(thread, kWatchdogMs);
            CloseHandle(thread);
        }
        CloseHandle(ready);
        CloseHandle(release);
    }
    static DWORD Run(LPVOID p) {
        auto* self = static_cast<Worker*>(p);
        self->hwnd = CreateWindowExW(0, kRecorder, u"worker", 0, 0, 0, 10, 10, nullptr, nullptr,
                                     nullptr, nullptr);
        SetEvent(self->ready);
        return self->body(self);
    }
};

using Arrivals = std::vector<Seen>;

}  // namespace

TEST_F(Messages, PostedAndSentAcrossThreadsArriveInTheDeviceOrderAndCopyDataAsACopy) {
    static std::vector<BYTE> s_seen;
    static const void* s_seenAt;
    static ULONG_PTR s_kind;
    g_handler = [](HWND h, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
        if (msg != WM_COPYDATA) return DefaultHandling(h, msg, wp, lp);
        auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lp);
        s_kind = cds->dwData;
        s_seenAt = cds->lpData;
        auto* b = static_cast<const BYTE*>(cds->lpData);
        s_seen.assign(b, b + cds->cbData);
        return static_cast<LRESULT>(wp) + 1;
    };
    Worker worker;
    worker.body = [](Worker*) -> DWORD {
        // Look at the queue only once something was sent, so that both posts and the send
        // are waiting by then: the sent message is answered first, then the posts in order.
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, kWatchdogMs, QS_SENDMESSAGE) !=
            WAIT_OBJECT_0) {
            return 1000;
        }
        return PumpToQuit();
    };
    worker.Start();
    HWND h = worker.hwnd;
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(PostMessageW(h, WM_USER + 1, 0, 0));
    ASSERT_TRUE(PostMessageW(h, WM_USER + 2, 0, 0));
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(h, WM_USER + 3, 0, 0, SMTO_NORMAL, kWatchdogMs, &answer));
    EXPECT_EQ(answer, WM_USER + 3 + 1000u);

    ASSERT_TRUE(PostMessageW(h, WM_CLOSE, 0, 0));
    EXPECT_EQ(worker.Join(), 7u);  // the quit code posted on WM_DESTROY
    EXPECT_EQ(ArrivalsAt(h), (Arrivals{Direct(WM_CREATE), Sent(WM_USER + 3), Posted(WM_USER + 1),
                                       Posted(WM_USER + 2), Posted(WM_CLOSE), Direct(WM_DESTROY),
                                       Direct(WM_NCDESTROY)}));
    EXPECT_FALSE(IsWindow(h));

    // WM_COPYDATA reaches the receiver as its own copy, and only sent.
    Worker copier;
    copier.Start();
    h = copier.hwnd;
    std::vector<BYTE> block(520 * 2, 0);
    memcpy(block.data(), u"\\My Documents\\a.3gp", sizeof(u"\\My Documents\\a.3gp"));
    memcpy(block.data() + 520, u"\\b.3gp", sizeof(u"\\b.3gp"));
    COPYDATASTRUCT cds{2027, static_cast<DWORD>(block.size()), block.data()};
    ASSERT_TRUE(SendMessageTimeoutW(h, WM_COPYDATA, 2, reinterpret_cast<LPARAM>(&cds), SMTO_NORMAL,
                                    kWatchdogMs, &answer));
    EXPECT_EQ(answer, 3u);
    EXPECT_EQ(s_kind, 2027u);
    EXPECT_EQ(s_seen, block);
    EXPECT_NE(s_seenAt, static_cast<const void*>(block.data()));
    COPYDATASTRUCT empty{1182, 0, nullptr};
    EXPECT_EQ(SendMessageW(h, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&empty)), 1);
    EXPECT_TRUE(s_seen.empty());
    EXPECT_EQ(Err(PostMessageW(h, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds))),
              ERROR_MESSAGE_SYNC_ONLY);

    PostMessageW(h, WM_CLOSE, 0, 0);
    copier.Join();
}

TEST_F(Messages, SendingWhileBeingSentToDoesNotDeadlock) {
    HWND mine = NewWindow(u"main");
    ASSERT_NE(mine, nullptr);
    static std::atomic<HWND> s_mine;
    static std::atomic<LRESULT> s_crossAnswer;
    static std::atomic<bool> s_crossDone;
    static HANDLE s_crossStarted;
    s_crossStarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s_mine = mine;
    s_crossAnswer = 0;
    s_crossDone = false;
    g_handler = [](HWND h, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
        if (h != s_mine && msg == WM_USER + 10) {
            // Answering us means sending back to us while we wait.
            return SendMessageW(s_mine, WM_USER + 20, 0, 0) + 1;
        }
        if (h != s_mine && msg == WM_USER + 40) {
            SetEvent(s_crossStarted);
            s_crossAnswer = SendMessageW(s_mine, WM_USER + 30, 0, 0);
            s_crossDone = true;
            PostMessageW(s_mine, WM_NULL, 0, 0);  // wakes the loop that waits for this
            return 0;
        }
        return DefaultHandling(h, msg, wp, lp);
    };
    Worker worker;
    worker.Start();
    HWND other = worker.hwnd;

    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(other, WM_USER + 10, 0, 0, SMTO_NORMAL, kWatchdogMs, &answer));
    EXPECT_EQ(answer, WM_USER + 20 + 1000u + 1);

    // Both threads send to each other at once; each answers the other while it waits.
    ASSERT_TRUE(PostMessageW(other, WM_USER + 40, 0, 0));
    ASSERT_EQ(WaitForSingleObject(s_crossStarted, kWatchdogMs), WAIT_OBJECT_0);
    ASSERT_TRUE(SendMessageTimeoutW(other, WM_USER + 31, 0, 0, SMTO_NORMAL, kWatchdogMs, &answer));
    EXPECT_EQ(answer, WM_USER + 31 + 1000u);
    ASSERT_TRUE(PumpUntil([] { return s_crossDone.load(); }));
    EXPECT_EQ(s_crossAnswer.load(), static_cast<LRESULT>(WM_USER + 30 + 1000));

    PostMessageW(other, WM_CLOSE, 0, 0);
    EXPECT_EQ(worker.Join(), 7u);
    auto ours = ArrivalsAt(mine);
    ASSERT_GE(ours.size(), 3u);
    ours.resize(3);  // the wake-up WM_NULL may still wait in the queue
    EXPECT_EQ(ours, (Arrivals{Direct(WM_CREATE), Sent(WM_USER + 20), Sent(WM_USER + 30)}));
    auto theirs = ArrivalsAt(other);
    ASSERT_EQ(theirs.size(), 7u);
    EXPECT_EQ(theirs[1], Sent(WM_USER + 10));
    EXPECT_EQ(theirs[2], Posted(WM_USER + 40));
    EXPECT_EQ(theirs[3], Sent(WM_USER + 31));
    DestroyWindow(mine);
    CloseHandle(s_crossStarted);
}

TEST_F(Messages, ABusyThreadsWindowTimesSendsOutAndTakesShowStatesAtOnce) {
    Worker worker;
    worker.body = [](Worker* self) -> DWORD {
        WaitForSingleObject(self->release, kWatchdogMs);  // busy: not looking at its queue
        return PumpToQuit();
    };
    worker.Start();
    HWND h = worker.hwnd;
    DWORD_PTR answer = 123;
    SetLastError(0);
    EXPECT_EQ(Err(SendMessageTimeoutW(h, WM_USER + 5, 0, 0, SMTO_NORMAL, 100, &answer)),
              ERROR_TIMEOUT);
    EXPECT_EQ(answer, 0u);
    EXPECT_EQ(Err(SendMessageTimeoutW(h, WM_USER + 6, 0, 0, SMTO_BLOCK, 50, &answer)),
              ERROR_TIMEOUT);
    // The show state is recorded at once, without waiting for the busy owner; it hears of it
    // by posts.
    EXPECT_FALSE(ShowWindow(h, SW_SHOW));
    EXPECT_TRUE(IsWindowVisible(h));
    EXPECT_TRUE(ShowWindow(h, SW_MINIMIZE));
    EXPECT_TRUE(IsIconic(h));
    EXPECT_EQ(Err(DestroyWindow(h)), ERROR_ACCESS_DENIED);  // only its own thread may
    SetEvent(worker.release);
    PostMessageW(h, WM_CLOSE, 0, 0);
    EXPECT_EQ(worker.Join(), 7u);
    // The sends that timed out were withdrawn.
    EXPECT_EQ(ArrivalsAt(h),
              (Arrivals{Direct(WM_CREATE), Posted(WM_SHOWWINDOW), Posted(WM_SIZE), Posted(WM_CLOSE),
                        Direct(WM_DESTROY), Direct(WM_NCDESTROY)}));
}

TEST_F(Messages, ASendToAThreadThatEndsWithoutAnsweringReturnsZero) {
    Worker worker;
    worker.body = [](Worker*) -> DWORD {
        // Leave as soon as something is sent, without answering it.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kWatchdogMs, QS_SENDMESSAGE);
        return 0;
    };
    worker.Start();
    HWND h = worker.hwnd;
    DWORD_PTR answer = 5;
    EXPECT_EQ(Err(SendMessageTimeoutW(h, WM_USER + 1, 0, 0, SMTO_NORMAL, kWatchdogMs, &answer)),
              ERROR_INVALID_WINDOW_HANDLE);  // not a time-out: the peer is gone
    worker.Join();
    EXPECT_FALSE(IsWindow(h));  // the thread's windows went with it
    EXPECT_EQ(SendMessageW(h, WM_USER + 1, 0, 0), 0);
    EXPECT_EQ(ArrivalsAt(h), (Arrivals{Direct(WM_CREATE)}));
}

namespace {
std::atomic<int> g_threadTicks{0};
std::atomic<int> g_forgedCalls{0};
void CALLBACK ThreadTimerProc(HWND hwnd, UINT msg, UINT_PTR, DWORD) {
    if (hwnd == nullptr && msg == WM_TIMER) ++g_threadTicks;
}
void CALLBACK ForgedProc(HWND, UINT, UINT_PTR, DWORD) {
    ++g_forgedCalls;
}
}  // namespace

TEST_F(Messages, PaintsComeAfterPostsAndBeforeTimersWhichFireUntilKilled) {
    static int s_paints;
    s_paints = 0;
    g_handler = [](HWND h, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
        if (msg != WM_PAINT) return DefaultHandling(h, msg, wp, lp);
        if (++s_paints >= 2) ValidateRect(h, nullptr);  // the first paint leaves it invalid
        return 0;
    };
    HWND canvas = NewWindow(u"canvas");
    ASSERT_TRUE(InvalidateRect(canvas, nullptr, TRUE));
    ASSERT_TRUE(PostMessageW(canvas, WM_USER + 1, 0, 0));
    ASSERT_NE(SetTimer(canvas, 1, 10, nullptr), 0u);
    ASSERT_TRUE(PumpUntil([&] { return CountAt(canvas, WM_TIMER) >= 1; }));
    KillTimer(canvas, 1);
    EXPECT_EQ(ArrivalsAt(canvas), (Arrivals{Direct(WM_CREATE), Posted(WM_USER + 1),
                                            Posted(WM_PAINT), Posted(WM_PAINT), Posted(WM_TIMER)}));
    MSG m{};
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));  // validated: no more paints
    EXPECT_TRUE(UpdateWindow(canvas));                         // nothing due: nothing sent
    EXPECT_EQ(s_paints, 2);
    InvalidateRect(canvas, nullptr, FALSE);
    EXPECT_TRUE(UpdateWindow(canvas));
    EXPECT_EQ(s_paints, 3);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));

    // A window timer and a thread timer fire, posted, until killed.
    HWND h = NewWindow(u"ticker");
    EXPECT_EQ(SetTimer(h, 5, 20, nullptr), 5u);
    UINT_PTR threadTimer = SetTimer(nullptr, 0, 15, ThreadTimerProc);
    ASSERT_NE(threadTimer, 0u);
    ASSERT_TRUE(PumpUntil([&] { return CountAt(h, WM_TIMER) >= 3 && g_threadTicks >= 2; }));
    for (auto& a : ArrivalsAt(h)) {
        if (a.msg == WM_TIMER) {
            EXPECT_EQ(a.how, Delivery::kPosted);
        }
    }
    EXPECT_TRUE(KillTimer(h, 5));
    EXPECT_FALSE(KillTimer(h, 5));
    const int windowTicks = CountAt(h, WM_TIMER);
    g_threadTicks = 0;
    ASSERT_TRUE(PumpUntil([] { return g_threadTicks >= 3; }));
    EXPECT_EQ(CountAt(h, WM_TIMER), windowTicks);  // the killed timer stayed quiet
    EXPECT_TRUE(KillTimer(nullptr, threadTimer));

    // A WM_TIMER naming a procedure that is no live timer's is not called through.
    ASSERT_TRUE(PostMessageW(h, WM_TIMER, 77, reinterpret_cast<LPARAM>(&ForgedProc)));
    ASSERT_TRUE(PeekMessageW(&m, h, WM_TIMER, WM_TIMER, PM_REMOVE));
    DispatchMessageW(&m);
    EXPECT_EQ(g_forgedCalls.load(), 0);
    EXPECT_NE(SetTimer(h, 9, 10, nullptr), 0u);
    DestroyWindow(h);
    EXPECT_FALSE(KillTimer(h, 9));  // went with its window
    DestroyWindow(canvas);
}

TEST_F(Messages, OneThreadsQueueWaitsFiltersOrdersAndLosesMessagesToNoWindowHarmlessly) {
    // MsgWaitForMultipleObjects returns for objects and for new input only.
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 20, QS_ALLINPUT), WAIT_TIMEOUT);
    SetEvent(ev);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
    struct Ctx {
        DWORD target;
    } ctx{GetCurrentThreadId()};
    HANDLE poster = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            return PostThreadMessageW(static_cast<Ctx*>(p)->target, WM_USER + 9, 0, 0) ? 0 : 1;
        },
        &ctx, 0, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, kWatchdogMs, QS_POSTMESSAGE),
              WAIT_OBJECT_0 + 1);
    WaitForSingleObject(poster, kWatchdogMs);
    CloseHandle(poster);
    MSG m{};
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
    // Once looked at, the waiting message is no longer new input.
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 20, QS_POSTMESSAGE), WAIT_TIMEOUT);
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, WM_USER + 9u);
    EXPECT_EQ(m.hwnd, nullptr);
    CloseHandle(ev);

    // Messages to null or destroyed windows are lost harmlessly.
    HWND gone = NewWindow(u"short-lived");
    ASSERT_TRUE(PostMessageW(gone, WM_USER + 1, 0, 0));  // still queued when the window goes
    ASSERT_TRUE(DestroyWindow(gone));
    EXPECT_FALSE(IsWindow(gone));
    EXPECT_EQ(Err(PostMessageW(gone, WM_USER + 2, 0, 0)), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(SendMessageW(gone, WM_USER + 3, 0, 0), 0);
    DWORD_PTR answer = 9;
    EXPECT_EQ(Err(SendMessageTimeoutW(gone, WM_USER + 4, 0, 0, SMTO_NORMAL, 100, &answer)),
              ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(SendMessageW(nullptr, WM_USER + 5, 0, 0), 0);
    EXPECT_FALSE(DestroyWindow(gone));
    EXPECT_FALSE(ShowWindow(gone, SW_SHOW));
    // A post to no window becomes a thread message, which no procedure receives.
    ASSERT_TRUE(PostMessageW(nullptr, WM_USER + 6, 0, 0));
    std::vector<UINT> seen;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        seen.push_back(m.message);
        EXPECT_EQ(DispatchMessageW(&m), 0);
    }
    // (The WM_QUIT is the default handling's answer to WM_DESTROY.)
    EXPECT_EQ(seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 6, WM_QUIT}));
    EXPECT_EQ(ArrivalsAt(gone),
              (Arrivals{Direct(WM_CREATE), Direct(WM_DESTROY), Direct(WM_NCDESTROY)}));

    // A filtered look leaves the others in place; PM_NOREMOVE leaves this one too; posts
    // come before the quit.
    HWND h = NewWindow(u"main");
    PostMessageW(h, WM_USER + 1, 0, 0);
    PostMessageW(h, WM_LBUTTONDOWN, 0, MAKELPARAM(10, 20));
    PostQuitMessage(3);
    PostMessageW(h, WM_USER + 2, 0, 0);
    ASSERT_TRUE(PeekMessageW(&m, h, WM_LBUTTONDOWN, WM_LBUTTONDOWN, PM_NOREMOVE));
    EXPECT_EQ(HIWORD(m.lParam), 20);
    ASSERT_TRUE(PeekMessageW(&m, h, WM_LBUTTONDOWN, WM_LBUTTONDOWN, PM_REMOVE));
    EXPECT_FALSE(PeekMessageW(&m, h, WM_LBUTTONDOWN, WM_LBUTTONDOWN, PM_REMOVE));
    EXPECT_FALSE(PeekMessageW(&m, reinterpret_cast<HWND>(static_cast<intptr_t>(-1)), WM_USER,
                              WM_USER + 10, PM_REMOVE));  // no thread messages
    std::vector<UINT> order;
    BOOL r;
    while ((r = GetMessageW(&m, nullptr, 0, 0)) > 0) order.push_back(m.message);
    EXPECT_EQ(r, FALSE);
    EXPECT_EQ(m.message, WM_QUIT);
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_EQ(order, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
    EXPECT_EQ(GetMessageW(&m, reinterpret_cast<HWND>(0x12340), 0, 0), -1);
    DestroyWindow(h);
}

TEST_F(Messages, FindWindowByClassAndTitle) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = u"VANTLO";
    ASSERT_NE(RegisterClassW(&wc), 0);
    EXPECT_EQ(Err(RegisterClassW(&wc)), ERROR_CLASS_ALREADY_EXISTS);  // the name is taken

    HWND main = CreateWindowExW(0, u"VANTLO", u"Vantlo", 0, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    HWND other = NewWindow(u"Vantlo");
    Worker worker;
    worker.Start();
    EXPECT_EQ(FindWindowW(u"VANTLO", nullptr), main);
    EXPECT_EQ(FindWindowW(u"vantlo", u"VANTLO"), main);  // neither compares case
    EXPECT_EQ(FindWindowW(kRecorder, u"Vantlo"), other);
    EXPECT_EQ(FindWindowW(nullptr, u"worker"), worker.hwnd.load());  // another thread's window
    EXPECT_EQ(FindWindowW(u"VantloAgentCallbackWnd", nullptr), nullptr);
    EXPECT_EQ(FindWindowW(u"VANTLO", u"other title"), nullptr);
    WCHAR name[32];
    EXPECT_EQ(GetClassNameW(main, name, 32), 6);
    EXPECT_EQ(WString(name), u"VANTLO");
    RECT r{};
    ASSERT_TRUE(GetClientRect(main, &r));
    EXPECT_EQ(r.right, 240);
    EXPECT_EQ(r.bottom, 320);

    EXPECT_FALSE(UnregisterClassW(u"VANTLO", nullptr));  // a window still uses it
    DestroyWindow(main);
    EXPECT_EQ(FindWindowW(u"VANTLO", nullptr), nullptr);
    EXPECT_TRUE(UnregisterClassW(u"VANTLO", nullptr));
    EXPECT_EQ(CreateWindowExW(0, u"VANTLO", u"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
    PostMessageW(worker.hwnd, WM_CLOSE, 0, 0);
    worker.Join();
    DestroyWindow(other);
}

TEST_F(Messages, ShowStatesAreRecordedAndTracedAndTheLowBitNamesAWindowWithItsOwnedOnes) {
    UseTraceFile();
    HWND h = NewWindow(u"main");
    EXPECT_FALSE(IsWindowVisible(h));
    EXPECT_FALSE(ShowWindow(h, SW_SHOW));  // it was hidden
    EXPECT_TRUE(IsWindowVisible(h));
    EXPECT_TRUE(ShowWindow(h, SW_MINIMIZE));
    EXPECT_TRUE(IsIconic(h));
    WINDOWPLACEMENT wp{};
    ASSERT_TRUE(GetWindowPlacement(h, &wp));
    EXPECT_EQ(wp.showCmd, static_cast<UINT>(SW_SHOWMINIMIZED));
    EXPECT_TRUE(ShowWindow(h, SW_HIDE));
    EXPECT_FALSE(IsWindowVisible(h));
    EXPECT_FALSE(ShowWindow(h, SW_RESTORE));
    EXPECT_FALSE(IsIconic(h));
    EXPECT_TRUE(IsWindowVisible(h));
    unsetenv("VANTLO_TRACE_FILE");
    EXPECT_EQ(ArrivalsAt(h),
              (Arrivals{Direct(WM_CREATE), Direct(WM_SHOWWINDOW), Direct(WM_SIZE),
                        Direct(WM_SHOWWINDOW), Direct(WM_SHOWWINDOW), Direct(WM_SIZE)}));
    const std::string trace = trace_.Text();
    size_t at = trace.find("ShowWindow");
    for (const char* cmd : {"SW_MINIMIZE", "SW_HIDE", "SW_RESTORE"}) {
        ASSERT_NE(at, std::string::npos) << trace;
        at = trace.find(cmd, at);  // each after the one before
    }
    EXPECT_NE(at, std::string::npos) << trace;
    DestroyWindow(h);

    HWND main = NewWindow(u"main");
    HWND dialog = NewWindow(u"page", WS_POPUP, main);
    HWND lone = NewWindow(u"other");
    EXPECT_EQ(GetParent(dialog), main);
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), main);
    for (HWND w : {main, dialog, lone}) ShowWindow(w, SW_SHOW);
    auto withOwned = [](HWND w) {
        return reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(w) | 1);
    };
    ASSERT_TRUE(SetForegroundWindow(lone));
    EXPECT_EQ(GetForegroundWindow(), lone);
    ASSERT_TRUE(SetForegroundWindow(withOwned(main)));
    EXPECT_EQ(GetForegroundWindow(), dialog);  // the owned page comes to the front
    ASSERT_TRUE(SetForegroundWindow(main));
    EXPECT_EQ(GetForegroundWindow(), main);

    ShowWindow(withOwned(main), SW_HIDE);
    EXPECT_FALSE(IsWindowVisible(main));
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_TRUE(IsWindowVisible(lone));
    EXPECT_EQ(GetForegroundWindow(), lone);  // the next shown window took over
    ShowWindow(main, SW_SHOW);
    EXPECT_FALSE(IsWindowVisible(dialog));  // without the bit only the window itself
    ShowWindow(withOwned(main), SW_MINIMIZE);
    EXPECT_TRUE(IsIconic(main));
    EXPECT_TRUE(IsIconic(dialog));
    ASSERT_TRUE(SetForegroundWindow(withOwned(main)));  // brings them back
    EXPECT_FALSE(IsIconic(main));
    EXPECT_FALSE(IsIconic(dialog));
    // Gained, lost, gained on hide, lost again.
    EXPECT_EQ(CountAt(lone, WM_ACTIVATE), 4);

    // Destroying the owner takes its owned window with it, first.
    size_t before = ArrivalsAt(dialog).size();
    DestroyWindow(main);
    EXPECT_FALSE(IsWindow(dialog));
    auto log = ArrivalsAt(dialog);
    ASSERT_EQ(log.size(), before + 2);
    EXPECT_EQ(log[before], Direct(WM_DESTROY));
    DestroyWindow(lone);
}

TEST_F(Messages, WindowLongsParentsAndChildren) {
    HWND main = NewWindow(u"main");
    EXPECT_EQ(SetWindowLongW(main, GWL_USERDATA, 1234), 0);
    EXPECT_EQ(GetWindowLongW(main, GWL_USERDATA), 1234);
    int local = 0;
    SetWindowLongPtrW(main, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&local));
    EXPECT_EQ(reinterpret_cast<int*>(GetWindowLongPtrW(main, GWLP_USERDATA)), &local);
    EXPECT_EQ(SetWindowLongW(main, 4, 99), 0);  // the class gives 8 extra bytes
    EXPECT_EQ(GetWindowLongW(main, 4), 99);
    EXPECT_EQ(Err(GetWindowLongW(main, 8)), ERROR_INVALID_INDEX);
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrW(main, GWLP_WNDPROC)), RecordingProc);

    HWND child =
        CreateWindowExW(0, kRecorder, u"button", WS_CHILD | WS_VISIBLE, 1, 2, 30, 40, main,
                        reinterpret_cast<HMENU>(static_cast<uintptr_t>(1001)), nullptr, nullptr);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetParent(child), main);
    EXPECT_EQ(GetWindowLongW(child, GWL_ID), 1001);
    EXPECT_TRUE(IsChild(main, child));
    EXPECT_EQ(GetWindow(main, GW_CHILD), child);
    EXPECT_FALSE(IsWindowVisible(child));  // its parent is hidden
    ShowWindow(main, SW_SHOW);
    EXPECT_TRUE(IsWindowVisible(child));
    EXPECT_EQ(FindWindowW(nullptr, u"button"), nullptr);  // only top-level windows are found

    ASSERT_TRUE(SetWindowTextW(main, u"renamed"));
    WCHAR text[16];
    EXPECT_EQ(GetWindowTextW(main, text, 16), 7);
    EXPECT_EQ(WString(text), u"renamed");
    EXPECT_EQ(GetWindowTextW(main, text, 4), 3);  // cut, and terminated
    EXPECT_EQ(WString(text), u"ren");

    DestroyWindow(main);
    EXPECT_FALSE(IsWindow(child));
    auto log = ArrivalsAt(child);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], Direct(WM_DESTROY));
}
