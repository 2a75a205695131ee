// The main window in this process: the real WinMain on a thread of its own with the real task
// manager, engines and stores, a client on the test's thread sending it requests, and
// recording windows standing for the client's reply window and the task viewer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/app_globals.h"
#include "app/main_wnd.h"
#include "app/messages.h"
#include "app/payload.h"
#include "platform/device_image.h"
#include "tests/app_harness.h"
#include "tests/support/test_env.h"
#include "upload/task_mgr.h"

using namespace apptest;

namespace {

constexpr WPARAM kConnected = 0x10;
constexpr WPARAM kWaiting = 0x40;

using TaskList = std::vector<std::pair<WString, DWORD>>;

class MainWindowTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_.Use(root_ + "/../trace.log");
        ASSERT_TRUE(PrepareDeviceImage());
    }
    void TearDown() override {
        if (app_) {
            EXPECT_EQ(app_->Close(), 0);
        }
        app_.reset();
        DeviceTest::TearDown();
    }

    // Starts the application. The connection manager keeps the connection waiting, so that
    // queued tasks wait until the test reports a connection (ReportConnected).
    void Start(const WString& cmdLine = u"") {
        ASSERT_TRUE(SetMachineDword(kConnMgrKey, u"Mode", 2));
        app_ = std::make_unique<InProcessApp>();
        ASSERT_TRUE(app_->Start(cmdLine));
    }
    HWND Main() const { return app_->Window(); }

    // Reports a usable connection, as the connection manager does, until pred holds.
    bool RunQueueUntil(const std::function<bool()>& pred) {
        return WaitUntil([&] {
            PostMessageW(Main(), MSG_CONNECTION_STATUS, kConnected, 0);
            return pred();
        });
    }

    static WString Media(const std::string& name, size_t size = 4096) {
        WString path = u"\\Media\\" + FromUtf8(name);
        WriteMedia(path, size);
        return path;
    }
    // The service's tasks as (path, status), in list order.
    static TaskList Tasks(ServiceType type) {
        TaskSnapshotList snapshots;
        g_App.pTaskMgr->GetAllServiceTasks(&snapshots, type);
        TaskList out;
        for (const TaskSnapshot& s : snapshots) out.emplace_back(s.path, s.status);
        return out;
    }
    static DWORD StatusOf(const WString& path) {
        return g_App.pTaskMgr->GetUploadStatusDb(path.c_str(), nullptr);
    }
    bool WaitForStatus(const WString& path, DWORD status) {
        return RunQueueUntil([&] { return StatusOf(path) == status; });
    }
    // Queues videos as a client batch does and waits until the main window is done with it.
    void QueueVideos(const std::vector<WString>& paths) {
        ASSERT_EQ(app_->SendCopyData(CD_VIDEO_ITEMS, paths.size(), EncodePathSlots(paths)), 0);
        ASSERT_TRUE(app_->Sync());
    }
    void QueuePhotos(const std::vector<WString>& paths) {
        ASSERT_EQ(app_->SendCopyData(CD_PHOTO_ITEMS, paths.size(), EncodePathSlots(paths)), 0);
        ASSERT_TRUE(app_->Sync());
    }

    // Asks for one file's status with reply's window; the answer's lParam, -1 when no answer
    // had arrived by the time the request returned.
    LPARAM AskStatus(RecordingWindow& reply, const WString& path) {
        const size_t before = reply.Of(WM_UPL_UPLOAD_STATUS).size();
        app_->SendCopyData(CD_GET_UPLOAD_STATUS, reinterpret_cast<WPARAM>(reply.Handle()),
                           EncodeSinglePath(path));
        const std::vector<Received> got = reply.Of(WM_UPL_UPLOAD_STATUS);
        if (got.size() != before + 1) return -1;
        EXPECT_EQ(got.back().wParam, 0u);
        EXPECT_EQ(got.back().how, Delivery::kSent);
        return got.back().lParam;
    }
    LPARAM AskTaskStatus(RecordingWindow& reply) {
        const size_t before = reply.Of(WM_UPL_TASK_STATUS).size();
        SendMessageW(Main(), WM_UPL_GET_TASK_STATUS, reinterpret_cast<WPARAM>(reply.Handle()), 0);
        const std::vector<Received> got = reply.Of(WM_UPL_TASK_STATUS);
        if (got.size() != before + 1) return -1;
        EXPECT_EQ(got.back().wParam, 0u);
        return got.back().lParam;
    }
    // Sends a multiple status query of block; the answer (kind 2070) received during the send.
    Received AskMulti(RecordingWindow& reply, const std::vector<BYTE>& block) {
        const size_t before = reply.Of(WM_COPYDATA).size();
        app_->SendCopyData(CD_GET_UPLOAD_STATUS_MULTI, reinterpret_cast<WPARAM>(reply.Handle()),
                           block);
        const std::vector<Received> got = reply.Of(WM_COPYDATA);
        if (got.size() != before + 1) return Received{0, 0, 0, Delivery::kPosted, 0, {}};
        return got.back();
    }

    TraceFile trace_;
    std::unique_ptr<InProcessApp> app_;
};

