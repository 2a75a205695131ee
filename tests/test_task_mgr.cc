// The task manager running its queue: a real main-window thread with its message loop, the
// real engine libraries copying into the outbox (or the recording engine, driven report by
// report), the connection manager's stand-in, the power device, real store volumes and an
// agent window on a thread of its own; its store writes, a batch or an ended upload in one
// write each; and its start-up on a device that already holds work.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/cedb_faults.h"
#include "platform/device_image.h"
#include "platform/devpath.h"
#include "store/album_list.h"
#include "store/settings.h"
#include "store/upload_db.h"
#include "tests/mgr_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"
#include "tests/upload/engine_fixture.h"
#include "upload/messages.h"

namespace {

constexpr DWORD kAbsent = 0xFFFFFFFF;
constexpr UINT kConnected = 0x10;
constexpr UINT kWaiting = 0x40;
constexpr HRESULT kCancelled = static_cast<HRESULT>(0xC0000002u);
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);

using Entries = std::vector<std::pair<WString, DWORD>>;  // pending (path, type), sorted

bool IsPhoto(const WString& f) {
    return f.size() > 4 && f.compare(f.size() - 4, 4, u".jpg") == 0;
}
// Where the engine of the file's service puts its copy.
WString OutboxOf(const WString& f) {
    return (IsPhoto(f) ? u"\\Outbox\\Facebook\\" : u"\\Outbox\\YouTube\\") + FileNameOf(f);
}

class TaskMgrTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        UseTraceFile();
        ASSERT_TRUE(PrepareDeviceImage());
        mgr_ = std::make_unique<CUploadTaskMgr>();
    }
    void TearDown() override {
        main_.reset();
        mgr_.reset();
        agent_.reset();
        engine_.reset();
        DeviceTest::TearDown();
    }

    // Starts the task manager with its main window (and, unless told otherwise, the agent).
    void Start(bool withAgent = true) {
        if (withAgent) agent_ = std::make_unique<AgentWindowStandIn>();
        main_ = std::make_unique<MainWindowStandIn>(*mgr_);
        ASSERT_NE(main_->Handle(), nullptr);
        ASSERT_EQ(main_->Init(), S_OK);
        ASSERT_EQ(mgr_->RegisterObserver(&observer_), S_OK);
    }
    // Stops the task manager; the stores are closed afterwards.
    void Stop() {
        mgr_->UnregisterObserver(&observer_);
        main_->Shutdown();
    }
    // The recording engine in place of the video engine library.
    void UseRecordingVideoEngine() {
        InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
        engine_ = std::make_unique<RecordingEngine>(VIDEO_ENGINE_LIBRARY);
        ASSERT_TRUE(engine_->Ready());
    }

    // A file of size bytes of its own at \Media\name; its device path.
    WString Media(const std::string& name, size_t size = 1000) {
        const WString path = u"\\Media\\" + FromUtf8(name);
        WriteMediaFile(path, size, seed_++);
        return path;
    }

    // Queues the files from the main window's thread, as a client batch does, and kicks.
    void Queue(const std::vector<WString>& videos, const std::vector<WString>& photos) {
        main_->OnMain([&] {
            ASSERT_TRUE(videos.empty() || mgr_->EnsureVideoList() == S_OK);
            for (const WString& v : videos) {
                ASSERT_EQ(mgr_->AddVideoTask(DefaultVideo(v), u"yt-token", TRUE), S_OK);
            }
            ASSERT_TRUE(photos.empty() || mgr_->EnsurePhotoList() == S_OK);
            for (const WString& p : photos) {
                ASSERT_EQ(mgr_->AddPhotoTask(DefaultPhoto(p), TRUE), S_OK);
            }
        });
        main_->Kick();
    }
    // Queues one video and waits until the engine got it.
    void StartVideo(const WString& path) {
        Queue({path}, {});
        ASSERT_TRUE(
            WaitUntil([&] { return mgr_->GetStatus(path.c_str(), nullptr) == TASK_UPLOADING; }));
    }

    // Waits until every file is out of the lists and in the history.
    bool Recorded(const std::vector<WString>& files) {
        return main_->WaitOnMain([&] {
            return std::all_of(files.begin(), files.end(), [&](const WString& f) {
                return mgr_->GetUploadStatusDb(f.c_str(), nullptr) == TASK_DONE;
            });
        });
    }

    // The submit time of the task for path.
    SYSTEMTIME TimeOf(const WString& path) {
        TaskSnapshotList tasks;
        mgr_->GetAllServiceTasks(&tasks, IsPhoto(path) ? SERVICE_FACEBOOK : SERVICE_YOUTUBE);
        for (const TaskSnapshot& t : tasks) {
            if (t.path == path) return t.submitTime;
        }
        ADD_FAILURE() << "no task for " << ToUtf8(path);
        return SYSTEMTIME{};
    }

    // The messages routed to the main window from index from on.
    std::vector<UINT> MessagesSince(size_t from) {
        std::vector<UINT> out;
        std::vector<RoutedMessage> all = main_->Messages();
        for (size_t i = from; i < all.size(); i++) out.push_back(all[i].msg);
        return out;
    }

    // The pending entries, read through a store of our own or through view.
    static Entries Pending(CUploadDb* view = nullptr) {
        CUploadDb own;
        CUploadDb& pending = view ? *view : own;
        EXPECT_TRUE(view || own.InitPending());
        DWORD n = pending.GetPendingCount();
        std::vector<PendingRecord> records(n);
        EXPECT_TRUE(n == 0 || pending.ReadPending(records.data(), n));
        Entries out;
        for (const PendingRecord& r : records) out.emplace_back(r.szFilePath, r.dwType);
        std::sort(out.begin(), out.end());
        return out;
    }
    static bool InHistory(const WString& path) {
        CUploadDb history;
        EXPECT_TRUE(history.InitHistory());
        UploadHistoryKey key;
        EXPECT_TRUE(FormUploadHistoryKey(path.c_str(), &key));
        return history.IsInHistory(&key);
    }
    static void AddHistory(const WString& path) {
        CUploadDb history;
        ASSERT_TRUE(history.InitHistory());
        UploadHistoryKey key;
        ASSERT_TRUE(FormUploadHistoryKey(path.c_str(), &key));
        ASSERT_TRUE(history.AddHistory(&key));
    }
    static std::vector<std::string> OutboxFiles(const char* service) {
        std::vector<std::string> names;
        for (const auto& e :
             std::filesystem::directory_iterator(HostPath(std::string("\\Outbox\\") + service))) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    RecordingObserver observer_;               // outlives the task manager
    std::unique_ptr<RecordingEngine> engine_;  // the recording engine's controls, when used
    std::unique_ptr<AgentWindowStandIn> agent_;
    std::unique_ptr<CUploadTaskMgr> mgr_;
    std::unique_ptr<MainWindowStandIn> main_;
    int seed_ = 0;  // the next media file's pattern
};

