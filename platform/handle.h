// Kernel object handles. A HANDLE names an entry of the process's handle table; the
// object behind it lives until its last handle is closed and its last user lets go.
// An unknown or closed handle is refused with ERROR_INVALID_HANDLE, never dereferenced.
#pragma once

#include <memory>

#include "platform/types.h"

class KernelObject {
  public:
    virtual ~KernelObject() = default;
};

// Enters the object into the table and returns its new handle.
HANDLE NewHandle(std::shared_ptr<KernelObject> obj);
// The object behind h, or null for an unknown handle.
std::shared_ptr<KernelObject> LookupHandle(HANDLE h);

template <class T>
std::shared_ptr<T> HandleAs(HANDLE h) {
    return std::dynamic_pointer_cast<T>(LookupHandle(h));
}

BOOL CloseHandle(HANDLE h);
