#include "tests/app_harness.h"

#include <atomic>
#include <cstring>
#include <fstream>

#include "app/main_wnd.h"
#include "platform/devpath.h"
#include "platform/sync.h"
#include "upload/agent_notice.h"

namespace apptest {

// ---- InProcessApp ---------------------------------------------------------------------------

namespace {

// What the main window handled, syncs included; one application per process, and the window
// may outlive the test.
Recorded<Seen>& Handled() {
    static auto* handled = new Recorded<Seen>;
    return *handled;
}
std::atomic<WNDPROC> g_original{nullptr};  // the main window's own procedure

bool IsSync(const Seen& s) {
    return s.msg == kSyncMessage;
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
    g_original = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd_, GWLP_WNDPROC));
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
    if (msg == kSyncMessage || msg == WM_COPYDATA || msg >= WM_USER) {
        Handled().Add(Seen{msg, InSendMessage() ? Delivery::kSent : Delivery::kPosted});
    }
    return msg == kSyncMessage ? 0 : CallWindowProcW(g_original, hwnd, msg, wParam, lParam);
}

bool InProcessApp::Sync() {
    const size_t target = Handled().Where(IsSync).size() + 1;
    return PostMessageW(hwnd_, kSyncMessage, 0, 0) && Handled().WaitForCount(IsSync, target);
}

std::vector<Seen> InProcessApp::Messages() {
    return Handled().Where([](const Seen& s) { return !IsSync(s); });
}

size_t InProcessApp::Count(UINT msg) {
    return Handled().Where([msg](const Seen& s) { return s.msg == msg; }).size();
}

bool InProcessApp::WaitForMessage(UINT msg, size_t n) {
    return Handled().WaitForCount([msg](const Seen& s) { return s.msg == msg; }, n);
}

void InProcessApp::Clear() {
    Handled().Clear();
}

LRESULT InProcessApp::SendCopyData(ULONG_PTR kind, WPARAM wParam, const std::vector<BYTE>& data) {
    COPYDATASTRUCT cds{};
    cds.dwData = kind;
    cds.cbData = static_cast<DWORD>(data.size());
    cds.lpData = data.empty() ? nullptr : const_cast<BYTE*>(data.data());
    return SendMessageW(hwnd_, WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&cds));
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

void WriteMedia(const WString& path, size_t size) {
    const std::string host = HostPath(path.c_str());
    EnsureParentFolder(host);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<char>((i * 131 + size) & 0xFF);
    std::ofstream f(host, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// ---- ProgramsTest ---------------------------------------------------------------------------

void ProgramsTest::TearDown() {
    programs_.clear();
    TracedTest::TearDown();
}

ChildProcess* ProgramsTest::Start(const std::string& program, const std::vector<std::string>& args,
                                  LPCWSTR cls, std::string* out) {
    const std::string name = base_ + "/" + program + "-" + std::to_string(programs_.size());
    std::vector<std::string> argv{BinPath(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    programs_.push_back(std::make_unique<ChildProcess>(argv, -1, name + ".err", name + ".out"));
    ChildProcess* p = programs_.back().get();
    if (out) *out = name + ".out";
    if (cls) {
        const bool up = WaitUntil([&] { return FindWindowW(cls, nullptr) || !p->Running(); });
        EXPECT_TRUE(up && p->Running()) << ReadHostFile(name + ".err");
    }
    return p;
}

RunResult ProgramsTest::Client(std::vector<std::string> args) {
    args.insert(args.begin(), BinPath("vantlo-client"));
    return RunToEnd(args);
}

std::string ProgramsTest::Media(const std::string& name, size_t size) {
    const std::string path = base_ + "/media/" + name;
    WriteMedia(FromUtf8(path), size);
    return path;
}

}  // namespace apptest
