// The real programs end to end: the resident process `vantlo`, the companion agent
// `vantlo-agent` and client requests made with `vantlo-client`, each a process of its own
// talking over the cross-process window system, in the case's own device root and runtime
// folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/app_globals.h"
#include "app/payload.h"
#include "platform/window.h"
#include "tests/app_harness.h"
#include "tests/support/test_env.h"
#include "upload/agent_notice.h"
#include "upload/task_mgr.h"

using namespace apptest;

namespace {

constexpr WCHAR kMainClass[] = u"VANTLO";
constexpr WCHAR kAgentClass[] = u"VantloAgentCallbackWnd";

class EndToEndTest : public ProgramsTest {
  protected:
    ChildProcess* StartVantlo() { return Start("vantlo", {}, kMainClass); }
    ChildProcess* StartAgent() { return Start("vantlo-agent", {}, kAgentClass, &agentOut_); }
    // The status the client prints for path, or -1 when it failed.
    long Status(const std::string& path) {
        const RunResult r = Client({"status", path});
        return r.exitCode == 0 && !r.out.empty() ? std::stol(r.out) : -1;
    }
    bool WaitForStatus(const std::string& path, long status) {
        return WaitUntil([&] { return Status(path) == status; });
    }

    std::vector<std::string> AgentLines() const { return SplitLines(ReadHostFile(agentOut_)); }
    // The statuses the agent printed for path, in order.
    std::vector<int> AgentStatusesOf(const std::string& path) const {
        std::vector<int> out;
        for (const std::string& line : AgentLines()) {
            if (line.size() > 9 && line.rfind("status ", 0) == 0 &&
                line.substr(line.find(' ', 7) + 1) == path) {
                out.push_back(std::stoi(line.substr(7)));
            }
        }
        return out;
    }
    long AgentIndexOf(const std::string& line) const {
        const std::vector<std::string> lines = AgentLines();
        auto it = std::find(lines.begin(), lines.end(), line);
        return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
    }

