// Data connection: NetworkMgr asks the connection manager for an Internet connection on behalf
// of a real window, which hears every status change as MSG_CONNECTION_STATUS. The connection
// manager stand-in plays the request out as its registry key says (connect, fail, keep
// waiting); a request is repeated only after the previous one was given up.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/connmgr.h"
#include "tests/case_util.h"
#include "tests/message_window.h"
#include "tests/support/test_env.h"
#include "upload/messages.h"
#include "upload/network_mgr.h"

namespace {

constexpr LPCWSTR kConnMgrKey = u"SOFTWARE\\Velmar\\ConnMgr";

using Statuses = std::vector<WPARAM>;

class Connection : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_.Use(runtime_ + "/trace.log");
        window_ = std::make_unique<MessageWindow>();
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

    CaseTrace trace_;
    std::unique_ptr<MessageWindow> window_;  // the requesting window
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
