// What the task manager's tests (and their child program) run it in: a stand-in for the main
// window on a thread of its own with a real message loop, a stand-in for the companion
// agent's window on another thread, an observer that records what it hears, and small helpers
// for the device's files. The stand-ins route only what the task manager needs; the real main
// window procedure lives in app/.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "tests/case_util.h"
#include "upload/task_mgr.h"

// Long enough that a wait which should end never reaches it; it only guards against a hang.
constexpr auto kMgrWatchdog = std::chrono::seconds(60);

// Calls pred until it holds, waking at least every 10 ms; false when the watchdog ran out.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds limit =
                   std::chrono::duration_cast<std::chrono::milliseconds>(kMgrWatchdog));

// A window of class cls on a thread of its own with a message loop. The handler sees every
// message first and returns false to leave it to the default handling.
class WindowThread {
  public:
    using Handler = std::function<bool(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result)>;
    WindowThread(LPCWSTR cls, LPCWSTR title, Handler handler);
    ~WindowThread();  // closes the window and waits for its thread
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;
    HWND Handle() const { return hwnd_; }

  private:
    static LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static DWORD ThreadMain(LPVOID param);

    WString cls_;              // the window's class
    WString title_;            // its title
    Handler handler_;          // runs on the window's thread
    HANDLE ready_ = nullptr;   // set once hwnd_ is known
    HANDLE thread_ = nullptr;  // runs the message loop
    HWND hwnd_ = nullptr;      // the window, null if it could not be made
};

struct RoutedMessage {
    UINT msg;       // message number
    WPARAM wParam;  // as posted
};

// The main window stand-in. Routes MSG_START_TASK and the queue kick to StartTask,
// MSG_CONNECTION_STATUS to StartUploading (unless still waiting), and the done, failed and
// commit messages to the commit operations, on its own thread, recording each in order.
class MainWindowStandIn {
  public:
    // The main window's own queue kick, posted after tasks were added (WM_USER + 428).
    static constexpr UINT kQueueKick = 1452;

    explicit MainWindowStandIn(CUploadTaskMgr& mgr);
    ~MainWindowStandIn();  // shuts the task manager down if that was not done, closes the window

    HWND Handle() const { return window_.Handle(); }
    // Gives the task manager this window and runs its Init on the window's thread.
    HRESULT Init();
    // Runs the task manager's Shutdown on the window's thread.
    void Shutdown();
    // Runs fn on the window's thread and waits for it.
    void OnMain(const std::function<void()>& fn);
    // Posts the queue kick, as the main window does after adding tasks.
    void Kick();
    // Waits until pred, evaluated on the window's thread, holds; false on the watchdog.
    bool WaitOnMain(const std::function<bool()>& pred);

    std::vector<RoutedMessage> Messages();  // every routed message so far, in order
    size_t Count(UINT msg);                 // how many of msg were routed

  private:
    bool Route(UINT msg, WPARAM wParam, LPARAM lParam);

    CUploadTaskMgr& mgr_;                  // the task manager under test
    bool shutDown_ = true;                 // no Init ran, or Shutdown did
    std::mutex lock_;                      // guards messages_
    std::vector<RoutedMessage> messages_;  // routed messages in arrival order
    WindowThread window_;                  // last: its thread ends before the members above
};

// One notice the agent window got.
struct AgentNotice {
    WString path;  // the record's path
    DWORD status;  // the record's status
};

// The companion agent's window stand-in: a window of class "VantloAgentCallbackWnd" on a
// thread of its own, recording every status notice.
class AgentWindowStandIn {
  public:
    AgentWindowStandIn();

    HWND Handle() const { return window_.Handle(); }
    std::vector<AgentNotice> Notices();
    // The statuses the notices carried for path, in order.
    std::vector<DWORD> StatusesOf(const WString& path);
    size_t MalformedNotices();  // notices of the right kind with a wrong size

  private:
    bool Take(UINT msg, LPARAM lParam, LRESULT* result);

    std::mutex lock_;                   // guards the two fields below
    std::vector<AgentNotice> notices_;  // in arrival order
    size_t malformed_ = 0;              // notices that did not carry one record
    WindowThread window_;               // last: its thread ends before the members above
};

// One thing an observer heard.
struct ObservedEvent {
    bool progress;  // progress (else a state change)
    WString path;   // the task's path (empty for a null path)
    LONG percent;   // progress only
};

class RecordingObserver : public ITaskObserver {
  public:
    void OnTaskProgress(LPCWSTR path, const SYSTEMTIME* time, LONG percent) override;
    void OnTaskStateChanged(LPCWSTR path, const SYSTEMTIME* time) override;

    std::vector<LONG> PercentsOf(const WString& path);  // progress reports for path, in order
    size_t StateChangesOf(const WString& path);

  private:
    std::vector<ObservedEvent> Events();

    std::mutex lock_;                    // guards events_
    std::vector<ObservedEvent> events_;  // in arrival order
};

// ---- Device files ------------------------------------------------------------------------

// Writes a file of size bytes (a pattern that depends on seed) at a device path.
void WriteMediaFile(const WString& devicePath, size_t size, int seed);
std::string ReadDeviceFile(const WString& devicePath);  // empty when missing
bool DeviceFileExists(const WString& devicePath);
// The file name part of a device path.
WString FileNameOf(const WString& devicePath);
// The engines' settings keys.
constexpr WCHAR kZorvidKey[] = u"SOFTWARE\\Velmar\\Engines\\Zorvid";
constexpr WCHAR kPelfinKey[] = u"SOFTWARE\\Velmar\\Engines\\Pelfin";

// Requests handed to AddVideoTask / AddPhotoTask with the client batch defaults.
VideoTaskRequest DefaultVideo(const WString& path);
PhotoTaskRequest DefaultPhoto(const WString& path);
