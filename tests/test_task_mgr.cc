// The task manager running its queue: a real main-window thread with its message loop, the
// real engine libraries copying into the outbox, the connection manager's stand-in, the power
// device, a real store volume and an agent window on a thread of its own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_image.h"
#include "platform/devpath.h"
#include "store/upload_db.h"
#include "tests/mgr_harness.h"
#include "tests/support/test_env.h"
#include "upload/messages.h"

namespace {

constexpr WCHAR kAppStatusKey[] = u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus";
constexpr DWORD kAbsent = 0xFFFFFFFF;
constexpr UINT kConnected = 0x10;
constexpr UINT kWaiting = 0x40;

class TaskMgrTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_TRUE(PrepareDeviceImage());
    }
    void TearDown() override {
        main_.reset();
        mgr_.reset();
        agent_.reset();
        DeviceTest::TearDown();
    }

    // Starts the task manager with its main window (and, unless withoutAgent, the agent).
    void Start(bool withAgent = true) {
        if (withAgent) agent_ = std::make_unique<AgentWindowStandIn>();
        mgr_ = std::make_unique<CUploadTaskMgr>();
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

    static WString Media(const std::string& name) { return u"\\Media\\" + FromUtf8(name); }
    static WString VideoOutbox(const WString& path) {
        return u"\\Outbox\\YouTube\\" + FileNameOf(path);
    }
    static WString PhotoOutbox(const WString& path) {
        return u"\\Outbox\\Facebook\\" + FileNameOf(path);
    }

    // Queues the files from the main window's thread, as a client batch does, and kicks.
    void Queue(const std::vector<WString>& videos, const std::vector<WString>& photos) {
        main_->OnMain([&] {
            if (!videos.empty()) {
                ASSERT_EQ(mgr_->EnsureVideoList(), S_OK);
            }
            for (const WString& v : videos) {
                ASSERT_EQ(mgr_->AddVideoTask(DefaultVideo(v), u"yt-token", TRUE), S_OK);
            }
            if (!photos.empty()) {
                ASSERT_EQ(mgr_->EnsurePhotoList(), S_OK);
            }
            for (const WString& p : photos) {
                ASSERT_EQ(mgr_->AddPhotoTask(DefaultPhoto(p), TRUE), S_OK);
            }
        });
        main_->Kick();
    }

    // Waits until every file is out of the lists and in the history.
    bool WaitAllRecorded(const std::vector<WString>& files) {
        return main_->WaitOnMain([&] {
            return std::all_of(files.begin(), files.end(), [&](const WString& f) {
                return mgr_->GetUploadStatusDb(f.c_str(), nullptr) == TASK_DONE;
            });
        });
    }

    // The submit time of the service's task for path.
    SYSTEMTIME TimeOf(ServiceType type, const WString& path) {
        TaskSnapshotList tasks;
        mgr_->GetAllServiceTasks(&tasks, type);
        for (const TaskSnapshot& t : tasks) {
            if (t.path == path) return t.submitTime;
        }
        ADD_FAILURE() << "no task for " << ToUtf8(path);
        return SYSTEMTIME{};
    }

    // The pending entries' paths, read through a store of our own.
    static std::vector<WString> PendingPaths() {
        CUploadDb pending;
        EXPECT_TRUE(pending.InitPending());
        DWORD n = pending.GetPendingCount();
        std::vector<PendingRecord> records(n);
        if (n > 0) {
            EXPECT_TRUE(pending.ReadPending(records.data(), n));
        }
        std::vector<WString> paths;
        for (const PendingRecord& r : records) paths.push_back(r.szFilePath);
        return paths;
    }

    static bool InHistory(const WString& path) {
        CUploadDb history;
        EXPECT_TRUE(history.InitHistory());
        UploadHistoryKey key;
        EXPECT_TRUE(FormUploadHistoryKey(path.c_str(), &key));
        return history.IsInHistory(&key);
    }

    static std::vector<std::string> OutboxFiles(const char* service) {
        std::vector<std::string> names;
        std::string folder = HostPath(std::string("\\Outbox\\") + service);
        for (const auto& e : std::filesystem::directory_iterator(folder)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::unique_ptr<AgentWindowStandIn> agent_;
    std::unique_ptr<CUploadTaskMgr> mgr_;
    std::unique_ptr<MainWindowStandIn> main_;
    RecordingObserver observer_;
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

// The notices whose path is one of files, in arrival order.
std::vector<AgentNotice> NoticesFor(const std::vector<AgentNotice>& all,
                                    const std::vector<WString>& files) {
    std::vector<AgentNotice> out;
    for (const AgentNotice& n : all) {
        if (std::find(files.begin(), files.end(), n.path) != files.end()) out.push_back(n);
    }
    return out;
}

}  // namespace

TEST_F(TaskMgrTest, ABatchUploadsBothServicesSideBySideOneTaskEachAndRecordsEveryFile) {
    // Each upload takes a few hundred milliseconds, so the two services' uploads overlap.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 100000));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"BytesPerSecond", 100000));
    const std::vector<WString> videos = {Media("clip0.mp4"), Media("clip1.mp4"),
                                         Media("clip2.mp4")};
    const std::vector<WString> photos = {Media("img0.jpg"), Media("img1.jpg"), Media("img2.jpg")};
    for (size_t i = 0; i < videos.size(); i++) WriteMediaFile(videos[i], 30000, int(i));
    for (size_t i = 0; i < photos.size(); i++) WriteMediaFile(photos[i], 30000, int(i) + 10);
    Start();

    Queue(videos, photos);
    std::vector<WString> all = videos;
    all.insert(all.end(), photos.begin(), photos.end());
    ASSERT_TRUE(WaitAllRecorded(all));

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
        std::vector<AgentNotice> got = NoticesFor(notices, *files);
        ASSERT_EQ(got.size(), 3 * files->size());
        for (size_t i = 0; i < files->size(); i++) {
            for (size_t k = 0; k < 3; k++) {
                EXPECT_EQ(got[3 * i + k].path, (*files)[i]);
                EXPECT_EQ(got[3 * i + k].status, k < 2 ? TASK_UPLOADING : TASK_DONE);
            }
        }
    }
    // Both services started before either finished its first task.
    auto firstDone = std::find_if(notices.begin(), notices.end(),
                                  [](const AgentNotice& n) { return n.status == TASK_DONE; });
    auto firstPhoto = std::find_if(notices.begin(), notices.end(),
                                   [&](const AgentNotice& n) { return n.path == photos[0]; });
    auto firstVideo = std::find_if(notices.begin(), notices.end(),
                                   [&](const AgentNotice& n) { return n.path == videos[0]; });
    EXPECT_LT(firstPhoto - notices.begin(), firstDone - notices.begin());
    EXPECT_LT(firstVideo - notices.begin(), firstDone - notices.begin());
    EXPECT_EQ(agent_->MalformedNotices(), 0u);

    // Observers saw every upload climb to 100 and change state at its start and its end.
    for (const WString& f : all) {
        std::vector<LONG> percents = observer_.PercentsOf(f);
        ASSERT_FALSE(percents.empty()) << ToUtf8(f);
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << ToUtf8(f);
        EXPECT_EQ(percents.back(), 100) << ToUtf8(f);
        EXPECT_GE(observer_.StateChangesOf(f), 2u) << ToUtf8(f);
    }
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_IDLE);
    EXPECT_EQ(mgr_->GetPercent(SERVICE_YOUTUBE), 100);

    // The power guard was released once nothing was left.
    EXPECT_EQ(MachineDword(kAppStatusKey, u"App1", kAbsent), 0u);
    const std::string power = ReadDeviceFile(u"\\Dev\\SPM1.state");
    EXPECT_NE(power.find("locked=0"), std::string::npos) << power;
    EXPECT_EQ(power.find("locks=0"), std::string::npos) << power;

    // The outbox holds every file, whole.
    for (const WString& v : videos) EXPECT_EQ(ReadDeviceFile(VideoOutbox(v)), ReadDeviceFile(v));
    for (const WString& p : photos) EXPECT_EQ(ReadDeviceFile(PhotoOutbox(p)), ReadDeviceFile(p));

    Stop();
    EXPECT_TRUE(PendingPaths().empty());
    for (const WString& f : all) EXPECT_TRUE(InHistory(f)) << ToUtf8(f);
}

