// Fault injection for the property database's files, for tests. Every write and every sync
// of a volume file or of its write-ahead log asks the installed hook first; a hook that
// returns a Win32 error makes that call fail as the disk would (ERROR_DISK_FULL: no space
// left; anything else: an I/O error). With no hook installed the files behave normally.
#pragma once

#include "platform/types.h"

enum class CeDbFileOp {
    kWrite,  // a write of file data
    kSync,   // a flush of the file to stable storage
};

// hostPath is the file about to be written or synced; ERROR_SUCCESS lets the call proceed.
using CeDbFaultHook = DWORD (*)(CeDbFileOp op, const char* hostPath, void* context);

// Installs the hook for every volume of the process; null removes it.
void CeDbSetFaultHook(CeDbFaultHook hook, void* context);