    std::string agentOut_;  // the agent's stdout
};

// ---- Uploads ---------------------------------------------------------------------------------

TEST_F(EndToEndTest, UploadsRunToDoneWithTheAgentsNoticesInOrderAndTheClientsAnswers) {
    StartAgent();
    StartVantlo();
    const std::string a = Media("a.mp4", 30000), b = Media("b.mp4"), p = Media("p.jpg");
    const std::string unknown = base_ + "/media/unknown.mp4";
    EXPECT_EQ(Client({"upload-videos", a, b}).exitCode, 0);
    EXPECT_EQ(Client({"upload-photos", p}).exitCode, 0);
    ASSERT_TRUE(WaitUntil([&] {
        return AgentIndexOf("status 4 " + a) >= 0 && AgentIndexOf("status 4 " + b) >= 0 &&
               AgentIndexOf("status 4 " + p) >= 0;
    })) << ReadHostFile(agentOut_);
    // Each file: about to start, started (0 %), done; the videos one after the other.
    for (const std::string& f : {a, b, p}) {
        EXPECT_EQ(AgentStatusesOf(f), (std::vector<int>{2, 2, 4})) << f;
    }
    EXPECT_LT(AgentIndexOf("status 4 " + a), AgentIndexOf("status 2 " + b));
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/YouTube/a.mp4"), ReadHostFile(a));
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/YouTube/b.mp4"), ReadHostFile(b));
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/Facebook/p.jpg"), ReadHostFile(p));

    // The status requests, answered to the client's own reply window.
    const RunResult multi = Client({"status-multi", a, b, p, unknown});
    EXPECT_EQ(multi.exitCode, 0);
    EXPECT_EQ(multi.out, "4\t" + a + "\n4\t" + b + "\n4\t" + p + "\n0\t" + unknown + "\n");
    EXPECT_EQ(Client({"task-status"}).out, "0\n");
    EXPECT_EQ(Client({"status", unknown}).out, "0\n");
    // Relative paths are made absolute by the client.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(base_ + "/media");
    const RunResult relative = Client({"status", "a.mp4"});
    std::filesystem::current_path(cwd);
    EXPECT_EQ(relative.out, "4\n");
}

// ---- One instance and its clients -------------------------------------------------------------

TEST_F(EndToEndTest, RegistrationsAreCountedAndASecondStartHandsOverAndExitsWithZero) {
    ChildProcess* first = StartVantlo();
    const HWND main = FindWindowW(kMainClass, nullptr);
    for (const char* request : {"deregister", "register", "register", "deregister"}) {
        EXPECT_EQ(Client({request}).exitCode, 0) << request;
    }
    // Each request arrived, in order (the in-process tests check every count line).
    const std::vector<std::string> refs = trace_.Starting("[Vantlo] Ref count");
    EXPECT_EQ(refs.size(), 7u);
    EXPECT_EQ(refs.empty() ? "" : refs.back(), "[Vantlo] Ref count: 1");

    const std::string a = Media("a.mp4");
    ASSERT_EQ(Client({"upload-videos", a}).exitCode, 0);
    ASSERT_TRUE(WaitForStatus(a, TASK_DONE));
    EXPECT_EQ(RunToEnd({BinPath("vantlo")}).exitCode, 0);
    EXPECT_TRUE(first->Running());
    EXPECT_EQ(FindWindowW(kMainClass, nullptr), main);
    EXPECT_EQ(trace_.CountLines("[Vantlo] Previous instance already present"), 1u);
    EXPECT_EQ(Status(a), TASK_DONE);
    EXPECT_FALSE(trace_.Contains("MSG_SHOWSTATUS"));
    // With "ShowStatus_" the running instance is asked for its task viewer.
    EXPECT_EQ(RunToEnd({BinPath("vantlo"), "ShowStatus_"}).exitCode, 0);
    ASSERT_TRUE(trace_.WaitForLine("on MSG_SHOWSTATUS -"));
    EXPECT_EQ(trace_.CountLines("on MSG_SHOWSTATUS +"), 1u);
    EXPECT_EQ(trace_.CountLines("[Vantlo] Previous instance already present"), 2u);
    EXPECT_TRUE(first->Running());
    first->Signal(SIGINT);
    EXPECT_EQ(first->Wait(), 0);
}

// ---- Stopping mid-upload ----------------------------------------------------------------------

TEST_F(EndToEndTest, SigtermStopsRunningUploadsAndTheRestartRestoresThemAsFailed) {
    // One video uploaded, then two videos and a photo crawling, the first of each service
    // uploading. (A kill instead loses no pending entry either: see the task manager's tests.)
    ChildProcess* vantlo = StartVantlo();
    const std::string done = Media("done.mp4");
    ASSERT_EQ(Client({"upload-videos", done}).exitCode, 0);
    ASSERT_TRUE(WaitForStatus(done, TASK_DONE));
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 2000));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"BytesPerSecond", 2000));
    const std::string v1 = Media("v1.mp4", 200000), v2 = Media("v2.mp4", 200000);
    const std::string p1 = Media("p1.jpg", 200000);
    ASSERT_EQ(Client({"upload-videos", v1, v2}).exitCode, 0);
    ASSERT_EQ(Client({"upload-photos", p1}).exitCode, 0);
    ASSERT_TRUE(WaitForStatus(v1, TASK_UPLOADING));
    ASSERT_TRUE(WaitForStatus(p1, TASK_UPLOADING));

    vantlo->Signal(SIGTERM);
    EXPECT_EQ(vantlo->Wait(), 0);
    EXPECT_TRUE(trace_.Contains("[Vantlo] WM_DESTROY: shutting down"));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_ + "/Outbox")) {
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos)
            << entry.path();
    }

    // After a restart the finished file answers 4, every unfinished one 1 (failed).
    ChildProcess* again = StartVantlo();
    const RunResult multi = Client({"status-multi", done, v1, v2, p1});
    EXPECT_EQ(multi.exitCode, 0);
    EXPECT_EQ(multi.out, "4\t" + done + "\n1\t" + v1 + "\n1\t" + v2 + "\n1\t" + p1 + "\n");
    EXPECT_EQ(Client({"close"}).exitCode, 0);
    EXPECT_EQ(again->Wait(), 0);
    // The same device root in this process: each restored task carries ERR_RESTORED.
    InProcessApp app;
    ASSERT_TRUE(app.Start(u""));
    std::set<std::string> restored;
    for (ServiceType type : {SERVICE_YOUTUBE, SERVICE_FACEBOOK}) {
        TaskSnapshotList tasks;
        g_App.pTaskMgr->GetAllServiceTasks(&tasks, type);
        for (const TaskSnapshot& t : tasks) {
            restored.insert(ToUtf8(t.path));
            EXPECT_EQ(t.status, TASK_FAILED);
            EXPECT_EQ(g_App.pTaskMgr->GetError(t.path.c_str(), &t.submitTime), ERR_RESTORED)
                << ToUtf8(t.path);
        }
    }
    EXPECT_EQ(restored, (std::set<std::string>{v1, v2, p1}));
    EXPECT_EQ(app.Close(), 0);
}

// ---- Bad input from clients --------------------------------------------------------------------