std::vector<UploadStatusRecord> Records(const std::vector<WString>& paths) {
    std::vector<UploadStatusRecord> out;
    for (const WString& p : paths) out.push_back(MakeUploadStatusRecord(p.c_str(), 0));
    return out;
}

// ---- Batches --------------------------------------------------------------------------------

TEST_F(MainWindowTest, VideoBatchQueuesEverySlotInOrderWithTheDefaultTexts) {
    Start();
    RecordingWindow viewer;
    g_App.hTaskViewerWnd = viewer.Handle();
    const WString a = Media("a.mp4"), b = Media("b.mp4"), c = Media("c.mp4");

    EXPECT_EQ(app_->SendCopyData(CD_VIDEO_ITEMS, 3, EncodePathSlots({a, b, c})), 0);
    ASSERT_TRUE(app_->WaitForMessage(MSG_CONNECTION_STATUS));
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(app_->Messages(), (std::vector<Seen>{Sent(WM_COPYDATA), Posted(MSG_QUEUE_KICK),
                                                   Posted(MSG_CONNECTION_STATUS)}));
    ASSERT_TRUE(viewer.Sync());
    EXPECT_EQ(viewer.Messages(), std::vector<Seen>{Posted(MSG_TASKVIEWER_ITEMS_ADDED)});
    EXPECT_EQ(Tasks(SERVICE_YOUTUBE),
              (TaskList{{a, TASK_WAITING}, {b, TASK_WAITING}, {c, TASK_WAITING}}));
    EXPECT_EQ(
        trace_.Starting("[Vantlo] 3"),
        (std::vector<std::string>{"[Vantlo] 3 Video items received", "[Vantlo] 3: \\Media\\a.mp4",
                                  "[Vantlo] 3: \\Media\\b.mp4", "[Vantlo] 3: \\Media\\c.mp4"}));

    // Once connected they upload one after the other, with the batch's texts.
    ASSERT_TRUE(RunQueueUntil([&] {
        return StatusOf(a) == TASK_DONE && StatusOf(b) == TASK_DONE && StatusOf(c) == TASK_DONE;
    }));
    const std::string texts =
        ": title \"Video from my Velmar phone\", category People, tags \"mobile, video, "
        "cellphone\"";
    const std::vector<std::string> uploads = trace_.Starting("[Zorvid] upload ");
    ASSERT_EQ(uploads.size(), 3u);
    EXPECT_EQ(uploads[0].rfind("[Zorvid] upload \\Media\\a.mp4" + texts, 0), 0u) << uploads[0];
    EXPECT_EQ(uploads[1].rfind("[Zorvid] upload \\Media\\b.mp4" + texts, 0), 0u) << uploads[1];
    EXPECT_EQ(uploads[2].rfind("[Zorvid] upload \\Media\\c.mp4" + texts, 0), 0u) << uploads[2];
}

TEST_F(MainWindowTest, EmptyPhotoBatchStillNotifiesTheViewerAndKicksTheQueue) {
    Start();
    RecordingWindow viewer;
    g_App.hTaskViewerWnd = viewer.Handle();

    EXPECT_EQ(app_->SendCopyDataNull(CD_PHOTO_ITEMS, 0, 0), 0);
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(app_->Messages(), (std::vector<Seen>{Sent(WM_COPYDATA), Posted(MSG_QUEUE_KICK)}));
    ASSERT_TRUE(viewer.Sync());
    EXPECT_EQ(viewer.Messages(), std::vector<Seen>{Posted(MSG_TASKVIEWER_ITEMS_ADDED)});
    EXPECT_TRUE(Tasks(SERVICE_FACEBOOK).empty());
    EXPECT_EQ(trace_.Count("[Vantlo] 0 Photo items received"), 1u);
}

TEST_F(MainWindowTest, PhotoBatchUploadsWithTheDefaultAlbum) {
    Start();
    const WString p = Media("p.jpg"), q = Media("q.jpg");
    QueuePhotos({p, q});
    EXPECT_EQ(Tasks(SERVICE_FACEBOOK), (TaskList{{p, TASK_WAITING}, {q, TASK_WAITING}}));
    ASSERT_TRUE(WaitForStatus(q, TASK_DONE));
    EXPECT_EQ(StatusOf(p), TASK_DONE);
    EXPECT_EQ(trace_.Count("[Vantlo] 2 Photo items received"), 1u);
}