// The position of the first routed message msg with wParam (any when wParam is kAny).
constexpr WPARAM kAny = ~WPARAM{0};
ptrdiff_t IndexOf(const std::vector<RoutedMessage>& messages, UINT msg, WPARAM wParam = kAny) {
    for (size_t i = 0; i < messages.size(); i++) {
        if (messages[i].msg == msg && (wParam == kAny || messages[i].wParam == wParam)) {
            return static_cast<ptrdiff_t>(i);
        }
    }
    return -1;
}

}  // namespace

// ---- The queue with the real engines ------------------------------------------------------

TEST_F(TaskMgrTest, ABatchUploadsBothServicesSideBySideOneTaskEachAndRecordsEveryFile) {
    // Each upload takes a few hundred milliseconds, so the two services' uploads overlap.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 100000));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"BytesPerSecond", 100000));
    const std::vector<WString> videos = {Media("clip0.mp4", 30000), Media("clip1.mp4", 30000),
                                         Media("clip2.mp4", 30000)};
    const std::vector<WString> photos = {Media("img0.jpg", 30000), Media("img1.jpg", 30000),
                                         Media("img2.jpg", 30000)};
    std::vector<WString> all = videos;
    all.insert(all.end(), photos.begin(), photos.end());
    Start();
    Queue(videos, photos);
    ASSERT_TRUE(Recorded(all));

    // Uploading waited for the connection: the kick asked for it, its "connected" started it.
    const std::vector<RoutedMessage> messages = main_->Messages();
    const ptrdiff_t kick = IndexOf(messages, MainWindowStandIn::kQueueKick);
    const ptrdiff_t waiting = IndexOf(messages, MSG_CONNECTION_STATUS, kWaiting);
    const ptrdiff_t connected = IndexOf(messages, MSG_CONNECTION_STATUS, kConnected);
    ASSERT_GE(kick, 0);
    ASSERT_GT(waiting, kick);
    ASSERT_GT(connected, waiting);
    EXPECT_GT(IndexOf(messages, MSG_VIDEO_DONE), connected);
    EXPECT_GT(IndexOf(messages, MSG_PHOTO_DONE), connected);
    EXPECT_EQ(main_->Count(MSG_VIDEO_DONE), videos.size());
    EXPECT_EQ(main_->Count(MSG_PHOTO_DONE), photos.size());
    EXPECT_EQ(main_->Count(MSG_VIDEO_FAILED) + main_->Count(MSG_PHOTO_FAILED), 0u);

    // Per service one upload at a time, in queue order: start, engine start, done.
    const std::vector<AgentNotice> notices = agent_->Notices();
    for (const auto* files : {&videos, &photos}) {
        std::vector<AgentNotice> got;
        for (const AgentNotice& n : notices) {
            if (std::find(files->begin(), files->end(), n.path) != files->end()) got.push_back(n);
        }
        ASSERT_EQ(got.size(), 3 * files->size());
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].path, (*files)[i / 3]);
            EXPECT_EQ(got[i].status, i % 3 < 2 ? TASK_UPLOADING : TASK_DONE);
        }
    }
    // Both services started before either finished its first task.
    auto at = [&](auto pred) { return std::find_if(notices.begin(), notices.end(), pred); };
    auto firstDone = at([](const AgentNotice& n) { return n.status == TASK_DONE; });
    EXPECT_LT(at([&](const AgentNotice& n) { return n.path == photos[0]; }), firstDone);
    EXPECT_LT(at([&](const AgentNotice& n) { return n.path == videos[0]; }), firstDone);
    EXPECT_EQ(agent_->MalformedNotices(), 0u);

    // Observers saw every upload climb to 100 and change state at its start and its end.
    for (const WString& f : all) {
        std::vector<LONG> percents = observer_.PercentsOf(f);
        ASSERT_FALSE(percents.empty()) << ToUtf8(f);
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << ToUtf8(f);
        EXPECT_EQ(percents.back(), 100) << ToUtf8(f);
        EXPECT_GE(observer_.StateChangesOf(f), 2u) << ToUtf8(f);
        EXPECT_EQ(ReadDeviceFile(OutboxOf(f)), ReadDeviceFile(f)) << ToUtf8(f);
    }
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_IDLE);
    EXPECT_EQ(mgr_->GetPercent(SERVICE_YOUTUBE), 100);

    // The power guard was released once nothing was left.
    EXPECT_EQ(MachineDword(kAppStatusKey, u"App1", kAbsent), 0u);
    const std::string power = ReadDeviceFile(u"\\Dev\\SPM1.state");
    EXPECT_THAT(power, HasSubstr("locked=0"));
    EXPECT_EQ(power.find("locks=0"), std::string::npos) << power;

    Stop();
    EXPECT_TRUE(Pending().empty());
    for (const WString& f : all) EXPECT_TRUE(InHistory(f)) << ToUtf8(f);
}

