// What the application's tests run it with: the real WinMain on a thread of its own (the
// in-process tests), a recorder of the messages its main window handles, windows that take
// its replies and notices, its trace file, and the real programs as child processes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/window.h"
#include "platform/wstr.h"

namespace apptest {

// Long enough that a wait which should end never reaches it; it only guards against a hang.
constexpr auto kWatchdog = std::chrono::seconds(60);

// Calls pred until it holds, waking every 10 ms; false when limit ran out.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds limit =
                   std::chrono::duration_cast<std::chrono::milliseconds>(kWatchdog));

// ---- Messages as data ---------------------------------------------------------------------

enum class Delivery { kPosted, kSent };

// One message a window handled, and how it came.
struct Seen {
    UINT msg;      // message number
    Delivery how;  // posted (dispatched from the queue) or sent by another thread
    bool operator==(const Seen&) const = default;
};
void PrintTo(const Seen& s, std::ostream* os);
constexpr Seen Posted(UINT msg) {
    return Seen{msg, Delivery::kPosted};
}
constexpr Seen Sent(UINT msg) {
    return Seen{msg, Delivery::kSent};
}

// ---- The application in this process --------------------------------------------------------

// Posted by Sync; once the recorder sees it, every message posted before it was handled.
constexpr UINT kSyncMessage = WM_APP + 0x3F00;

// Runs WinMain with a command line on a thread of its own, and records what its main window
// handles: WM_COPYDATA and every message from WM_USER up, in order, by subclassing it.
class InProcessApp {
  public:
    InProcessApp() = default;
    ~InProcessApp();  // closes the window and waits for WinMain, if still running
    InProcessApp(const InProcessApp&) = delete;
    InProcessApp& operator=(const InProcessApp&) = delete;

    // Starts WinMain and waits until its message loop runs; false when it did not in time.
    bool Start(const WString& cmdLine);
    HWND Window() const { return hwnd_; }
    // Posts WM_CLOSE and waits for WinMain to return; its result, or -1 when it did not.
    int Close();

    // Waits until the main window handled everything posted to it before this call.
    bool Sync();
    // What the main window handled since the last Clear (kSyncMessage left out).
    std::vector<Seen> Messages();
    size_t Count(UINT msg);
    // Waits until msg was handled at least n times.
    bool WaitForMessage(UINT msg, size_t n = 1);
    void Clear();

    // WM_COPYDATA from this thread (a client of another thread), as SendMessage returns it.
    LRESULT SendCopyData(ULONG_PTR kind, WPARAM wParam, const std::vector<BYTE>& data);
    // The same with a null data pointer and the given size.
    LRESULT SendCopyDataNull(ULONG_PTR kind, WPARAM wParam, DWORD cbData);

  private:
    static DWORD ThreadMain(LPVOID param);
    static LRESULT Recorder(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    WString cmdLine_;          // WinMain's command line
    HANDLE thread_ = nullptr;  // runs WinMain
    HWND hwnd_ = nullptr;      // the main window
    int result_ = -1;          // WinMain's result, once it returned
};

// ---- Reply and notice windows -------------------------------------------------------------

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
// viewer and the agent.
class RecordingWindow {
  public:
    explicit RecordingWindow(LPCWSTR className = u"VantloTestRecordingWindow", LPCWSTR title = u"");
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    HWND Handle() const { return hwnd_; }
    std::vector<Received> All();
    std::vector<Received> Of(UINT msg);
    std::vector<Seen> Messages();  // every message as data, in arrival order (syncs left out)
    // Waits until the window handled everything posted to it before this call.
    bool Sync();
    // Waits until at least n messages numbered msg arrived; what arrived by then.
    std::vector<Received> WaitFor(UINT msg, size_t n = 1);

  private:
    static LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static DWORD ThreadMain(LPVOID param);

    WString className_;                // its class
    WString title_;                    // its title
    HANDLE ready_ = nullptr;           // set once hwnd_ is known
    HANDLE thread_ = nullptr;          // runs the message loop
    HWND hwnd_ = nullptr;              // the window
    std::mutex lock_;                  // guards seen_
    std::condition_variable changed_;  // signalled per message
    std::vector<Received> seen_;       // in arrival order
};

// ---- Status records --------------------------------------------------------------------------

// The (path, status) pairs of a kind-2070 answer, in order.
std::vector<std::pair<WString, DWORD>> StatusPairs(const std::vector<BYTE>& data);

// ---- Trace file ------------------------------------------------------------------------------

// The trace file of this case (VANTLO_TRACE_FILE, set by Use): the message texts of its
// lines, without the "[Orbel] [<tick>] " prefix.
class TraceFile {
  public:
    void Use(const std::string& path);  // sets VANTLO_TRACE_FILE for this process and children
    const std::string& Path() const { return path_; }
    std::vector<std::string> Lines() const;
    // The lines that start with prefix, in order.
    std::vector<std::string> Starting(const std::string& prefix) const;
    size_t Count(const std::string& line) const;       // lines equal to line
    bool Contains(const std::string& fragment) const;  // some line holds fragment
    // Index of the first line holding fragment, or -1.
    long IndexOf(const std::string& fragment) const;
    bool WaitForLine(const std::string& fragment);  // watchdog: false when it never came

  private:
    std::string path_;  // the file
};

// ---- Child processes --------------------------------------------------------------------------

// A program of build/bin started with arguments, stdout and stderr going to files; killed
// (SIGKILL) by the destructor if still running.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::string& stdoutPath, const std::string& stderrPath);
    bool Running();
    // Waits for the exit; its code (128 + signal for a signal), or -1 when it did not end.
    int Wait(std::chrono::milliseconds limit =
                 std::chrono::duration_cast<std::chrono::milliseconds>(kWatchdog));
    void Signal(int sig);
    int Pid() const { return pid_; }

  private:
    int pid_ = -1;        // the child, -1 when none
    bool reaped_ = true;  // its exit was collected
    int status_ = -1;     // exit code once reaped
};

// Runs a program to its end with the watchdog; its exit code (-1 on a hang), stdout in *out.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* out = nullptr, std::string* err = nullptr);

std::string ReadText(const std::string& path);
// Writes a file of size bytes at a device or host path, creating its folder.
void WriteMedia(const WString& path, size_t size);
// Sets a REG_DWORD below HKEY_LOCAL_MACHINE, creating the key; false on failure.
bool SetMachineDword(LPCWSTR key, LPCWSTR name, DWORD value);
// The connection manager stand-in's settings key ("Mode": 0 connect, 1 fail, 2 keep waiting).
constexpr WCHAR kConnMgrKey[] = u"SOFTWARE\\Velmar\\ConnMgr";
// The video engine's settings key ("BytesPerSecond", "FailAtPercent", "FailCode").
constexpr WCHAR kZorvidKey[] = u"SOFTWARE\\Velmar\\Engines\\Zorvid";
constexpr WCHAR kPelfinKey[] = u"SOFTWARE\\Velmar\\Engines\\Pelfin";
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace apptest
