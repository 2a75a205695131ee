// What window.cc (windows, classes, show state) and msg_queue.cc (queues, sending, timers)
// share. Lock order: the window lock before any queue's lock, never the other way round;
// no window procedure is ever called with either held.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <vector>

#include "platform/sync.h"
#include "platform/win_driver.h"
#include "platform/window.h"
#include "platform/wstr.h"

struct WindowClass {
    WNDCLASSW wc;  // as registered; lpszClassName points at name
    WString name;  // the class name as registered
    ATOM atom;     // its atom
    int windows;   // live windows of the class, under the window lock
};

class MsgQueue;

struct Window {
    HWND hwnd;                         // its handle
    std::shared_ptr<WindowClass> cls;  // its class
    std::shared_ptr<MsgQueue> queue;   // the owner thread's queue
    DWORD threadId;                    // the owner thread
    WNDPROC proc;                      // current procedure (GWL_WNDPROC)
    WString title;                     // window text
    HWND parent;                       // parent of a WS_CHILD window, else null
    HWND owner;                        // owner of a top-level window, else null
    DWORD style;                       // WS_ styles; WS_VISIBLE, WS_MINIMIZE, WS_DISABLED live
    DWORD exStyle;                     // WS_EX_ styles
    LONG_PTR id;                       // GWL_ID (the hMenu of a child)
    LONG_PTR userData;                 // GWL_USERDATA
    HINSTANCE instance;                // GWL_HINSTANCE
    std::vector<BYTE> extra;           // cbWndExtra bytes
    RECT rect;                         // position and size
    std::vector<HWND> children;        // child windows, oldest first
    bool destroying;                   // DestroyWindow has begun
    bool destroyed;                    // gone from the registry
    bool eraseDue = false;             // the next BeginPaint erases the background first
};

// A message sent to another thread's window, waiting in that thread's queue.
struct SentMessage {
    HWND hwnd;                       // target
    UINT msg;                        // message
    WPARAM wParam;                   // first parameter
    LPARAM lParam;                   // second (for WM_COPYDATA: &cds)
    std::vector<BYTE> data;          // WM_COPYDATA: the receiver's copy of the data
    COPYDATASTRUCT cds;              // WM_COPYDATA: the record pointing at data
    EventObject reply{true, false};  // signalled once result is set (or never will be)
    LRESULT result = 0;              // the answer; read after reply is signalled
    bool answered = false;           // the procedure ran (false: window gone, thread ended)
    bool started = false;            // the receiver took it; under the receiver's lock
};

struct Timer {
    HWND hwnd;        // window, or null for a thread timer
    UINT_PTR id;      // identifier
    UINT periodMs;    // interval
    TIMERPROC proc;   // callback, or null for WM_TIMER to the window procedure
    uint64_t dueMs;   // next expiry on the monotonic millisecond clock
    uint64_t serial;  // distinguishes this setting from earlier ones in the heap
};

// One thread's message queue. Everything below the lock is guarded by it.
class MsgQueue {
  public:
    explicit MsgQueue(DWORD threadId) : threadId(threadId) {}

    const DWORD threadId;                      // owner thread
    const std::shared_ptr<EventObject> wake =  // set when anything arrives
        std::make_shared<EventObject>(true, false);

    std::mutex lock;
    std::deque<MSG> posted;                             // posted messages, oldest first
    std::deque<std::shared_ptr<SentMessage>> sent;      // messages other threads sent, oldest first
    std::map<std::pair<HWND, UINT_PTR>, Timer> timers;  // live timers by (window, id)
    using HeapEntry = std::pair<uint64_t, uint64_t>;    // (dueMs, serial)
    std::priority_queue<HeapEntry, std::vector<HeapEntry>, std::greater<HeapEntry>> timerHeap;
    std::map<uint64_t, std::pair<HWND, UINT_PTR>> timerBySerial;  // heap serial -> timer key
    uint64_t nextSerial = 1;                                      // for Timer::serial
    UINT_PTR nextThreadTimerId = 1;                               // ids of thread timers
    std::vector<HWND> needsPaint;  // windows due a WM_PAINT, oldest first
    DWORD newInput = 0;            // QS_ bits arrived since the last look
    bool quit = false;             // PostQuitMessage was called
    int quitCode = 0;              // its exit code
    bool dead = false;             // the thread ended
};

uint64_t NowMs();

// ---- window.cc -------------------------------------------------------------------------

// The live window behind hwnd in this process, or null.
std::shared_ptr<Window> LocalWindow(HWND hwnd);
// The procedure of a live window, or null.
WNDPROC WindowProcOf(HWND hwnd);
// hwnd followed by its child windows, their children and so on.
std::vector<HWND> SelfAndDescendants(HWND hwnd);
// Forgets every window of a thread that ended, without calling their procedures.
void DropThreadWindows(DWORD threadId);
const RemoteWindowDriver& Driver();

// ---- the screen's view of the windows (window.cc) --------------------------------------

// What the screen hears of: a window shown, hidden, moved or resized, raised, or destroyed.
enum class WindowChange { Shown, Hidden, Moved, Raised, Destroyed };

struct WindowChangeInfo {
    HWND hwnd;            // the window
    WindowChange change;  // what happened to it
    HWND parent;          // its parent, null for a top-level window
    RECT before;          // its rectangle in screen coordinates before the change
    bool wasShown;        // it was on the screen before: visible, not minimised, nor any ancestor
};

// Where the screen plugs into the window functions. Every entry is called outside the
// window lock and the queue locks; null entries are skipped.
struct ScreenHooks {
    void (*WindowChanged)(const WindowChangeInfo& info);  // after the change
    void (*DefaultPaint)(HWND hwnd);                      // DefWindowProc's WM_PAINT
    LRESULT (*EraseBackground)(HWND hwnd, WPARAM hdc);    // DefWindowProc's WM_ERASEBKGND
};
// Installs the hooks (null removes them); the record must outlive its use.
void SetScreenHooks(const ScreenHooks* hooks);

// One window as the screen sees it.
struct WindowShape {
    HWND hwnd;     // the window
    HWND parent;   // its parent, null for a top-level window
    RECT rect;     // screen coordinates (the client area is the whole window)
    bool shown;    // WS_VISIBLE, not minimised, not being destroyed (ancestors not checked)
    bool enabled;  // not WS_DISABLED
};
// Every window of this process: the top-level windows topmost first, each followed by its
// descendants, a parent before its children and the topmost (oldest) child first.
std::vector<WindowShape> SnapshotWindows();
// Whether hwnd's background is due to be erased; clears the flag.
bool TakeEraseDue(HWND hwnd);

// ---- msg_queue.cc ----------------------------------------------------------------------

// The calling thread's queue, created on first use.
std::shared_ptr<MsgQueue> CurrentQueue();
// Calls the procedure of a window of the calling thread directly (InSendMessage is FALSE
// inside); 0 when the window is gone.
LRESULT CallLocalProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Sends on the owner thread, posts from any other (never blocks the caller).
void Notify(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// ERROR_SUCCESS when a post to hwnd would be taken now, else why it would not.
DWORD PostRoomFor(HWND hwnd);
// Removes every timer and pending WM_PAINT of hwnd from its queue.
void ForgetWindowInQueue(MsgQueue& queue, HWND hwnd);
// Whether hwnd is due a WM_PAINT: it is generated (after posted messages and WM_QUIT,
// before timers) until this is called with false, as painting validates the window.
void MarkForPaint(HWND hwnd, bool pending);
