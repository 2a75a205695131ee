#include "tests/mgr_harness.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/devpath.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/trace.h"
#include "upload/agent_notice.h"
#include "upload/messages.h"

namespace {

constexpr UINT kRunMessage = WM_APP + 50;  // lParam: the std::function to run
constexpr WCHAR kMainClass[] = u"VantloTestMainWindow";

}  // namespace

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// ---- Main window stand-in ------------------------------------------------------------------

MainWindowStandIn::MainWindowStandIn(CUploadTaskMgr& mgr) : mgr_(mgr) {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (thread_) WaitForSingleObject(ready_, 20000);
}

MainWindowStandIn::~MainWindowStandIn() {
    if (!shutDown_) Shutdown();
    if (hwnd_) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    if (thread_) {
        WaitForSingleObject(thread_, 20000);
        CloseHandle(thread_);
    }
    CloseHandle(ready_);
}

HRESULT MainWindowStandIn::Init() {
    HRESULT hr = E_FAIL;
    OnMain([&] {
        mgr_.SetMainWindow(hwnd_);
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
    if (!hwnd_) return;
    SendMessageW(hwnd_, kRunMessage, 0, reinterpret_cast<LPARAM>(&fn));
}

void MainWindowStandIn::Kick() {
    PostMessageW(hwnd_, kQueueKick, 0, 0);
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
    std::lock_guard<std::mutex> g(lock_);
    auto it = counts_.find(msg);
    return it == counts_.end() ? 0 : it->second;
}

void MainWindowStandIn::Route(UINT msg, WPARAM wParam) {
    {
        std::lock_guard<std::mutex> g(lock_);
        messages_.push_back(RoutedMessage{msg, wParam});
        counts_[msg]++;
    }
    switch (msg) {
        case MSG_START_TASK:
        case kQueueKick:
            mgr_.StartTask();
            break;
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
        default:
            break;
    }
}

LRESULT MainWindowStandIn::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<MainWindowStandIn*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_CREATE: {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
            return 0;
        }
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case kRunMessage:
            (*reinterpret_cast<const std::function<void()>*>(lParam))();
            return 0;
        case MSG_START_TASK:
        case kQueueKick:
        case MSG_CONNECTION_STATUS:
        case MSG_VIDEO_DONE:
        case MSG_VIDEO_FAILED:
        case MSG_PHOTO_DONE:
        case MSG_PHOTO_FAILED:
            if (self) self->Route(msg, wParam);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

DWORD MainWindowStandIn::ThreadMain(LPVOID param) {
    auto* self = static_cast<MainWindowStandIn*>(param);
    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.lpszClassName = kMainClass;
    RegisterClassW(&wc);  // already registered by an earlier stand-in: fine
    self->hwnd_ =
        CreateWindowExW(0, kMainClass, u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, self);
    SetEvent(self->ready_);
    if (!self->hwnd_) return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

// ---- Agent window stand-in -------------------------------------------------------------------

AgentWindowStandIn::AgentWindowStandIn() {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (thread_) WaitForSingleObject(ready_, 20000);
}

AgentWindowStandIn::~AgentWindowStandIn() {
    if (hwnd_) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    if (thread_) {
        WaitForSingleObject(thread_, 20000);
        CloseHandle(thread_);
    }
    CloseHandle(ready_);
}

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

LRESULT AgentWindowStandIn::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<AgentWindowStandIn*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_CREATE: {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
            return 0;
        }
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_COPYDATA: {
            auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (!self || !cds || cds->dwData != AGENT_STATUS_COPYDATA) return 0;
            std::lock_guard<std::mutex> g(self->lock_);
            if (cds->cbData != sizeof(UploadStatusRecord) || !cds->lpData) {
                self->malformed_++;
                return 0;
            }
            UploadStatusRecord record;
            std::memcpy(&record, cds->lpData, sizeof record);
            record.path[MAX_PATH - 1] = 0;
            self->notices_.push_back(AgentNotice{WString(record.path), record.status});
            return 1;
        }
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

DWORD AgentWindowStandIn::ThreadMain(LPVOID param) {
    auto* self = static_cast<AgentWindowStandIn*>(param);
    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.lpszClassName = AGENT_WINDOW_CLASS;
    RegisterClassW(&wc);
    self->hwnd_ = CreateWindowExW(0, AGENT_WINDOW_CLASS, u"Agent", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  nullptr, self);
    SetEvent(self->ready_);
    if (!self->hwnd_) return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

// ---- Observer ------------------------------------------------------------------------------

void RecordingObserver::OnTaskProgress(LPCWSTR path, const SYSTEMTIME* time, LONG percent) {
    std::lock_guard<std::mutex> g(lock_);
    events_.push_back(ObservedEvent{true, path ? WString(path) : WString(),
                                    time ? *time : SYSTEMTIME{}, percent});
}

void RecordingObserver::OnTaskStateChanged(LPCWSTR path, const SYSTEMTIME* time) {
    std::lock_guard<std::mutex> g(lock_);
    events_.push_back(
        ObservedEvent{false, path ? WString(path) : WString(), time ? *time : SYSTEMTIME{}, 0});
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

// ---- Device files and registry ---------------------------------------------------------------

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

bool SetMachineDword(LPCWSTR key, LPCWSTR name, DWORD value) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &h, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG rc =
        RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

DWORD MachineDword(LPCWSTR key, LPCWSTR name, DWORD fallback) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return fallback;
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG rc = RegQueryValueExW(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS && size == sizeof value ? value : fallback;
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