TEST_F(TaskMgrTest, AnEngineFailureLeavesTheTaskFailedWithTheEngineCodeUntilARetryUploadsIt) {
    constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070u);
    constexpr HRESULT kNoNetwork = static_cast<HRESULT>(0x80072EE7u);
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailAtPercent", 40));
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailCode", static_cast<DWORD>(kDiskFull)));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"FailAtPercent", 0));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"FailCode", static_cast<DWORD>(kNoNetwork)));
    const WString video = Media("broken.mp4");
    const WString photo = Media("broken.jpg");
    WriteMediaFile(video, 300000, 1);
    WriteMediaFile(photo, 20000, 2);
    Start();

    Queue({video}, {photo});
    ASSERT_TRUE(main_->WaitOnMain([&] {
        return mgr_->GetStatus(video.c_str(), nullptr) == TASK_FAILED &&
               mgr_->GetStatus(photo.c_str(), nullptr) == TASK_FAILED &&
               main_->Count(MSG_VIDEO_FAILED) == 1 && main_->Count(MSG_PHOTO_FAILED) == 1;
    }));
    const SYSTEMTIME videoTime = TimeOf(SERVICE_YOUTUBE, video);
    const SYSTEMTIME photoTime = TimeOf(SERVICE_FACEBOOK, photo);
    EXPECT_EQ(mgr_->GetError(video.c_str(), &videoTime), kDiskFull);
    EXPECT_EQ(mgr_->GetError(photo.c_str(), &photoTime), kNoNetwork);
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_FAILED);
    EXPECT_EQ(agent_->StatusesOf(video),
              (std::vector<DWORD>{TASK_UPLOADING, TASK_UPLOADING, TASK_FAILED}));
    EXPECT_EQ(agent_->StatusesOf(photo), (std::vector<DWORD>{TASK_UPLOADING, TASK_FAILED}));
    EXPECT_FALSE(DeviceFileExists(VideoOutbox(video)));
    EXPECT_FALSE(DeviceFileExists(PhotoOutbox(photo)));
    // Failed tasks keep their pending entries (read here by a second opener of the volume).
    std::vector<WString> pending = PendingPaths();
    std::sort(pending.begin(), pending.end());
    EXPECT_EQ(pending, (std::vector<WString>{photo, video}));

    // Without the fault a retry of the one task, and of the whole service, uploads them.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailCode", 0));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"FailCode", 0));
    EXPECT_EQ(mgr_->RetryItem(Media("unknown.mp4").c_str(), &videoTime), 1);
    EXPECT_EQ(mgr_->RetryItem(video.c_str(), &videoTime), 0);
    ASSERT_TRUE(WaitAllRecorded({video}));
    EXPECT_EQ(mgr_->GetStatus(photo.c_str(), nullptr), TASK_FAILED);  // not retried yet
    mgr_->RetryService(SERVICE_FACEBOOK);
    PostMessageW(main_->Handle(), MSG_START_TASK, 0, 0);  // as the task viewer does
    ASSERT_TRUE(WaitAllRecorded({photo}));

    EXPECT_EQ(agent_->StatusesOf(video),
              (std::vector<DWORD>{TASK_UPLOADING, TASK_UPLOADING, TASK_FAILED, TASK_UPLOADING,
                                  TASK_UPLOADING, TASK_DONE}));
    EXPECT_EQ(agent_->StatusesOf(photo).back(), TASK_DONE);
    EXPECT_EQ(ReadDeviceFile(VideoOutbox(video)), ReadDeviceFile(video));
    EXPECT_EQ(ReadDeviceFile(PhotoOutbox(photo)), ReadDeviceFile(photo));
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_IDLE);
    Stop();
    EXPECT_TRUE(PendingPaths().empty());
}