TEST_F(TaskMgrTest, AnEngineFailureLeavesTheTaskFailedWithTheEngineCodeUntilARetryUploadsIt) {
    constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070u);
    constexpr HRESULT kNoNetwork = static_cast<HRESULT>(0x80072EE7u);
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailAtPercent", 40));
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailCode", static_cast<DWORD>(kDiskFull)));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"FailAtPercent", 0));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"FailCode", static_cast<DWORD>(kNoNetwork)));
    const WString video = Media("broken.mp4", 300000);
    const WString photo = Media("broken.jpg", 20000);
    Start();

    Queue({video}, {photo});
    ASSERT_TRUE(main_->WaitOnMain([&] {
        return mgr_->GetStatus(video.c_str(), nullptr) == TASK_FAILED &&
               mgr_->GetStatus(photo.c_str(), nullptr) == TASK_FAILED &&
               main_->Count(MSG_VIDEO_FAILED) == 1 && main_->Count(MSG_PHOTO_FAILED) == 1;
    }));
    const SYSTEMTIME videoTime = TimeOf(video);
    const SYSTEMTIME photoTime = TimeOf(photo);
    EXPECT_EQ(mgr_->GetError(video.c_str(), &videoTime), kDiskFull);
    EXPECT_EQ(mgr_->GetError(photo.c_str(), &photoTime), kNoNetwork);
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_FAILED);
    EXPECT_EQ(agent_->StatusesOf(video),
              (std::vector<DWORD>{TASK_UPLOADING, TASK_UPLOADING, TASK_FAILED}));
    EXPECT_EQ(agent_->StatusesOf(photo), (std::vector<DWORD>{TASK_UPLOADING, TASK_FAILED}));
    EXPECT_FALSE(DeviceFileExists(OutboxOf(video)));
    EXPECT_FALSE(DeviceFileExists(OutboxOf(photo)));
    // Failed tasks keep their pending entries (read here by a second opener of the volume).
    EXPECT_EQ(Pending(), (Entries{{photo, PENDING_TYPE_PHOTO}, {video, PENDING_TYPE_VIDEO}}));

    // Without the fault a retry of the one task, and of the whole service, uploads them.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailCode", 0));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"FailCode", 0));
    EXPECT_EQ(mgr_->RetryItem(u"\\Media\\unknown.mp4", &videoTime), 1);
    EXPECT_EQ(mgr_->RetryItem(video.c_str(), &videoTime), 0);
    ASSERT_TRUE(Recorded({video}));
    EXPECT_EQ(mgr_->GetStatus(photo.c_str(), nullptr), TASK_FAILED);  // not retried yet
    mgr_->RetryService(SERVICE_FACEBOOK);
    PostMessageW(main_->Handle(), MSG_START_TASK, 0, 0);  // as the task viewer does
    ASSERT_TRUE(Recorded({photo}));

    EXPECT_EQ(agent_->StatusesOf(video),
              (std::vector<DWORD>{TASK_UPLOADING, TASK_UPLOADING, TASK_FAILED, TASK_UPLOADING,
                                  TASK_UPLOADING, TASK_DONE}));
    EXPECT_EQ(agent_->StatusesOf(photo).back(), TASK_DONE);
    EXPECT_EQ(ReadDeviceFile(OutboxOf(video)), ReadDeviceFile(video));
    EXPECT_EQ(ReadDeviceFile(OutboxOf(photo)), ReadDeviceFile(photo));
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_IDLE);
    Stop();
    EXPECT_TRUE(Pending().empty());
}

