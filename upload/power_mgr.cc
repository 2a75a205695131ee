#include "upload/power_mgr.h"

#include "platform/files.h"
#include "platform/power_device.h"
#include "platform/registry.h"
#include "platform/trace.h"

namespace {

constexpr LPCWSTR kAppStatusKey = u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus";
constexpr LPCWSTR kPowerDevice = u"SPM1:";
constexpr DWORD kUnattendedInput = 0x01000000;  // the input every unattended-mode request takes

HANDLE OpenPowerDevice() {
    return CreateFileW(kPowerDevice, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Sends code with the unattended input; false when the request failed.
bool SendRequest(HANDLE device, DWORD code) {
    DWORD input = kUnattendedInput;
    DWORD returned = 0;
    return DeviceIoControl(device, code, &input, sizeof input, nullptr, 0, &returned, nullptr);
}

}  // namespace

CPowerMgr::CPowerMgr() : inUnattended(FALSE) {}

HRESULT CPowerMgr::EnterUnattendedMode() {
    if (inUnattended) return S_OK;
    Trace("[Vantlo] EnterUnattendedMode");
    inUnattended = TRUE;
    SetAppStatus(true);
    HRESULT hr = S_OK;
    HANDLE device = OpenPowerDevice();
    if (device == INVALID_HANDLE_VALUE) {
        Trace("[Vantlo] EnterUnattenedMode: CreateFile failed");
        hr = E_FAIL;
    }
    if (!SendRequest(device, IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT)) {
        Trace(
            "[Vantlo] EnterUnattenedMode: IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT "
            "failed");
        hr = E_FAIL;
    }
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    return hr;
}

HRESULT CPowerMgr::LeaveUnattendedMode() {
    if (!inUnattended) return S_OK;
    Trace("[Vantlo] LeaveUnattendedMode");
    inUnattended = FALSE;
    SetAppStatus(false);
    HRESULT hr = S_OK;
    HANDLE device = OpenPowerDevice();
    if (device == INVALID_HANDLE_VALUE) {
        Trace("[Vantlo] LeaveUnattendedMode: CreateFile failed");
        hr = E_FAIL;
    }
    if (!SendRequest(device, IOCTL_VELMARPM_UNLOCK_UNATTENDED_MODE_POWER_EVENT)) {
        Trace(
            "[Vantlo] LeaveUnattendedMode: IOCTL_VELMARPM_UNLOCK_UNATTENDED_MODE_POWER_EVENT "
            "failed");
        hr = E_FAIL;
    }
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    return hr;
}

bool CPowerMgr::SetAppStatus(bool busy) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppStatusKey, 0, 0, &key) != ERROR_SUCCESS) {
        Trace("CPowerMgr: Fail to open key %s.", kAppStatusKey);
        return false;
    }
    DWORD value = busy ? 1 : 0;
    LONG rc = RegSetValueExW(key, u"App1", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        Trace("CPowerMgr: Fail to set App1 = %u (error %d).", static_cast<unsigned>(value), rc);
        return false;
    }
    return true;
}
