// Power guard: CPowerMgr holds and lets go of unattended mode through the power manager device
// "SPM1:" (the device file Dev/SPM1 in the device root, its state in Dev/SPM1.state) and keeps
// the registry flag "App1" in step. The device itself refuses malformed requests and survives
// a damaged state file or a failing disk.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/file_os.h"
#include "platform/files.h"
#include "platform/power_device.h"
#include "platform/registry.h"
#include "tests/support/test_env.h"
#include "upload/power_mgr.h"

namespace {

constexpr LPCWSTR kAppStatusKey = u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus";
constexpr DWORD kAbsent = 0xFFFFFFFF;

class PowerGuard : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_ = runtime_ + "/trace.log";
        setenv("VANTLO_TRACE_FILE", trace_.c_str(), 1);
        WriteHostFile(DeviceFile(), "");
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAppStatusKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        DWORD zero = 0;
        ASSERT_EQ(
            RegSetValueExW(key, u"App1", 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero), sizeof zero),
            ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void TearDown() override {
        FileOs() = FileOsDefaults();
        unsetenv("VANTLO_TRACE_FILE");
        DeviceTest::TearDown();
    }

    std::string DeviceFile() const { return root_ + "/Dev/SPM1"; }
    std::string StateFile() const { return root_ + "/Dev/SPM1.state"; }
    std::string State() const { return ReadHostFile(StateFile()); }

    // "App1" as stored, kAbsent when the key or value is missing.
    DWORD App1() const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppStatusKey, 0, 0, &key) != ERROR_SUCCESS) {
            return kAbsent;
        }
        DWORD value = 0;
        DWORD size = sizeof value;
        LONG rc = RegQueryValueExW(key, u"App1", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                                   &size);
        RegCloseKey(key);
        return rc == ERROR_SUCCESS ? value : kAbsent;
    }

    int TraceCount(const std::string& line) const {
        std::string text = ReadHostFile(trace_);
        int n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
            ++n;
        }
        return n;
    }

    std::string trace_;  // this case's trace file
};

const char kEnterOpenFailed[] = "[Vantlo] EnterUnattenedMode: CreateFile failed\n";
const char kEnterLockFailed[] =
    "[Vantlo] EnterUnattenedMode: IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT failed\n";
const char kLeaveOpenFailed[] = "[Vantlo] LeaveUnattendedMode: CreateFile failed\n";
const char kLeaveUnlockFailed[] =
    "[Vantlo] LeaveUnattendedMode: IOCTL_VELMARPM_UNLOCK_UNATTENDED_MODE_POWER_EVENT failed\n";

long FailWriteNoSpace(int, const void*, size_t) {
    errno = ENOSPC;
    return -1;
}

}  // namespace

TEST_F(PowerGuard, EnterTwiceLeaveOnceLocksOnceAndUnlocksOnce) {
    CPowerMgr power;
    EXPECT_EQ(power.inUnattended, FALSE);

    EXPECT_EQ(power.EnterUnattendedMode(), S_OK);
    EXPECT_EQ(power.inUnattended, TRUE);
    EXPECT_EQ(App1(), 1u);
    EXPECT_EQ(State(), "locked=1\nlocks=1\nunlocks=0\n");

    EXPECT_EQ(power.EnterUnattendedMode(), S_OK);  // already held: nothing is asked
    EXPECT_EQ(State(), "locked=1\nlocks=1\nunlocks=0\n");

    EXPECT_EQ(power.LeaveUnattendedMode(), S_OK);
    EXPECT_EQ(power.inUnattended, FALSE);
    EXPECT_EQ(App1(), 0u);
    EXPECT_EQ(State(), "locked=0\nlocks=1\nunlocks=1\n");

    EXPECT_EQ(TraceCount("[Vantlo] EnterUnattendedMode\n"), 1);
    EXPECT_EQ(TraceCount("[Vantlo] LeaveUnattendedMode\n"), 1);
    EXPECT_EQ(TraceCount("failed"), 0);
}

TEST_F(PowerGuard, LeaveWithoutEnterTracesWritesAndSendsNothing) {
    std::string registryBefore = ReadHostFile(root_ + "/Windows/registry.txt");
    ASSERT_FALSE(registryBefore.empty());
    CPowerMgr power;
    EXPECT_EQ(power.LeaveUnattendedMode(), S_OK);
    EXPECT_EQ(ReadHostFile(root_ + "/Windows/registry.txt"), registryBefore);
    EXPECT_FALSE(HostFileExists(StateFile()));
    EXPECT_EQ(TraceCount("[Vantlo]"), 0);
}