TEST_F(TaskMgrTest, CancellingAWaitingTaskSparesTheEngineAndCancellingTheRunningOneStopsIt) {
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 20000));
    const WString slow = Media("long.mp4", 400000);  // twenty seconds at that rate
    const WString waiting = Media("second.mp4");
    const WString next = Media("short.mp4", 20000);
    AddHistory(slow);  // uploaded once before: its history record goes with the cancel
    Start();
    Queue({slow, waiting}, {});
    ASSERT_TRUE(WaitUntil([&] {
        std::vector<LONG> p = observer_.PercentsOf(slow);
        return !p.empty() && p.back() > 0;
    }));

    // The waiting task goes without the engine hearing of it; with nothing else waiting the
    // power guard lets go, though the upload still runs.
    const SYSTEMTIME waitingTime = TimeOf(waiting);
    EXPECT_EQ(mgr_->CancelTask(u"\\Media\\unknown.mp4", &waitingTime), E_FAIL);
    EXPECT_EQ(mgr_->CancelTask(waiting.c_str(), &waitingTime), S_OK);
    EXPECT_EQ(mgr_->GetStatus(waiting.c_str(), nullptr), 0u);
    EXPECT_EQ(MachineDword(kAppStatusKey, u"App1", kAbsent), 0u);
    EXPECT_EQ(mgr_->GetStatus(slow.c_str(), nullptr), TASK_UPLOADING);
    EXPECT_FALSE(trace_.Contains("[Zorvid] cancel"));

    // The running upload (cancelled from the task viewer's thread) stops in the engine, the
    // task is forgotten, and the queue moves on to the task queued meanwhile.
    Queue({next}, {});
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 0));  // the next one runs free
    const SYSTEMTIME slowTime = TimeOf(slow);
    EXPECT_EQ(mgr_->CancelTask(slow.c_str(), &slowTime), S_OK);
    EXPECT_EQ(mgr_->GetStatus(slow.c_str(), nullptr), 0u);
    EXPECT_TRUE(trace_.Contains("[Zorvid] cancel of \\Media\\long.mp4"));
    ASSERT_TRUE(Recorded({next}));
    EXPECT_EQ(mgr_->GetUploadStatusDb(slow.c_str(), nullptr), 0u);  // neither queued nor done
    EXPECT_EQ(OutboxFiles("YouTube"), (std::vector<std::string>{"short.mp4"}));
    EXPECT_EQ(main_->Count(MSG_VIDEO_DONE), 1u);
    EXPECT_EQ(main_->Count(MSG_VIDEO_FAILED), 0u);
    EXPECT_EQ(agent_->StatusesOf(slow), (std::vector<DWORD>{TASK_UPLOADING, TASK_UPLOADING}));
    EXPECT_TRUE(agent_->StatusesOf(waiting).empty());
    Stop();
    EXPECT_TRUE(Pending().empty());
    EXPECT_FALSE(InHistory(slow));
}

