#include "tests/app_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/main_wnd.h"
#include "platform/devpath.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "tests/support/test_env.h"
#include "upload/agent_notice.h"

extern char** environ;

namespace apptest {

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void PrintTo(const Seen& s, std::ostream* os) {
    *os << "{" << s.msg << (s.how == Delivery::kSent ? ", sent}" : ", posted}");
}

// ---- InProcessApp ---------------------------------------------------------------------------

namespace {

// What the recorder shares with the tests; one application per process.
struct RecorderState {
    std::mutex lock;
    std::condition_variable changed;  // signalled per recorded message
    std::vector<Seen> seen;           // in arrival order, kSyncMessage left out
    size_t syncs = 0;                 // kSyncMessage seen
    WNDPROC original = nullptr;       // the main window's own procedure
};

RecorderState& Recorded() {
    static RecorderState* state = new RecorderState;  // the window may outlive the test
    return *state;
}

}  // namespace

InProcessApp::~InProcessApp() {
    if (thread_) Close();
}

bool InProcessApp::Start(const WString& cmdLine) {
    cmdLine_ = cmdLine;
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (!thread_) return false;
    if (!WaitUntil([&] {
            hwnd_ = FindWindowW(u"VANTLO", u"Vantlo");
            return hwnd_ != nullptr || WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0;
        }) ||
        !hwnd_) {
        return false;
    }
    RecorderState& r = Recorded();
    {
        std::lock_guard<std::mutex> g(r.lock);
        r.original = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd_, GWLP_WNDPROC));
    }
    SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Recorder));
    // A sent message is answered only once start-up is over and the loop runs.
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(hwnd_, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result)) return false;
    Clear();
    return true;
}

int InProcessApp::Close() {
    if (!thread_) return result_;
    if (hwnd_) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    const bool ended = WaitForSingleObject(thread_, 60000) == WAIT_OBJECT_0;
    CloseHandle(thread_);
    thread_ = nullptr;
    return ended ? result_ : -1;
}

DWORD InProcessApp::ThreadMain(LPVOID param) {
    auto* self = static_cast<InProcessApp*>(param);
    self->result_ = WinMain(nullptr, nullptr, self->cmdLine_.c_str(), SW_HIDE);
    return 0;
}

LRESULT InProcessApp::Recorder(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    RecorderState& r = Recorded();
    WNDPROC original;
    {
        std::lock_guard<std::mutex> g(r.lock);
        original = r.original;
        if (msg == kSyncMessage) {
            r.syncs++;
        } else if (msg == WM_COPYDATA || msg >= WM_USER) {
            r.seen.push_back(Seen{msg, InSendMessage() ? Delivery::kSent : Delivery::kPosted});
        }
    }
    r.changed.notify_all();
    if (msg == kSyncMessage) return 0;
    return CallWindowProcW(original, hwnd, msg, wParam, lParam);
}

bool InProcessApp::Sync() {
    RecorderState& r = Recorded();
    std::unique_lock<std::mutex> g(r.lock);
    const size_t target = r.syncs + 1;
    g.unlock();
    if (!PostMessageW(hwnd_, kSyncMessage, 0, 0)) return false;
    g.lock();
    return r.changed.wait_for(g, kWatchdog, [&] { return r.syncs >= target; });
}

std::vector<Seen> InProcessApp::Messages() {
    RecorderState& r = Recorded();
    std::lock_guard<std::mutex> g(r.lock);
    return r.seen;
}

size_t InProcessApp::Count(UINT msg) {
    size_t n = 0;
    for (const Seen& s : Messages()) n += s.msg == msg ? 1 : 0;
    return n;
}

bool InProcessApp::WaitForMessage(UINT msg, size_t n) {
    RecorderState& r = Recorded();
    std::unique_lock<std::mutex> g(r.lock);
    return r.changed.wait_for(g, kWatchdog, [&] {
        size_t count = 0;
        for (const Seen& s : r.seen) count += s.msg == msg ? 1 : 0;
        return count >= n;
    });
}

void InProcessApp::Clear() {
    RecorderState& r = Recorded();
    std::lock_guard<std::mutex> g(r.lock);
    r.seen.clear();
}

LRESULT InProcessApp::SendCopyData(ULONG_PTR kind, WPARAM wParam, const std::vector<BYTE>& data) {
    COPYDATASTRUCT cds{};
    cds.dwData = kind;
    cds.cbData = static_cast<DWORD>(data.size());
    cds.lpData = data.empty() ? nullptr : const_cast<BYTE*>(data.data());
    return SendMessageW(hwnd_, WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&cds));
}

LRESULT InProcessApp::SendCopyDataNull(ULONG_PTR kind, WPARAM wParam, DWORD cbData) {
    COPYDATASTRUCT cds{};
    cds.dwData = kind;
    cds.cbData = cbData;
    cds.lpData = nullptr;
    return SendMessageW(hwnd_, WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&cds));
}

// ---- RecordingWindow --------------------------------------------------------------------------

RecordingWindow::RecordingWindow(LPCWSTR className, LPCWSTR title)
    : className_(className), title_(title) {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (thread_) WaitForSingleObject(ready_, 20000);
}

RecordingWindow::~RecordingWindow() {
    if (hwnd_) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    if (thread_) {
        WaitForSingleObject(thread_, 20000);
        CloseHandle(thread_);
    }
    CloseHandle(ready_);
}

std::vector<Received> RecordingWindow::All() {
    std::lock_guard<std::mutex> g(lock_);
    return seen_;
}

std::vector<Received> RecordingWindow::Of(UINT msg) {
    std::vector<Received> out;
    for (Received& r : All()) {
        if (r.msg == msg) out.push_back(std::move(r));
    }
    return out;
}

