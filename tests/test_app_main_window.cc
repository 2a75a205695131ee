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
using Lines = std::vector<std::string>;

class MainWindowTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        UseTraceFile();
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
    // queued tasks wait until the test reports a connection (RunQueueUntil).
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
    // Queues files as a client batch (CD_VIDEO_ITEMS or CD_PHOTO_ITEMS) does and waits until
    // the main window is done with it.
    void Queue(ULONG_PTR kind, const std::vector<WString>& paths) {
        ASSERT_EQ(app_->SendCopyData(kind, paths.size(), EncodePathSlots(paths)), 0);
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
        EXPECT_EQ(got.back().kind, CD_UPLOAD_STATUS_MULTI);
        return got.back();
    }

    std::unique_ptr<InProcessApp> app_;
};

std::vector<UploadStatusRecord> Records(const std::vector<WString>& paths) {
    std::vector<UploadStatusRecord> out;
    for (const WString& p : paths) out.push_back(MakeUploadStatusRecord(p.c_str(), 0));
    return out;
}

// A slot of 260 characters without a NUL.
std::vector<BYTE> UnterminatedSlot(char16_t fill) {
    std::vector<BYTE> slot(PATH_SLOT_BYTES);
    for (size_t i = 0; i < PATH_SLOT_BYTES; i += 2) std::memcpy(&slot[i], &fill, 2);
    return slot;
}

// ---- Batches and the connection ---------------------------------------------------------------

TEST_F(MainWindowTest, BatchesAreQueuedInOrderTellTheViewerAndUploadOnceConnected) {
    Start();
    RecordingWindow viewer;
    g_App.hTaskViewerWnd = viewer.Handle();
    const WString a = Media("a.mp4"), b = Media("b.mp4"), c = Media("c.mp4");
    const WString p = Media("p.jpg"), q = Media("q.jpg");

    // An empty batch still tells the viewer and kicks the queue.
    EXPECT_EQ(app_->SendCopyData(CD_PHOTO_ITEMS, 0, {}), 0);
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(app_->Messages(), (std::vector<Seen>{Sent(WM_COPYDATA), Posted(MSG_QUEUE_KICK)}));
    EXPECT_EQ(trace_.CountLines("[Vantlo] 0 Photo items received"), 1u);
    app_->Clear();

    EXPECT_EQ(app_->SendCopyData(CD_VIDEO_ITEMS, 3, EncodePathSlots({a, b, c})), 0);
    ASSERT_TRUE(app_->WaitForMessage(MSG_CONNECTION_STATUS));
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(app_->Messages(), (std::vector<Seen>{Sent(WM_COPYDATA), Posted(MSG_QUEUE_KICK),
                                                   Posted(MSG_CONNECTION_STATUS)}));
    EXPECT_EQ(Tasks(SERVICE_YOUTUBE),
              (TaskList{{a, TASK_WAITING}, {b, TASK_WAITING}, {c, TASK_WAITING}}));
    EXPECT_EQ(trace_.Starting("[Vantlo] 3"),
              (Lines{"[Vantlo] 3 Video items received", "[Vantlo] 3: \\Media\\a.mp4",
                     "[Vantlo] 3: \\Media\\b.mp4", "[Vantlo] 3: \\Media\\c.mp4"}));
    Queue(CD_PHOTO_ITEMS, {p, q});
    EXPECT_EQ(Tasks(SERVICE_FACEBOOK), (TaskList{{p, TASK_WAITING}, {q, TASK_WAITING}}));
    EXPECT_EQ(trace_.CountLines("[Vantlo] 2 Photo items received"), 1u);
    ASSERT_TRUE(viewer.Sync());
    EXPECT_EQ(viewer.Messages(), (std::vector<Seen>(3, Posted(MSG_TASKVIEWER_ITEMS_ADDED))));

    // A connection still waiting starts nothing; any other status starts the uploads.
    PostMessageW(Main(), MSG_CONNECTION_STATUS, kWaiting, 0);
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(StatusOf(a), TASK_WAITING);
    EXPECT_EQ(trace_.CountLines("OnStartUploading (0x00000040)"), 2u);
    EXPECT_FALSE(trace_.Contains("[Vantlo] StartUploading +"));
    PostMessageW(Main(), MSG_CONNECTION_STATUS, kConnected, 0);
    ASSERT_TRUE(app_->Sync());
    EXPECT_NE(StatusOf(a), TASK_WAITING);
    EXPECT_EQ(trace_.CountLines("OnStartUploading (0x00000010)"), 1u);
    EXPECT_GT(trace_.IndexOf("[Vantlo] StartUploading +"),
              trace_.IndexOf("OnStartUploading (0x00000010)"));

    // The videos upload one after the other, with the batch's texts; the photos too.
    ASSERT_TRUE(RunQueueUntil([&] {
        for (const WString& f : {a, b, c, p, q}) {
            if (StatusOf(f) != TASK_DONE) return false;
        }
        return true;
    }));
    const std::string texts =
        ": title \"Video from my Velmar phone\", category People, tags \"mobile, video, "
        "cellphone\"";
    const Lines uploads = trace_.Starting("[Zorvid] upload ");
    ASSERT_EQ(uploads.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const std::string path = "\\Media\\" + std::string(1, char('a' + i)) + ".mp4";
        EXPECT_EQ(uploads[i].rfind("[Zorvid] upload " + path + texts, 0), 0u) << uploads[i];
    }
}