TEST_F(TaskMgrTest, ClearingDropsTasksAndTheirPendingEntriesAndStopsRunningUploads) {
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 20000));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"BytesPerSecond", 20000));
    const std::vector<WString> videos = {Media("v0.mp4", 400000), Media("v1.mp4", 400000)};
    const std::vector<WString> photos = {Media("p0.jpg", 400000), Media("p1.jpg", 400000)};
    Start();
    Queue(videos, photos);
    ASSERT_TRUE(WaitUntil([&] {
        return mgr_->GetStatus(videos[0].c_str(), nullptr) == TASK_UPLOADING &&
               mgr_->GetStatus(photos[0].c_str(), nullptr) == TASK_UPLOADING;
    }));

    // The photos go (from the main window's thread, after a list flow); the videos stay.
    main_->OnMain([&] { EXPECT_EQ(mgr_->ClearServiceTasks(SERVICE_FACEBOOK), S_OK); });
    TaskSnapshotList left;
    EXPECT_TRUE(mgr_->GetAllServiceTasks(&left, SERVICE_FACEBOOK)->empty());
    EXPECT_EQ(mgr_->GetAllServiceTasks(&left, SERVICE_YOUTUBE)->size(), 2u);
    EXPECT_EQ(Pending(),
              (Entries{{videos[0], PENDING_TYPE_VIDEO}, {videos[1], PENDING_TYPE_VIDEO}}));
    ASSERT_TRUE(WaitUntil([&] { return OutboxFiles("Facebook").empty(); }));  // copy stopped
    EXPECT_EQ(mgr_->GetStatus(videos[0].c_str(), nullptr), TASK_UPLOADING);

    // Then everything goes (from the task viewer's thread).
    EXPECT_EQ(mgr_->ClearAllTasks(), S_OK);
    EXPECT_TRUE(mgr_->GetAllServiceTasks(&left, SERVICE_YOUTUBE)->empty());
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_IDLE);
    EXPECT_TRUE(Pending().empty());
    EXPECT_EQ(MachineDword(kAppStatusKey, u"App1", kAbsent), 0u);
    ASSERT_TRUE(WaitUntil([&] { return OutboxFiles("YouTube").empty(); }));
    EXPECT_EQ(main_->Count(MSG_VIDEO_DONE) + main_->Count(MSG_PHOTO_DONE), 0u);
    EXPECT_EQ(main_->Count(MSG_VIDEO_FAILED) + main_->Count(MSG_PHOTO_FAILED), 0u);
    Stop();
}

TEST_F(TaskMgrTest, AlbumsFetchedByThePhotoEngineReachTheAlbumListThroughItsHost) {
    // Two albums share a name: the first one read keeps it.
    ASSERT_TRUE(SetMachineText(kPelfinKey, u"Albums", u"a1=Trips;a2=Family;a3=Trips"));
    CAlbumList albums;
    mgr_->SetAlbumList(&albums);
    Start(false);

    // As the dialog thread does when a photo flow starts, before any photo task exists.
    EXPECT_EQ(albums.SetEngineSession(u"session-key", u"session-secret"), S_OK);
    EXPECT_EQ(albums.RequestAlbumList(u"user-id"), 0);
    ASSERT_TRUE(WaitUntil([&] { return !albums.GetAlbumMap().empty(); }));
    EXPECT_EQ(albums.GetAlbumMap(), (AlbumMap{{u"Trips", u"a1"}, {u"Family", u"a2"}}));
    EXPECT_FALSE(DeviceFileExists(kAlbumListResultFile));

    // Once the engine is released the album list can no longer reach it.
    Stop();
    EXPECT_EQ(albums.SetEngineSession(u"session-key", u"session-secret"), E_POINTER);
    main_.reset();
    mgr_.reset();
    EXPECT_EQ(albums.GetAlbumMap().size(), 2u);
}

// ---- Reports driven one by one through the recording engine --------------------------------

