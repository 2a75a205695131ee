// The login pages driven as a user drives them: the resident process `vantlo` with its screen,
// the real account service (its outcome chosen by the registry), soft keys, keys and
// screenshots through `vantlo-client`, and a window of the agent's class in this process that
// records what the pages tell the agent.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/gdi.h"
#include "platform/screen.h"
#include "platform/screen_size.h"
#include "tests/app_harness.h"
#include "tests/screen_test_util.h"
#include "tests/support/test_env.h"
#include "ui/dialog_messages.h"
#include "upload/agent_notice.h"

using namespace apptest;

namespace {

constexpr WCHAR kYouTubeAccount[] = u"SOFTWARE\\Velmar\\Accounts\\YouTube";
constexpr WCHAR kFacebookAccount[] = u"SOFTWARE\\Velmar\\Accounts\\Facebook";
constexpr COLORREF kPageGrey = RGB(220, 220, 220);
constexpr WPARAM kYouTube = 0;
constexpr WPARAM kFacebook = 1;
constexpr LPARAM kSignedIn = 0;
constexpr LPARAM kNotSignedIn = 1;

using Notices = std::vector<std::pair<WPARAM, LPARAM>>;  // (service, outcome) pairs

class LoginFlowTest : public ProgramsTest {
  protected:
    void SetUp() override {
        ProgramsTest::SetUp();
        // A sign-in takes long enough that the login page is up before its outcome comes.
        ASSERT_TRUE(SetMachineDword(kYouTubeAccount, u"DelayMs", 1000));
        ASSERT_TRUE(SetMachineDword(kFacebookAccount, u"DelayMs", 1000));
        agent_ = std::make_unique<RecordingWindow>(AGENT_WINDOW_CLASS);
        vantlo_ = Start("vantlo", {}, u"VANTLO");
        ASSERT_TRUE(vantlo_->Running());
    }
    void TearDown() override {
        if (vantlo_ && vantlo_->Running()) {  // every case ends with a clean shutdown
            EXPECT_EQ(Ask({"close"}), 0);
            EXPECT_EQ(vantlo_->Wait(), 0);
        }
        agent_.reset();
        ProgramsTest::TearDown();
    }

    // Runs vantlo-client with args; its exit code.
    int Ask(const std::vector<std::string>& args) { return Client(args).exitCode; }
    // Waits until page has painted itself for the times-th time.
    bool WaitForPage(int page, size_t times = 1) {
        const std::string line = "[Login] page " + std::to_string(page) + " on screen";
        return WaitUntil([&] { return trace_.CountLines(line) >= times; });
    }
    // The trace lines in this order, each after the one before.
    void ExpectInOrder(const std::vector<std::string>& fragments) {
        long last = -1;
        for (const std::string& f : fragments) {
            const long at = trace_.IndexOf(f);
            EXPECT_GT(at, last) << f;
            last = at;
        }
    }
    // What the agent was told.
    Notices AgentNotices(size_t atLeast) {
        Notices out;
        for (const Received& r : agent_->WaitFor(AGENT_LOGIN_RESULT, atLeast)) {
            out.emplace_back(r.wParam, r.lParam);
        }
        return out;
    }

