// The task manager's start-up on a device that already holds work: the tasks of a process that
// was killed mid-upload come back failed, and the registry's one-shot clear requests drop one
// site's pending entries together with the history of their files.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_image.h"
#include "platform/time.h"
#include "store/settings.h"
#include "store/upload_db.h"
#include "tests/mgr_harness.h"
#include "tests/support/test_env.h"
#include "upload/messages.h"

extern char** environ;

namespace {

class TaskMgrRestartTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_TRUE(PrepareDeviceImage());
    }
    void TearDown() override {
        main_.reset();
        mgr_.reset();
        DeviceTest::TearDown();
    }

    void Start() {
        mgr_ = std::make_unique<CUploadTaskMgr>();
        main_ = std::make_unique<MainWindowStandIn>(*mgr_);
        ASSERT_NE(main_->Handle(), nullptr);
        ASSERT_EQ(main_->Init(), S_OK);
    }

    static WString Media(const std::string& name) { return u"\\Media\\" + FromUtf8(name); }

    SYSTEMTIME TimeOf(ServiceType type, const WString& path) {
        TaskSnapshotList tasks;
        mgr_->GetAllServiceTasks(&tasks, type);
        for (const TaskSnapshot& t : tasks) {
            if (t.path == path) return t.submitTime;
        }
        ADD_FAILURE() << "no task for " << ToUtf8(path);
        return SYSTEMTIME{};
    }

    std::unique_ptr<CUploadTaskMgr> mgr_;
    std::unique_ptr<MainWindowStandIn> main_;
};

// ---- Clear requests ----------------------------------------------------------------------

// A device with two videos and two photos pending, each also in the history (uploaded once
// before and queued again), and one more file only in the history.
class ClearRequestTest : public TaskMgrRestartTest {
  protected:
    void SetUp() override {
        TaskMgrRestartTest::SetUp();
        int seed = 0;
        for (const WString* f : {&v1_, &v2_, &p1_, &p2_, &other_}) WriteMediaFile(*f, 1000, seed++);
        CUploadDb history;
        CUploadDb pending;
        ASSERT_TRUE(history.InitHistory());
        ASSERT_TRUE(pending.InitPending());
        WORD second = 0;
        for (const WString* f : {&v1_, &v2_, &p1_, &p2_, &other_}) {
            UploadHistoryKey key;
            ASSERT_TRUE(FormUploadHistoryKey(f->c_str(), &key));
            ASSERT_TRUE(history.AddHistory(&key));
            if (f == &other_) continue;
            PendingRecord r{};
            WStrCopyN(r.szFilePath, f->c_str(), MAX_PATH);
            r.stSubmit = SYSTEMTIME{2024, 5, 0, 11, 9, 30, second++, 250};
            r.dwType = (f == &v1_ || f == &v2_) ? PENDING_TYPE_VIDEO : PENDING_TYPE_PHOTO;
            ASSERT_TRUE(pending.AddPending(&r));
        }
    }

    static void Request(DWORD clearYoutube, DWORD clearFacebook) {
        ASSERT_TRUE(SetMachineDword(SETTINGS_KEY, SETTING_CLEAR_YOUTUBE, clearYoutube));
        ASSERT_TRUE(SetMachineDword(SETTINGS_KEY, SETTING_CLEAR_FACEBOOK, clearFacebook));
    }