TEST_F(TaskMgrTest, EngineReportsDecideEachTasksEndOrOnlyRestartTheQueue) {
    UseRecordingVideoEngine();
    Start();
    const WString clip = Media("clip.mp4", 100), over = Media("over.mp4", 100);
    const WString broken = Media("broken.mp4", 100), cancelled = Media("cancelled.mp4", 100);

    // Success: traced once per new percent; done, the queue's restart, and out of the list.
    StartVideo(clip);
    size_t before = main_->Messages().size();
    for (LONG percent : {0, 40, 40, 100}) ASSERT_EQ(engine_->Report(S_OK, 0, percent), S_OK);
    ASSERT_TRUE(main_->WaitOnMain([&] { return MessagesSince(before).size() >= 2; }));
    std::vector<UINT> after = MessagesSince(before);
    after.resize(2);
    EXPECT_EQ(after, (std::vector<UINT>{MSG_VIDEO_DONE, MSG_START_TASK}));
    EXPECT_EQ(mgr_->GetUploadStatusDb(clip.c_str(), nullptr), TASK_DONE);
    EXPECT_EQ(trace_.Count("OnUploadVideo hr: 0x00000000, nPercent: 0\n"), 0u);  // the reset value
    EXPECT_EQ(trace_.Count("OnUploadVideo hr: 0x00000000, nPercent: 40\n"), 1u);
    EXPECT_EQ(trace_.Count("OnUploadVideo hr: 0x00000000, nPercent: 100\n"), 1u);
    EXPECT_EQ(agent_->StatusesOf(clip),
              (std::vector<DWORD>{TASK_UPLOADING, TASK_UPLOADING, TASK_DONE}));
    EXPECT_EQ(observer_.PercentsOf(clip), (std::vector<LONG>{0, 40, 40, 100}));
    EXPECT_EQ(mgr_->GetStatus(clip.c_str(), nullptr), 0u);
    EXPECT_EQ(mgr_->GetPercent(SERVICE_YOUTUBE), 100);
    EXPECT_EQ(mgr_->GetPercent(SERVICE_FACEBOOK), 0);

    // Above 100, or a negative result: the task fails with the engine's own result.
    StartVideo(over);
    ASSERT_EQ(engine_->Report(S_OK, 0, 101), S_OK);
    EXPECT_EQ(mgr_->GetStatus(over.c_str(), nullptr), TASK_FAILED);
    SYSTEMTIME t = TimeOf(over);
    EXPECT_EQ(mgr_->GetError(over.c_str(), &t), S_OK);
    StartVideo(broken);
    ASSERT_EQ(engine_->Report(kAccessDenied, 0, 100), S_OK);
    EXPECT_EQ(mgr_->GetStatus(broken.c_str(), nullptr), TASK_FAILED);
    t = TimeOf(broken);
    EXPECT_EQ(mgr_->GetError(broken.c_str(), &t), kAccessDenied);
    ASSERT_TRUE(main_->WaitOnMain([&] { return main_->Count(MSG_VIDEO_FAILED) == 2; }));
    EXPECT_EQ(main_->Count(MSG_VIDEO_DONE), 1u);
    EXPECT_EQ(agent_->StatusesOf(broken), (std::vector<DWORD>{TASK_UPLOADING, TASK_FAILED}));
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_FAILED);

    // A cancellation only restarts the queue; the task stays as it was.
    StartVideo(cancelled);
    ASSERT_EQ(engine_->Report(S_OK, 0, 30), S_OK);
    before = main_->Messages().size();
    ASSERT_EQ(engine_->Report(kCancelled, 0, 55), S_OK);
    ASSERT_TRUE(main_->WaitOnMain([&] { return main_->Messages().size() > before; }));
    EXPECT_EQ(MessagesSince(before), (std::vector<UINT>{MSG_START_TASK}));
    EXPECT_EQ(mgr_->GetPercent(SERVICE_YOUTUBE), 30);
    EXPECT_EQ(mgr_->GetStatus(cancelled.c_str(), nullptr), TASK_UPLOADING);
    EXPECT_EQ(trace_.Count("OnUploadVideo: Task cancelled, start next task"), 1u);

    // Cancelled at the engine's side: its last report finds no task and only moves on.
    engine_->ClearLog();
    t = TimeOf(cancelled);
    ASSERT_EQ(mgr_->CancelTask(cancelled.c_str(), &t), S_OK);
    EXPECT_EQ(engine_->Calls("video.cancel").size(), 1u);
    before = main_->Messages().size();
    ASSERT_EQ(engine_->Report(S_OK, 0, 100), S_OK);
    ASSERT_TRUE(main_->WaitOnMain([&] { return main_->Messages().size() > before; }));
    EXPECT_EQ(MessagesSince(before), (std::vector<UINT>{MSG_START_TASK}));
    EXPECT_EQ(trace_.Count("OnUploadVideo: Current item not found"), 1u);
    EXPECT_EQ(agent_->StatusesOf(cancelled), (std::vector<DWORD>{TASK_UPLOADING}));
}

// ---- Store writes ------------------------------------------------------------------------

namespace {

// Makes the syncs of the store's log fail on demand, and counts them.
struct LogFaults {
    std::atomic<int> failLogSyncs{0};  // so many next syncs of a log: I/O error
    std::atomic<int> logSyncs{0};      // syncs of a log asked for so far

    static DWORD Inject(CeDbFileOp op, const char* path, void* context) {
        auto* f = static_cast<LogFaults*>(context);
        if (op != CeDbFileOp::kSync || !std::string_view(path).ends_with("-wal"))
            return ERROR_SUCCESS;
        f->logSyncs++;
        if (f->failLogSyncs <= 0) return ERROR_SUCCESS;
        f->failLogSyncs--;
        return ERROR_WRITE_FAULT;
    }
};

}  // namespace

