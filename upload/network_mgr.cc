#include "upload/network_mgr.h"

#include <new>

#include "platform/connmgr.h"
#include "platform/trace.h"
#include "upload/messages.h"

namespace {

NetworkMgr* g_pNetworkMgr = nullptr;  // the process-wide object, null until first requested

constexpr ULONG kMaxConnLatencyMs = 20000;

// Statuses after which the handle is given up and a new request may be made.
bool IsGivenUp(DWORD status) {
    return status == CONNMGR_STATUS_UNKNOWN || status == CONNMGR_STATUS_DISCONNECTED ||
           status == CONNMGR_STATUS_CONNECTIONFAILED || status == CONNMGR_STATUS_CONNECTIONCANCELED;
}

}  // namespace

NetworkMgr::NetworkMgr() : connection(nullptr) {
    InitializeCriticalSection(&lock);
}

NetworkMgr::~NetworkMgr() {
    DeleteCriticalSection(&lock);
}

NetworkMgr* NetworkMgr::GetInstance() {
    if (!g_pNetworkMgr) g_pNetworkMgr = new (std::nothrow) NetworkMgr();
    return g_pNetworkMgr;
}

void NetworkMgr::DestroyInstance() {
    NetworkMgr* mgr = g_pNetworkMgr;
    if (!mgr) return;
    if (mgr->connection) {
        ConnMgrReleaseConnection(mgr->connection, 1);
        mgr->connection = nullptr;
    }
    delete mgr;
    g_pNetworkMgr = nullptr;
}

HRESULT NetworkMgr::CreateConnectionAsyn(HWND hWnd) {
    EnterCriticalSection(&lock);
    if (connection) {
        DWORD status = CONNMGR_STATUS_UNKNOWN;
        HRESULT hr = ConnMgrConnectionStatus(connection, &status);
        Trace("NetworkMgr: dwStatus = 0x%08x", static_cast<unsigned>(status));
        if (!IsGivenUp(status)) {
            LeaveCriticalSection(&lock);
            return hr;
        }
        ConnMgrReleaseConnection(connection, 0);
        connection = nullptr;
    }
    CONNMGR_CONNECTIONINFO info{};
    info.cbSize = sizeof info;
    info.dwParams = CONNMGR_PARAM_GUIDDESTNET | CONNMGR_PARAM_MAXCONNLATENCY;
    info.dwFlags = 0;
    info.dwPriority = CONNMGR_PRIORITY_USERINTERACTIVE;
    info.bExclusive = FALSE;
    info.bDisabled = FALSE;
    info.guidDestNet = IID_DestNetInternet;
    info.hWnd = hWnd;
    info.uMsg = MSG_CONNECTION_STATUS;
    info.ulMaxConnLatency = kMaxConnLatencyMs;
    HRESULT hr = ConnMgrEstablishConnection(&info, &connection);
    Trace("NetowkrMgr: CreateConnectionAsyn()");
    LeaveCriticalSection(&lock);
    return hr;
}

bool NetworkMgr::IsConnected() {
    if (!connection) return false;
    DWORD status = CONNMGR_STATUS_UNKNOWN;
    ConnMgrConnectionStatus(connection, &status);
    return status == CONNMGR_STATUS_CONNECTED;
}

bool NetworkMgr::IsPending() {
    if (!connection) return false;
    DWORD status = CONNMGR_STATUS_UNKNOWN;
    HRESULT hr = ConnMgrConnectionStatus(connection, &status);
    Trace("Status = 0x%08x,  HRESULT = 0x%08x", static_cast<unsigned>(status),
          static_cast<unsigned>(hr));
    return status == CONNMGR_STATUS_WAITINGCONNECTION || status == CONNMGR_STATUS_UNKNOWN;
}