// ---- Status queries ---------------------------------------------------------------------------

TEST_F(MainWindowTest, StatusQueriesAreAnsweredDuringTheSendAndFollowTheQueue) {
    Start();
    RecordingWindow reply;
    EXPECT_EQ(AskStatus(reply, u"\\Media\\never.mp4"), 0);
    EXPECT_EQ(AskTaskStatus(reply), LIST_IDLE);

    // 40 KB at 20 KB/s: uploading long enough to be asked.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 20000));
    const WString a = Media("a.mp4", 40000);
    const WString unknown = u"\\Media\\unknown.mp4";
    Queue(CD_VIDEO_ITEMS, {a});
    EXPECT_EQ(AskStatus(reply, a), TASK_WAITING);
    EXPECT_EQ(AskTaskStatus(reply), LIST_WAITING);

    // A multiple query answers the whole records of its block: 1000 bytes hold one, and no
    // record gets an empty answer.
    const std::vector<BYTE> two = EncodeStatusRecords(Records({a, unknown}));
    ASSERT_EQ(two.size(), 1048u);
    Received answer = AskMulti(reply, two);
    EXPECT_EQ(answer.wParam, 2u);
    EXPECT_EQ(answer.data.size(), 1048u);
    EXPECT_EQ(StatusPairs(answer.data), (TaskList{{a, TASK_WAITING}, {unknown, 0}}));
    answer = AskMulti(reply, std::vector<BYTE>(two.begin(), two.begin() + 1000));
    EXPECT_EQ(answer.wParam, 1u);
    EXPECT_EQ(StatusPairs(answer.data), (TaskList{{a, TASK_WAITING}}));
    EXPECT_EQ(answer.data.size(), 524u);
    answer = AskMulti(reply, {});
    EXPECT_EQ(answer.wParam, 0u);
    EXPECT_TRUE(answer.data.empty());
    EXPECT_EQ(trace_.Starting("[Vantlo] GetUploadStatusMulti"),
              (Lines{"[Vantlo] GetUploadStatusMulti+, 2 items",
                     "[Vantlo] GetUploadStatusMulti 0: \\Media\\a.mp4, 3",
                     "[Vantlo] GetUploadStatusMulti 1: \\Media\\unknown.mp4, 0",
                     "[Vantlo] GetUploadStatusMulti-", "[Vantlo] GetUploadStatusMulti+, 1 items",
                     "[Vantlo] GetUploadStatusMulti 0: \\Media\\a.mp4, 3",
                     "[Vantlo] GetUploadStatusMulti-", "[Vantlo] GetUploadStatusMulti+, 0 items",
                     "[Vantlo] GetUploadStatusMulti-"}));

    ASSERT_TRUE(WaitForStatus(a, TASK_UPLOADING));
    EXPECT_EQ(AskTaskStatus(reply), LIST_UPLOADING);
    ASSERT_TRUE(WaitForStatus(a, TASK_DONE));
    EXPECT_EQ(AskStatus(reply, a), TASK_DONE);
    EXPECT_EQ(AskTaskStatus(reply), LIST_IDLE);
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 0));
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailAtPercent", 50));
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailCode", 0x80004005));
    const WString failing = Media("failing.mp4");
    Queue(CD_VIDEO_ITEMS, {failing});
    ASSERT_TRUE(WaitForStatus(failing, TASK_FAILED));
    EXPECT_EQ(AskTaskStatus(reply), LIST_FAILED);
    EXPECT_EQ(trace_.Starting("GetUploadStatus: "),
              (Lines{"GetUploadStatus: 0", "GetUploadStatus: 3", "GetUploadStatus: 4"}));
    EXPECT_EQ(trace_.Starting("[Vantlo] GetTaskStatus: "),
              (Lines{"[Vantlo] GetTaskStatus: 0", "[Vantlo] GetTaskStatus: 1",
                     "[Vantlo] GetTaskStatus: 2", "[Vantlo] GetTaskStatus: 0",
                     "[Vantlo] GetTaskStatus: 3"}));

    // Without a reply window the requests are ignored.
    app_->SendCopyData(CD_GET_UPLOAD_STATUS, 0, EncodeSinglePath(a));
    SendMessageW(Main(), WM_UPL_GET_TASK_STATUS, 0, 0);
    EXPECT_EQ(trace_.Starting("GetUploadStatus: ").size(), 3u);
    EXPECT_EQ(reply.Of(WM_UPL_UPLOAD_STATUS).size(), 3u);
    EXPECT_EQ(reply.Of(WM_UPL_TASK_STATUS).size(), 5u);
}

