// The real programs end to end: the resident process `vantlo`, the companion agent
// `vantlo-agent` and client requests made with `vantlo-client`, each a process of its own
// talking over the cross-process window system, in the case's own device root and runtime
// folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/app_globals.h"
#include "app/payload.h"
#include "platform/window.h"
#include "store/upload_db.h"
#include "tests/app_harness.h"
#include "tests/support/test_env.h"
#include "upload/agent_notice.h"
#include "upload/task_mgr.h"

using namespace apptest;

namespace {

constexpr WCHAR kMainClass[] = u"VANTLO";
constexpr WCHAR kAgentClass[] = u"VantloAgentCallbackWnd";

// What a client run gave.
struct ClientResult {
    int rc;           // exit code
    std::string out;  // stdout
    std::string err;  // stderr
};

class EndToEndTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        base_ = std::filesystem::path(root_).parent_path().string();
        trace_.Use(base_ + "/trace.log");
        std::filesystem::create_directories(base_ + "/media");
    }
    void TearDown() override {
        for (auto& p : processes_) p.reset();  // kills what is still running
        DeviceTest::TearDown();
    }

    // Starts vantlo with args and waits until its main window can be found.
    ChildProcess* StartVantlo(const std::vector<std::string>& args = {}) {
        ChildProcess* p = Spawn("vantlo", args);
        const bool up =
            WaitUntil([&] { return FindWindowW(kMainClass, nullptr) || !p->Running(); });
        EXPECT_TRUE(up && p->Running()) << ReadText(LastErr());
        return p;
    }
    // Starts the agent and waits until its window can be found.
    ChildProcess* StartAgent() {
        ChildProcess* p = Spawn("vantlo-agent", {});
        agentOut_ = LastOut();
        const bool up =
            WaitUntil([&] { return FindWindowW(kAgentClass, nullptr) || !p->Running(); });
        EXPECT_TRUE(up && p->Running()) << ReadText(LastErr());
        return p;
    }
    ChildProcess* Spawn(const std::string& program, const std::vector<std::string>& args) {
        const std::string name = base_ + "/" + program + "-" + std::to_string(processes_.size());
        processes_.push_back(std::make_unique<ChildProcess>());
        EXPECT_TRUE(processes_.back()->Start(BinPath(program), args, name + ".out", name + ".err"));
        lastOut_ = name + ".out";
        lastErr_ = name + ".err";
        return processes_.back().get();
    }
    const std::string& LastOut() const { return lastOut_; }
    const std::string& LastErr() const { return lastErr_; }

    ClientResult Client(const std::vector<std::string>& args) {
        ClientResult r;
        r.rc = RunProgram(BinPath("vantlo-client"), args, &r.out, &r.err);
        return r;
    }
    // The status the client prints for path, or -1 when it failed.
    long Status(const std::string& path) {
        const ClientResult r = Client({"status", path});
        return r.rc == 0 && !r.out.empty() ? std::stol(r.out) : -1;
    }
    bool WaitForStatus(const std::string& path, long status) {
        return WaitUntil([&] { return Status(path) == status; });
    }

    // A file of size bytes in the case's media folder; its absolute host path.
    std::string Media(const std::string& name, size_t size = 8192) {
        const std::string path = base_ + "/media/" + name;
        WriteMedia(FromUtf8(path), size);
        return path;
    }

    std::vector<std::string> AgentLines() const { return SplitLines(ReadText(agentOut_)); }
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

    std::string base_;      // the case's folder: root, runtime folder, media, outputs
    std::string agentOut_;  // the agent's stdout
    std::string lastOut_;   // stdout of the last program started
    std::string lastErr_;   // stderr of the last program started
    TraceFile trace_;
    std::vector<std::unique_ptr<ChildProcess>> processes_;
};

// ---- Uploads ---------------------------------------------------------------------------------

