#include "tests/mgr_harness.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/devpath.h"
#include "platform/sync.h"
#include "platform/trace.h"
#include "upload/agent_notice.h"
#include "upload/messages.h"

namespace {

constexpr UINT kRunMessage = WM_APP + 50;  // lParam: the std::function to run

}  // namespace

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// ---- Window thread ---------------------------------------------------------------------------

WindowThread::WindowThread(LPCWSTR cls, LPCWSTR title, Handler handler)
    : cls_(cls), title_(title), handler_(std::move(handler)) {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (thread_) WaitForSingleObject(ready_, 20000);
}

WindowThread::~WindowThread() {
    if (hwnd_) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    if (thread_) {
        WaitForSingleObject(thread_, 20000);
        CloseHandle(thread_);
    }
    CloseHandle(ready_);
}

LRESULT WindowThread::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        return 0;
    }
    auto* self = reinterpret_cast<WindowThread*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    LRESULT result = 0;
    if (self && self->handler_(msg, wParam, lParam, &result)) return result;
    switch (msg) {
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

DWORD WindowThread::ThreadMain(LPVOID param) {
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

// ---- Main window stand-in ------------------------------------------------------------------

MainWindowStandIn::MainWindowStandIn(CUploadTaskMgr& mgr)
    : mgr_(mgr),
      window_(u"VantloTestMainWindow", u"",
              [this](UINT msg, WPARAM wParam, LPARAM lParam, LRESULT*) {
                  return Route(msg, wParam, lParam);
              }) {}

MainWindowStandIn::~MainWindowStandIn() {
    if (!shutDown_) Shutdown();
}

HRESULT MainWindowStandIn::Init() {
    HRESULT hr = E_FAIL;
    OnMain([&] {
        mgr_.SetMainWindow(Handle());
        hr = mgr_.Init();
    });
    shutDown_ = false;
    return hr;
}

void MainWindowStandIn::Shutdown() {
    OnMain([&] { mgr_.Shutdown(); });
    shutDown_ = true;
}

void MainWindowStandIn::OnMain(const std::function<void()>& fn) {
    if (Handle()) SendMessageW(Handle(), kRunMessage, 0, reinterpret_cast<LPARAM>(&fn));
}

void MainWindowStandIn::Kick() {
    PostMessageW(Handle(), kQueueKick, 0, 0);
}

bool MainWindowStandIn::WaitOnMain(const std::function<bool()>& pred) {
    return WaitUntil([&] {
        bool holds = false;
        OnMain([&] { holds = pred(); });
        return holds;
    });
}

std::vector<RoutedMessage> MainWindowStandIn::Messages() {
    std::lock_guard<std::mutex> g(lock_);
    return messages_;
}

size_t MainWindowStandIn::Count(UINT msg) {
    size_t n = 0;
    for (const RoutedMessage& m : Messages()) n += m.msg == msg ? 1 : 0;
    return n;
}

bool MainWindowStandIn::Route(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kRunMessage) {
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return true;
    }
    if (msg != MSG_START_TASK && msg != kQueueKick && msg != MSG_CONNECTION_STATUS &&
        msg != MSG_VIDEO_DONE && msg != MSG_VIDEO_FAILED && msg != MSG_PHOTO_DONE &&
        msg != MSG_PHOTO_FAILED && msg != MSG_COMMIT_ENDED) {
        return false;
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        messages_.push_back(RoutedMessage{msg, wParam});
    }
    switch (msg) {
        case MSG_CONNECTION_STATUS:
            Trace("OnStartUploading (0x%08x)", static_cast<unsigned>(wParam));
            if (wParam != 0x40) mgr_.StartUploading();
            break;
        case MSG_VIDEO_DONE:
            mgr_.CommitVideoDone();
            break;
        case MSG_VIDEO_FAILED:
            mgr_.ForgetVideoFailed();
            break;
        case MSG_PHOTO_DONE:
            mgr_.CommitPhotoDone();
            break;
        case MSG_PHOTO_FAILED:
            mgr_.ForgetPhotoFailed();
            break;
        case MSG_COMMIT_ENDED:
            mgr_.CommitEnded();
            break;
        default:  // MSG_START_TASK and the queue kick
            mgr_.StartTask();
            break;
    }
    return true;
}

// ---- Agent window stand-in -------------------------------------------------------------------

AgentWindowStandIn::AgentWindowStandIn()
    : window_(AGENT_WINDOW_CLASS, u"Agent",
              [this](UINT msg, WPARAM, LPARAM lParam, LRESULT* result) {
                  return Take(msg, lParam, result);
              }) {}

std::vector<AgentNotice> AgentWindowStandIn::Notices() {
    std::lock_guard<std::mutex> g(lock_);
    return notices_;
}

std::vector<DWORD> AgentWindowStandIn::StatusesOf(const WString& path) {
    std::vector<DWORD> statuses;
    for (const AgentNotice& n : Notices()) {
        if (n.path == path) statuses.push_back(n.status);
    }
    return statuses;
}

size_t AgentWindowStandIn::MalformedNotices() {
    std::lock_guard<std::mutex> g(lock_);
    return malformed_;
}

bool AgentWindowStandIn::Take(UINT msg, LPARAM lParam, LRESULT* result) {
    if (msg != WM_COPYDATA) return false;
    auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    *result = 0;
    if (!cds || cds->dwData != AGENT_STATUS_COPYDATA) return true;
    std::lock_guard<std::mutex> g(lock_);
    if (cds->cbData != sizeof(UploadStatusRecord) || !cds->lpData) {
        malformed_++;
        return true;
    }
    UploadStatusRecord record;
    std::memcpy(&record, cds->lpData, sizeof record);
    record.path[MAX_PATH - 1] = 0;
    notices_.push_back(AgentNotice{WString(record.path), record.status});
    *result = 1;
    return true;
}

// ---- Observer ------------------------------------------------------------------------------

void RecordingObserver::OnTaskProgress(LPCWSTR path, const SYSTEMTIME*, LONG percent) {
    std::lock_guard<std::mutex> g(lock_);
    events_.push_back(ObservedEvent{true, path ? WString(path) : WString(), percent});
}

void RecordingObserver::OnTaskStateChanged(LPCWSTR path, const SYSTEMTIME*) {
    std::lock_guard<std::mutex> g(lock_);
    events_.push_back(ObservedEvent{false, path ? WString(path) : WString(), 0});
}

std::vector<ObservedEvent> RecordingObserver::Events() {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
}

std::vector<LONG> RecordingObserver::PercentsOf(const WString& path) {
    std::vector<LONG> percents;
    for (const ObservedEvent& e : Events()) {
        if (e.progress && e.path == path) percents.push_back(e.percent);
    }
    return percents;
}

size_t RecordingObserver::StateChangesOf(const WString& path) {
    size_t n = 0;
    for (const ObservedEvent& e : Events()) n += !e.progress && e.path == path ? 1 : 0;
    return n;
}

// ---- Device files ----------------------------------------------------------------------------

void WriteMediaFile(const WString& devicePath, size_t size, int seed) {
    std::string host = HostPath(devicePath.c_str());
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<char>((i * 31 + seed * 7) & 0xFF);
    std::ofstream f(host, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadDeviceFile(const WString& devicePath) {
    std::ifstream f(HostPath(devicePath.c_str()), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool DeviceFileExists(const WString& devicePath) {
    return std::filesystem::exists(HostPath(devicePath.c_str()));
}

WString FileNameOf(const WString& devicePath) {
    size_t slash = devicePath.find_last_of(u"\\/");
    return slash == WString::npos ? devicePath : devicePath.substr(slash + 1);
}

VideoTaskRequest DefaultVideo(const WString& path) {
    VideoTaskRequest r{};
    r.path = path.c_str();
    r.title = DEFAULT_VIDEO_TITLE;
    r.description = DEFAULT_VIDEO_DESCRIPTION;
    r.category = DEFAULT_VIDEO_CATEGORY;
    r.tags = DEFAULT_VIDEO_TAGS;
    r.visibility = DEFAULT_VIDEO_VISIBILITY;
    return r;
}

PhotoTaskRequest DefaultPhoto(const WString& path) {
    PhotoTaskRequest r{};
    r.path = path.c_str();
    r.caption = u"";
    r.album = DEFAULT_PHOTO_ALBUM;
    return r;
}
