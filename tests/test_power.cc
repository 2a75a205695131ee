// Power guard: CPowerMgr holds and lets go of unattended mode through the power manager device
// "SPM1:" (the device file Dev/SPM1 in the device root, its state in Dev/SPM1.state) and keeps
// the registry flag "App1" in step. The device itself refuses malformed requests and survives
// a damaged state file or a failing disk.
#include <errno.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file_os.h"
#include "platform/files.h"
#include "platform/power_device.h"
#include "tests/case_util.h"
#include "tests/support/test_env.h"
#include "upload/power_mgr.h"

namespace {

constexpr LPCWSTR kAppStatusKey = u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus";
constexpr DWORD kAbsent = 0xFFFFFFFF;

const char kEnterOpenFailed[] = "[Vantlo] EnterUnattenedMode: CreateFile failed\n";
const char kEnterLockFailed[] =
    "[Vantlo] EnterUnattenedMode: IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT failed\n";
const char kLeaveOpenFailed[] = "[Vantlo] LeaveUnattendedMode: CreateFile failed\n";
const char kLeaveUnlockFailed[] =
    "[Vantlo] LeaveUnattendedMode: IOCTL_VELMARPM_UNLOCK_UNATTENDED_MODE_POWER_EVENT failed\n";
const char kNoKey[] = "CPowerMgr: Fail to open key SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus.\n";

class PowerGuard : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_.Use(runtime_ + "/trace.log");
        WriteHostFile(DeviceFile(), "");
        ASSERT_TRUE(SetMachineDword(kAppStatusKey, u"App1", 0));
    }
    void TearDown() override {
        FileOs() = FileOsDefaults();
        DeviceTest::TearDown();
    }

    std::string DeviceFile() const { return root_ + "/Dev/SPM1"; }
    std::string StateFile() const { return root_ + "/Dev/SPM1.state"; }
    std::string State() const { return ReadHostFile(StateFile()); }
    static DWORD App1() { return MachineDword(kAppStatusKey, u"App1", kAbsent); }

    CaseTrace trace_;
};

}  // namespace

TEST_F(PowerGuard, EnterAndLeaveLockAndUnlockOnceEachAndAFailedWriteKeepsTheOldState) {
    // Leaving without having entered writes, sends and traces nothing.
    const std::string registryBefore = ReadHostFile(root_ + "/Windows/registry.txt");
    ASSERT_FALSE(registryBefore.empty());
    CPowerMgr power;
    EXPECT_EQ(power.inUnattended, FALSE);
    EXPECT_EQ(power.LeaveUnattendedMode(), S_OK);
    EXPECT_EQ(ReadHostFile(root_ + "/Windows/registry.txt"), registryBefore);
    EXPECT_FALSE(HostFileExists(StateFile()));
    EXPECT_EQ(trace_.Count("[Vantlo]"), 0u);

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
    EXPECT_EQ(trace_.Count("[Vantlo] EnterUnattendedMode\n"), 1u);
    EXPECT_EQ(trace_.Count("[Vantlo] LeaveUnattendedMode\n"), 1u);
    EXPECT_EQ(trace_.Count("failed"), 0u);

    // A device that cannot store its state fails the request and keeps the state it had.
    ASSERT_EQ(power.EnterUnattendedMode(), S_OK);
    FileOs().Write = [](int, const void*, size_t) -> long {
        errno = ENOSPC;
        return -1;
    };
    EXPECT_EQ(power.LeaveUnattendedMode(), E_FAIL);
    FileOs() = FileOsDefaults();
    EXPECT_EQ(trace_.Count(kLeaveUnlockFailed), 1u);
    EXPECT_EQ(trace_.Count(kLeaveOpenFailed), 0u);  // the device opened; its request failed
    EXPECT_EQ(App1(), 0u);
    EXPECT_EQ(State(), "locked=1\nlocks=2\nunlocks=1\n");
    EXPECT_FALSE(HostFileExists(StateFile() + ".tmp"));

    // A damaged state file is traced and counted from zero; counts written by hand go on.
    WriteHostFile(StateFile(), "locked=yes please\n\x01\x02");
    EXPECT_EQ(power.EnterUnattendedMode(), S_OK);
    EXPECT_EQ(trace_.Count("does not parse; counting from zero"), 1u);
    EXPECT_EQ(State(), "locked=1\nlocks=1\nunlocks=0\n");
    WriteHostFile(StateFile(), "locked=0\r\nlocks=41\r\nunlocks=41\r\n");
    EXPECT_EQ(power.LeaveUnattendedMode(), S_OK);
    EXPECT_EQ(State(), "locked=0\nlocks=41\nunlocks=42\n");
}

TEST_F(PowerGuard, AMissingDeviceOrRegistryKeyIsTracedAndTheOtherHalfIsStillDone) {
    ASSERT_TRUE(std::filesystem::remove(DeviceFile()));
    CPowerMgr power;
    EXPECT_EQ(power.EnterUnattendedMode(), E_FAIL);
    EXPECT_EQ(trace_.Count(kEnterOpenFailed), 1u);
    EXPECT_EQ(trace_.Count(kEnterLockFailed), 1u);
    EXPECT_EQ(power.inUnattended, TRUE);
    EXPECT_EQ(App1(), 1u);
    EXPECT_EQ(power.EnterUnattendedMode(), S_OK);  // held as far as the guard knows
    EXPECT_EQ(trace_.Count(kEnterOpenFailed), 1u);
    EXPECT_EQ(power.LeaveUnattendedMode(), E_FAIL);
    EXPECT_EQ(trace_.Count(kLeaveOpenFailed), 1u);
    EXPECT_EQ(trace_.Count(kLeaveUnlockFailed), 1u);
    EXPECT_EQ(power.inUnattended, FALSE);
    EXPECT_EQ(App1(), 0u);
    EXPECT_FALSE(HostFileExists(StateFile()));

    // Without the registry key: traced, never created, and the device is locked all the same.
    WriteHostFile(DeviceFile(), "");
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kAppStatusKey), ERROR_SUCCESS);
    EXPECT_FALSE(power.SetAppStatus(true));
    EXPECT_EQ(trace_.Count(kNoKey), 1u);
    EXPECT_EQ(power.EnterUnattendedMode(), S_OK);
    EXPECT_EQ(trace_.Count(kNoKey), 2u);
    EXPECT_EQ(App1(), kAbsent);
    EXPECT_EQ(State(), "locked=1\nlocks=1\nunlocks=0\n");
}

TEST_F(PowerGuard, DeviceRefusesUnknownRequestsShortInputAndForeignHandles) {
    HANDLE dev =
        CreateFileW(u"SPM1:", 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(dev, INVALID_HANDLE_VALUE);
    DWORD input = 0x01000000;
    DWORD returned = 7;
    const DWORD lock = IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT;
    EXPECT_FALSE(
        DeviceIoControl(dev, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS),
                        &input, sizeof input, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(DeviceIoControl(dev, lock, &input, 2, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DeviceIoControl(dev, lock, nullptr, 4, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(HostFileExists(StateFile()));

    // A closed device, and an ordinary file, are no device.
    EXPECT_TRUE(CloseHandle(dev));
    EXPECT_FALSE(DeviceIoControl(dev, lock, &input, sizeof input, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    WriteHostFile(root_ + "/Temp/plain.txt", "x");
    HANDLE file = CreateFileW(u"\\Temp\\plain.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeviceIoControl(file, lock, &input, sizeof input, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(file);

    // A device whose file is absent cannot be opened.
    EXPECT_EQ(CreateFileW(u"SPM2:", 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}
