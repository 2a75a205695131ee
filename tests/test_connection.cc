// Data connection: NetworkMgr asks the connection manager for an Internet connection on behalf
// of a real window, which hears every status change as MSG_CONNECTION_STATUS. The connection
// manager stand-in plays the request out as its registry key says (connect, fail, keep
// waiting); a request is repeated only after the previous one was given up.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/connmgr.h"
#include "platform/registry.h"
#include "tests/message_window.h"
#include "tests/support/test_env.h"
#include "upload/messages.h"
#include "upload/network_mgr.h"

namespace {

constexpr LPCWSTR kConnMgrKey = u"SOFTWARE\\Velmar\\ConnMgr";

class Connection : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_ = runtime_ + "/trace.log";
        setenv("VANTLO_TRACE_FILE", trace_.c_str(), 1);
        window_ = std::make_unique<MessageWindow>();
        ASSERT_NE(window_->Handle(), nullptr);
    }
    void TearDown() override {
        NetworkMgr::DestroyInstance();
        window_.reset();
        unsetenv("VANTLO_TRACE_FILE");
        DeviceTest::TearDown();
    }

    void SetDword(LPCWSTR name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConnMgrKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(
            RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), sizeof value),
            ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void SetBehaviour(DWORD mode, DWORD delayMs) {
        SetDword(u"Mode", mode);
        SetDword(u"DelayMs", delayMs);
    }

    // The statuses the window has heard, once there are at least n.
    std::vector<WPARAM> Heard(size_t n) {
        std::vector<WPARAM> out;
        for (const auto& m : window_->WaitFor(MSG_CONNECTION_STATUS, n)) {
            EXPECT_EQ(m.lParam, 0);
            out.push_back(m.wParam);
        }
        return out;
    }

    int TraceCount(const std::string& line) const {
        std::string text = ReadHostFile(trace_);
        int n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
            ++n;
        }
        return n;
    }
    int Requests() const { return TraceCount("[ConnMgr] establish: mode"); }

    std::string trace_;                      // this case's trace file
    std::unique_ptr<MessageWindow> window_;  // the requesting window
};

using Statuses = std::vector<WPARAM>;

}  // namespace

TEST_F(Connection, ConnectsByDefaultAndIsNotAskedAgainWhileConnected) {
    NetworkMgr* mgr = NetworkMgr::GetInstance();
    ASSERT_NE(mgr, nullptr);
    EXPECT_EQ(NetworkMgr::GetInstance(), mgr);  // one per process
    EXPECT_FALSE(mgr->IsPending());
    EXPECT_FALSE(mgr->IsConnected());

    ASSERT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    ASSERT_NE(mgr->connection, nullptr);
    EXPECT_EQ(Heard(2), (Statuses{0x40, 0x10}));
    EXPECT_TRUE(mgr->IsConnected());
    EXPECT_FALSE(mgr->IsPending());
    EXPECT_EQ(TraceCount("Status = 0x00000010,  HRESULT = 0x00000000\n"), 1);

    HANDLE first = mgr->connection;
    EXPECT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);  // the status query's result
    EXPECT_EQ(mgr->connection, first);
    EXPECT_EQ(Requests(), 1);
    EXPECT_EQ(TraceCount("NetworkMgr: dwStatus = 0x00000010\n"), 1);
    EXPECT_EQ(TraceCount("NetowkrMgr: CreateConnectionAsyn()\n"), 1);
}

TEST_F(Connection, FailedConnectionIsReleasedAndAskedForAgain) {
    SetBehaviour(1, 10);
    NetworkMgr* mgr = NetworkMgr::GetInstance();
    ASSERT_NE(mgr, nullptr);
    ASSERT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_EQ(Heard(2), (Statuses{0x40, 0x21}));
    EXPECT_FALSE(mgr->IsConnected());
    EXPECT_FALSE(mgr->IsPending());
    HANDLE failed = mgr->connection;
    DWORD status = 0;
    ASSERT_EQ(ConnMgrConnectionStatus(failed, &status), S_OK);
    EXPECT_EQ(status, CONNMGR_STATUS_CONNECTIONFAILED);

    // The network is back: the next request gives the failed one up and asks anew.
    SetBehaviour(0, 10);
    ASSERT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_NE(mgr->connection, failed);
    EXPECT_EQ(ConnMgrConnectionStatus(failed, &status), E_INVALIDARG);  // released
    EXPECT_EQ(Heard(4), (Statuses{0x40, 0x21, 0x40, 0x10}));
    EXPECT_TRUE(mgr->IsConnected());
    EXPECT_EQ(Requests(), 2);
    EXPECT_EQ(TraceCount("NetworkMgr: dwStatus = 0x00000021\n"), 1);
    EXPECT_EQ(TraceCount("NetowkrMgr: CreateConnectionAsyn()\n"), 2);
}