// ---- The lists of the dialog flows ------------------------------------------------------------

TEST_F(MainWindowTest, TheFlowsListsAreQueuedWithTheirEditedDetailsWhenTheFlowUploads) {
    Start();
    // An upload with an empty list only minimises and kicks.
    PostMessageW(Main(), MSG_UPLOAD_PHOTO_LIST, 0, 0);
    ASSERT_TRUE(app_->WaitForMessage(MSG_QUEUE_KICK));
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(app_->Messages(),
              (std::vector<Seen>{Posted(MSG_UPLOAD_PHOTO_LIST), Posted(MSG_QUEUE_KICK)}));
    EXPECT_TRUE(IsIconic(Main()));
    EXPECT_TRUE(Tasks(SERVICE_FACEBOOK).empty());
    ShowWindow(Main(), SW_RESTORE);
    app_->Clear();

    const WString a = Media("a.mp4");
    app_->SendCopyData(CD_ADD_VIDEO, 0, EncodeSinglePath(a));
    app_->SendCopyData(CD_ADD_VIDEO, 0, EncodeSinglePath(a));
    app_->SendCopyData(CD_ADD_VIDEO, 0, {});
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

    const WString p = Media("p.jpg");
    app_->SendCopyData(CD_ADD_PHOTO, 0, EncodeSinglePath(p));
    ASSERT_EQ(g_App.PhotoList.size(), 1u);
    g_App.PhotoList[0].caption = u"At the lake";
    PostMessageW(Main(), MSG_UPLOAD_PHOTO_LIST, 0, 0);
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(Tasks(SERVICE_FACEBOOK), (TaskList{{p, TASK_WAITING}}));

    ASSERT_TRUE(RunQueueUntil([&] { return Tasks(SERVICE_YOUTUBE).empty(); }));
    const Lines uploads = trace_.Starting("[Zorvid] upload ");
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_THAT(uploads[0], HasSubstr("title \"First take\""));
    EXPECT_THAT(uploads[1], HasSubstr("title \"Second take\""));
    app_->SendCopyData(CD_CLEAR_VIDEO_LIST, 0, {});
    app_->SendCopyData(CD_CLEAR_PHOTO_LIST, 0, {});
    EXPECT_TRUE(g_App.VideoList.empty());
    EXPECT_TRUE(g_App.PhotoList.empty());
}