TEST_F(TaskMgrTest, EachBatchAndEachEndedUploadIsOneStoreWriteAndAFailedOneGoesEntryByEntry) {
    const std::vector<WString> files = {Media("v0.mp4"), Media("v1.mp4"), Media("v2.mp4"),
                                        Media("p0.jpg"), Media("p1.jpg")};
    // This thread stands in for the main window: the task manager's messages come here.
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"StoreBatchMain";
    ASSERT_NE(RegisterClassW(&wc), 0);
    HWND main = CreateWindowExW(0, u"StoreBatchMain", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                nullptr);
    ASSERT_NE(main, nullptr);
    CUploadTaskMgr& mgr = *mgr_;
    mgr.SetMainWindow(main);
    ASSERT_EQ(mgr.Init(), S_OK);
    CUploadDb view;  // kept open: closing a store folds the log into the volume file
    ASSERT_TRUE(view.InitPending());
    auto add = [&mgr](const WString& f) {
        return IsPhoto(f) ? mgr.AddPhotoTask(DefaultPhoto(f), TRUE)
                          : mgr.AddVideoTask(DefaultVideo(f), u"token", TRUE);
    };
    LogFaults faults;
    CeDbSetFaultHook(LogFaults::Inject, &faults);

    // A batch whose commit fails is written entry by entry; the next one in one write.
    faults.failLogSyncs = 1;
    {
        CUploadTaskMgr::TaskBatch batch(mgr);
        for (const WString& f : {files[0], files[1], files[3]}) ASSERT_EQ(add(f), S_OK);
    }
    EXPECT_TRUE(trace_.Contains("were not stored together"));
    EXPECT_EQ(Pending(&view).size(), 3u);
    int syncs = faults.logSyncs;
    {
        CUploadTaskMgr::TaskBatch batch(mgr);
        for (const WString& f : {files[2], files[4]}) ASSERT_EQ(add(f), S_OK);
    }
    EXPECT_EQ(faults.logSyncs - syncs, 1);
    EXPECT_EQ(Pending(&view), (Entries{{files[3], PENDING_TYPE_PHOTO},
                                       {files[4], PENDING_TYPE_PHOTO},
                                       {files[0], PENDING_TYPE_VIDEO},
                                       {files[1], PENDING_TYPE_VIDEO},
                                       {files[2], PENDING_TYPE_VIDEO}}));

    // The first video and photo upload. Their done messages settle them and the writer thread
    // writes what was settled: its first write fails and goes entry by entry.
    faults.failLogSyncs = 1;
    ASSERT_EQ(mgr.StartUploading(), S_OK);
    bool videoDone = false, photoDone = false;
    const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
    while (!videoDone || !photoDone) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "watchdog: uploads stuck";
        MSG msg{};
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ASSERT_NE(msg.message, MSG_VIDEO_FAILED);
        ASSERT_NE(msg.message, MSG_PHOTO_FAILED);
        if (msg.message == MSG_VIDEO_DONE) {
            mgr.CommitVideoDone();
            videoDone = true;
        } else if (msg.message == MSG_PHOTO_DONE) {
            mgr.CommitPhotoDone();
            photoDone = true;
        }
    }
    // Looked at through a store of our own: the writer wrote them without being asked.
    ASSERT_TRUE(WaitUntil([&] { return Pending(&view).size() == 3; }));
    EXPECT_EQ(faults.failLogSyncs, 0);
    EXPECT_TRUE(trace_.Contains("did not go through together"));
    for (const WString& f : {files[0], files[3]}) {
        EXPECT_EQ(mgr.GetUploadStatusDb(f.c_str(), nullptr), TASK_DONE) << ToUtf8(f);
    }
    // Clearing a service drops its entries in one write as well.
    syncs = faults.logSyncs;
    EXPECT_EQ(mgr.ClearServiceTasks(SERVICE_YOUTUBE), S_OK);
    EXPECT_EQ(faults.logSyncs - syncs, 1);
    EXPECT_EQ(Pending(&view), (Entries{{files[4], PENDING_TYPE_PHOTO}}));
    CeDbSetFaultHook(nullptr, nullptr);
    mgr.Shutdown();
    DestroyWindow(main);
}

// ---- Start-up on a device that already holds work ------------------------------------------

TEST_F(TaskMgrTest, AnEndedUploadIsWrittenWithinMomentsThoughTheQueueGoesOnAndTheLastOneAtOnce) {
    // The second upload crawls: the first one's writes must not wait for the queue to end.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 20000));
    const WString first = Media("clip0.mp4", 100);
    const WString second = Media("clip1.mp4", 40000);
    Start();
    Queue({first, second}, {});
    ASSERT_TRUE(WaitUntil([&] { return main_->Count(MSG_VIDEO_DONE) == 1; }));
    // Looked at through a store of our own, which does not make the task manager write.
    ASSERT_TRUE(WaitUntil([&] { return InHistory(first); }));
    EXPECT_EQ(mgr_->GetStatus(second.c_str(), nullptr), TASK_UPLOADING);
    EXPECT_EQ(Pending(), (Entries{{second, PENDING_TYPE_VIDEO}}));
    ASSERT_TRUE(WaitUntil([&] { return InHistory(second); }));
    EXPECT_TRUE(Pending().empty());
    EXPECT_EQ(main_->Count(MSG_VIDEO_DONE), 2u);
}

