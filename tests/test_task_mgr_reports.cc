// How the task manager reads an engine's reports, driven report by report: the recording
// test engine stands in for the video engine library, and the test reports through its sink
// from its own thread, as the engine's thread would.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/device_image.h"
#include "tests/mgr_harness.h"
#include "tests/support/test_env.h"
#include "tests/upload/engine_fixture.h"
#include "upload/messages.h"

namespace {

constexpr HRESULT kCancelled = static_cast<HRESULT>(0xC0000002u);
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);

class TaskMgrReportTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_ = root_ + "/../trace.log";
        setenv("VANTLO_TRACE_FILE", trace_.c_str(), 1);
        ASSERT_TRUE(PrepareDeviceImage());
        InstallLibrary(kRecordingEngine, u"\\Windows\\Zorvid.dll");
        engine_ = std::make_unique<RecordingEngine>(u"\\Windows\\Zorvid.dll");
        ASSERT_TRUE(engine_->Ready());
        agent_ = std::make_unique<AgentWindowStandIn>();
        mgr_ = std::make_unique<CUploadTaskMgr>();
        main_ = std::make_unique<MainWindowStandIn>(*mgr_);
        ASSERT_EQ(main_->Init(), S_OK);
        ASSERT_EQ(mgr_->RegisterObserver(&observer_), S_OK);
    }
    void TearDown() override {
        if (mgr_) mgr_->UnregisterObserver(&observer_);
        main_.reset();
        mgr_.reset();
        agent_.reset();
        engine_.reset();
        DeviceTest::TearDown();
    }

    // Queues a video and waits until the engine got it.
    void StartVideo(const WString& path) {
        main_->OnMain([&] {
            mgr_->EnsureVideoList();
            mgr_->AddVideoTask(DefaultVideo(path), u"token", TRUE);
        });
        main_->Kick();
        ASSERT_TRUE(
            WaitUntil([&] { return mgr_->GetStatus(path.c_str(), nullptr) == TASK_UPLOADING; }));
    }

    // The submit time of the video task for path (kept until the next call).
    const SYSTEMTIME& TimeOf(const WString& path) {
        TaskSnapshotList tasks;
        mgr_->GetAllServiceTasks(&tasks, SERVICE_YOUTUBE);
        time_ = SYSTEMTIME{};
        for (const TaskSnapshot& t : tasks) {
            if (t.path == path) time_ = t.submitTime;
        }
        return time_;
    }

    // The messages routed to the main window from index from on.
    std::vector<UINT> MessagesSince(size_t from) {
        std::vector<UINT> out;
        std::vector<RoutedMessage> all = main_->Messages();
        for (size_t i = from; i < all.size(); i++) out.push_back(all[i].msg);
        return out;
    }

    size_t TraceCount(const std::string& text) {
        const std::string log = ReadHostFile(trace_);
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
        return n;
    }

    std::string trace_;
    std::unique_ptr<RecordingEngine> engine_;
    std::unique_ptr<AgentWindowStandIn> agent_;
    std::unique_ptr<CUploadTaskMgr> mgr_;
    std::unique_ptr<MainWindowStandIn> main_;
    RecordingObserver observer_;
    SYSTEMTIME time_{};  // what TimeOf returned last
};

}  // namespace

TEST_F(TaskMgrReportTest, ASuccessfulUploadIsTracedOncePerNewPercentAndLeavesTheList) {
    const WString clip = u"\\Media\\clip.mp4";
    WriteMediaFile(clip, 100, 1);
    StartVideo(clip);
    const size_t before = main_->Messages().size();

    for (LONG percent : {0, 40, 40, 100}) ASSERT_EQ(engine_->Report(S_OK, 0, percent), S_OK);
    // The done message and the queue's restart, both posted by the last report.
    ASSERT_TRUE(main_->WaitOnMain([&] { return MessagesSince(before).size() >= 2; }));
    EXPECT_EQ(mgr_->GetUploadStatusDb(clip.c_str(), nullptr), TASK_DONE);

    EXPECT_EQ(TraceCount("OnUploadVideo hr: 0x00000000, nPercent: 0\n"), 0u);  // the reset value
    EXPECT_EQ(TraceCount("OnUploadVideo hr: 0x00000000, nPercent: 40\n"), 1u);
    EXPECT_EQ(TraceCount("OnUploadVideo hr: 0x00000000, nPercent: 100\n"), 1u);
    EXPECT_EQ(agent_->StatusesOf(clip),
              (std::vector<DWORD>{TASK_UPLOADING, TASK_UPLOADING, TASK_DONE}));
    const std::vector<UINT> after = MessagesSince(before);
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after[0], MSG_VIDEO_DONE);
    EXPECT_EQ(after[1], MSG_START_TASK);
    EXPECT_EQ(observer_.PercentsOf(clip), (std::vector<LONG>{0, 40, 40, 100}));
    EXPECT_EQ(mgr_->GetStatus(clip.c_str(), nullptr), 0u);
    EXPECT_EQ(mgr_->GetPercent(SERVICE_YOUTUBE), 100);
    EXPECT_EQ(mgr_->GetPercent(SERVICE_FACEBOOK), 0);
}

