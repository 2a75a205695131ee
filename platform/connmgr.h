// The cellular connection manager: asynchronous establish, status query and release of a data
// connection, with every status change posted to the requester's window.
//
// This host has no radio; the stand-in plays a connection out as its registry key says:
// HKEY_LOCAL_MACHINE "SOFTWARE\Velmar\ConnMgr", read at every establish:
//   "Mode"     REG_DWORD  0 connects (default), 1 fails, 2 keeps waiting
//   "DelayMs"  REG_DWORD  how long the connection waits before it connects or fails (default 50)
// A new connection is waiting (0x40) from the moment it is requested; a thread of the stand-in
// posts (uMsg, status, lParam) to hWnd with 0x40 at once and, after DelayMs, with 0x10
// (connected) or 0x21 (failed). Releasing a connection stops its reports.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "platform/window.h"

// Which fields of CONNMGR_CONNECTIONINFO are valid (dwParams).
constexpr DWORD CONNMGR_PARAM_GUIDDESTNET = 0x1;
constexpr DWORD CONNMGR_PARAM_MAXCOST = 0x2;
constexpr DWORD CONNMGR_PARAM_MINRCVBW = 0x4;
constexpr DWORD CONNMGR_PARAM_MAXCONNLATENCY = 0x8;

// Request priorities (dwPriority).
constexpr DWORD CONNMGR_PRIORITY_USERINTERACTIVE = 0x8000;
constexpr DWORD CONNMGR_PRIORITY_HIPRIBKGND = 0x0200;
constexpr DWORD CONNMGR_PRIORITY_LOWBKGND = 0x0008;

// Connection states, as posted and as ConnMgrConnectionStatus reports them.
constexpr DWORD CONNMGR_STATUS_UNKNOWN = 0x00;
constexpr DWORD CONNMGR_STATUS_CONNECTED = 0x10;
constexpr DWORD CONNMGR_STATUS_DISCONNECTED = 0x20;
constexpr DWORD CONNMGR_STATUS_CONNECTIONFAILED = 0x21;
constexpr DWORD CONNMGR_STATUS_CONNECTIONCANCELED = 0x22;
constexpr DWORD CONNMGR_STATUS_WAITINGCONNECTION = 0x40;

// The destination network "the Internet" {436EF144-B4FB-4863-A041-8F905A62C572}.
extern const GUID IID_DestNetInternet;

// A connection request. The device's record is 64 bytes; here the window handle and lParam are
// 8 bytes wide, so the same fields in the same order take 80.
struct CONNMGR_CONNECTIONINFO {
    DWORD cbSize;            // sizeof(CONNMGR_CONNECTIONINFO)
    DWORD dwParams;          // CONNMGR_PARAM_* bits: which fields below are valid
    DWORD dwFlags;           // proxy flags; 0 for a direct connection
    DWORD dwPriority;        // CONNMGR_PRIORITY_*
    BOOL bExclusive;         // the connection may not be shared
    BOOL bDisabled;          // request a connection without connecting it
    GUID guidDestNet;        // the destination network
    HWND hWnd;               // where status changes are posted; null for none
    UINT uMsg;               // the message posted to hWnd, the status in wParam
    LPARAM lParam;           // posted as lParam
    ULONG ulMaxCost;         // highest acceptable cost
    ULONG ulMinRcvBw;        // lowest acceptable receive bandwidth
    ULONG ulMaxConnLatency;  // longest acceptable time to connect, in ms
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(CONNMGR_CONNECTIONINFO) == 64);
#else
static_assert(sizeof(CONNMGR_CONNECTIONINFO) == 80);
#endif

// Requests a connection; it proceeds asynchronously (see above). E_POINTER for a null argument,
// E_INVALIDARG for a wrong cbSize or a destination other than the Internet, E_OUTOFMEMORY when
// the request cannot be set up.
HRESULT ConnMgrEstablishConnection(CONNMGR_CONNECTIONINFO* info, HANDLE* connection);
// The connection's current CONNMGR_STATUS_*; E_INVALIDARG for an unknown handle.
HRESULT ConnMgrConnectionStatus(HANDLE connection, DWORD* status);
// Gives the connection up: no report arrives after this returns and the handle is closed.
// cache (keep the line up for a later request) is accepted and has no effect here.
HRESULT ConnMgrReleaseConnection(HANDLE connection, LONG cache);
