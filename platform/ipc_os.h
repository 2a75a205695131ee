// The socket calls under the transport between processes, reached through one table so that
// a test can swap an entry for a misbehaving one (one byte at a time, EINTR, EAGAIN, a reset
// connection) and put the real call back after. Failures return -1 and set errno, as the
// calls themselves do.
#pragma once

#include <cstddef>

struct IpcOsCalls {
    long (*Send)(int fd, const void* buf, size_t n);  // send(2), never blocking, no SIGPIPE
    long (*Recv)(int fd, void* buf, size_t n);        // recv(2), never blocking
    int (*Connect)(int fd, const char* path);         // connect(2) to a Unix socket path
    int (*Accept)(int listenFd);                      // accept4(2): non-blocking, close-on-exec
};

// The table in use; entries may be replaced while no transport call is running.
IpcOsCalls& IpcOs();
// The real system calls.
const IpcOsCalls& IpcOsDefaults();
