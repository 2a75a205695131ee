// Stream devices and the power manager device "SPM1:".
//
// A stream device is named by three letters, an index digit and a colon ("SPM1:"). Device
// "XXXn:" exists while the file Dev/XXXn is present in the device root; CreateFileW of the name
// opens it (and fails with ERROR_FILE_NOT_FOUND while the file is absent), DeviceIoControl
// sends it requests and CloseHandle closes it.
//
// The power manager ("SPM") keeps its state in Dev/SPMn.state beside the device file, text a
// person or a test can read:
//
//   locked=1        1 while unattended mode is held (after a lock, until the next unlock)
//   locks=3         lock requests served so far
//   unlocks=2       unlock requests served so far
//
// Every request rereads the state, applies itself and replaces the file whole (written beside
// it and renamed over it) under flock on the device file, so requests from any thread or
// process serialise and none is lost. A state file that does not parse is traced and counted
// from zero. The state file's writes go through FileOs() (file_os.h), so a test can make them
// fail; the request then fails with the write's error and the old state stays.
#pragma once

#include "platform/types.h"

// Request codes: device type, function, transfer method and access, as the device expects.
constexpr DWORD CTL_CODE(DWORD deviceType, DWORD function, DWORD method, DWORD access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
constexpr DWORD FILE_DEVICE_UNKNOWN = 0x22;
constexpr DWORD METHOD_BUFFERED = 0;
constexpr DWORD FILE_ANY_ACCESS = 0;

// The power manager's unattended-mode requests; each takes a 4-byte input, no output.
constexpr DWORD IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD IOCTL_VELMARPM_UNLOCK_UNATTENDED_MODE_POWER_EVENT =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT == 0x00222008);
static_assert(IOCTL_VELMARPM_UNLOCK_UNATTENDED_MODE_POWER_EVENT == 0x0022200C);

// Sends one request to an open device. FALSE with the last error set when the handle is no
// device (ERROR_INVALID_HANDLE), the device does not know the code (ERROR_NOT_SUPPORTED), the
// input is missing or short (ERROR_INVALID_PARAMETER), the device file has gone
// (ERROR_FILE_NOT_FOUND) or its state cannot be written (the write's error).
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuf, DWORD inBufSize,
                     LPVOID outBuf, DWORD outBufSize, DWORD* bytesReturned, void* overlapped);

// The hook CreateFileW uses: whether path names a stream device ("SPM1:").
bool IsStreamDeviceName(LPCWSTR path);
// Opens the stream device name (see above); INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND
// when its device file is absent.
HANDLE OpenStreamDevice(LPCWSTR name);