TEST_F(TaskMgrTest, CancellingTheRunningUploadStopsTheEngineForgetsTheTaskAndTheQueueMovesOn) {
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 20000));
    const WString slow = Media("long.mp4");  // twenty seconds at that rate
    const WString next = Media("short.mp4");
    WriteMediaFile(slow, 400000, 1);
    WriteMediaFile(next, 20000, 2);
    {
        // The slow file was uploaded once before: its history record goes with the cancel.
        CUploadDb history;
        ASSERT_TRUE(history.InitHistory());
        UploadHistoryKey key;
        ASSERT_TRUE(FormUploadHistoryKey(slow.c_str(), &key));
        ASSERT_TRUE(history.AddHistory(&key));
    }
    Start();

    Queue({slow, next}, {});
    ASSERT_TRUE(WaitUntil([&] {
        std::vector<LONG> p = observer_.PercentsOf(slow);
        return !p.empty() && p.back() > 0;
    }));
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 0));  // the next one runs free
    const SYSTEMTIME slowTime = TimeOf(SERVICE_YOUTUBE, slow);
    EXPECT_EQ(mgr_->CancelTask(slow.c_str(), &slowTime), S_OK);  // the task viewer's thread
    EXPECT_EQ(mgr_->GetStatus(slow.c_str(), nullptr), 0u);

    ASSERT_TRUE(WaitAllRecorded({next}));
    EXPECT_EQ(mgr_->GetUploadStatusDb(slow.c_str(), nullptr), 0u);  // neither queued nor done
    EXPECT_EQ(OutboxFiles("YouTube"), (std::vector<std::string>{"short.mp4"}));
    EXPECT_EQ(main_->Count(MSG_VIDEO_DONE), 1u);
    EXPECT_EQ(main_->Count(MSG_VIDEO_FAILED), 0u);
    EXPECT_EQ(agent_->StatusesOf(slow), (std::vector<DWORD>{TASK_UPLOADING, TASK_UPLOADING}));
    Stop();
    EXPECT_TRUE(PendingPaths().empty());
    EXPECT_FALSE(InHistory(slow));
}

