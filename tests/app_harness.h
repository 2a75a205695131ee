// What the application's tests run it with: the real WinMain on a thread of its own (the
// in-process tests), recording its main window's messages, the status records of its
// answers, and the fixture of the cases that run the real programs as processes.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/types.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "tests/support/child_process.h"
#include "tests/support/machine_values.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"
#include "tests/support/window_thread.h"

namespace apptest {

// ---- The application in this process --------------------------------------------------------

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

    // WM_COPYDATA from this thread (a client of another thread), as SendMessage returns it;
    // empty data goes as a null pointer.
    LRESULT SendCopyData(ULONG_PTR kind, WPARAM wParam, const std::vector<BYTE>& data);

  private:
    static DWORD ThreadMain(LPVOID param);
    static LRESULT Recorder(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    WString cmdLine_;          // WinMain's command line
    HANDLE thread_ = nullptr;  // runs WinMain
    HWND hwnd_ = nullptr;      // the main window
    int result_ = -1;          // WinMain's result, once it returned
};

// ---- Status records --------------------------------------------------------------------------

// The (path, status) pairs of a kind-2070 answer, in order.
std::vector<std::pair<WString, DWORD>> StatusPairs(const std::vector<BYTE>& data);

// Writes a file of size bytes at a device or host path, creating its folder.
void WriteMedia(const WString& path, size_t size);

// ---- The real programs ------------------------------------------------------------------------

// Cases that run the real programs as processes of their own in the case's device root; what
// still runs at the end is killed.
class ProgramsTest : public TracedTest {
  protected:
    void TearDown() override;
    // Starts build/bin/program with args; its stdout and stderr go to files, stdout's path in
    // *out when asked for. With cls, waits until a window of that class exists.
    ChildProcess* Start(const std::string& program, const std::vector<std::string>& args = {},
                        LPCWSTR cls = nullptr, std::string* out = nullptr);
    // Runs vantlo-client with args to its end.
    RunResult Client(std::vector<std::string> args);
    // A file of size bytes in the case's media folder; its absolute host path.
    std::string Media(const std::string& name, size_t size = 8192);

    std::vector<std::unique_ptr<ChildProcess>> programs_;  // in start order
};

}  // namespace apptest