// ---- Status queries ---------------------------------------------------------------------------

TEST_F(MainWindowTest, StatusQueryIsAnsweredDuringTheSendWithTheFilesState) {
    Start();
    RecordingWindow reply;
    const WString a = Media("a.mp4");

    EXPECT_EQ(AskStatus(reply, u"\\Media\\never.mp4"), 0);
    QueueVideos({a});
    EXPECT_EQ(AskStatus(reply, a), TASK_WAITING);
    ASSERT_TRUE(WaitForStatus(a, TASK_DONE));
    EXPECT_EQ(AskStatus(reply, a), TASK_DONE);
    EXPECT_EQ(trace_.Starting("GetUploadStatus: "),
              (std::vector<std::string>{"GetUploadStatus: 0", "GetUploadStatus: 3",
                                        "GetUploadStatus: 4"}));

    // Without a reply window the request is ignored.
    app_->SendCopyData(CD_GET_UPLOAD_STATUS, 0, EncodeSinglePath(a));
    EXPECT_EQ(trace_.Starting("GetUploadStatus: ").size(), 3u);
    EXPECT_EQ(reply.Of(WM_UPL_UPLOAD_STATUS).size(), 3u);
}

TEST_F(MainWindowTest, MultiStatusAnswersTheWholeRecordsOfTheBlock) {
    Start();
    RecordingWindow reply;
    const WString a = Media("a.mp4");
    const WString unknown = u"\\Media\\unknown.mp4";
    QueueVideos({a});
    const std::vector<BYTE> two = EncodeStatusRecords(Records({a, unknown}));
    ASSERT_EQ(two.size(), 1048u);

    Received answer = AskMulti(reply, two);
    EXPECT_EQ(answer.kind, CD_UPLOAD_STATUS_MULTI);
    EXPECT_EQ(answer.wParam, 2u);
    EXPECT_EQ(answer.data.size(), 1048u);
    EXPECT_EQ(StatusPairs(answer.data), (TaskList{{a, TASK_WAITING}, {unknown, 0}}));

    // 1000 bytes hold one whole record; the rest is ignored.
    answer = AskMulti(reply, std::vector<BYTE>(two.begin(), two.begin() + 1000));
    EXPECT_EQ(answer.kind, CD_UPLOAD_STATUS_MULTI);
    EXPECT_EQ(answer.wParam, 1u);
    EXPECT_EQ(StatusPairs(answer.data), (TaskList{{a, TASK_WAITING}}));
    EXPECT_EQ(answer.data.size(), 524u);

    // No record: an empty answer of size 0.
    answer = AskMulti(reply, {});
    EXPECT_EQ(answer.kind, CD_UPLOAD_STATUS_MULTI);
    EXPECT_EQ(answer.wParam, 0u);
    EXPECT_TRUE(answer.data.empty());
    EXPECT_EQ(
        trace_.Starting("[Vantlo] GetUploadStatusMulti"),
        (std::vector<std::string>{
            "[Vantlo] GetUploadStatusMulti+, 2 items",
            "[Vantlo] GetUploadStatusMulti 0: \\Media\\a.mp4, 3",
            "[Vantlo] GetUploadStatusMulti 1: \\Media\\unknown.mp4, 0",
            "[Vantlo] GetUploadStatusMulti-", "[Vantlo] GetUploadStatusMulti+, 1 items",
            "[Vantlo] GetUploadStatusMulti 0: \\Media\\a.mp4, 3", "[Vantlo] GetUploadStatusMulti-",
            "[Vantlo] GetUploadStatusMulti+, 0 items", "[Vantlo] GetUploadStatusMulti-"}));
}

