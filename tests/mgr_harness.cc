#include "tests/mgr_harness.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/devpath.h"
#include "platform/trace.h"
#include "upload/messages.h"

namespace {

constexpr UINT kRunMessage = WM_APP + 50;  // lParam: the std::function to run

}  // namespace

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
    return messages_.All();
}

size_t MainWindowStandIn::Count(UINT msg) {
    return messages_.CountIf([msg](const RoutedMessage& m) { return m.msg == msg; });
}

bool MainWindowStandIn::Route(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kRunMessage) {
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return true;
    }
    if (msg != MSG_START_TASK && msg != kQueueKick && msg != MSG_CONNECTION_STATUS &&
        msg != MSG_VIDEO_DONE && msg != MSG_VIDEO_FAILED && msg != MSG_PHOTO_DONE &&
        msg != MSG_PHOTO_FAILED) {
        return false;
    }
    messages_.Add(RoutedMessage{msg, wParam});
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
        default:  // MSG_START_TASK and the queue kick
            mgr_.StartTask();
            break;
    }
    return true;
}

// ---- Agent window stand-in -------------------------------------------------------------------

std::vector<AgentNotice> AgentWindowStandIn::Notices() {
    std::vector<AgentNotice> notices;
    for (const Received& r : Of(WM_COPYDATA)) {
        if (r.kind != AGENT_STATUS_COPYDATA || r.data.size() != sizeof(UploadStatusRecord))
            continue;
        UploadStatusRecord record;
        std::memcpy(&record, r.data.data(), sizeof record);
        record.path[MAX_PATH - 1] = 0;
        notices.push_back(AgentNotice{WString(record.path), record.status});
    }
    return notices;
}

std::vector<DWORD> AgentWindowStandIn::StatusesOf(const WString& path) {
    std::vector<DWORD> statuses;
    for (const AgentNotice& n : Notices()) {
        if (n.path == path) statuses.push_back(n.status);
    }
    return statuses;
}

size_t AgentWindowStandIn::MalformedNotices() {
    size_t n = 0;
    for (const Received& r : Of(WM_COPYDATA)) {
        n += r.kind == AGENT_STATUS_COPYDATA && r.data.size() != sizeof(UploadStatusRecord);
    }
    return n;
}

// ---- Observer ------------------------------------------------------------------------------

void RecordingObserver::OnTaskProgress(LPCWSTR path, const SYSTEMTIME*, LONG percent) {
    events_.Add(ObservedEvent{true, path ? WString(path) : WString(), percent});
}

void RecordingObserver::OnTaskStateChanged(LPCWSTR path, const SYSTEMTIME*) {
    events_.Add(ObservedEvent{false, path ? WString(path) : WString(), 0});
}

std::vector<LONG> RecordingObserver::PercentsOf(const WString& path) {
    std::vector<LONG> percents;
    for (const ObservedEvent& e : events_.All()) {
        if (e.progress && e.path == path) percents.push_back(e.percent);
    }
    return percents;
}

size_t RecordingObserver::StateChangesOf(const WString& path) {
    size_t n = 0;
    for (const ObservedEvent& e : events_.All()) n += !e.progress && e.path == path ? 1 : 0;
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
