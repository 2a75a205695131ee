// The devices the uploads lean on. The power guard: CPowerMgr holds and lets go of
// unattended mode through the power manager device "SPM1:" (the device file Dev/SPM1 in the
// device root, its state in Dev/SPM1.state) and keeps the registry flag "App1" in step; the
// device refuses malformed requests and survives a damaged state file or a failing disk.
// The data connection: NetworkMgr asks the connection manager for an Internet connection on
// behalf of a real window, which hears every status change as MSG_CONNECTION_STATUS; the
// connection manager stand-in plays the request out as its registry key says (connect, fail,
// keep waiting); a request is repeated only after the previous one was given up.
#include <errno.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/connmgr.h"
#include "platform/file_os.h"
#include "platform/files.h"
#include "platform/power_device.h"
#include "tests/support/machine_values.h"
#include "tests/support/test_env.h"
#include "tests/support/window_thread.h"
#include "upload/messages.h"
#include "upload/network_mgr.h"
#include "upload/power_mgr.h"

namespace {

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
        UseTraceFile();
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
    EXPECT_EQ(Err(DeviceIoControl(dev, lock, &input, 2, nullptr, 0, nullptr, nullptr)),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Err(DeviceIoControl(dev, lock, nullptr, 4, nullptr, 0, nullptr, nullptr)),
              ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(HostFileExists(StateFile()));

    // A closed device, and an ordinary file, are no device.
    EXPECT_TRUE(CloseHandle(dev));
    EXPECT_EQ(Err(DeviceIoControl(dev, lock, &input, sizeof input, nullptr, 0, nullptr, nullptr)),
              ERROR_INVALID_HANDLE);
    WriteHostFile(root_ + "/Temp/plain.txt", "x");
    HANDLE file = CreateFileW(u"\\Temp\\plain.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(DeviceIoControl(file, lock, &input, sizeof input, nullptr, 0, nullptr, nullptr)),
              ERROR_INVALID_HANDLE);
    CloseHandle(file);

    // A device whose file is absent cannot be opened.
    EXPECT_EQ(CreateFileW(u"SPM2:", 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

namespace {

using Statuses = std::vector<WPARAM>;

class Connection : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        UseTraceFile();
        window_ = std::make_unique<RecordingWindow>();
        ASSERT_NE(window_->Handle(), nullptr);
    }
    void TearDown() override {
        NetworkMgr::DestroyInstance();
        window_.reset();
        DeviceTest::TearDown();
    }

    // Mode: 0 connect, 1 fail, 2 keep waiting; after delayMs.
    static void SetBehaviour(DWORD mode, DWORD delayMs) {
        ASSERT_TRUE(SetMachineDword(kConnMgrKey, u"Mode", mode));
        ASSERT_TRUE(SetMachineDword(kConnMgrKey, u"DelayMs", delayMs));
    }
    // The statuses the window has heard, once there are at least n.
    Statuses Heard(size_t n) {
        Statuses out;
        for (const auto& m : window_->WaitFor(MSG_CONNECTION_STATUS, n)) {
            EXPECT_EQ(m.lParam, 0);
            out.push_back(m.wParam);
        }
        return out;
    }
    size_t Requests() const { return trace_.Count("[ConnMgr] establish: mode"); }
    static CONNMGR_CONNECTIONINFO InternetRequest() {
        CONNMGR_CONNECTIONINFO info{};
        info.cbSize = sizeof info;
        info.dwParams = CONNMGR_PARAM_GUIDDESTNET;
        info.guidDestNet = IID_DestNetInternet;
        return info;
    }

    std::unique_ptr<RecordingWindow> window_;  // the requesting window
};

}  // namespace

TEST_F(Connection, AFailedConnectionIsGivenUpAndAskedAgainAndAConnectedOneIsNotAskedAgain) {
    SetBehaviour(1, 10);
    NetworkMgr* mgr = NetworkMgr::GetInstance();
    ASSERT_NE(mgr, nullptr);
    EXPECT_EQ(NetworkMgr::GetInstance(), mgr);  // one per process
    EXPECT_FALSE(mgr->IsPending());
    EXPECT_FALSE(mgr->IsConnected());
    ASSERT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_EQ(Heard(2), (Statuses{0x40, 0x21}));
    EXPECT_FALSE(mgr->IsConnected());
    EXPECT_FALSE(mgr->IsPending());
    HANDLE failed = mgr->connection;
    DWORD status = 0;
    ASSERT_EQ(ConnMgrConnectionStatus(failed, &status), S_OK);
    EXPECT_EQ(status, CONNMGR_STATUS_CONNECTIONFAILED);

    // The network is back (the stand-in's defaults connect): the next request gives the
    // failed one up and asks anew.
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kConnMgrKey), ERROR_SUCCESS);
    ASSERT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_NE(mgr->connection, failed);
    EXPECT_EQ(ConnMgrConnectionStatus(failed, &status), E_INVALIDARG);  // released
    EXPECT_EQ(Heard(4), (Statuses{0x40, 0x21, 0x40, 0x10}));
    EXPECT_TRUE(mgr->IsConnected());
    EXPECT_FALSE(mgr->IsPending());
    EXPECT_EQ(trace_.Count("NetworkMgr: dwStatus = 0x00000021\n"), 1u);
    EXPECT_EQ(trace_.Count("Status = 0x00000010,  HRESULT = 0x00000000\n"), 1u);

