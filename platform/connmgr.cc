#include "platform/connmgr.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/handle.h"
#include "platform/registry.h"
#include "platform/trace.h"

const GUID IID_DestNetInternet = {
    0x436EF144, 0xB4FB, 0x4863, {0xA0, 0x41, 0x8F, 0x90, 0x5A, 0x62, 0xC5, 0x72}};

namespace {

constexpr LPCWSTR kConfigKey = u"SOFTWARE\\Velmar\\ConnMgr";
constexpr DWORD kModeConnect = 0;
constexpr DWORD kModeFail = 1;
constexpr DWORD kModeWait = 2;
constexpr DWORD kDefaultDelayMs = 50;

// How a requested connection plays out, from the registry.
struct Behaviour {
    DWORD mode = kModeConnect;        // kModeConnect, kModeFail or kModeWait
    DWORD delayMs = kDefaultDelayMs;  // from waiting to the final state
};

Behaviour ReadBehaviour() {
    Behaviour b;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return b;
    }
    b.mode = RegReadDwordOr(key, u"Mode", kModeConnect, "ConnMgr");
    b.delayMs = RegReadDwordOr(key, u"DelayMs", kDefaultDelayMs, "ConnMgr");
    RegCloseKey(key);
    if (b.mode > kModeWait) {
        Trace("[ConnMgr] unknown Mode %u; connecting", static_cast<unsigned>(b.mode));
        b.mode = kModeConnect;
    }
    return b;
}

// What the connection's thread and its handle share.
struct ConnState {
    std::mutex lock;
    std::condition_variable wake;                     // signalled on release
    DWORD status = CONNMGR_STATUS_WAITINGCONNECTION;  // under lock
    bool released = false;                            // under lock; no report after it is set
};

// Where and how the connection reports.
struct Notify {
    HWND hWnd;      // null: nobody is told
    UINT uMsg;      // the message posted
    LPARAM lParam;  // posted with it
};

void Report(const Notify& n, DWORD status) {
    if (n.hWnd && !PostMessageW(n.hWnd, n.uMsg, status, n.lParam)) {
        Trace("[ConnMgr] could not post status 0x%02x to the requester's window",
              static_cast<unsigned>(status));
    }
}

// The connection's thread: reports waiting, then after the delay the final state.
void PlayOut(std::shared_ptr<ConnState> st, Notify n, Behaviour b) {
    Report(n, CONNMGR_STATUS_WAITINGCONNECTION);
    if (b.mode == kModeWait) return;
    DWORD outcome =
        b.mode == kModeFail ? CONNMGR_STATUS_CONNECTIONFAILED : CONNMGR_STATUS_CONNECTED;
    {
        std::unique_lock<std::mutex> g(st->lock);
        if (st->wake.wait_for(g, std::chrono::milliseconds(b.delayMs),
                              [&] { return st->released; })) {
            return;
        }
        st->status = outcome;
    }
    Trace("[ConnMgr] connection %s", outcome == CONNMGR_STATUS_CONNECTED ? "connected" : "failed");
    Report(n, outcome);
}

// A requested connection; its handle keeps it, and the last close stops its thread.
class Connection : public KernelObject {
  public:
    explicit Connection(std::shared_ptr<ConnState> st) : st_(std::move(st)) {}
    ~Connection() override { Stop(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Start(Notify n, Behaviour b) { worker_ = std::thread(PlayOut, st_, n, b); }
    // Ends the reports; when it returns the thread has posted its last message.
    void Stop() {
        {
            std::lock_guard<std::mutex> g(st_->lock);
            st_->released = true;
        }
        st_->wake.notify_all();
        if (worker_.joinable()) worker_.join();
    }
    DWORD Status() {
        std::lock_guard<std::mutex> g(st_->lock);
        return st_->status;
    }

  private:
    std::shared_ptr<ConnState> st_;  // shared with the thread
    std::thread worker_;             // plays the connection out; joined by Stop
};

}  // namespace

HRESULT ConnMgrEstablishConnection(CONNMGR_CONNECTIONINFO* info, HANDLE* connection) {
    if (!info || !connection) return E_POINTER;
    *connection = nullptr;
    if (info->cbSize != sizeof(CONNMGR_CONNECTIONINFO)) {
        Trace("[ConnMgr] establish: record size %u, expected %u",
              static_cast<unsigned>(info->cbSize),
              static_cast<unsigned>(sizeof(CONNMGR_CONNECTIONINFO)));
        return E_INVALIDARG;
    }
    if (!(info->dwParams & CONNMGR_PARAM_GUIDDESTNET) ||
        std::memcmp(&info->guidDestNet, &IID_DestNetInternet, sizeof(GUID)) != 0) {
        Trace("[ConnMgr] establish: no path to the requested destination");
        return E_INVALIDARG;
    }
    Behaviour b = ReadBehaviour();
    std::shared_ptr<Connection> conn;
    try {
        conn = std::make_shared<Connection>(std::make_shared<ConnState>());
        conn->Start(Notify{info->hWnd, info->uMsg, info->lParam}, b);
    } catch (const std::bad_alloc&) {
        Trace("[ConnMgr] establish: out of memory");
        return E_OUTOFMEMORY;
    } catch (const std::system_error& e) {
        Trace("[ConnMgr] establish: cannot start the connection: %s", e.what());
        return E_OUTOFMEMORY;
    }
    Trace("[ConnMgr] establish: mode %u, delay %u ms", static_cast<unsigned>(b.mode),
          static_cast<unsigned>(b.delayMs));
    *connection = NewHandle(std::move(conn));
    return S_OK;
}

HRESULT ConnMgrConnectionStatus(HANDLE connection, DWORD* status) {
    if (!status) return E_POINTER;
    auto conn = HandleAs<Connection>(connection);
    if (!conn) return E_INVALIDARG;
    *status = conn->Status();
    return S_OK;
}

HRESULT ConnMgrReleaseConnection(HANDLE connection, LONG) {
    auto conn = HandleAs<Connection>(connection);
    if (!conn) return E_INVALIDARG;
    conn->Stop();
    CloseHandle(connection);
    return S_OK;
}