TEST_F(EndToEndTest, MalformedRequestsFromClientsCostTheInstanceOnlyATrace) {
    ChildProcess* vantlo = StartVantlo();
    const std::string a = Media("a.mp4"), b = Media("b.mp4"), c = Media("c.mp4");
    auto file = [&](const std::string& name, const std::vector<BYTE>& bytes) {
        WriteHostFile(base_ + "/" + name, std::string(bytes.begin(), bytes.end()));
        return base_ + "/" + name;
    };
    std::vector<BYTE> slots = EncodePathSlots({FromUtf8(a), FromUtf8(b), FromUtf8(c)});
    slots.resize(2 * PATH_SLOT_BYTES + 7);
    std::vector<BYTE> text;  // 300 characters and no NUL
    for (int i = 0; i < 300; i++) text.insert(text.end(), {'A', 0});
    // Each decoding fault has its in-process case; here the same bytes come from another
    // process, by file, by hex (empty too), and with counts and windows written in hex.
    const struct {
        std::vector<std::string> args;  // the client's request
        std::string out;                // what it prints
        std::string trace;              // the line the instance leaves
    } kRequests[] = {
        {{"copydata", "2027", "5", "--file", file("partial", slots)},
         "",
         "[Vantlo] batch of 5 slots carries only 2 whole slots (1047 bytes)"},
        {{"copydata", "2047", "3", "--hex", ""},
         "",
         "[Vantlo] batch of 3 slots carries only 0 whole slots (0 bytes)"},
        {{"copydata", "2047", "0x7fffffff", "--hex", "00"},
         "",
         "[Vantlo] batch refused: 2147483647 slots asked"},
        {{"post", "60000", "1", "2"}, "", ""},
        // A single path and a status record without their NUL are cut.
        {{"copydata", "2065", "self", "--file", file("path", text)},
         "0\n",
         "[Vantlo] path of 600 bytes has no NUL within reach"},
        {{"copydata", "2069", "self", "--file",
          file("rec", std::vector<BYTE>(text.begin(), text.begin() + STATUS_RECORD_BYTES))},
         "0\t" + std::string(259, 'A') + "\n",
         "[Vantlo] status record 0 has no NUL"},
        // A reply to a window that does not exist is dropped.
        {{"post", "2067", "0x7f001234"},
         "",
         "[Vantlo] reply 2068 to window 0x7f001234 not delivered"},
    };
    for (const auto& request : kRequests) {
        const RunResult r = Client(request.args);
        EXPECT_EQ(r.exitCode, 0) << request.args[0] << " " << request.args[1];
        EXPECT_EQ(r.out, request.out) << request.args[1];
        if (!request.trace.empty()) {
            EXPECT_TRUE(trace_.WaitForLine(request.trace)) << request.trace;
        }
    }
    // Only the two whole slots were queued.
    ASSERT_TRUE(WaitForStatus(b, TASK_DONE));
    EXPECT_EQ(Status(a), TASK_DONE);
    EXPECT_EQ(Status(c), 0);
    // The instance survived and still answers; then it closes normally.
    EXPECT_TRUE(vantlo->Running());
    EXPECT_EQ(Client({"task-status"}).exitCode, 0);
    EXPECT_EQ(Client({"close"}).exitCode, 0);
    EXPECT_EQ(vantlo->Wait(), 0);
}

// ---- The client and the agent on their own ------------------------------------------------------

TEST_F(EndToEndTest, WithoutAnInstanceTheClientExitsWithThreeAndWithoutAnAnswerWithFour) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"status", "/x.mp4"},
                                                 {"register"},
                                                 {"close"},
                                                 {"post", "2115"}}) {
        const RunResult r = Client(args);
        EXPECT_EQ(r.exitCode, 3) << args[0];
        EXPECT_THAT(r.err, HasSubstr("no running Vantlo instance"));
    }
    for (const std::vector<std::string>& bad : {std::vector<std::string>{},
                                                {"status"},
                                                {"clear", "everything"},
                                                {"copydata", "2027", "--hex", "abc"}}) {
        EXPECT_EQ(Client(bad).exitCode, 2);
    }
    // A window of the main window's class that takes requests but never replies.
    RecordingWindow silent(kMainClass, u"Vantlo");
    const RunResult status = Client({"--timeout", "300", "status", "/x.mp4"});
    EXPECT_EQ(status.exitCode, 4);
    EXPECT_THAT(status.err, HasSubstr("no answer"));
    EXPECT_EQ(Client({"--timeout", "300", "task-status"}).exitCode, 4);
    ASSERT_EQ(silent.Of(WM_COPYDATA).size(), 1u);
    EXPECT_EQ(silent.Of(WM_COPYDATA)[0].kind, CD_GET_UPLOAD_STATUS);
}

TEST_F(EndToEndTest, AgentPrintsEveryNoticeAndEndsOnSigterm) {
    ChildProcess* agent = StartAgent();
    const HWND window = FindWindowW(kAgentClass, nullptr);
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_USER + 159, 1, 0);
    PostMessageW(window, WM_USER + 159, 0, 1);
    ASSERT_TRUE(WaitUntil([&] { return AgentLines().size() == 2; }));
    // A notice of the wrong size is skipped; a whole record is printed.
    std::vector<BYTE> shortNotice(100, 1);
    COPYDATASTRUCT cds{AGENT_STATUS_COPYDATA, static_cast<DWORD>(shortNotice.size()),
                       shortNotice.data()};
    EXPECT_EQ(SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)), 0);
    UploadStatusRecord record = MakeUploadStatusRecord(u"/media/x.mp4", TASK_DONE);
    cds = COPYDATASTRUCT{AGENT_STATUS_COPYDATA, sizeof record, &record};
    EXPECT_EQ(SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)), 1);
    EXPECT_EQ(AgentLines(),
              (std::vector<std::string>{"login 1 0", "login 0 1", "status 4 /media/x.mp4"}));
    agent->Signal(SIGTERM);
    EXPECT_EQ(agent->Wait(), 0);
}

}  // namespace