TEST_F(EndToEndTest, BatchFlowRunsToDoneWithTheAgentsNoticesInOrder) {
    StartAgent();
    StartVantlo();
    const std::string a = Media("a.mp4", 30000), b = Media("b.mp4"), p = Media("p.jpg");

    EXPECT_EQ(Client({"upload-videos", a, b}).rc, 0);
    EXPECT_EQ(Client({"upload-photos", p}).rc, 0);
    ASSERT_TRUE(WaitUntil([&] {
        return AgentIndexOf("status 4 " + a) >= 0 && AgentIndexOf("status 4 " + b) >= 0 &&
               AgentIndexOf("status 4 " + p) >= 0;
    })) << ReadText(agentOut_);

    // Each file: about to start, started (0 %), done; the videos one after the other.
    EXPECT_EQ(AgentStatusesOf(a), (std::vector<int>{2, 2, 4}));
    EXPECT_EQ(AgentStatusesOf(b), (std::vector<int>{2, 2, 4}));
    EXPECT_EQ(AgentStatusesOf(p), (std::vector<int>{2, 2, 4}));
    EXPECT_LT(AgentIndexOf("status 4 " + a), AgentIndexOf("status 2 " + b));

    EXPECT_EQ(ReadText(root_ + "/Outbox/YouTube/a.mp4"), ReadText(a));
    EXPECT_EQ(ReadText(root_ + "/Outbox/YouTube/b.mp4"), ReadText(b));
    EXPECT_EQ(ReadText(root_ + "/Outbox/Facebook/p.jpg"), ReadText(p));
    const ClientResult multi = Client({"status-multi", a, b, p});
    EXPECT_EQ(multi.rc, 0);
    EXPECT_EQ(multi.out, "4\t" + a + "\n4\t" + b + "\n4\t" + p + "\n");
}

TEST_F(EndToEndTest, StatusAnswersFollowTheUpload) {
    // 120 KB at 20 KB/s: long enough to be asked while it uploads.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 20000));
    StartVantlo();
    const std::string a = Media("a.mp4", 120000);
    const std::string unknown = base_ + "/media/unknown.mp4";

    EXPECT_EQ(Client({"status", a}).out, "0\n");
    EXPECT_EQ(Client({"task-status"}).out, "0\n");
    ASSERT_EQ(Client({"upload-videos", a}).rc, 0);
    const ClientResult queued = Client({"task-status"});
    EXPECT_TRUE(queued.out == "1\n" || queued.out == "2\n") << queued.out;

    ASSERT_TRUE(WaitForStatus(a, TASK_UPLOADING));
    EXPECT_EQ(Client({"task-status"}).out, "2\n");
    const ClientResult multi = Client({"status-multi", a, unknown});
    EXPECT_EQ(multi.rc, 0);
    EXPECT_EQ(multi.out, "2\t" + a + "\n0\t" + unknown + "\n");

    ASSERT_TRUE(WaitForStatus(a, TASK_DONE));
    EXPECT_EQ(Client({"task-status"}).out, "0\n");
    // Relative paths are made absolute by the client.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(base_ + "/media");
    const ClientResult relative = Client({"status", "a.mp4"});
    std::filesystem::current_path(cwd);
    EXPECT_EQ(relative.out, "4\n");
}

// ---- One instance ---------------------------------------------------------------------------

TEST_F(EndToEndTest, SecondStartHandsOverAndExitsWithZero) {
    ChildProcess* first = StartVantlo();
    const HWND main = FindWindowW(kMainClass, nullptr);
    const std::string a = Media("a.mp4");
    ASSERT_EQ(Client({"upload-videos", a}).rc, 0);
    ASSERT_TRUE(WaitForStatus(a, TASK_DONE));

    EXPECT_EQ(RunProgram(BinPath("vantlo"), {}), 0);
    EXPECT_TRUE(first->Running());
    EXPECT_EQ(FindWindowW(kMainClass, nullptr), main);
    EXPECT_EQ(trace_.Count("[Vantlo] Previous instance already present"), 1u);
    EXPECT_EQ(Status(a), TASK_DONE);
    EXPECT_FALSE(trace_.Contains("MSG_SHOWSTATUS"));

    // With "ShowStatus_" the running instance is asked for its task viewer.
    EXPECT_EQ(RunProgram(BinPath("vantlo"), {"ShowStatus_"}), 0);
    ASSERT_TRUE(trace_.WaitForLine("on MSG_SHOWSTATUS -"));
    EXPECT_EQ(trace_.Count("on MSG_SHOWSTATUS +"), 1u);
    EXPECT_EQ(trace_.Count("[Vantlo] Previous instance already present"), 2u);
    EXPECT_TRUE(first->Running());

    EXPECT_EQ(Client({"close"}).rc, 0);
    EXPECT_EQ(first->Wait(), 0);
}