    // After the task manager stopped: which files the history and the pending queue hold.
    static std::vector<WString> HistoryOf(const std::vector<const WString*>& files) {
        CUploadDb history;
        EXPECT_TRUE(history.InitHistory());
        std::vector<WString> found;
        for (const WString* f : files) {
            UploadHistoryKey key;
            EXPECT_TRUE(FormUploadHistoryKey(f->c_str(), &key));
            if (history.IsInHistory(&key)) found.push_back(*f);
        }
        return found;
    }
    static std::vector<std::pair<WString, DWORD>> Pending() {
        CUploadDb pending;
        EXPECT_TRUE(pending.InitPending());
        DWORD n = pending.GetPendingCount();
        std::vector<PendingRecord> records(n);
        if (n > 0) {
            EXPECT_TRUE(pending.ReadPending(records.data(), n));
        }
        std::vector<std::pair<WString, DWORD>> out;
        for (const PendingRecord& r : records) out.emplace_back(r.szFilePath, r.dwType);
        std::sort(out.begin(), out.end());
        return out;
    }
    void ExpectRequestsConsumed() {
        EXPECT_EQ(MachineDword(SETTINGS_KEY, SETTING_CLEAR_YOUTUBE, 99), 0u);
        EXPECT_EQ(MachineDword(SETTINGS_KEY, SETTING_CLEAR_FACEBOOK, 99), 0u);
    }

    const WString v1_ = Media("v1.mp4");
    const WString v2_ = Media("v2.mp4");
    const WString p1_ = Media("p1.jpg");
    const WString p2_ = Media("p2.jpg");
    const WString other_ = Media("other.jpg");
};

}  // namespace

TEST_F(TaskMgrRestartTest, TasksOfAKilledProcessComeBackFailedAndAFileUploadedBeforeAnswersDone) {
    const WString first = Media("first.mp4");
    const std::vector<WString> videos = {Media("v1.mp4"), Media("v2.mp4")};
    const std::vector<WString> photos = {Media("p1.jpg"), Media("p2.jpg")};
    WriteMediaFile(first, 5000, 0);
    int seed = 1;
    for (const WString& f : videos) WriteMediaFile(f, 200000, seed++);
    for (const WString& f : photos) WriteMediaFile(f, 200000, seed++);

    const std::string report = root_ + "/../child-report.txt";
    std::vector<std::string> args = {BinPath("vantlo-mgr-kill-child"), report, ToUtf8(first)};
    for (const WString& v : videos) args.push_back(ToUtf8(v));
    args.push_back("--");
    for (const WString& p : photos) args.push_back(ToUtf8(p));
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    bool exited = false;
    const bool ready = WaitUntil([&] {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) exited = true;
        return exited || ReadHostFile(report).find("READY") != std::string::npos;
    });
    if (!exited) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    ASSERT_TRUE(ready && !exited) << "child report: " << ReadHostFile(report);
    EXPECT_NE(ReadHostFile(report).find("DONE " + ToUtf8(first)), std::string::npos);

    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 0));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"BytesPerSecond", 0));
    Start();
    for (const WString& v : videos) {
        EXPECT_EQ(mgr_->GetStatus(v.c_str(), nullptr), TASK_FAILED) << ToUtf8(v);
        SYSTEMTIME t = TimeOf(SERVICE_YOUTUBE, v);
        EXPECT_EQ(mgr_->GetError(v.c_str(), &t), ERR_RESTORED) << ToUtf8(v);
    }
    for (const WString& p : photos) {
        EXPECT_EQ(mgr_->GetStatus(p.c_str(), nullptr), TASK_FAILED) << ToUtf8(p);
        SYSTEMTIME t = TimeOf(SERVICE_FACEBOOK, p);
        EXPECT_EQ(mgr_->GetError(p.c_str(), &t), ERR_RESTORED) << ToUtf8(p);
    }
    EXPECT_EQ(mgr_->GetUploadStatusDb(first.c_str(), nullptr), TASK_DONE);
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_FAILED);

    // Restored tasks upload once retried, and leave the pending queue then.
    mgr_->RetryService(SERVICE_YOUTUBE);
    mgr_->RetryService(SERVICE_FACEBOOK);
    PostMessageW(main_->Handle(), MSG_START_TASK, 0, 0);
    std::vector<WString> all = videos;
    all.insert(all.end(), photos.begin(), photos.end());
    ASSERT_TRUE(main_->WaitOnMain([&] {
        return std::all_of(all.begin(), all.end(), [&](const WString& f) {
            return mgr_->GetUploadStatusDb(f.c_str(), nullptr) == TASK_DONE;
        });
    }));
    for (const WString& v : videos) {
        EXPECT_EQ(ReadDeviceFile(u"\\Outbox\\YouTube\\" + FileNameOf(v)), ReadDeviceFile(v));
    }
    for (const WString& p : photos) {
        EXPECT_EQ(ReadDeviceFile(u"\\Outbox\\Facebook\\" + FileNameOf(p)), ReadDeviceFile(p));
    }
    main_->Shutdown();
    CUploadDb pending;
    ASSERT_TRUE(pending.InitPending());
    EXPECT_EQ(pending.GetPendingCount(), 0u);
}