TEST_F(TaskMgrReportTest, AboveHundredOrANegativeResultFailsTheTaskWithThatResult) {
    const WString over = u"\\Media\\over.mp4";
    const WString broken = u"\\Media\\broken.mp4";
    WriteMediaFile(over, 100, 1);
    WriteMediaFile(broken, 100, 2);

    StartVideo(over);
    ASSERT_EQ(engine_->Report(S_OK, 0, 101), S_OK);
    EXPECT_EQ(mgr_->GetStatus(over.c_str(), nullptr), TASK_FAILED);
    EXPECT_EQ(mgr_->GetError(over.c_str(), &TimeOf(over)), S_OK);  // the engine's own result

    StartVideo(broken);
    ASSERT_EQ(engine_->Report(kAccessDenied, 0, 100), S_OK);
    EXPECT_EQ(mgr_->GetStatus(broken.c_str(), nullptr), TASK_FAILED);
    EXPECT_EQ(mgr_->GetError(broken.c_str(), &TimeOf(broken)), kAccessDenied);
    ASSERT_TRUE(main_->WaitOnMain([&] { return main_->Count(MSG_VIDEO_FAILED) == 2; }));
    EXPECT_EQ(main_->Count(MSG_VIDEO_DONE), 0u);
    EXPECT_EQ(agent_->StatusesOf(broken), (std::vector<DWORD>{TASK_UPLOADING, TASK_FAILED}));
    EXPECT_EQ(mgr_->GetTaskStatus(), LIST_FAILED);
}

TEST_F(TaskMgrReportTest, ACancellationOrAReportWithoutARunningTaskOnlyRestartsTheQueue) {
    const WString clip = u"\\Media\\clip.mp4";
    WriteMediaFile(clip, 100, 1);
    StartVideo(clip);
    ASSERT_EQ(engine_->Report(S_OK, 0, 30), S_OK);
    size_t before = main_->Messages().size();

    ASSERT_EQ(engine_->Report(kCancelled, 0, 55), S_OK);
    ASSERT_TRUE(main_->WaitOnMain([&] { return main_->Messages().size() > before; }));
    EXPECT_EQ(MessagesSince(before), (std::vector<UINT>{MSG_START_TASK}));
    EXPECT_EQ(mgr_->GetPercent(SERVICE_YOUTUBE), 30);
    EXPECT_EQ(mgr_->GetStatus(clip.c_str(), nullptr), TASK_UPLOADING);
    EXPECT_EQ(TraceCount("OnUploadVideo: Task cancelled, start next task"), 1u);

    // Cancelled at the engine's side: its last report finds no task and only moves on.
    ASSERT_EQ(mgr_->CancelTask(clip.c_str(), &TimeOf(clip)), S_OK);
    EXPECT_EQ(engine_->Calls("video.cancel").size(), 1u);
    before = main_->Messages().size();
    ASSERT_EQ(engine_->Report(S_OK, 0, 100), S_OK);
    ASSERT_TRUE(main_->WaitOnMain([&] { return main_->Messages().size() > before; }));
    EXPECT_EQ(MessagesSince(before), (std::vector<UINT>{MSG_START_TASK}));
    EXPECT_EQ(TraceCount("OnUploadVideo: Current item not found"), 1u);
    EXPECT_EQ(agent_->StatusesOf(clip), (std::vector<DWORD>{TASK_UPLOADING}));
}