TEST_F(PowerGuard, MissingDeviceFailsWithBothTracesAndTheFlagStillChanges) {
    ASSERT_TRUE(std::filesystem::remove(DeviceFile()));
    CPowerMgr power;

    EXPECT_EQ(power.EnterUnattendedMode(), E_FAIL);
    EXPECT_EQ(TraceCount(kEnterOpenFailed), 1);
    EXPECT_EQ(TraceCount(kEnterLockFailed), 1);
    EXPECT_EQ(power.inUnattended, TRUE);
    EXPECT_EQ(App1(), 1u);

    EXPECT_EQ(power.EnterUnattendedMode(), S_OK);  // held as far as the guard knows
    EXPECT_EQ(TraceCount(kEnterOpenFailed), 1);

    EXPECT_EQ(power.LeaveUnattendedMode(), E_FAIL);
    EXPECT_EQ(TraceCount(kLeaveOpenFailed), 1);
    EXPECT_EQ(TraceCount(kLeaveUnlockFailed), 1);
    EXPECT_EQ(power.inUnattended, FALSE);
    EXPECT_EQ(App1(), 0u);
    EXPECT_FALSE(HostFileExists(StateFile()));
}

TEST_F(PowerGuard, MissingRegistryKeyIsTracedNotCreatedAndTheDeviceIsStillLocked) {
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kAppStatusKey), ERROR_SUCCESS);
    CPowerMgr power;
    EXPECT_FALSE(power.SetAppStatus(true));
    EXPECT_EQ(
        TraceCount("CPowerMgr: Fail to open key SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus.\n"), 1);

    EXPECT_EQ(power.EnterUnattendedMode(), S_OK);
    EXPECT_EQ(
        TraceCount("CPowerMgr: Fail to open key SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus.\n"), 2);
    EXPECT_EQ(App1(), kAbsent);  // the key is only ever opened, never created
    EXPECT_EQ(State(), "locked=1\nlocks=1\nunlocks=0\n");
}

TEST_F(PowerGuard, DeviceThatCannotStoreItsStateFailsTheRequestAndKeepsTheOldState) {
    CPowerMgr power;
    ASSERT_EQ(power.EnterUnattendedMode(), S_OK);
    FileOs().Write = FailWriteNoSpace;
    EXPECT_EQ(power.LeaveUnattendedMode(), E_FAIL);
    FileOs() = FileOsDefaults();
    EXPECT_EQ(TraceCount(kLeaveUnlockFailed), 1);
    EXPECT_EQ(TraceCount(kLeaveOpenFailed), 0);  // the device opened; its request failed
    EXPECT_EQ(App1(), 0u);
    EXPECT_EQ(State(), "locked=1\nlocks=1\nunlocks=0\n");
    EXPECT_FALSE(HostFileExists(StateFile() + ".tmp"));
}

TEST_F(PowerGuard, DeviceRefusesUnknownRequestsShortInputAndForeignHandles) {
    HANDLE dev =
        CreateFileW(u"SPM1:", 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(dev, INVALID_HANDLE_VALUE);
    DWORD input = 0x01000000;
    DWORD returned = 7;

    EXPECT_FALSE(
        DeviceIoControl(dev, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS),
                        &input, sizeof input, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(returned, 0u);

    EXPECT_FALSE(DeviceIoControl(dev, IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT, &input, 2,
                                 nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DeviceIoControl(dev, IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT, nullptr, 4,
                                 nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(HostFileExists(StateFile()));

    EXPECT_TRUE(CloseHandle(dev));
    EXPECT_FALSE(DeviceIoControl(dev, IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT, &input,
                                 sizeof input, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // An ordinary file is no device.
    WriteHostFile(root_ + "/Temp/plain.txt", "x");
    HANDLE file = CreateFileW(u"\\Temp\\plain.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeviceIoControl(file, IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT, &input,
                                 sizeof input, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(file);

    // A device whose file is absent cannot be opened.
    EXPECT_EQ(CreateFileW(u"SPM2:", 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(PowerGuard, DamagedStateFileIsTracedAndCountedFromZero) {
    WriteHostFile(StateFile(), "locked=yes please\n\x01\x02");
    CPowerMgr power;
    EXPECT_EQ(power.EnterUnattendedMode(), S_OK);
    EXPECT_EQ(TraceCount("does not parse; counting from zero"), 1);
    EXPECT_EQ(State(), "locked=1\nlocks=1\nunlocks=0\n");

    // A state file written by hand with counts of its own is carried on.
    WriteHostFile(StateFile(), "locked=0\r\nlocks=41\r\nunlocks=41\r\n");
    EXPECT_EQ(power.LeaveUnattendedMode(), S_OK);
    EXPECT_EQ(State(), "locked=0\nlocks=41\nunlocks=42\n");
}