TEST_F(ClearRequestTest, ClearYoutubeDropsOnlyTheVideoEntriesAndTheirHistory) {
    Request(1, 0);
    Start();
    EXPECT_EQ(mgr_->GetStatus(v1_.c_str(), nullptr), 0u);
    EXPECT_EQ(mgr_->GetStatus(v2_.c_str(), nullptr), 0u);
    EXPECT_EQ(mgr_->GetUploadStatusDb(v1_.c_str(), nullptr), 0u);  // its history went too
    EXPECT_EQ(mgr_->GetStatus(p1_.c_str(), nullptr), TASK_FAILED);
    EXPECT_EQ(mgr_->GetStatus(p2_.c_str(), nullptr), TASK_FAILED);
    EXPECT_EQ(mgr_->GetUploadStatusDb(other_.c_str(), nullptr), TASK_DONE);
    ExpectRequestsConsumed();
    main_->Shutdown();

    EXPECT_EQ(HistoryOf({&v1_, &v2_, &p1_, &p2_, &other_}),
              (std::vector<WString>{p1_, p2_, other_}));
    EXPECT_EQ(Pending(), (std::vector<std::pair<WString, DWORD>>{{p1_, PENDING_TYPE_PHOTO},
                                                                 {p2_, PENDING_TYPE_PHOTO}}));
}

TEST_F(ClearRequestTest, ClearFacebookDropsOnlyThePhotoEntriesAndTheirHistory) {
    Request(0, 1);
    Start();
    EXPECT_EQ(mgr_->GetStatus(p1_.c_str(), nullptr), 0u);
    EXPECT_EQ(mgr_->GetStatus(p2_.c_str(), nullptr), 0u);
    EXPECT_EQ(mgr_->GetStatus(v1_.c_str(), nullptr), TASK_FAILED);
    EXPECT_EQ(mgr_->GetStatus(v2_.c_str(), nullptr), TASK_FAILED);
    ExpectRequestsConsumed();
    main_->Shutdown();

    EXPECT_EQ(HistoryOf({&v1_, &v2_, &p1_, &p2_, &other_}),
              (std::vector<WString>{v1_, v2_, other_}));
    EXPECT_EQ(Pending(), (std::vector<std::pair<WString, DWORD>>{{v1_, PENDING_TYPE_VIDEO},
                                                                 {v2_, PENDING_TYPE_VIDEO}}));
}

TEST_F(ClearRequestTest, OnlyTheValueOneClearsAndEveryValueIsReset) {
    Request(2, 0xFFFFFFFFu);
    Start();
    for (const WString* f : {&v1_, &v2_, &p1_, &p2_}) {
        EXPECT_EQ(mgr_->GetStatus(f->c_str(), nullptr), TASK_FAILED) << ToUtf8(*f);
    }
    ExpectRequestsConsumed();
    main_->Shutdown();
    EXPECT_EQ(HistoryOf({&v1_, &v2_, &p1_, &p2_, &other_}),
              (std::vector<WString>{v1_, v2_, p1_, p2_, other_}));
    EXPECT_EQ(Pending().size(), 4u);
}
