// What the task manager's tests (and their child program) run it in: a stand-in for the main
// window on a thread of its own with a real message loop, a stand-in for the companion
// agent's window on another thread, an observer that records what it hears, and small helpers
// for the device's files. The stand-ins route only what the task manager needs; the real main
// window procedure lives in app/.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "tests/support/machine_values.h"
#include "tests/support/recorded.h"
#include "tests/support/wait.h"
#include "tests/support/window_thread.h"
#include "upload/agent_notice.h"
#include "upload/task_mgr.h"

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

    CUploadTaskMgr& mgr_;               // the task manager under test
    bool shutDown_ = true;              // no Init ran, or Shutdown did
    Recorded<RoutedMessage> messages_;  // routed messages in arrival order
    WindowThread window_;               // last: its thread ends before the members above
};

// One notice the agent window got.
struct AgentNotice {
    WString path;  // the record's path
    DWORD status;  // the record's status
};

// The companion agent's window stand-in: a recording window of class "VantloAgentCallbackWnd"
// on a thread of its own, and the status notices it got.
class AgentWindowStandIn : public RecordingWindow {
  public:
    AgentWindowStandIn() : RecordingWindow(AGENT_WINDOW_CLASS, u"Agent") {}
    std::vector<AgentNotice> Notices();
    // The statuses the notices carried for path, in order.
    std::vector<DWORD> StatusesOf(const WString& path);
    size_t MalformedNotices();  // notices of the right kind with a wrong size
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
    Recorded<ObservedEvent> events_;  // in arrival order
};

// ---- Device files ------------------------------------------------------------------------

// Writes a file of size bytes (a pattern that depends on seed) at a device path.
void WriteMediaFile(const WString& devicePath, size_t size, int seed);
std::string ReadDeviceFile(const WString& devicePath);  // empty when missing
bool DeviceFileExists(const WString& devicePath);
// The file name part of a device path.
WString FileNameOf(const WString& devicePath);

// Requests handed to AddVideoTask / AddPhotoTask with the client batch defaults.
VideoTaskRequest DefaultVideo(const WString& path);
PhotoTaskRequest DefaultPhoto(const WString& path);