    ChildProcess* vantlo_ = nullptr;          // the resident process
    std::unique_ptr<RecordingWindow> agent_;  // stands for the companion agent
};

TEST_F(LoginFlowTest, SignInWithoutListShowsTheBeforeLoginPageAndEndsSignedIn) {
    // A client's background sign-in first, then the login flow it asks for.
    ASSERT_EQ(Ask({"yt-login"}), 0);
    ASSERT_TRUE(trace_.WaitForLine("[AccountSvr] YouTube login succeeded"));
    ASSERT_EQ(Ask({"login", "youtube"}), 0);
    ASSERT_TRUE(WaitForPage(5000));

    ASSERT_EQ(Ask({"screenshot", root_ + "/shot.png"}), 0);
    const Pixels shot(u"\\shot.png");
    ASSERT_TRUE(shot.Loaded());
    const ScreenSize screen = GetScreenSize();
    const int sx = screen.width / 240, sy = screen.height / 320;
    const int top = SCREEN_BAND_HEIGHT * sy;                  // the page's first row
    const int bar = screen.height - SCREEN_BAND_HEIGHT * sy;  // the soft-key bar's first row
    const int grey = top + 40 * sy;
    // Grey from 40 base units below the page's top down to the bar, white above.
    EXPECT_EQ(shot.At(screen.width - 2, grey - 1), RGB(255, 255, 255));
    for (int y : {grey, (grey + bar) / 2, bar - 1}) {
        EXPECT_EQ(shot.At(screen.width - 2, y), kPageGrey) << y;
        EXPECT_EQ(shot.At(1, y), kPageGrey) << y;
    }
    // The title in the white header, right of the icon; a label on each soft key.
    EXPECT_TRUE(shot.Any(RECT{30 * sx, top, 190 * sx, grey}, Dark));
    EXPECT_TRUE(shot.Any(RECT{0, bar, screen.width / 2, screen.height}, Bright));
    EXPECT_TRUE(shot.Any(RECT{screen.width / 2, bar, screen.width, screen.height}, Bright));

    ASSERT_EQ(Ask({"key", "softleft"}), 0);  // OK: sign in
    EXPECT_EQ(AgentNotices(1), (Notices{{kYouTube, kSignedIn}}));
    ASSERT_TRUE(trace_.WaitForLine("on uploadwithoutUI -"));
    ExpectInOrder({"on uploadwithoutUI +", "start proc:: 5000", "IDM_OK: login youtube",
                   "start proc:: 5001", "END PROC: WM_ACTIVATE, LOGIN", "WITHOUTUI page 5003: -",
                   "on uploadwithoutUI -", "[ShowDlgThread] set g_bDlgExist to false"});
    EXPECT_FALSE(trace_.Contains("start proc:: 5002"));
}

TEST_F(LoginFlowTest, RefusedSignInOffersRetryAndItsCancelTellsTheAgentNothing) {
    ASSERT_TRUE(SetMachineDword(kYouTubeAccount, u"Deny", 1));
    ASSERT_EQ(Ask({"login", "youtube"}), 0);
    ASSERT_TRUE(WaitForPage(5000));
    ASSERT_EQ(Ask({"key", "softleft"}), 0);  // OK
    ASSERT_TRUE(WaitForPage(5002));
    ASSERT_EQ(Ask({"key", "softleft"}), 0);  // Yes: try again
    ASSERT_TRUE(WaitForPage(5001, 2));
    ASSERT_TRUE(WaitForPage(5002, 2));
    ASSERT_EQ(Ask({"key", "back"}), 0);
    ASSERT_TRUE(trace_.WaitForLine("on uploadwithoutUI -"));
    ExpectInOrder({"IDM_OK: login youtube", "[AccountSvr] YouTube login denied",
                   "END PROC: WM_ACTIVATE, LOGIN", "WITHOUTUI page 5002: -",
                   "IDM_YES: login youtube", "END PROC: IDCANCEL, LOGINFAILED",
                   "WITHOUTUI page 4999: -"});

    // Cancelling the before-login page tells the agent "not signed in". That notice is the
    // first it gets: the refused flow told it nothing.
    ASSERT_EQ(Ask({"login", "facebook"}), 0);
    ASSERT_TRUE(WaitForPage(5000, 2));
    ASSERT_EQ(Ask({"key", "softright"}), 0);  // Cancel
    EXPECT_EQ(AgentNotices(1), (Notices{{kFacebook, kNotSignedIn}}));
    ASSERT_TRUE(trace_.WaitForLine("WITHOUTUI page 4999: -"));
    EXPECT_EQ(trace_.CountLines("END PROC: CANCEL, BEFORELOGIN"), 1u);
}

TEST_F(LoginFlowTest, NewRequestEndsTheOpenPageAndRunsItsOwnFlow) {
    const std::string video = Media("a.mp4");
    ASSERT_EQ(Ask({"video-list", "clear"}), 0);
    ASSERT_EQ(Ask({"video-list", "add", video}), 0);
    ASSERT_EQ(Ask({"video-list", "show"}), 0);  // signed out: the before-login page first
    ASSERT_TRUE(WaitForPage(5000));

    ASSERT_EQ(Ask({"login", "facebook"}), 0);
    ASSERT_TRUE(WaitForPage(5000, 2));
    ExpectInOrder({"on uploadwithUI +", "On MSG_CANCEL_TASK : DlgBeforeLoginProc",
                   "[ShowDlgThread]leave ShowDlg event : cancel by others", "on uploadwithUI -",
                   "on uploadwithoutUI +", "WITHOUTUI page 5000: +"});
    EXPECT_EQ(trace_.CountLines("start proc:: 5000"), 2u);
    EXPECT_EQ(Client({"status", video}).out,
              "0\n");  // nothing of the cancelled flow is queued

    // Closing the process while a page is open ends the page, the flow and the thread.
    ASSERT_EQ(Ask({"close"}), 0);
    EXPECT_EQ(vantlo_->Wait(), 0);
    ExpectInOrder({"On MSG_CANCEL_TASK : DlgBeforeLoginProc", "WITHOUTUI page 5010: -",
                   "[ShowDlgThread] thread returned", "Vantlo: Close Thread(1)"});
    EXPECT_EQ(trace_.CountLines("On MSG_CANCEL_TASK : DlgBeforeLoginProc"), 2u);
}

TEST_F(LoginFlowTest, ReuploadLoginRunsBeforeTheTaskViewerItAsksFor) {
    ASSERT_EQ(Ask({"post", "2110", "0"}), 0);  // MSG_LOGINALL_REUPLOAD for YouTube
    ASSERT_TRUE(WaitForPage(5000));
    EXPECT_FALSE(trace_.Contains("on TaskViewer +"));  // the viewer waits for the login
    ASSERT_EQ(Ask({"key", "softright"}), 0);           // Cancel
    EXPECT_EQ(AgentNotices(1), (Notices{{kYouTube, kNotSignedIn}}));
    ASSERT_TRUE(trace_.WaitForLine("on TaskViewer -"));
    ExpectInOrder({"on uploadwithoutUI +", "END PROC: CANCEL, BEFORELOGIN", "on uploadwithoutUI -",
                   "on TaskViewer +", "on TaskViewer -"});
}

TEST_F(LoginFlowTest, FlowReachingAPageWithoutDialogEndsAsCancelledAndUploadsNothing) {
    const std::string video = Media("a.mp4");
    ASSERT_EQ(Ask({"video-list", "clear"}), 0);
    ASSERT_EQ(Ask({"video-list", "add", video}), 0);
    ASSERT_EQ(Ask({"video-list", "show"}), 0);
    ASSERT_TRUE(WaitForPage(5000));
    ASSERT_EQ(Ask({"key", "softleft"}), 0);  // signed in, the flow goes on to the list page
    EXPECT_EQ(AgentNotices(1), (Notices{{kYouTube, kSignedIn}}));
    ASSERT_TRUE(trace_.WaitForLine("on uploadwithUI -"));
    ExpectInOrder({"start proc:: 5001", "[ShowDlgThread] page 5003 has no dialog: the flow ends",
                   "on uploadwithUI -"});
    EXPECT_FALSE(trace_.Contains("leave ShowDlg event"));

    // Whatever the flow posted to the main window was handled before this post.
    ASSERT_EQ(Ask({"post", "2115"}), 0);  // WM_UPL_REGISTER
    ASSERT_TRUE(trace_.WaitForLine("WM_UPL_REGISTER"));
    EXPECT_EQ(Client({"status", video}).out, "0\n");
}

}  // namespace
