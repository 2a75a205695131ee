// What the task manager's tests (and their child program) run it in: a stand-in for the main
// window on a thread of its own with a real message loop, a stand-in for the companion
// agent's window on another thread, an observer that records what it hears, and small helpers
// for the device's files and registry. The stand-ins route only what the task manager needs;
// the real main window procedure lives in app/.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "upload/task_mgr.h"

// Long enough that a wait which should end never reaches it; it only guards against a hang.
constexpr auto kMgrWatchdog = std::chrono::seconds(60);

// Calls pred until it holds, waking at least every 10 ms; false when the watchdog ran out.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds limit =
                   std::chrono::duration_cast<std::chrono::milliseconds>(kMgrWatchdog));

struct RoutedMessage {
    UINT msg;       // message number
    WPARAM wParam;  // as posted
};

// The main window stand-in. Routes MSG_START_TASK and the queue kick to StartTask,
// MSG_CONNECTION_STATUS to StartUploading (unless still waiting), and the done and failed
// messages to the commit operations, on its own thread, recording each in order.
class MainWindowStandIn {
  public:
    // The main window's own queue kick, posted after tasks were added (WM_USER + 428).
    static constexpr UINT kQueueKick = 1452;

    explicit MainWindowStandIn(CUploadTaskMgr& mgr);
    ~MainWindowStandIn();  // shuts the task manager down if that was not done, closes the window
    MainWindowStandIn(const MainWindowStandIn&) = delete;
    MainWindowStandIn& operator=(const MainWindowStandIn&) = delete;

    HWND Handle() const { return hwnd_; }
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
    static LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static DWORD ThreadMain(LPVOID param);
    void Route(UINT msg, WPARAM wParam);

    CUploadTaskMgr& mgr_;                  // the task manager under test
    HANDLE ready_ = nullptr;               // set once hwnd_ is known
    HANDLE thread_ = nullptr;              // runs the message loop
    HWND hwnd_ = nullptr;                  // the window, null if it could not be made
    bool shutDown_ = true;                 // no Init ran, or Shutdown did
    std::mutex lock_;                      // guards the two fields below
    std::vector<RoutedMessage> messages_;  // routed messages in arrival order
    std::map<UINT, size_t> counts_;        // routed messages by number
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
    ~AgentWindowStandIn();
    AgentWindowStandIn(const AgentWindowStandIn&) = delete;
    AgentWindowStandIn& operator=(const AgentWindowStandIn&) = delete;

    HWND Handle() const { return hwnd_; }
    std::vector<AgentNotice> Notices();
    // The statuses the notices carried for path, in order.
    std::vector<DWORD> StatusesOf(const WString& path);
    size_t MalformedNotices();  // notices of the right kind with a wrong size

  private:
    static LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static DWORD ThreadMain(LPVOID param);

    HANDLE ready_ = nullptr;            // set once hwnd_ is known
    HANDLE thread_ = nullptr;           // runs the message loop
    HWND hwnd_ = nullptr;               // the window
    std::mutex lock_;                   // guards the two fields below
    std::vector<AgentNotice> notices_;  // in arrival order
    size_t malformed_ = 0;              // notices that did not carry one record
};

// One thing an observer heard.
struct ObservedEvent {
    bool progress;    // progress (else a state change)
    WString path;     // the task's path (empty for a null path)
    SYSTEMTIME time;  // its submit time (zero for a null time)
    LONG percent;     // progress only
};

class RecordingObserver : public ITaskObserver {
  public:
    void OnTaskProgress(LPCWSTR path, const SYSTEMTIME* time, LONG percent) override;
    void OnTaskStateChanged(LPCWSTR path, const SYSTEMTIME* time) override;

    std::vector<ObservedEvent> Events();
    std::vector<LONG> PercentsOf(const WString& path);  // progress reports for path, in order
    size_t StateChangesOf(const WString& path);

  private:
    std::mutex lock_;                    // guards events_
    std::vector<ObservedEvent> events_;  // in arrival order
};

// ---- Device files and registry -----------------------------------------------------------

// Writes a file of size bytes (a pattern that depends on seed) at a device path.
void WriteMediaFile(const WString& devicePath, size_t size, int seed);
std::string ReadDeviceFile(const WString& devicePath);  // empty when missing
bool DeviceFileExists(const WString& devicePath);
// The file name part of a device path.
WString FileNameOf(const WString& devicePath);
// Sets a REG_DWORD below HKEY_LOCAL_MACHINE, creating the key; false on failure.
bool SetMachineDword(LPCWSTR key, LPCWSTR name, DWORD value);
// A REG_DWORD below HKEY_LOCAL_MACHINE, or fallback when absent.
DWORD MachineDword(LPCWSTR key, LPCWSTR name, DWORD fallback);
// The engines' settings keys.
constexpr WCHAR kZorvidKey[] = u"SOFTWARE\\Velmar\\Engines\\Zorvid";
constexpr WCHAR kPelfinKey[] = u"SOFTWARE\\Velmar\\Engines\\Pelfin";

// Requests handed to AddVideoTask / AddPhotoTask with the client batch defaults.
VideoTaskRequest DefaultVideo(const WString& path);
PhotoTaskRequest DefaultPhoto(const WString& path);