TEST_F(MainWindowTest, TaskStatusFollowsTheQueueThroughEveryState) {
    Start();
    RecordingWindow reply;
    EXPECT_EQ(AskTaskStatus(reply), LIST_IDLE);

    // 40 KB at 20 KB/s: uploading long enough to be asked.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 20000));
    const WString slow = Media("slow.mp4", 40000);
    QueueVideos({slow});
    EXPECT_EQ(AskTaskStatus(reply), LIST_WAITING);
    ASSERT_TRUE(WaitForStatus(slow, TASK_UPLOADING));
    EXPECT_EQ(AskTaskStatus(reply), LIST_UPLOADING);
    ASSERT_TRUE(WaitForStatus(slow, TASK_DONE));
    EXPECT_EQ(AskTaskStatus(reply), LIST_IDLE);

    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 0));
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailAtPercent", 50));
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailCode", 0x80004005));
    const WString failing = Media("failing.mp4");
    QueueVideos({failing});
    ASSERT_TRUE(WaitForStatus(failing, TASK_FAILED));
    EXPECT_EQ(AskTaskStatus(reply), LIST_FAILED);
    EXPECT_EQ(trace_.Starting("[Vantlo] GetTaskStatus: "),
              (std::vector<std::string>{"[Vantlo] GetTaskStatus: 0", "[Vantlo] GetTaskStatus: 1",
                                        "[Vantlo] GetTaskStatus: 2", "[Vantlo] GetTaskStatus: 0",
                                        "[Vantlo] GetTaskStatus: 3"}));

    // Without a reply window nothing is sent.
    SendMessageW(Main(), WM_UPL_GET_TASK_STATUS, 0, 0);
    EXPECT_EQ(reply.Of(WM_UPL_TASK_STATUS).size(), 5u);
}

// ---- The connection ---------------------------------------------------------------------------

TEST_F(MainWindowTest, WaitingConnectionDoesNotStartUploadingAndAnyOtherStatusDoes) {
    Start();
    const WString a = Media("a.mp4");
    QueueVideos({a});
    ASSERT_TRUE(app_->WaitForMessage(MSG_CONNECTION_STATUS));

    PostMessageW(Main(), MSG_CONNECTION_STATUS, kWaiting, 0);
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(StatusOf(a), TASK_WAITING);
    EXPECT_EQ(trace_.Count("OnStartUploading (0x00000040)"), 2u);
    EXPECT_FALSE(trace_.Contains("[Vantlo] StartUploading +"));

    PostMessageW(Main(), MSG_CONNECTION_STATUS, kConnected, 0);
    ASSERT_TRUE(app_->Sync());
    EXPECT_NE(StatusOf(a), TASK_WAITING);
    EXPECT_EQ(trace_.Count("OnStartUploading (0x00000010)"), 1u);
    EXPECT_GT(trace_.IndexOf("[Vantlo] StartUploading +"),
              trace_.IndexOf("OnStartUploading (0x00000010)"));
}

// ---- The lists of the dialog flows ------------------------------------------------------------

TEST_F(MainWindowTest, HandedOverVideosAreQueuedWhenTheVideoFlowUploads) {
    Start();
    const WString a = Media("a.mp4");
    app_->SendCopyData(CD_ADD_VIDEO, 0, EncodeSinglePath(a));
    app_->SendCopyData(CD_ADD_VIDEO, 0, EncodeSinglePath(a));
    app_->SendCopyDataNull(CD_ADD_VIDEO, 0, 0);
    ASSERT_EQ(g_App.VideoList.size(), 3u);
    EXPECT_EQ(g_App.VideoList[0].path, a);
    EXPECT_EQ(g_App.VideoList[1].path, a);
    EXPECT_EQ(g_App.VideoList[2].path, u"");
    g_App.VideoList[0].title = u"First take";
    g_App.VideoList[1].title = u"Second take";

    PostMessageW(Main(), MSG_UPLOAD_VIDEO_LIST, 0, 0);
    ASSERT_TRUE(app_->WaitForMessage(MSG_CONNECTION_STATUS));
    ASSERT_TRUE(app_->Sync());
    EXPECT_TRUE(IsIconic(Main()));
    EXPECT_EQ(app_->Messages(),
              (std::vector<Seen>{Sent(WM_COPYDATA), Sent(WM_COPYDATA), Sent(WM_COPYDATA),
                                 Posted(MSG_UPLOAD_VIDEO_LIST), Posted(MSG_QUEUE_KICK),
                                 Posted(MSG_CONNECTION_STATUS)}));
    // The entry without a path is not queued; the list stays as it is.
    EXPECT_EQ(Tasks(SERVICE_YOUTUBE), (TaskList{{a, TASK_WAITING}, {a, TASK_WAITING}}));
    EXPECT_TRUE(trace_.Contains("[Vantlo] a video without a path is not queued"));
    EXPECT_EQ(g_App.VideoList.size(), 3u);

    ASSERT_TRUE(RunQueueUntil([&] { return Tasks(SERVICE_YOUTUBE).empty(); }));
    const std::vector<std::string> uploads = trace_.Starting("[Zorvid] upload ");
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_NE(uploads[0].find("title \"First take\""), std::string::npos) << uploads[0];
    EXPECT_NE(uploads[1].find("title \"Second take\""), std::string::npos) << uploads[1];

    app_->SendCopyDataNull(CD_CLEAR_VIDEO_LIST, 0, 0);
    EXPECT_TRUE(g_App.VideoList.empty());
}