TEST_F(Connection, WaitingConnectionIsPendingAndNotAskedAgain) {
    SetBehaviour(2, 10);
    NetworkMgr* mgr = NetworkMgr::GetInstance();
    ASSERT_NE(mgr, nullptr);
    ASSERT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_EQ(Heard(1), (Statuses{0x40}));
    EXPECT_TRUE(mgr->IsPending());
    EXPECT_FALSE(mgr->IsConnected());
    EXPECT_EQ(TraceCount("Status = 0x00000040,  HRESULT = 0x00000000\n"), 1);

    HANDLE waiting = mgr->connection;
    EXPECT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_EQ(mgr->connection, waiting);
    EXPECT_EQ(Requests(), 1);
    EXPECT_EQ(TraceCount("NetworkMgr: dwStatus = 0x00000040\n"), 1);

    ASSERT_TRUE(window_->Sync());
    EXPECT_EQ(window_->Of(MSG_CONNECTION_STATUS).size(), 1u);  // still only "waiting"
}

TEST_F(Connection, ReleaseStopsTheReportsAndTheNextInstanceStartsWithout) {
    SetBehaviour(0, 600000);  // would connect only long after the test
    NetworkMgr* mgr = NetworkMgr::GetInstance();
    ASSERT_NE(mgr, nullptr);
    ASSERT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_EQ(Heard(1), (Statuses{0x40}));
    HANDLE released = mgr->connection;

    NetworkMgr::DestroyInstance();
    DWORD status = 0;
    EXPECT_EQ(ConnMgrConnectionStatus(released, &status), E_INVALIDARG);
    ASSERT_TRUE(window_->Sync());
    EXPECT_EQ(window_->Of(MSG_CONNECTION_STATUS).size(), 1u);

    NetworkMgr* again = NetworkMgr::GetInstance();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->connection, nullptr);
    EXPECT_FALSE(again->IsPending());
    EXPECT_FALSE(again->IsConnected());
    NetworkMgr::DestroyInstance();
    NetworkMgr::DestroyInstance();  // nothing left to destroy: harmless
}

TEST_F(Connection, ConnectionManagerRefusesMalformedRequests) {
    CONNMGR_CONNECTIONINFO info{};
    info.cbSize = sizeof info;
    info.dwParams = CONNMGR_PARAM_GUIDDESTNET;
    info.guidDestNet = IID_DestNetInternet;
    HANDLE h = nullptr;
    EXPECT_EQ(ConnMgrEstablishConnection(nullptr, &h), E_POINTER);
    EXPECT_EQ(ConnMgrEstablishConnection(&info, nullptr), E_POINTER);

    info.cbSize = 64;  // the device's size is not this host's
    EXPECT_EQ(ConnMgrEstablishConnection(&info, &h), E_INVALIDARG);
    EXPECT_EQ(h, nullptr);
    info.cbSize = sizeof info;

    info.guidDestNet.Data1 ^= 1;  // some other network
    EXPECT_EQ(ConnMgrEstablishConnection(&info, &h), E_INVALIDARG);
    info.guidDestNet = IID_DestNetInternet;
    info.dwParams = 0;  // no destination at all
    EXPECT_EQ(ConnMgrEstablishConnection(&info, &h), E_INVALIDARG);
    EXPECT_EQ(Requests(), 0);

    DWORD status = 0;
    EXPECT_EQ(ConnMgrConnectionStatus(reinterpret_cast<HANDLE>(0x4242), &status), E_INVALIDARG);
    EXPECT_EQ(ConnMgrConnectionStatus(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(ConnMgrReleaseConnection(reinterpret_cast<HANDLE>(0x4242), 0), E_INVALIDARG);
}

TEST_F(Connection, UnusableBehaviourSettingsAreTracedAndTheDefaultsUsed) {
    SetDword(u"Mode", 7);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConnMgrKey, 0, 0, &key), ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExW(key, u"DelayMs", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"soon"), 10),
        ERROR_SUCCESS);
    RegCloseKey(key);

    // A request without a window is played out all the same; it is only not reported.
    CONNMGR_CONNECTIONINFO info{};
    info.cbSize = sizeof info;
    info.dwParams = CONNMGR_PARAM_GUIDDESTNET;
    info.guidDestNet = IID_DestNetInternet;
    HANDLE quiet = nullptr;
    ASSERT_EQ(ConnMgrEstablishConnection(&info, &quiet), S_OK);

    NetworkMgr* mgr = NetworkMgr::GetInstance();
    ASSERT_NE(mgr, nullptr);
    ASSERT_EQ(mgr->CreateConnectionAsyn(window_->Handle()), S_OK);
    EXPECT_EQ(Heard(2), (Statuses{0x40, 0x10}));
    EXPECT_EQ(TraceCount("[ConnMgr] unknown Mode 7; connecting"), 2);
    EXPECT_EQ(TraceCount("[ConnMgr] value DelayMs is not a DWORD"), 2);
    EXPECT_EQ(TraceCount("[ConnMgr] establish: mode 0, delay 50 ms"), 2);
    EXPECT_EQ(ConnMgrReleaseConnection(quiet, 0), S_OK);
}