// ---- Commands and clients ---------------------------------------------------------------------

TEST_F(MainWindowTest, ClearingDropsOneServiceRegistrationsAreCountedAndCancelEndsTheDialog) {
    Start();
    RecordingWindow viewer;
    g_App.hTaskViewerWnd = viewer.Handle();
    const WString a = Media("a.mp4"), p = Media("p.jpg");
    Queue(CD_VIDEO_ITEMS, {a});
    Queue(CD_PHOTO_ITEMS, {p});
    SendMessageW(Main(), WM_CLEAR_YOUTUBE_TASKS, 0, 0);
    EXPECT_TRUE(Tasks(SERVICE_YOUTUBE).empty());
    EXPECT_EQ(Tasks(SERVICE_FACEBOOK), (TaskList{{p, TASK_WAITING}}));
    EXPECT_EQ(StatusOf(a), 0u);
    // Clearing everything is only traced.
    SendMessageW(Main(), WM_CLEAR_ALL_TASKS, 0, 0);
    EXPECT_EQ(Tasks(SERVICE_FACEBOOK), (TaskList{{p, TASK_WAITING}}));
    EXPECT_EQ(trace_.CountLines("WM_CLEAR_ALL_TASKS"), 1u);
    SendMessageW(Main(), WM_CLEAR_FACEBOOK_TASKS, 0, 0);
    EXPECT_TRUE(Tasks(SERVICE_FACEBOOK).empty());
    ASSERT_TRUE(viewer.Sync());
    EXPECT_EQ(viewer.Messages(),
              (std::vector<Seen>{
                  Posted(MSG_TASKVIEWER_ITEMS_ADDED), Posted(MSG_TASKVIEWER_ITEMS_ADDED),
                  Posted(MSG_TASKVIEWER_TASKS_CLEARED), Posted(MSG_TASKVIEWER_TASKS_CLEARED)}));

    // Registrations are counted and never go below zero.
    for (UINT msg : {WM_UPL_DEREGISTER, WM_UPL_DEREGISTER}) SendMessageW(Main(), msg, 0, 0);
    EXPECT_EQ(g_App.nClientRefs, 0);
    for (UINT msg : {WM_UPL_REGISTER, WM_UPL_REGISTER, WM_UPL_DEREGISTER}) {
        SendMessageW(Main(), msg, 0, 0);
    }
    EXPECT_EQ(g_App.nClientRefs, 1);
    Lines refs;
    for (const std::string& line : trace_.Lines()) {
        if (line.rfind("WM_UPL_", 0) == 0 || line.rfind("[Vantlo] Ref count", 0) == 0) {
            refs.push_back(line);
        }
    }
    EXPECT_EQ(refs, (Lines{"WM_UPL_DEREGISTER", "[Vantlo] Ref count might be minus",
                           "[Vantlo] Ref count: 0", "[Vantlo] Ref count: 0", "WM_UPL_DEREGISTER",
                           "[Vantlo] Ref count might be minus", "[Vantlo] Ref count: 0",
                           "[Vantlo] Ref count: 0", "WM_UPL_REGISTER", "[Vantlo] Ref count: 1",
                           "WM_UPL_REGISTER", "[Vantlo] Ref count: 2", "WM_UPL_DEREGISTER",
                           "[Vantlo] Ref count: 1", "[Vantlo] Ref count: 1"}));

    // Only IDCANCEL clears the dialog flag.
    g_App.g_bDlgExist = TRUE;
    SendMessageW(Main(), WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
    EXPECT_TRUE(g_App.g_bDlgExist);
    SendMessageW(Main(), WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    EXPECT_FALSE(g_App.g_bDlgExist);
    EXPECT_EQ(trace_.CountLines("On IDCANCEL: WndProc"), 1u);
}

// ---- Start-up and shutdown ----------------------------------------------------------------------

TEST_F(MainWindowTest, ShowStatusOnTheCommandLineAsksForTheTaskViewerOnce) {
    Start(u"ShowStatus_");
    ASSERT_TRUE(trace_.WaitForLine("on MSG_SHOWSTATUS -"));
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(trace_.CountLines("PostMessage MSG_SHOWSTATUS +"), 1u);
    EXPECT_EQ(trace_.CountLines("on MSG_SHOWSTATUS +"), 1u);
    EXPECT_FALSE(g_App.g_bShowStatus);
    // The dialog thread takes the request once and leaves the main window minimised after it.
    ASSERT_TRUE(trace_.WaitForLine("[ShowDlgThread] set g_bDlgExist to false"));
    EXPECT_EQ(trace_.CountLines("on TaskViewer +"), 1u);
    EXPECT_TRUE(IsIconic(Main()));
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

TEST_F(MainWindowTest, CloseShutsTheAccountServiceDownBeforeTheTaskManager) {
    Start();
    // An upload still running at the close ends when the task manager releases its engine.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 1000));
    const WString slow = Media("slow.mp4", 100000);
    Queue(CD_VIDEO_ITEMS, {slow});
    ASSERT_TRUE(WaitForStatus(slow, TASK_UPLOADING));
    const HWND main = Main();
    EXPECT_EQ(app_->Close(), 0);
    app_.reset();
    EXPECT_FALSE(IsWindow(main));

    const long destroy = trace_.IndexOf("[Vantlo] WM_DESTROY");
    const long account = trace_.IndexOf("[AccountSvr] stopped");
    const long engine = trace_.IndexOf("[Zorvid] upload \\Media\\slow.mp4 ends with");
    const long dialogs = trace_.IndexOf("Vantlo: Close Thread(");
    ASSERT_GE(destroy, 0);
    EXPECT_GT(account, destroy);
    EXPECT_GT(engine, account);
    EXPECT_GT(dialogs, engine);
    EXPECT_EQ(g_App.pDlgThread, nullptr);
}

// ---- Bad input --------------------------------------------------------------------------------

TEST_F(MainWindowTest, MalformedBatchesUseTheWholeSlotsTheyCarryOrAreRefused) {
    Start();
    RecordingWindow viewer;
    g_App.hTaskViewerWnd = viewer.Handle();
    const WString a = Media("a.mp4"), b = Media("b.mp4");
    std::vector<BYTE> partial = EncodePathSlots({a, b, Media("c.mp4")});
    partial.resize(2 * PATH_SLOT_BYTES + 100);  // the third slot only begins
    std::vector<BYTE> unterminated = UnterminatedSlot(u'x');
    const std::vector<BYTE> bSlot = EncodePathSlots({b});
    unterminated.insert(unterminated.end(), bSlot.begin(), bSlot.end());
    const std::vector<BYTE> one = EncodePathSlots({a});
    const WString xs(259, u'x');
    auto used = [](int slots, int bytes) {
        return "[Vantlo] batch of " + std::to_string(slots) + " slots carries only " +
               std::to_string(bytes / PATH_SLOT_BYTES) + " whole slots (" + std::to_string(bytes) +
               " bytes): using those";
    };
    auto negative = [](long long n) {
        return "[Vantlo] batch refused: negative slot count " + std::to_string(n);
    };
    auto tooMany = [](long long n) {
        return "[Vantlo] batch refused: " + std::to_string(n) + " slots asked, at most 10000 taken";
    };
    const std::string cut = "[Vantlo] batch slot 0 has no NUL: path cut at 259 characters";
    const struct {
        ULONG_PTR kind;            // CD_VIDEO_ITEMS or CD_PHOTO_ITEMS
        WPARAM count;              // the slot count claimed
        std::vector<BYTE> data;    // the block; empty: sent with a null pointer
        std::string trace;         // the line it leaves
        std::vector<WString> got;  // the videos it queues
        bool refused;              // no batch at all: nothing kicked, the viewer not told
    } kBatches[] = {
        {CD_VIDEO_ITEMS, 5, partial, used(5, 1140), {a, b}, false},
        {CD_VIDEO_ITEMS, 3, {}, used(3, 0), {}, false},
        {CD_PHOTO_ITEMS, 3, std::vector<BYTE>(519, 'p'), used(3, 519), {}, false},
        {CD_VIDEO_ITEMS, 2, unterminated, cut, {xs, b}, false},
        {CD_VIDEO_ITEMS, WPARAM(-1), one, negative(-1), {}, true},
        {CD_PHOTO_ITEMS, WPARAM(INT32_MIN), one, negative(INT32_MIN), {}, true},
        {CD_VIDEO_ITEMS, MAX_BATCH_SLOTS + 1, one, tooMany(10001), {}, true},
        {CD_PHOTO_ITEMS, 0xFFFFFFFFu, one, tooMany(4294967295), {}, true},
    };
    TaskList videos;
    size_t batches = 0;
    for (const auto& batch : kBatches) {
        const LRESULT r = app_->SendCopyData(batch.kind, batch.count, batch.data);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(trace_.CountLines(batch.trace), 1u) << batch.trace;
        for (const WString& path : batch.got) videos.emplace_back(path, TASK_WAITING);
        batches += batch.refused ? 0 : 1;
    }
    ASSERT_TRUE(app_->Sync());
    EXPECT_EQ(Tasks(SERVICE_YOUTUBE), videos);
    EXPECT_TRUE(Tasks(SERVICE_FACEBOOK).empty());
    EXPECT_EQ(trace_.CountLines("[Vantlo] 2 Video items received"), 2u);
    EXPECT_EQ(app_->Count(MSG_QUEUE_KICK), batches);
    ASSERT_TRUE(viewer.Sync());
    EXPECT_EQ(viewer.Messages(), std::vector<Seen>(batches, Posted(MSG_TASKVIEWER_ITEMS_ADDED)));
}

TEST_F(MainWindowTest, UnknownKindsRepliesToMissingWindowsAndUnterminatedPathsCostNothing) {
    Start();
    RecordingWindow reply;
    const WString a = Media("a.mp4");
    const std::vector<BYTE> block = EncodePathSlots({a});
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
    EXPECT_EQ(trace_.CountLines("[Vantlo] WM_COPYDATA of unknown kind 2028 (520 bytes) ignored"),
              1u);
    EXPECT_EQ(trace_.Starting("[Vantlo] WM_COPYDATA of unknown kind").size(), 6u);

    // Replies to a window that is gone, or never was, are dropped.
    HWND gone;
    {
        RecordingWindow shortLived;
        gone = shortLived.Handle();
    }
    ASSERT_FALSE(IsWindow(gone));
    const auto to = reinterpret_cast<WPARAM>(gone);
    app_->SendCopyData(CD_GET_UPLOAD_STATUS, to, EncodeSinglePath(a));
    app_->SendCopyData(CD_GET_UPLOAD_STATUS_MULTI, to, EncodeStatusRecords(Records({a})));
    SendMessageW(Main(), WM_UPL_GET_TASK_STATUS, to, 0);
    app_->SendCopyData(CD_GET_UPLOAD_STATUS, 0x7FFF1234, EncodeSinglePath(a));
    EXPECT_EQ(trace_.Starting("[Vantlo] reply ").size(), 4u);
    EXPECT_EQ(trace_.CountLines("GetUploadStatus: 0"), 2u);
    EXPECT_EQ(trace_.CountLines("[Vantlo] GetUploadStatusMulti-"), 1u);
    EXPECT_EQ(trace_.CountLines("[Vantlo] GetTaskStatus: 0"), 1u);

    // A single path without its NUL, longer than any path, is cut at 259 characters; one
    // that ends with the block, or has an odd size, at the block's end.
    std::vector<BYTE> longPath = UnterminatedSlot(u'y');
    longPath.insert(longPath.end(), 100, 'y');
    app_->SendCopyData(CD_ADD_VIDEO, 0, longPath);
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
    EXPECT_EQ(StatusPairs(AskMulti(reply, record).data), (TaskList{{WString(259, u'z'), 0}}));
    EXPECT_EQ(trace_.CountLines("[Vantlo] status record 0 has no NUL: path cut at 259 characters"),
              1u);

    // The main window goes on serving.
    Queue(CD_VIDEO_ITEMS, {a});
    EXPECT_EQ(AskStatus(reply, a), TASK_WAITING);
}

}  // namespace