TEST_F(MainWindowTest, PhotoFlowUploadWithAnEmptyListOnlyMinimisesAndKicks) {
    Start();
    PostMessageW(Main(), MSG_UPLOAD_PHOTO_LIST, 0, 0);
    ASSERT_TRUE(app_->WaitForMessage(MSG_QUEUE_KICK));
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(app_->Messages(),
              (std::vector<Seen>{Posted(MSG_UPLOAD_PHOTO_LIST), Posted(MSG_QUEUE_KICK)}));
    EXPECT_TRUE(IsIconic(Main()));
    EXPECT_TRUE(Tasks(SERVICE_FACEBOOK).empty());

    // With a photo handed over, the flow's upload queues it with its edited details.
    const WString p = Media("p.jpg");
    app_->SendCopyData(CD_ADD_PHOTO, 0, EncodeSinglePath(p));
    ASSERT_EQ(g_App.PhotoList.size(), 1u);
    g_App.PhotoList[0].caption = u"At the lake";
    PostMessageW(Main(), MSG_UPLOAD_PHOTO_LIST, 0, 0);
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(Tasks(SERVICE_FACEBOOK), (TaskList{{p, TASK_WAITING}}));
    app_->SendCopyDataNull(CD_CLEAR_PHOTO_LIST, 0, 0);
    EXPECT_TRUE(g_App.PhotoList.empty());
}

// ---- Clearing ---------------------------------------------------------------------------------

TEST_F(MainWindowTest, ClearingAServiceDropsOnlyItsTasksAndTellsTheViewer) {
    Start();
    RecordingWindow viewer;
    g_App.hTaskViewerWnd = viewer.Handle();
    const WString a = Media("a.mp4"), p = Media("p.jpg");
    QueueVideos({a});
    QueuePhotos({p});

    SendMessageW(Main(), WM_CLEAR_YOUTUBE_TASKS, 0, 0);
    EXPECT_TRUE(Tasks(SERVICE_YOUTUBE).empty());
    EXPECT_EQ(Tasks(SERVICE_FACEBOOK), (TaskList{{p, TASK_WAITING}}));
    EXPECT_EQ(StatusOf(a), 0u);

    // Clearing everything is only traced.
    SendMessageW(Main(), WM_CLEAR_ALL_TASKS, 0, 0);
    EXPECT_EQ(Tasks(SERVICE_FACEBOOK), (TaskList{{p, TASK_WAITING}}));
    EXPECT_EQ(trace_.Count("WM_CLEAR_ALL_TASKS"), 1u);

    SendMessageW(Main(), WM_CLEAR_FACEBOOK_TASKS, 0, 0);
    EXPECT_TRUE(Tasks(SERVICE_FACEBOOK).empty());
    ASSERT_TRUE(viewer.Sync());
    EXPECT_EQ(viewer.Messages(),
              (std::vector<Seen>{
                  Posted(MSG_TASKVIEWER_ITEMS_ADDED), Posted(MSG_TASKVIEWER_ITEMS_ADDED),
                  Posted(MSG_TASKVIEWER_TASKS_CLEARED), Posted(MSG_TASKVIEWER_TASKS_CLEARED)}));
}

// ---- Clients ----------------------------------------------------------------------------------

TEST_F(MainWindowTest, RegistrationIsCountedAndNeverGoesBelowZero) {
    Start();
    SendMessageW(Main(), WM_UPL_DEREGISTER, 0, 0);
    SendMessageW(Main(), WM_UPL_DEREGISTER, 0, 0);
    EXPECT_EQ(g_App.nClientRefs, 0);
    SendMessageW(Main(), WM_UPL_REGISTER, 0, 0);
    SendMessageW(Main(), WM_UPL_REGISTER, 0, 0);
    SendMessageW(Main(), WM_UPL_DEREGISTER, 0, 0);
    EXPECT_EQ(g_App.nClientRefs, 1);

    std::vector<std::string> refs;
    for (const std::string& line : trace_.Lines()) {
        if (line.rfind("WM_UPL_", 0) == 0 || line.rfind("[Vantlo] Ref count", 0) == 0) {
            refs.push_back(line);
        }
    }
    EXPECT_EQ(refs,
              (std::vector<std::string>{
                  "WM_UPL_DEREGISTER", "[Vantlo] Ref count might be minus", "[Vantlo] Ref count: 0",
                  "[Vantlo] Ref count: 0", "WM_UPL_DEREGISTER", "[Vantlo] Ref count might be minus",
                  "[Vantlo] Ref count: 0", "[Vantlo] Ref count: 0", "WM_UPL_REGISTER",
                  "[Vantlo] Ref count: 1", "WM_UPL_REGISTER", "[Vantlo] Ref count: 2",
                  "WM_UPL_DEREGISTER", "[Vantlo] Ref count: 1", "[Vantlo] Ref count: 1"}));
}

