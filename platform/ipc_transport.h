// The sockets between processes. A process that owns windows holds a slot in the runtime
// folder and listens on s<slot>.sock; a process that calls another connects to that socket
// once and keeps the connection. One receiving thread per process reads every connection:
// requests it hands to HandleRequest, replies it matches with the calls waiting for them.
// It also turns SIGTERM and SIGINT into WM_CLOSE for a chosen window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ipc_wire.h"
#include "platform/types.h"

namespace ipc {

class Connection;
using ConnectionRef = std::shared_ptr<Connection>;

// This process's slot (bits 16-30 of its window handles), taken together with its
// listening socket and receiving thread on first use; 0 when that cannot be done.
uint32_t OwnSlot();
// The slot if one was taken already, else 0; takes none.
uint32_t CurrentSlot();
// The checked runtime folder; "" when it cannot be used.
std::string EndpointDir();

// Sends a request to the process holding slot and waits at most timeoutMs for its reply,
// answering meanwhile what other threads send to this thread's windows when answerSends.
// False with the last error set (ERROR_TIMEOUT, or ERROR_INVALID_WINDOW_HANDLE when the
// process cannot be reached or went away) when no reply came.
bool Call(uint32_t slot, Frame request, DWORD timeoutMs, bool answerSends, Frame* reply);

// Answers a request that came in on conn; from any thread.
void Reply(const ConnectionRef& conn, uint32_t callId, uint32_t status, int64_t result);
// The process at the other end of conn.
uint32_t PeerPid(const ConnectionRef& conn);

// Supplied by the window side: one request arrived. Runs on the receiving thread, so it
// must not wait for anything but short locks.
void HandleRequest(const ConnectionRef& conn, Frame&& request);

// SIGTERM and SIGINT post WM_CLOSE to hwnd from now on (0: their default action again).
void RouteSignals(uintptr_t hwnd);

}  // namespace ipc
