// The data connection: one process-wide request for an Internet connection through the
// connection manager. Every status change of the request is posted to the window that made it
// as MSG_CONNECTION_STATUS with the status in wParam. The connection is kept until
// DestroyInstance at shutdown.
#pragma once

#include "platform/sync.h"
#include "platform/types.h"
#include "platform/window.h"

class NetworkMgr {
  public:
    // The process-wide object, created without a connection on first call; null only when it
    // cannot be allocated. Main thread.
    static NetworkMgr* GetInstance();
    // Releases the connection (keeping the line cached), frees the object and clears the
    // process-wide pointer; nothing when there is none.
    static void DestroyInstance();

    // Requests a connection reporting to hWnd, unless one is connected or being set up: then
    // the status query's result is returned and nothing is asked. A failed, cancelled or
    // dropped connection is released first and asked for again. The establish call's result.
    HRESULT CreateConnectionAsyn(HWND hWnd);
    bool IsConnected();  // a connection exists and its status is connected
    bool IsPending();    // a connection exists and is waiting (or its status is unknown)

    HANDLE connection;      // the connection manager's handle of the request, null when none
    CRITICAL_SECTION lock;  // serialises CreateConnectionAsyn

  private:
    NetworkMgr();
    ~NetworkMgr();
    NetworkMgr(const NetworkMgr&) = delete;
    NetworkMgr& operator=(const NetworkMgr&) = delete;
};