    // Connected, a request only answers with the status.
    HANDLE connected = mgr->connection;
    EXPECT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_EQ(mgr->connection, connected);
    EXPECT_EQ(Requests(), 2u);
    EXPECT_EQ(trace_.Count("NetworkMgr: dwStatus = 0x00000010\n"), 1u);
    EXPECT_EQ(trace_.Count("NetowkrMgr: CreateConnectionAsyn()\n"), 2u);  // none when connected
}

TEST_F(Connection, AWaitingConnectionIsPendingNotAskedAgainAndReleasedWithTheInstance) {
    SetBehaviour(2, 10);
    NetworkMgr* mgr = NetworkMgr::GetInstance();
    ASSERT_NE(mgr, nullptr);
    ASSERT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_EQ(Heard(1), (Statuses{0x40}));
    EXPECT_TRUE(mgr->IsPending());
    EXPECT_FALSE(mgr->IsConnected());
    EXPECT_EQ(trace_.Count("Status = 0x00000040,  HRESULT = 0x00000000\n"), 1u);

    HANDLE waiting = mgr->connection;
    EXPECT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_EQ(mgr->connection, waiting);
    EXPECT_EQ(Requests(), 1u);
    EXPECT_EQ(trace_.Count("NetworkMgr: dwStatus = 0x00000040\n"), 1u);

    // The instance goes with its request; the next one starts without.
    NetworkMgr::DestroyInstance();
    DWORD status = 0;
    EXPECT_EQ(ConnMgrConnectionStatus(waiting, &status), E_INVALIDARG);
    ASSERT_TRUE(window_->Sync());
    EXPECT_EQ(window_->Of(MSG_CONNECTION_STATUS).size(), 1u);  // still only "waiting"
    NetworkMgr* again = NetworkMgr::GetInstance();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->connection, nullptr);
    EXPECT_FALSE(again->IsPending());
    EXPECT_FALSE(again->IsConnected());
    NetworkMgr::DestroyInstance();
    NetworkMgr::DestroyInstance();  // nothing left to destroy: harmless
}

TEST_F(Connection, MalformedRequestsAreRefusedAndUnusableSettingsTracedWithTheDefaultsUsed) {
    CONNMGR_CONNECTIONINFO info = InternetRequest();
    HANDLE h = nullptr;
    EXPECT_EQ(ConnMgrEstablishConnection(nullptr, &h), E_POINTER);
    EXPECT_EQ(ConnMgrEstablishConnection(&info, nullptr), E_POINTER);
    info.cbSize = 64;  // the device's size is not this host's
    EXPECT_EQ(ConnMgrEstablishConnection(&info, &h), E_INVALIDARG);
    EXPECT_EQ(h, nullptr);
    info = InternetRequest();
    info.guidDestNet.Data1 ^= 1;  // some other network
    EXPECT_EQ(ConnMgrEstablishConnection(&info, &h), E_INVALIDARG);
    info = InternetRequest();
    info.dwParams = 0;  // no destination at all
    EXPECT_EQ(ConnMgrEstablishConnection(&info, &h), E_INVALIDARG);
    EXPECT_EQ(Requests(), 0u);
    DWORD status = 0;
    EXPECT_EQ(ConnMgrConnectionStatus(reinterpret_cast<HANDLE>(0x4242), &status), E_INVALIDARG);
    EXPECT_EQ(ConnMgrConnectionStatus(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(ConnMgrReleaseConnection(reinterpret_cast<HANDLE>(0x4242), 0), E_INVALIDARG);

    ASSERT_TRUE(SetMachineDword(kConnMgrKey, u"Mode", 7));
    ASSERT_TRUE(SetMachineText(kConnMgrKey, u"DelayMs", u"soon"));
    // A request without a window is played out all the same; it is only not reported.
    info = InternetRequest();
    HANDLE quiet = nullptr;
    ASSERT_EQ(ConnMgrEstablishConnection(&info, &quiet), S_OK);
    NetworkMgr* mgr = NetworkMgr::GetInstance();
    ASSERT_NE(mgr, nullptr);
    ASSERT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_EQ(Heard(2), (Statuses{0x40, 0x10}));
    EXPECT_EQ(trace_.Count("[ConnMgr] unknown Mode 7; connecting"), 2u);
    EXPECT_EQ(trace_.Count("[ConnMgr] value DelayMs is not a DWORD"), 2u);
    EXPECT_EQ(trace_.Count("[ConnMgr] establish: mode 0, delay 50 ms"), 2u);
    EXPECT_EQ(ConnMgrReleaseConnection(quiet, 0), S_OK);
}