TEST_F(EndToEndTest, RegistrationsAreCountedAcrossClients) {
    ChildProcess* vantlo = StartVantlo();
    for (const char* request : {"deregister", "register", "register", "deregister"}) {
        EXPECT_EQ(Client({request}).rc, 0) << request;
    }
    EXPECT_EQ(trace_.Starting("[Vantlo] Ref count"),
              (std::vector<std::string>{"[Vantlo] Ref count might be minus",
                                        "[Vantlo] Ref count: 0", "[Vantlo] Ref count: 0",
                                        "[Vantlo] Ref count: 1", "[Vantlo] Ref count: 2",
                                        "[Vantlo] Ref count: 1", "[Vantlo] Ref count: 1"}));
    vantlo->Signal(SIGINT);
    EXPECT_EQ(vantlo->Wait(), 0);
}

// ---- Stopping mid-upload ----------------------------------------------------------------------

class InterruptedUploadTest : public EndToEndTest {
  protected:
    // One video uploaded to the end, then two videos and a photo crawling: the first of each
    // service uploading when this returns.
    void UploadAndLeaveUnfinished() {
        vantlo_ = StartVantlo();
        done_ = Media("done.mp4");
        ASSERT_EQ(Client({"upload-videos", done_}).rc, 0);
        ASSERT_TRUE(WaitForStatus(done_, TASK_DONE));

        ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 2000));
        ASSERT_TRUE(SetMachineDword(kPelfinKey, u"BytesPerSecond", 2000));
        v1_ = Media("v1.mp4", 200000);
        v2_ = Media("v2.mp4", 200000);
        p1_ = Media("p1.jpg", 200000);
        ASSERT_EQ(Client({"upload-videos", v1_, v2_}).rc, 0);
        ASSERT_EQ(Client({"upload-photos", p1_}).rc, 0);
        ASSERT_TRUE(WaitForStatus(v1_, TASK_UPLOADING));
        ASSERT_TRUE(WaitForStatus(p1_, TASK_UPLOADING));
    }
    // After a restart: the finished file answers 4, every unfinished one 1 (failed).
    void ExpectRestoredAsFailed() {
        ChildProcess* again = StartVantlo();
        const ClientResult multi = Client({"status-multi", done_, v1_, v2_, p1_});
        EXPECT_EQ(multi.rc, 0);
        EXPECT_EQ(multi.out, "4\t" + done_ + "\n1\t" + v1_ + "\n1\t" + v2_ + "\n1\t" + p1_ + "\n");
        EXPECT_EQ(Client({"close"}).rc, 0);
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
        EXPECT_EQ(restored, (std::set<std::string>{v1_, v2_, p1_}));
        EXPECT_EQ(app.Close(), 0);
    }

    ChildProcess* vantlo_ = nullptr;  // the first run
    std::string done_;                // uploaded before the stop
    std::string v1_, v2_, p1_;        // unfinished at the stop
};

TEST_F(InterruptedUploadTest, SigtermShutsDownAndTheRestartRestoresUnfinishedTasksAsFailed) {
    UploadAndLeaveUnfinished();
    vantlo_->Signal(SIGTERM);
    EXPECT_EQ(vantlo_->Wait(), 0);
    EXPECT_TRUE(trace_.Contains("[Vantlo] WM_DESTROY: shutting down"));
    // The running uploads were stopped: no partial copy is left behind.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_ + "/Outbox")) {
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos)
            << entry.path();
    }
    ExpectRestoredAsFailed();
}