TEST_F(MainWindowTest, CancelCommandClearsTheDialogFlag) {
    Start();
    g_App.g_bDlgExist = TRUE;
    SendMessageW(Main(), WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
    EXPECT_TRUE(g_App.g_bDlgExist);
    SendMessageW(Main(), WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    EXPECT_FALSE(g_App.g_bDlgExist);
    EXPECT_EQ(trace_.Count("On IDCANCEL: WndProc"), 1u);
}

// ---- Start-up and shutdown ----------------------------------------------------------------------

TEST_F(MainWindowTest, ShowStatusCommandLineAsksForTheTaskViewerOnce) {
    Start(u"ShowStatus_");
    ASSERT_TRUE(trace_.WaitForLine("on MSG_SHOWSTATUS -"));
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(trace_.Count("PostMessage MSG_SHOWSTATUS +"), 1u);
    EXPECT_EQ(trace_.Count("on MSG_SHOWSTATUS +"), 1u);
    EXPECT_FALSE(g_App.g_bShowStatus);
    EXPECT_EQ(GetForegroundWindow(), Main());
}

class OtherCommandLineTest : public MainWindowTest,
                             public ::testing::WithParamInterface<const char16_t*> {};

TEST_P(OtherCommandLineTest, OpensNothing) {
    Start(GetParam());
    ASSERT_TRUE(app_->Sync());
    EXPECT_FALSE(trace_.Contains("MSG_SHOWSTATUS"));
    EXPECT_EQ(app_->Count(MSG_SHOWSTATUS), 0u);
}

INSTANTIATE_TEST_SUITE_P(MainWindowTest, OtherCommandLineTest,
                         ::testing::Values(u"", u"showstatus_", u"ShowStatus_ ", u"ShowStatus"));

TEST_F(MainWindowTest, SecondStartForwardsShowStatusAndLeavesTheFirstAlone) {
    Start();
    const WString a = Media("a.mp4");
    QueueVideos({a});

    EXPECT_EQ(WinMain(nullptr, nullptr, u"", SW_HIDE), 0);
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(app_->Count(MSG_SHOWSTATUS), 0u);

    EXPECT_EQ(WinMain(nullptr, nullptr, u"ShowStatus_", SW_HIDE), 0);
    ASSERT_TRUE(app_->WaitForMessage(MSG_SHOWSTATUS));
    EXPECT_EQ(trace_.Count("[Vantlo] Previous instance already present"), 2u);
    EXPECT_EQ(Tasks(SERVICE_YOUTUBE), (TaskList{{a, TASK_WAITING}}));
    EXPECT_EQ(FindWindowW(u"VANTLO", nullptr), Main());
}

TEST_F(MainWindowTest, CloseShutsTheAccountServiceDownBeforeTheTaskManager) {
    Start();
    // An upload still running at the close ends when the task manager releases its engine.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 1000));
    const WString slow = Media("slow.mp4", 100000);
    QueueVideos({slow});
    ASSERT_TRUE(WaitForStatus(slow, TASK_UPLOADING));
    const HWND main = Main();
    EXPECT_EQ(app_->Close(), 0);
    app_.reset();
    EXPECT_FALSE(IsWindow(main));

    const long destroy = trace_.IndexOf("[Vantlo] WM_DESTROY");
    const long account = trace_.IndexOf("[AccountSvr] stopped");
    const long engine = trace_.IndexOf("[Zorvid] upload \\Media\\slow.mp4 ends with");
    const long dialogs = trace_.IndexOf("[ShowDlgThread] CloseDlgThread");
    ASSERT_GE(destroy, 0);
    EXPECT_GT(account, destroy);
    EXPECT_GT(engine, account);
    EXPECT_GT(dialogs, engine);
    EXPECT_EQ(g_App.pDlgThread, nullptr);
}

// ---- Bad input --------------------------------------------------------------------------------

using MainWindowBadInputTest = MainWindowTest;

// A slot of 260 characters without a NUL.
std::vector<BYTE> UnterminatedSlot(char16_t fill) {
    std::vector<BYTE> slot(PATH_SLOT_BYTES);
    for (size_t i = 0; i < PATH_SLOT_BYTES; i += 2) std::memcpy(&slot[i], &fill, 2);
    return slot;
}

TEST_F(MainWindowBadInputTest, BatchCountBeyondTheDataUsesTheWholeSlotsPresent) {
    Start();
    const WString a = Media("a.mp4"), b = Media("b.mp4");
    std::vector<BYTE> block = EncodePathSlots({a, b, Media("c.mp4")});
    block.resize(2 * PATH_SLOT_BYTES + 100);  // the third slot only begins
    EXPECT_EQ(app_->SendCopyData(CD_VIDEO_ITEMS, 5, block), 0);
    EXPECT_EQ(Tasks(SERVICE_YOUTUBE), (TaskList{{a, TASK_WAITING}, {b, TASK_WAITING}}));
    EXPECT_EQ(trace_.Count("[Vantlo] batch of 5 slots carries only 2 whole slots (1140 bytes): "
                           "using those"),
              1u);
    EXPECT_EQ(trace_.Count("[Vantlo] 2 Video items received"), 1u);
}

TEST_F(MainWindowBadInputTest, ZeroLengthBlockWithACountQueuesNothing) {
    Start();
    RecordingWindow viewer;
    g_App.hTaskViewerWnd = viewer.Handle();
    EXPECT_EQ(app_->SendCopyDataNull(CD_VIDEO_ITEMS, 3, 0), 0);
    EXPECT_EQ(app_->SendCopyData(CD_PHOTO_ITEMS, 3, std::vector<BYTE>(519, 'p')), 0);
    ASSERT_TRUE(app_->Sync());
    EXPECT_TRUE(Tasks(SERVICE_YOUTUBE).empty());
    EXPECT_TRUE(Tasks(SERVICE_FACEBOOK).empty());
    EXPECT_EQ(trace_.Count("[Vantlo] batch of 3 slots carries only 0 whole slots (0 bytes): "
                           "using those"),
              1u);
    EXPECT_EQ(trace_.Count("[Vantlo] batch of 3 slots carries only 0 whole slots (519 bytes): "
                           "using those"),
              1u);
    // Still a batch: the viewer hears of it and the queue is kicked.
    ASSERT_TRUE(viewer.Sync());
    EXPECT_EQ(viewer.Messages(), (std::vector<Seen>{Posted(MSG_TASKVIEWER_ITEMS_ADDED),
                                                    Posted(MSG_TASKVIEWER_ITEMS_ADDED)}));
    EXPECT_EQ(app_->Count(MSG_QUEUE_KICK), 2u);
}

TEST_F(MainWindowBadInputTest, UnterminatedSlotIsCutAtTheSlotsEnd) {
    Start();
    const WString b = Media("b.mp4");
    std::vector<BYTE> block = UnterminatedSlot(u'x');
    const std::vector<BYTE> second = EncodePathSlots({b});
    block.insert(block.end(), second.begin(), second.end());
    EXPECT_EQ(app_->SendCopyData(CD_VIDEO_ITEMS, 2, block), 0);
    EXPECT_EQ(Tasks(SERVICE_YOUTUBE),
              (TaskList{{WString(259, u'x'), TASK_WAITING}, {b, TASK_WAITING}}));
    EXPECT_EQ(trace_.Count("[Vantlo] batch slot 0 has no NUL: path cut at 259 characters"), 1u);
}

TEST_F(MainWindowBadInputTest, NegativeAndAbsurdCountsAreRefused) {
    Start();
    const std::vector<BYTE> block = EncodePathSlots({Media("a.mp4")});
    EXPECT_EQ(app_->SendCopyData(CD_VIDEO_ITEMS, static_cast<WPARAM>(-1), block), 0);
    EXPECT_EQ(app_->SendCopyData(CD_PHOTO_ITEMS, static_cast<WPARAM>(INT32_MIN), block), 0);
    EXPECT_EQ(app_->SendCopyData(CD_VIDEO_ITEMS, MAX_BATCH_SLOTS + 1, block), 0);
    EXPECT_EQ(app_->SendCopyData(CD_PHOTO_ITEMS, 0xFFFFFFFFu, block), 0);
    ASSERT_TRUE(app_->Sync());
    // Nothing queued, nothing kicked.
    EXPECT_EQ(app_->Messages(), (std::vector<Seen>{Sent(WM_COPYDATA), Sent(WM_COPYDATA),
                                                   Sent(WM_COPYDATA), Sent(WM_COPYDATA)}));
    EXPECT_TRUE(Tasks(SERVICE_YOUTUBE).empty());
    EXPECT_TRUE(Tasks(SERVICE_FACEBOOK).empty());
    EXPECT_EQ(trace_.Count("[Vantlo] batch refused: negative slot count -1"), 1u);
    EXPECT_EQ(trace_.Count("[Vantlo] batch refused: negative slot count -2147483648"), 1u);
    EXPECT_EQ(trace_.Count("[Vantlo] batch refused: 10001 slots asked, at most 10000 taken"), 1u);
    EXPECT_EQ(trace_.Count("[Vantlo] batch refused: 4294967295 slots asked, at most 10000 taken"),
              1u);
}

TEST_F(MainWindowBadInputTest, UnknownKindsAreIgnored) {
    Start();
    RecordingWindow reply;
    const std::vector<BYTE> block = EncodePathSlots({Media("a.mp4")});
    for (ULONG_PTR kind : {ULONG_PTR{0}, ULONG_PTR{2024}, ULONG_PTR{2028}, CD_UPLOAD_STATUS_MULTI,
                           AGENT_STATUS_COPYDATA, ULONG_PTR{0xFFFFFFFF}}) {
        EXPECT_EQ(app_->SendCopyData(kind, reinterpret_cast<WPARAM>(reply.Handle()), block), 0);
    }
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(app_->Count(MSG_QUEUE_KICK), 0u);
    EXPECT_TRUE(Tasks(SERVICE_YOUTUBE).empty());
    EXPECT_TRUE(g_App.VideoList.empty());
    ASSERT_TRUE(reply.Sync());
    EXPECT_TRUE(reply.Messages().empty());
    EXPECT_EQ(trace_.Count("[Vantlo] WM_COPYDATA of unknown kind 2028 (520 bytes) ignored"), 1u);
    EXPECT_EQ(trace_.Starting("[Vantlo] WM_COPYDATA of unknown kind").size(), 6u);
}

TEST_F(MainWindowBadInputTest, RepliesToAWindowThatDoesNotExistAreDropped) {
    Start();
    HWND gone;
    {
        RecordingWindow reply;
        gone = reply.Handle();
    }
    ASSERT_FALSE(IsWindow(gone));
    const WString a = Media("a.mp4");
    const auto to = reinterpret_cast<WPARAM>(gone);
    app_->SendCopyData(CD_GET_UPLOAD_STATUS, to, EncodeSinglePath(a));
    app_->SendCopyData(CD_GET_UPLOAD_STATUS_MULTI, to, EncodeStatusRecords(Records({a})));
    SendMessageW(Main(), WM_UPL_GET_TASK_STATUS, to, 0);
    app_->SendCopyData(CD_GET_UPLOAD_STATUS, 0x7FFF1234, EncodeSinglePath(a));
    EXPECT_EQ(trace_.Starting("[Vantlo] reply ").size(), 4u);
    EXPECT_EQ(trace_.Count("GetUploadStatus: 0"), 2u);
    EXPECT_EQ(trace_.Count("[Vantlo] GetUploadStatusMulti-"), 1u);
    EXPECT_EQ(trace_.Count("[Vantlo] GetTaskStatus: 0"), 1u);

    // The main window goes on serving.
    RecordingWindow reply;
    QueueVideos({a});
    EXPECT_EQ(AskStatus(reply, a), TASK_WAITING);
}

TEST_F(MainWindowBadInputTest, UnterminatedPathsAreCutAtTheirBlock) {
    Start();
    RecordingWindow reply;
    // A single path without its NUL, longer than any path: cut at 259 characters.
    std::vector<BYTE> longPath = UnterminatedSlot(u'y');
    longPath.insert(longPath.end(), 100, 'y');
    app_->SendCopyData(CD_ADD_VIDEO, 0, longPath);
    // One without its NUL that ends with the block, and one of an odd size.
    app_->SendCopyData(CD_ADD_PHOTO, 0, {'a', 0, 'b', 0});
    app_->SendCopyData(CD_ADD_PHOTO, 0, {'a', 0, 'b'});
    ASSERT_EQ(g_App.VideoList.size(), 1u);
    EXPECT_EQ(g_App.VideoList[0].path, WString(259, u'y'));
    ASSERT_EQ(g_App.PhotoList.size(), 2u);
    EXPECT_EQ(g_App.PhotoList[0].path, u"ab");
    EXPECT_EQ(g_App.PhotoList[1].path, u"a");

    // A status record without its NUL comes back cut, with its status.
    std::vector<BYTE> record = UnterminatedSlot(u'z');
    record.resize(STATUS_RECORD_BYTES, 0xFF);
    const Received answer = AskMulti(reply, record);
    EXPECT_EQ(StatusPairs(answer.data), (TaskList{{WString(259, u'z'), 0}}));
    EXPECT_EQ(trace_.Count("[Vantlo] status record 0 has no NUL: path cut at 259 characters"), 1u);
}

}  // namespace