TEST_F(TaskMgrTest, TasksOfAKilledProcessComeBackFailedAndAFileUploadedBeforeAnswersDone) {
    const WString first = Media("first.mp4", 5000);
    const std::vector<WString> videos = {Media("v1.mp4", 200000), Media("v2.mp4", 200000)};
    const std::vector<WString> photos = {Media("p1.jpg", 200000), Media("p2.jpg", 200000)};
    std::vector<WString> all = videos;
    all.insert(all.end(), photos.begin(), photos.end());

    // A child uploads the first file, queues the rest under a throughput limit and is killed
    // with both services uploading.
    std::vector<std::string> args = {BinPath("vantlo-mgr-kill-child"), ToUtf8(first)};
    for (const WString& f : all) {
        if (f == photos[0]) args.push_back("--");
        args.push_back(ToUtf8(f));
    }
    {
        ChildProcess child(args);
        ASSERT_TRUE(child.ReadLines(2));
        ASSERT_EQ(child.Lines(), (std::vector<std::string>{"DONE " + ToUtf8(first), "READY"}));
    }  // killed here

    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 0));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"BytesPerSecond", 0));
    Start(false);
    for (const WString& f : all) {
        EXPECT_EQ(mgr_->GetStatus(f.c_str(), nullptr), TASK_FAILED) << ToUtf8(f);
        SYSTEMTIME t = TimeOf(f);
        EXPECT_EQ(mgr_->GetError(f.c_str(), &t), ERR_RESTORED) << ToUtf8(f);
    }
    EXPECT_EQ(mgr_->GetUploadStatusDb(first.c_str(), nullptr), TASK_DONE);
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_FAILED);

    // Restored tasks upload once retried (with no agent window to tell), and leave the pending
    // queue then.
    mgr_->RetryService(SERVICE_YOUTUBE);
    mgr_->RetryService(SERVICE_FACEBOOK);
    PostMessageW(main_->Handle(), MSG_START_TASK, 0, 0);
    ASSERT_TRUE(Recorded(all));
    for (const WString& f : all) EXPECT_EQ(ReadDeviceFile(OutboxOf(f)), ReadDeviceFile(f));
    Stop();
    EXPECT_TRUE(Pending().empty());
}

// A device with two videos and two photos pending, each also in the history (uploaded once
// before and queued again), and one more file only in the history; the registry's one-shot
// clear requests for the two sites are the parameter.
class ClearRequestTest : public TaskMgrTest,
                         public ::testing::WithParamInterface<std::pair<DWORD, DWORD>> {};

TEST_P(ClearRequestTest, OnlyTheValueOneClearsASitesEntriesWithTheirHistoryAndEveryValueIsReset) {
    const auto [clearVideos, clearPhotos] = GetParam();
    const std::vector<WString> queued = {Media("v1.mp4"), Media("v2.mp4"), Media("p1.jpg"),
                                         Media("p2.jpg")};
    const WString other = Media("other.jpg");
    {
        CUploadDb pending;
        ASSERT_TRUE(pending.InitPending());
        AddHistory(other);
        WORD second = 0;
        for (const WString& f : queued) {
            AddHistory(f);
            PendingRecord r{};
            WStrCopyN(r.szFilePath, f.c_str(), MAX_PATH);
            r.stSubmit = SYSTEMTIME{2024, 5, 0, 11, 9, 30, second++, 250};
            r.dwType = IsPhoto(f) ? PENDING_TYPE_PHOTO : PENDING_TYPE_VIDEO;
            ASSERT_TRUE(pending.AddPending(&r));
        }
    }
    ASSERT_TRUE(SetMachineDword(SETTINGS_KEY, SETTING_CLEAR_YOUTUBE, clearVideos));
    ASSERT_TRUE(SetMachineDword(SETTINGS_KEY, SETTING_CLEAR_FACEBOOK, clearPhotos));
    Start(false);
    auto cleared = [&](const WString& f) { return (IsPhoto(f) ? clearPhotos : clearVideos) == 1; };
    Entries kept;
    for (const WString& f : queued) {
        EXPECT_EQ(mgr_->GetStatus(f.c_str(), nullptr), cleared(f) ? 0u : TASK_FAILED) << ToUtf8(f);
        if (cleared(f)) {
            EXPECT_EQ(mgr_->GetUploadStatusDb(f.c_str(), nullptr), 0u) << ToUtf8(f);
        } else {
            kept.emplace_back(f, IsPhoto(f) ? PENDING_TYPE_PHOTO : PENDING_TYPE_VIDEO);
        }
    }
    EXPECT_EQ(mgr_->GetUploadStatusDb(other.c_str(), nullptr), TASK_DONE);
    EXPECT_EQ(MachineDword(SETTINGS_KEY, SETTING_CLEAR_YOUTUBE, 99), 0u);
    EXPECT_EQ(MachineDword(SETTINGS_KEY, SETTING_CLEAR_FACEBOOK, 99), 0u);
    Stop();

    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(Pending(), kept);
    for (const WString& f : queued) EXPECT_EQ(InHistory(f), !cleared(f)) << ToUtf8(f);
    EXPECT_TRUE(InHistory(other));
}

INSTANTIATE_TEST_SUITE_P(TaskMgrTest, ClearRequestTest,
                         ::testing::Values(std::pair<DWORD, DWORD>{1, 0},
                                           std::pair<DWORD, DWORD>{0, 1},
                                           std::pair<DWORD, DWORD>{2, 0xFFFFFFFFu}));