TEST_F(InterruptedUploadTest, SigkillLosesNoPendingEntry) {
    UploadAndLeaveUnfinished();
    vantlo_->Signal(SIGKILL);
    EXPECT_EQ(vantlo_->Wait(), 128 + SIGKILL);

    {
        CUploadDb pending;
        ASSERT_TRUE(pending.InitPending());
        const DWORD count = pending.GetPendingCount();
        ASSERT_EQ(count, 3u);
        std::vector<PendingRecord> records(count);
        ASSERT_TRUE(pending.ReadPending(records.data(), count));
        std::set<std::pair<std::string, DWORD>> entries;
        for (const PendingRecord& r : records) entries.emplace(ToUtf8(r.szFilePath), r.dwType);
        EXPECT_EQ(entries, (std::set<std::pair<std::string, DWORD>>{{v1_, PENDING_TYPE_VIDEO},
                                                                    {v2_, PENDING_TYPE_VIDEO},
                                                                    {p1_, PENDING_TYPE_PHOTO}}));
        pending.Close();
    }
    ExpectRestoredAsFailed();
}

// ---- Bad input from clients --------------------------------------------------------------------

std::string Hex(const std::vector<BYTE>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (BYTE b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<BYTE> Slots(const std::vector<std::string>& paths) {
    std::vector<WString> wide;
    for (const std::string& p : paths) wide.push_back(FromUtf8(p));
    return EncodePathSlots(wide);
}

class BadClientInputTest : public EndToEndTest {
  protected:
    void SetUp() override {
        EndToEndTest::SetUp();
        vantlo_ = StartVantlo();
    }
    // The instance survived and still answers; then it closes normally.
    void ExpectStillServing() {
        EXPECT_TRUE(vantlo_->Running());
        EXPECT_EQ(Client({"task-status"}).rc, 0);
        EXPECT_EQ(Client({"close"}).rc, 0);
        EXPECT_EQ(vantlo_->Wait(), 0);
    }
    std::string Write(const std::string& name, const std::vector<BYTE>& bytes) {
        const std::string path = base_ + "/" + name;
        WriteHostFile(path, std::string(bytes.begin(), bytes.end()));
        return path;
    }

    ChildProcess* vantlo_ = nullptr;
};

TEST_F(BadClientInputTest, BatchCountsBeyondTheDataUseOnlyTheWholeSlots) {
    const std::string a = Media("a.mp4"), b = Media("b.mp4"), c = Media("c.mp4");
    std::vector<BYTE> block = Slots({a, b, c});
    block.resize(2 * PATH_SLOT_BYTES + 7);
    EXPECT_EQ(Client({"copydata", "2027", "5", "--file", Write("slots", block)}).rc, 0);
    EXPECT_EQ(Client({"copydata", "2047", "3", "--hex", ""}).rc, 0);
    EXPECT_TRUE(
        trace_.Contains("[Vantlo] batch of 5 slots carries only 2 whole slots (1047 bytes)"));
    EXPECT_TRUE(trace_.Contains("[Vantlo] batch of 3 slots carries only 0 whole slots (0 bytes)"));
    ASSERT_TRUE(WaitForStatus(b, TASK_DONE));
    EXPECT_EQ(Status(a), TASK_DONE);
    EXPECT_EQ(Status(c), 0);
    ExpectStillServing();
}

TEST_F(BadClientInputTest, NegativeCountsAndUnknownKindsChangeNothing) {
    const std::string a = Media("a.mp4");
    const std::string slots = Write("slots", Slots({a}));
    EXPECT_EQ(Client({"copydata", "2027", "-1", "--file", slots}).rc, 0);
    EXPECT_EQ(Client({"copydata", "2047", "0x7fffffff", "--file", slots}).rc, 0);
    EXPECT_EQ(Client({"copydata", "4242", "1", "--file", slots}).rc, 0);
    EXPECT_EQ(Client({"copydata", "2070", "--hex", "00"}).rc, 0);
    EXPECT_EQ(Client({"post", "60000", "1", "2"}).rc, 0);
    EXPECT_EQ(Status(a), 0);
    EXPECT_TRUE(trace_.Contains("[Vantlo] batch refused: negative slot count -1"));
    EXPECT_TRUE(trace_.Contains("[Vantlo] batch refused: 2147483647 slots asked"));
    EXPECT_TRUE(trace_.Contains("[Vantlo] WM_COPYDATA of unknown kind 4242 (520 bytes) ignored"));
    EXPECT_TRUE(trace_.Contains("[Vantlo] WM_COPYDATA of unknown kind 2070 (1 bytes) ignored"));
    ExpectStillServing();
}

TEST_F(BadClientInputTest, UnterminatedPathsAreCut) {
    // 300 characters and no NUL, as a single path and as a status record.
    std::vector<BYTE> text;
    for (int i = 0; i < 300; i++) text.insert(text.end(), {'A', 0});
    const ClientResult single = Client({"copydata", "2065", "self", "--file", Write("path", text)});
    EXPECT_EQ(single.rc, 0);
    EXPECT_EQ(single.out, "0\n");
    std::vector<BYTE> record(text.begin(), text.begin() + STATUS_RECORD_BYTES);
    const ClientResult multi = Client({"copydata", "2069", "self", "--file", Write("rec", record)});
    EXPECT_EQ(multi.rc, 0);
    EXPECT_EQ(multi.out, "0\t" + std::string(259, 'A') + "\n");
    EXPECT_TRUE(trace_.Contains("[Vantlo] path of 600 bytes has no NUL within reach"));
    EXPECT_TRUE(trace_.Contains("[Vantlo] status record 0 has no NUL"));
    // A list entry's path without its NUL is cut the same way.
    EXPECT_EQ(Client({"copydata", "2037", "0", "--file", Write("add", text)}).rc, 0);
    EXPECT_TRUE(trace_.Contains("[Vantlo] CD_ADD_VIDEO " + std::string(259, 'A')));
    ExpectStillServing();
}

TEST_F(BadClientInputTest, RepliesToAWindowThatDoesNotExistAreDropped) {
    const std::string a = Media("a.mp4");
    const std::string bogus = "0x7f001234";
    EXPECT_EQ(Client({"copydata", "2065", bogus, "--hex", Hex(EncodeSinglePath(FromUtf8(a)))}).rc,
              0);
    EXPECT_EQ(Client({"post", "2067", bogus}).rc, 0);
    EXPECT_EQ(Client({"copydata", "2069", bogus, "--hex",
                      Hex(EncodeStatusRecords({MakeUploadStatusRecord(FromUtf8(a).c_str(), 0)}))})
                  .rc,
              0);
    ASSERT_TRUE(trace_.WaitForLine("[Vantlo] GetTaskStatus: 0"));
    EXPECT_EQ(trace_.Count("GetUploadStatus: 0"), 1u);
    EXPECT_TRUE(trace_.Contains("[Vantlo] reply 2066 to window 0x7f001234 not delivered"));
    EXPECT_TRUE(trace_.Contains("[Vantlo] reply 2068 to window 0x7f001234 not delivered"));
    EXPECT_TRUE(trace_.Contains("[Vantlo] reply 74 to window 0x7f001234 not delivered"));
    EXPECT_EQ(Client({"status", a}).out, "0\n");
    ExpectStillServing();
}

// ---- The client and the agent on their own ------------------------------------------------------

TEST_F(EndToEndTest, ClientWithoutARunningInstanceExitsWithThree) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"status", "/x.mp4"},
                                                 {"register"},
                                                 {"close"},
                                                 {"post", "2115"}}) {
        const ClientResult r = Client(args);
        EXPECT_EQ(r.rc, 3) << args[0];
        EXPECT_NE(r.err.find("no running Vantlo instance"), std::string::npos) << r.err;
    }
    EXPECT_EQ(Client({}).rc, 2);
    EXPECT_EQ(Client({"status"}).rc, 2);
    EXPECT_EQ(Client({"clear", "everything"}).rc, 2);
    EXPECT_EQ(Client({"copydata", "2027", "--hex", "abc"}).rc, 2);
}

TEST_F(EndToEndTest, ClientGivesUpWithFourWhenNoAnswerComes) {
    // A window of the main window's class that takes requests but never replies.
    RecordingWindow silent(kMainClass, u"Vantlo");
    const ClientResult status = Client({"--timeout", "300", "status", "/x.mp4"});
    EXPECT_EQ(status.rc, 4);
    EXPECT_NE(status.err.find("no answer"), std::string::npos) << status.err;
    EXPECT_EQ(Client({"--timeout", "300", "task-status"}).rc, 4);
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