TEST_F(TaskMgrTest, CancellingAWaitingTaskRemovesItWithoutTellingTheEngine) {
    const std::string trace = root_ + "/../trace.log";
    setenv("VANTLO_TRACE_FILE", trace.c_str(), 1);
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 50000));
    const WString running = Media("first.mp4");  // about a second at that rate
    const WString waiting = Media("second.mp4");
    WriteMediaFile(running, 50000, 1);
    WriteMediaFile(waiting, 1000, 2);
    Start();

    Queue({running, waiting}, {});
    ASSERT_TRUE(
        WaitUntil([&] { return mgr_->GetStatus(running.c_str(), nullptr) == TASK_UPLOADING; }));
    EXPECT_EQ(mgr_->GetStatus(waiting.c_str(), nullptr), TASK_WAITING);
    const SYSTEMTIME waitingTime = TimeOf(SERVICE_YOUTUBE, waiting);
    EXPECT_EQ(mgr_->CancelTask(Media("unknown.mp4").c_str(), &waitingTime), E_FAIL);
    EXPECT_EQ(mgr_->CancelTask(waiting.c_str(), &waitingTime), S_OK);
    EXPECT_EQ(mgr_->GetStatus(waiting.c_str(), nullptr), 0u);
    // Nothing else waits: the power guard lets go, though the first upload still runs.
    EXPECT_EQ(MachineDword(u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus", u"App1", kAbsent), 0u);

    ASSERT_TRUE(WaitAllRecorded({running}));
    EXPECT_EQ(OutboxFiles("YouTube"), (std::vector<std::string>{"first.mp4"}));
    EXPECT_TRUE(agent_->StatusesOf(waiting).empty());
    EXPECT_EQ(ReadHostFile(trace).find("[Zorvid] cancel"), std::string::npos);
    Stop();
    EXPECT_TRUE(PendingPaths().empty());
}

TEST_F(TaskMgrTest, WithoutAnAgentWindowTheQueueStillRunsToTheEnd) {
    const WString video = Media("quiet.mp4");
    const WString photo = Media("quiet.jpg");
    WriteMediaFile(video, 5000, 1);
    WriteMediaFile(photo, 5000, 2);
    Start(false);

    Queue({video}, {photo});
    ASSERT_TRUE(WaitAllRecorded({video, photo}));
    EXPECT_EQ(ReadDeviceFile(VideoOutbox(video)), ReadDeviceFile(video));
    EXPECT_EQ(ReadDeviceFile(PhotoOutbox(photo)), ReadDeviceFile(photo));
    Stop();
    EXPECT_TRUE(PendingPaths().empty());
}

TEST_F(TaskMgrTest, ClearingDropsTasksAndTheirPendingEntriesAndStopsRunningUploads) {
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 20000));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"BytesPerSecond", 20000));
    const std::vector<WString> videos = {Media("v0.mp4"), Media("v1.mp4")};
    const std::vector<WString> photos = {Media("p0.jpg"), Media("p1.jpg")};
    int seed = 0;
    for (const auto* files : {&videos, &photos}) {
        for (const WString& f : *files) WriteMediaFile(f, 400000, seed++);
    }
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
    std::vector<WString> pending = PendingPaths();
    std::sort(pending.begin(), pending.end());
    EXPECT_EQ(pending, videos);
    ASSERT_TRUE(WaitUntil([&] { return OutboxFiles("Facebook").empty(); }));  // copy stopped
    EXPECT_EQ(mgr_->GetStatus(videos[0].c_str(), nullptr), TASK_UPLOADING);

    // Then everything goes (from the task viewer's thread).
    EXPECT_EQ(mgr_->ClearAllTasks(), S_OK);
    EXPECT_TRUE(mgr_->GetAllServiceTasks(&left, SERVICE_YOUTUBE)->empty());
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_IDLE);
    EXPECT_TRUE(PendingPaths().empty());
    EXPECT_EQ(MachineDword(kAppStatusKey, u"App1", kAbsent), 0u);
    ASSERT_TRUE(WaitUntil([&] { return OutboxFiles("YouTube").empty(); }));
    EXPECT_EQ(main_->Count(MSG_VIDEO_DONE) + main_->Count(MSG_PHOTO_DONE), 0u);
    EXPECT_EQ(main_->Count(MSG_VIDEO_FAILED) + main_->Count(MSG_PHOTO_FAILED), 0u);
    Stop();
}