std::vector<Seen> RecordingWindow::Messages() {
    std::vector<Seen> out;
    for (const Received& r : All()) {
        if (r.msg != kSyncMessage) out.push_back(Seen{r.msg, r.how});
    }
    return out;
}

bool RecordingWindow::Sync() {
    const size_t target = Of(kSyncMessage).size() + 1;
    if (!PostMessageW(hwnd_, kSyncMessage, 0, 0)) return false;
    return WaitFor(kSyncMessage, target).size() >= target;
}

std::vector<Received> RecordingWindow::WaitFor(UINT msg, size_t n) {
    {
        std::unique_lock<std::mutex> g(lock_);
        changed_.wait_for(g, kWatchdog, [&] {
            size_t count = 0;
            for (const Received& r : seen_) count += r.msg == msg ? 1 : 0;
            return count >= n;
        });
    }
    return Of(msg);
}

LRESULT RecordingWindow::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<RecordingWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
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
    if (!self || (msg != WM_COPYDATA && msg < WM_USER)) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    Received r{msg, wParam, lParam, InSendMessage() ? Delivery::kSent : Delivery::kPosted, 0, {}};
    if (msg == WM_COPYDATA) {
        if (auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam)) {
            r.kind = cds->dwData;
            if (cds->lpData && cds->cbData) {
                auto* bytes = static_cast<const BYTE*>(cds->lpData);
                r.data.assign(bytes, bytes + cds->cbData);
            }
        }
    }
    {
        std::lock_guard<std::mutex> g(self->lock_);
        self->seen_.push_back(std::move(r));
    }
    self->changed_.notify_all();
    return msg == WM_COPYDATA ? 1 : 0;
}

DWORD RecordingWindow::ThreadMain(LPVOID param) {
    auto* self = static_cast<RecordingWindow*>(param);
    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.lpszClassName = self->className_.c_str();
    RegisterClassW(&wc);  // already registered by an earlier window: fine
    self->hwnd_ = CreateWindowExW(0, self->className_.c_str(), self->title_.c_str(), 0, 0, 0, 0, 0,
                                  nullptr, nullptr, nullptr, self);
    SetEvent(self->ready_);
    if (!self->hwnd_) return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

std::vector<std::pair<WString, DWORD>> StatusPairs(const std::vector<BYTE>& data) {
    std::vector<std::pair<WString, DWORD>> out;
    for (size_t at = 0; at + sizeof(UploadStatusRecord) <= data.size();
         at += sizeof(UploadStatusRecord)) {
        UploadStatusRecord r;
        std::memcpy(&r, data.data() + at, sizeof r);
        r.path[MAX_PATH - 1] = 0;
        out.emplace_back(WString(r.path), r.status);
    }
    return out;
}

// ---- TraceFile -------------------------------------------------------------------------------

void TraceFile::Use(const std::string& path) {
    path_ = path;
    setenv("VANTLO_TRACE_FILE", path.c_str(), 1);
}

std::vector<std::string> TraceFile::Lines() const {
    std::vector<std::string> out;
    for (const std::string& line : SplitLines(ReadText(path_))) {
        // "[Orbel] [<tick>] text"
        size_t at = line.rfind("[Orbel] [", 0) == 0 ? line.find("] ", 9) : std::string::npos;
        out.push_back(at == std::string::npos ? line : line.substr(at + 2));
    }
    return out;
}

std::vector<std::string> TraceFile::Starting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : Lines()) {
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
}

size_t TraceFile::Count(const std::string& line) const {
    size_t n = 0;
    for (const std::string& l : Lines()) n += l == line ? 1 : 0;
    return n;
}

bool TraceFile::Contains(const std::string& fragment) const {
    return IndexOf(fragment) >= 0;
}

long TraceFile::IndexOf(const std::string& fragment) const {
    const std::vector<std::string> lines = Lines();
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].find(fragment) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
}

bool TraceFile::WaitForLine(const std::string& fragment) {
    return WaitUntil([&] { return Contains(fragment); });
}

// ---- ChildProcess ----------------------------------------------------------------------------

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        Wait();
    }
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& stdoutPath, const std::string& stderrPath) {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    pid_ = pid;
    reaped_ = false;
    status_ = -1;
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || reaped_) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == 0) return true;
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    if (!WaitUntil([&] { return !Running(); }, limit)) return -1;
    return status_;
}

void ChildProcess::Signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

int RunProgram(const std::string& program, const std::vector<std::string>& args, std::string* out,
               std::string* err) {
    static int serial = 0;
    // Beside the device root, which is the case's own folder.
    const char* root = getenv("VANTLO_ROOT");
    const std::string base = std::string(root ? root : "/tmp") + "/../run-" +
                             std::to_string(getpid()) + "-" + std::to_string(serial++);
    ChildProcess child;
    if (!child.Start(program, args, base + ".out", base + ".err")) return -1;
    const int rc = child.Wait();
    if (rc < 0) child.Signal(SIGKILL);
    if (out) *out = ReadText(base + ".out");
    if (err) *err = ReadText(base + ".err");
    unlink((base + ".out").c_str());
    unlink((base + ".err").c_str());
    return rc;
}

std::string ReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteMedia(const WString& path, size_t size) {
    const std::string host = HostPath(path.c_str());
    EnsureParentFolder(host);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<char>((i * 131 + size) & 0xFF);
    std::ofstream f(host, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool SetMachineDword(LPCWSTR key, LPCWSTR name, DWORD value) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &h, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG rc =
        RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> out;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

}  // namespace apptest
