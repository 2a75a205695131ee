// Task lists: lookups by exact path and by submit time (day, hour, minute and second
// only), the list state, status changes, snapshots and traces, for both lists; then the
// lists driving a real engine (the recording engine library loaded by the real hosts).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/test_env.h"
#include "tests/upload/engine_fixture.h"
#include "upload/engine_host.h"
#include "upload/task_list.h"
#include "upload/task_model.h"

namespace {

SYSTEMTIME At(WORD day, WORD hour, WORD minute, WORD second, WORD ms = 0, WORD year = 2024,
              WORD month = 5, WORD dayOfWeek = 1) {
    return SYSTEMTIME{year, month, dayOfWeek, day, hour, minute, second, ms};
}

// Adds one task to either list the same way.
HRESULT AddTask(VideoTaskList& list, LPCWSTR path, const SYSTEMTIME& time, TaskStatus status,
                HRESULT error = 0, DWORD visibility = 1) {
    VideoTaskRequest r{path,       u"Title", u"About", u"People", u"a, b",
                       visibility, time,     status,   error};
    return list.Add(r);
}
HRESULT AddTask(PhotoTaskList& list, LPCWSTR path, const SYSTEMTIME& time, TaskStatus status,
                HRESULT error = 0) {
    PhotoTaskRequest r{path, u"Caption", DEFAULT_PHOTO_ALBUM, time, status, error};
    return list.Add(r);
}

// The statuses of the list's tasks in order.
std::vector<TaskStatus> Statuses(const UploadTaskList& list) {
    TaskSnapshotList snaps;
    list.GetAllItems(&snaps);
    std::vector<TaskStatus> out;
    for (const TaskSnapshot& s : snaps) out.push_back(s.status);
    return out;
}

std::vector<WString> Paths(const UploadTaskList& list) {
    TaskSnapshotList snaps;
    list.GetAllItems(&snaps);
    std::vector<WString> out;
    for (const TaskSnapshot& s : snaps) out.push_back(s.path);
    return out;
}

class TraceTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_ = root_ + "/trace.log";
        setenv("VANTLO_TRACE_FILE", trace_.c_str(), 1);
    }
    // The message texts of the trace lines written so far, without their prefix.
    std::vector<std::string> TraceMessages() const {
        std::vector<std::string> out;
        std::string all = ReadHostFile(trace_);
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\n', start);
            if (end == std::string::npos) end = all.size();
            std::string line = all.substr(start, end - start);
            size_t body = line.find("] ", line.find("] ") + 2);  // after "[Orbel] [tick] "
            out.push_back(body == std::string::npos ? line : line.substr(body + 2));
            start = end + 1;
        }
        return out;
    }
    void ClearTrace() { WriteHostFile(trace_, ""); }

    std::string trace_;  // this case's trace file
};

template <class List>
class BothLists : public TraceTest {
  protected:
    List list;  // the list under test
};
using ListTypes = ::testing::Types<VideoTaskList, PhotoTaskList>;
TYPED_TEST_SUITE(BothLists, ListTypes);

}  // namespace

// ---- Status texts ---------------------------------------------------------------------

TEST(TaskStateText, FourRowsInStatusOrderAndUnknownOtherwise) {
    ASSERT_EQ(sizeof(TaskStateText), 4 * 68u);
    EXPECT_EQ(TaskStateText[0].status, TASK_FAILED);
    EXPECT_EQ(WString(TaskStateText[0].text), u"failed");
    EXPECT_EQ(WString(TaskStateText[1].text), u"uploading");
    EXPECT_EQ(WString(TaskStateText[2].text), u"waiting");
    EXPECT_EQ(TaskStateText[3].status, TASK_DONE);
    EXPECT_EQ(WString(TaskStateName(TASK_DONE)), u"done");
    EXPECT_EQ(WString(TaskStateName(TASK_UPLOADING)), u"uploading");
    EXPECT_EQ(WString(TaskStateName(0)), u"Unknown state");
    EXPECT_EQ(WString(TaskStateName(5)), u"Unknown state");
}

// ---- Lookups --------------------------------------------------------------------------

TYPED_TEST(BothLists, PathMustMatchExactlyIncludingCase) {
    SYSTEMTIME t = At(6, 10, 20, 30);
    ASSERT_EQ(AddTask(this->list, u"\\My Videos\\Clip.mp4", t, TASK_WAITING), S_OK);
    EXPECT_EQ(this->list.GetStatus(u"\\My Videos\\Clip.mp4", &t), TASK_WAITING);
    EXPECT_EQ(this->list.GetStatus(u"\\My Videos\\Clip.mp4", nullptr), TASK_WAITING);
    EXPECT_EQ(this->list.GetStatus(u"\\my videos\\clip.mp4", &t), 0u);
    EXPECT_EQ(this->list.GetStatus(u"\\My Videos\\Clip", &t), 0u);
    EXPECT_EQ(this->list.GetStatus(u"\\My Videos\\Clip.mp4 ", &t), 0u);
    EXPECT_EQ(this->list.GetStatus(nullptr, &t), 0u);
    EXPECT_EQ(this->list.ClearItem(u"\\MY VIDEOS\\CLIP.MP4", &t), E_FAIL);
    EXPECT_EQ(this->list.ClearItem(nullptr, nullptr), E_FAIL);
    EXPECT_EQ(this->list.Remove(u"\\my videos\\clip.mp4", &t, TASK_WAITING), E_FAIL);
    EXPECT_EQ(Paths(this->list), std::vector<WString>{u"\\My Videos\\Clip.mp4"});
}

TYPED_TEST(BothLists, SubmitTimeMatchesOnDayHourMinuteSecondOnly) {
    // Same second, different milliseconds, year, month and day of week: one task for lookups.
    SYSTEMTIME first = At(6, 10, 20, 30, 120, 2024, 5, 1);
    SYSTEMTIME twin = At(6, 10, 20, 30, 987, 2025, 11, 4);
    ASSERT_EQ(AddTask(this->list, u"\\a.jpg", first, TASK_WAITING, 11), S_OK);
    ASSERT_EQ(AddTask(this->list, u"\\a.jpg", twin, TASK_FAILED, 22), S_OK);

    EXPECT_EQ(this->list.GetStatus(u"\\a.jpg", &twin), TASK_WAITING);  // the first in order
    EXPECT_EQ(this->list.GetError(u"\\a.jpg", &twin), 11);
    SYSTEMTIME otherSecond = At(6, 10, 20, 31, 120);
    SYSTEMTIME otherDay = At(7, 10, 20, 30, 120);
    SYSTEMTIME otherHour = At(6, 11, 20, 30, 120);
    SYSTEMTIME otherMinute = At(6, 10, 21, 30, 120);
    for (const SYSTEMTIME* t : {&otherSecond, &otherDay, &otherHour, &otherMinute}) {
        EXPECT_EQ(this->list.GetStatus(u"\\a.jpg", t), 0u);
        EXPECT_EQ(this->list.GetError(u"\\a.jpg", t), E_FAIL);
        EXPECT_EQ(this->list.SetStatus(TASK_DONE, u"\\a.jpg", t), E_FAIL);
    }

    EXPECT_EQ(this->list.SetStatus(TASK_UPLOADING, u"\\a.jpg", &twin), S_OK);
    EXPECT_EQ(Statuses(this->list), (std::vector<TaskStatus>{TASK_UPLOADING, TASK_FAILED}));

    // Dropping "the twin" drops the first; the second one is found from then on.
    EXPECT_EQ(this->list.ClearItem(u"\\a.jpg", &twin), S_OK);
    EXPECT_EQ(this->list.GetStatus(u"\\a.jpg", &first), TASK_FAILED);
    EXPECT_EQ(this->list.GetError(u"\\a.jpg", &first), 22);
    EXPECT_EQ(this->list.Remove(u"\\a.jpg", &first, TASK_FAILED), S_OK);
    EXPECT_TRUE(Paths(this->list).empty());
}

TYPED_TEST(BothLists, ListStateFollowsTheFirstTaskNotDone) {
    auto& list = this->list;
    EXPECT_EQ(list.GetListState(), LIST_IDLE);
    EXPECT_TRUE(list.IsAllDone());
    EXPECT_FALSE(list.IsUploading());
    EXPECT_FALSE(list.HasWaiting());
    EXPECT_FALSE(list.HasWaitingTask());

    AddTask(list, u"\\1", At(1, 0, 0, 1), TASK_DONE);
    AddTask(list, u"\\2", At(1, 0, 0, 2), TASK_DONE);
    EXPECT_EQ(list.GetListState(), LIST_IDLE);
    EXPECT_TRUE(list.IsAllDone());

    AddTask(list, u"\\3", At(1, 0, 0, 3), TASK_WAITING);
    AddTask(list, u"\\4", At(1, 0, 0, 4), TASK_FAILED);
    EXPECT_EQ(list.GetListState(), LIST_WAITING);  // [done, done, waiting, failed]
    EXPECT_FALSE(list.IsAllDone());
    EXPECT_TRUE(list.HasWaiting());
    EXPECT_TRUE(list.HasWaitingTask());

    SYSTEMTIME t3 = At(1, 0, 0, 3);
    list.SetStatus(TASK_FAILED, u"\\3", &t3);
    EXPECT_EQ(list.GetListState(), LIST_FAILED);
    EXPECT_FALSE(list.HasWaiting());
    list.SetStatus(TASK_UPLOADING, u"\\3", &t3);
    EXPECT_EQ(list.GetListState(), LIST_UPLOADING);
    EXPECT_TRUE(list.IsUploading());
}

TYPED_TEST(BothLists, SetStatusWithoutPathChangesOnlyTheFirstUploadingTask) {
    auto& list = this->list;
    SYSTEMTIME tb = At(2, 9, 0, 2);
    SYSTEMTIME tc = At(2, 9, 0, 3);
    AddTask(list, u"\\a", At(2, 9, 0, 1), TASK_WAITING);
    AddTask(list, u"\\b", tb, TASK_UPLOADING);
    AddTask(list, u"\\c", tc, TASK_UPLOADING);

    EXPECT_EQ(list.SetStatus(TASK_DONE, nullptr, &tc), S_OK);  // time narrows it to c
    EXPECT_EQ(Statuses(list), (std::vector<TaskStatus>{TASK_WAITING, TASK_UPLOADING, TASK_DONE}));
    EXPECT_EQ(list.SetStatus(TASK_FAILED, nullptr, nullptr), S_OK);
    EXPECT_EQ(Statuses(list), (std::vector<TaskStatus>{TASK_WAITING, TASK_FAILED, TASK_DONE}));
    EXPECT_EQ(list.SetStatus(TASK_DONE, nullptr, nullptr), E_FAIL);  // nothing uploads now
    EXPECT_EQ(list.SetStatus(TASK_DONE, u"\\missing", nullptr), E_FAIL);
    EXPECT_EQ(Statuses(list), (std::vector<TaskStatus>{TASK_WAITING, TASK_FAILED, TASK_DONE}));
}

TYPED_TEST(BothLists, QueriesForUploadingAndWaitingTasks) {
    auto& list = this->list;
    EXPECT_EQ(list.GetUploadingPath(), nullptr);
    EXPECT_EQ(list.GetUploadingTime(), nullptr);
    ASSERT_NE(list.GetFirstWaitingPath(), nullptr);
    EXPECT_EQ(WString(list.GetFirstWaitingPath()), u"");

    SYSTEMTIME tb = At(3, 8, 7, 6, 5);
    AddTask(list, u"\\a", At(3, 8, 7, 5), TASK_FAILED);
    AddTask(list, u"\\b", tb, TASK_UPLOADING);
    AddTask(list, u"\\c", At(3, 8, 7, 7), TASK_WAITING);
    AddTask(list, u"\\d", At(3, 8, 7, 8), TASK_FAILED);
    EXPECT_EQ(WString(list.GetUploadingPath()), u"\\b");
    ASSERT_NE(list.GetUploadingTime(), nullptr);
    EXPECT_EQ(list.GetUploadingTime()->wSecond, 6);
    EXPECT_EQ(list.GetUploadingTime()->wMilliseconds, 5);
    EXPECT_EQ(WString(list.GetFirstWaitingPath()), u"\\c");

    EXPECT_EQ(list.RetryFailed(), S_OK);
    EXPECT_EQ(Statuses(list),
              (std::vector<TaskStatus>{TASK_WAITING, TASK_UPLOADING, TASK_WAITING, TASK_WAITING}));
    EXPECT_EQ(WString(list.GetFirstWaitingPath()), u"\\a");
}

TYPED_TEST(BothLists, ErrorsAreReadByPathAndTimeAndWrittenToTheStartedTask) {
    auto& list = this->list;
    SYSTEMTIME t = At(4, 1, 2, 3);
    AddTask(list, u"\\a", t, TASK_FAILED, static_cast<HRESULT>(0x90000001u));
    EXPECT_EQ(list.GetError(u"\\a", &t), static_cast<HRESULT>(0x90000001u));
    EXPECT_EQ(list.GetError(nullptr, &t), E_INVALIDARG);
    EXPECT_EQ(list.GetError(u"\\a", nullptr), E_INVALIDARG);
    EXPECT_EQ(list.GetError(u"\\b", &t), E_FAIL);
    EXPECT_EQ(list.SetError(E_FAIL), E_FAIL);  // nothing was started
}

TYPED_TEST(BothLists, SnapshotsAreCopiesInListOrderAndReplaceTheOutput) {
    auto& list = this->list;
    WString path = u"\\Storage Card\\DCIM\\100.jpg";
    AddTask(list, path.c_str(), At(5, 5, 5, 5), TASK_WAITING);
    path[1] = u'X';  // the list keeps its own copy
    AddTask(list, u"\\second", At(5, 5, 5, 6), TASK_DONE);

    TaskSnapshotList out{TaskSnapshot{u"stale", {}, TASK_FAILED}};
    EXPECT_EQ(list.GetAllItems(&out), &out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].path, u"\\Storage Card\\DCIM\\100.jpg");
    EXPECT_EQ(out[0].submitTime.wSecond, 5);
    EXPECT_EQ(out[0].status, TASK_WAITING);
    EXPECT_EQ(out[1].path, u"\\second");
    EXPECT_EQ(out[1].status, TASK_DONE);
    EXPECT_EQ(list.GetAllItems(nullptr), nullptr);
}

TYPED_TEST(BothLists, ClearItemDropsOneTaskAndTracesIt) {
    auto& list = this->list;
    SYSTEMTIME t = At(9, 9, 9, 9);
    AddTask(list, u"\\keep", t, TASK_WAITING);
    AddTask(list, u"\\drop", t, TASK_DONE);
    EXPECT_EQ(list.ClearItem(u"\\drop", &t), S_OK);
    EXPECT_EQ(list.ClearItem(u"\\drop", &t), E_FAIL);
    EXPECT_EQ(Paths(list), std::vector<WString>{u"\\keep"});
    std::vector<std::string> lines = this->TraceMessages();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[Vantlo] Clear item from memory: \\drop"),
              lines.end());
}

TEST(TaskLists, EachListKnowsOnlyItsOwnService) {
    VideoTaskList video;
    PhotoTaskList photo;
    EXPECT_TRUE(video.IsService(SERVICE_YOUTUBE));
    EXPECT_FALSE(video.IsService(SERVICE_FACEBOOK));
    EXPECT_FALSE(video.IsService(7));
    EXPECT_TRUE(photo.IsService(SERVICE_FACEBOOK));
    EXPECT_FALSE(photo.IsService(SERVICE_YOUTUBE));
}

TEST(TaskLists, AddCopiesEveryFieldAndNullTextsBecomeEmpty) {
    VideoTaskList video;
    SYSTEMTIME t = At(1, 2, 3, 4);
    VideoTaskRequest r{nullptr, nullptr, nullptr, nullptr, nullptr, 0, t, TASK_WAITING, 0};
    EXPECT_EQ(video.Add(r), S_OK);
    EXPECT_EQ(video.GetStatus(u"", &t), TASK_WAITING);
    PhotoTaskList photo;
    PhotoTaskRequest p{nullptr, nullptr, nullptr, t, TASK_FAILED, E_FAIL};
    EXPECT_EQ(photo.Add(p), S_OK);
    EXPECT_EQ(photo.GetStatus(u"", &t), TASK_FAILED);
    EXPECT_EQ(photo.GetError(u"", &t), E_FAIL);
    EXPECT_EQ(video.SetEngine(nullptr), E_POINTER);
    EXPECT_EQ(photo.SetEngine(nullptr), E_POINTER);
    EXPECT_EQ(video.SetAccountText(nullptr), E_POINTER);
    EXPECT_EQ(video.SetAuthToken(nullptr), E_POINTER);
}

// ---- Traces ---------------------------------------------------------------------------

class ListTraces : public TraceTest {};

TEST_F(ListTraces, VideoListTracesAddsStatusChangesAndSnapshots) {
    VideoTaskList list;
    SYSTEMTIME t = At(1, 1, 1, 1);
    AddTask(list, u"\\v1.mp4", t, TASK_FAILED);
    AddTask(list, u"\\v2.mp4", t, TASK_WAITING);
    list.RetryFailed();
    list.SetStatus(TASK_DONE, u"\\v2.mp4", nullptr);
    list.SetStatus(TASK_DONE, u"\\none.mp4", nullptr);
    TaskSnapshotList out;
    list.GetAllItems(&out);
    EXPECT_EQ(TraceMessages(),
              (std::vector<std::string>{
                  "Add() + \\v1.mp4", "Add() - \\v1.mp4", "Add() + \\v2.mp4", "Add() - \\v2.mp4",
                  "SetStatus 3", "SetStatus +", "SetStatus 4", "SetStatus +", "SetStatus -",
                  "GetAllItems 3 \\v1.mp4", "GetAllItems 4 \\v2.mp4", "GetAllItems 2"}));
}

TEST_F(ListTraces, PhotoListTracesOnlyItsAdds) {
    PhotoTaskList list;
    SYSTEMTIME t = At(1, 1, 1, 1);
    AddTask(list, u"\\p1.jpg", t, TASK_FAILED);
    list.RetryFailed();
    list.SetStatus(TASK_DONE, u"\\p1.jpg", nullptr);
    list.SetStatus(TASK_DONE, u"\\none.jpg", nullptr);
    TaskSnapshotList out;
    list.GetAllItems(&out);
    EXPECT_EQ(TraceMessages(), (std::vector<std::string>{"Add() +", "Add() -"}));
}

// ---- Driving the engines ---------------------------------------------------------------

namespace {

// Both lists with the real hosts over the recording engine library.
class ListsWithEngine : public TraceTest {
  protected:
    void SetUp() override {
        TraceTest::SetUp();
        InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
        InstallLibrary(kRecordingEngine, PHOTO_ENGINE_LIBRARY);
        videoEngine_ = std::make_unique<RecordingEngine>(VIDEO_ENGINE_LIBRARY);
        photoEngine_ = std::make_unique<RecordingEngine>(PHOTO_ENGINE_LIBRARY);
        ASSERT_TRUE(videoEngine_->Ready());
        ASSERT_TRUE(photoEngine_->Ready());
        ASSERT_EQ(CreateVideoEngineHost(&videoHost_), S_OK);
        ASSERT_EQ(CreatePhotoEngineHost(&photoHost_), S_OK);
        ASSERT_NE(videoHost_->engineIf, nullptr);
        ASSERT_NE(photoHost_->engineIf, nullptr);
        ASSERT_EQ(video_.SetEngine(videoHost_), S_OK);
        ASSERT_EQ(photo_.SetEngine(photoHost_), S_OK);
        videoEngine_->ClearLog();
        photoEngine_->ClearLog();
    }
    void TearDown() override {
        if (videoHost_) ReleaseVideoEngineHost(&videoHost_);
        if (photoHost_) ReleasePhotoEngineHost(&photoHost_);
        videoEngine_.reset();
        photoEngine_.reset();
        TraceTest::TearDown();
    }

    VideoTaskList video_;                           // the video list under test
    PhotoTaskList photo_;                           // the photo list under test
    VideoEngineHost* videoHost_ = nullptr;          // real host over Zorvid.dll
    PhotoEngineHost* photoHost_ = nullptr;          // real host over Pelfin.dll
    std::unique_ptr<RecordingEngine> videoEngine_;  // controls of the video engine copy
    std::unique_ptr<RecordingEngine> photoEngine_;  // controls of the photo engine copy
};

}  // namespace

TEST_F(ListsWithEngine, VideoStartNextHandsTheAccountThenTheTasksParameters) {
    ASSERT_EQ(video_.SetAccountText(u"account-1"), S_OK);
    ASSERT_EQ(video_.SetAuthToken(u"token-2"), S_OK);
    SYSTEMTIME ta = At(6, 12, 0, 1, 300);
    AddTask(video_, u"\\a.mp4", At(6, 12, 0, 0), TASK_DONE);
    AddTask(video_, u"\\b.mp4", ta, TASK_WAITING, 0, /*visibility*/ 0);
    AddTask(video_, u"\\c.mp4", At(6, 12, 0, 2), TASK_WAITING);

    EXPECT_EQ(video_.StartNext(), S_OK);
    EXPECT_EQ(videoEngine_->Log(),
              (std::vector<WString>{u"video.account|account-1",
                                    u"video.start|\\b.mp4|Title|About|People|a, b|token-2|1"}));
    EXPECT_EQ(Statuses(video_), (std::vector<TaskStatus>{TASK_DONE, TASK_UPLOADING, TASK_WAITING}));
    EXPECT_EQ(WString(video_.GetUploadingPath()), u"\\b.mp4");

    // The started task is the one SetError writes to, whatever else changes.
    EXPECT_EQ(video_.SetError(static_cast<HRESULT>(0x80072EE7u)), S_OK);
    EXPECT_EQ(video_.GetError(u"\\b.mp4", &ta), static_cast<HRESULT>(0x80072EE7u));

    // The public flag goes over as 0; the next task starts with the token as it is now.
    video_.SetAuthToken(u"token-3");
    videoEngine_->ClearLog();
    EXPECT_EQ(video_.StartNext(), S_OK);
    EXPECT_EQ(videoEngine_->Calls("video.start"),
              std::vector<WString>{u"video.start|\\c.mp4|Title|About|People|a, b|token-3|0"});

    videoEngine_->ClearLog();
    EXPECT_EQ(video_.StartNext(), E_FAIL);  // nothing waits
    EXPECT_TRUE(videoEngine_->Log().empty());
}

TEST_F(ListsWithEngine, VideoTaskStaysWaitingWhenTheEngineRefusesTheAccount) {
    const HRESULT refused = static_cast<HRESULT>(0x80070005u);
    videoEngine_->SetResult("video.account", refused);
    AddTask(video_, u"\\a.mp4", At(1, 1, 1, 1), TASK_WAITING);
    EXPECT_EQ(video_.StartNext(), refused);
    EXPECT_EQ(Statuses(video_), std::vector<TaskStatus>{TASK_WAITING});
    EXPECT_EQ(videoEngine_->Calls("video.start").size(), 0u);
    EXPECT_EQ(video_.GetUploadingPath(), nullptr);
}

TEST_F(ListsWithEngine, TaskStaysWaitingWhenTheEngineRefusesTheUpload) {
    const HRESULT refused = static_cast<HRESULT>(0x80004004u);
    videoEngine_->SetResult("video.start", refused);
    photoEngine_->SetResult("photo.start", refused);
    AddTask(video_, u"\\a.mp4", At(1, 1, 1, 1), TASK_WAITING);
    AddTask(photo_, u"\\a.jpg", At(1, 1, 1, 1), TASK_WAITING);
    EXPECT_EQ(video_.StartNext(), refused);
    EXPECT_EQ(photo_.StartNext(), refused);
    EXPECT_EQ(Statuses(video_), std::vector<TaskStatus>{TASK_WAITING});
    EXPECT_EQ(Statuses(photo_), std::vector<TaskStatus>{TASK_WAITING});
    EXPECT_EQ(videoEngine_->Calls("video.start").size(), 1u);
    EXPECT_EQ(photoEngine_->Calls("photo.start").size(), 1u);
}

TEST_F(ListsWithEngine, VideoRemoveCancelsOnlyTheUploadThatIsRunning) {
    SYSTEMTIME ta = At(2, 2, 2, 1);
    SYSTEMTIME tb = At(2, 2, 2, 2);
    SYSTEMTIME tc = At(2, 2, 2, 3);
    AddTask(video_, u"\\a.mp4", ta, TASK_WAITING);
    AddTask(video_, u"\\b.mp4", tb, TASK_WAITING);
    AddTask(video_, u"\\c.mp4", tc, TASK_WAITING);
    ASSERT_EQ(video_.StartNext(), S_OK);  // a runs
    videoEngine_->ClearLog();

    EXPECT_EQ(video_.Remove(u"\\b.mp4", &tb, TASK_WAITING), S_OK);
    EXPECT_TRUE(videoEngine_->Log().empty());
    // Reported as uploading, but not the upload the engine was given: no cancel.
    EXPECT_EQ(video_.Remove(u"\\c.mp4", &tc, TASK_UPLOADING), S_OK);
    EXPECT_TRUE(videoEngine_->Log().empty());
    EXPECT_EQ(video_.Remove(u"\\a.mp4", &tb, TASK_UPLOADING), E_FAIL);  // wrong time
    EXPECT_EQ(video_.Remove(u"\\a.mp4", &ta, TASK_UPLOADING), S_OK);
    EXPECT_EQ(videoEngine_->Log(), std::vector<WString>{u"video.cancel|\\a.mp4"});
    EXPECT_TRUE(Paths(video_).empty());
}

TEST_F(ListsWithEngine, VideoClearAllCancelsARunningUploadThenDropsEverything) {
    AddTask(video_, u"\\a.mp4", At(3, 3, 3, 1), TASK_WAITING);
    AddTask(video_, u"\\b.mp4", At(3, 3, 3, 2), TASK_FAILED);
    EXPECT_EQ(video_.ClearAll(), S_OK);  // nothing runs: the engine is not told
    EXPECT_TRUE(videoEngine_->Log().empty());
    EXPECT_TRUE(Paths(video_).empty());

    AddTask(video_, u"\\a.mp4", At(3, 3, 3, 1), TASK_WAITING);
    AddTask(video_, u"\\b.mp4", At(3, 3, 3, 2), TASK_WAITING);
    ASSERT_EQ(video_.StartNext(), S_OK);
    videoEngine_->ClearLog();
    EXPECT_EQ(video_.ClearAll(), S_OK);
    EXPECT_EQ(videoEngine_->Log(), std::vector<WString>{u"video.cancel|\\a.mp4"});
    EXPECT_TRUE(Paths(video_).empty());
    EXPECT_EQ(video_.GetListState(), LIST_IDLE);
}

TEST_F(ListsWithEngine, PhotoListStartsWithThePathAndCancelsWhatTheCallerSeesUploading) {
    SYSTEMTIME ta = At(4, 4, 4, 1);
    SYSTEMTIME tb = At(4, 4, 4, 2);
    AddTask(photo_, u"\\a.jpg", ta, TASK_WAITING);
    AddTask(photo_, u"\\b.jpg", tb, TASK_WAITING);
    EXPECT_EQ(photo_.StartNext(), S_OK);
    EXPECT_EQ(photoEngine_->Log(), std::vector<WString>{u"photo.start|\\a.jpg||"});
    EXPECT_EQ(WString(photo_.GetUploadingPath()), u"\\a.jpg");
    photoEngine_->ClearLog();

    // The photo list trusts the caller's status: b only waits, yet its cancel is sent.
    EXPECT_EQ(photo_.Remove(u"\\b.jpg", &tb, TASK_UPLOADING), S_OK);
    EXPECT_EQ(photoEngine_->Log(), std::vector<WString>{u"photo.cancel|\\b.jpg||"});
    photoEngine_->ClearLog();
    EXPECT_EQ(photo_.Remove(u"\\a.jpg", &tb, TASK_UPLOADING), E_FAIL);
    EXPECT_TRUE(photoEngine_->Log().empty());

    EXPECT_EQ(photo_.ClearAll(), S_OK);
    EXPECT_EQ(photoEngine_->Log(), std::vector<WString>{u"photo.cancel|(null)||"});
    EXPECT_TRUE(Paths(photo_).empty());
}

TEST_F(ListsWithEngine, ReportsOfAStartedUploadArriveFromTheEnginesThread) {
    // What the task manager does with the reports, reduced to the list calls it makes.
    struct Target : IVideoUploadCallback {
        void OnUploadVideo(HRESULT hr, LONG percent) override {
            std::lock_guard<std::mutex> g(lock);
            list->SetError(hr);
            if (percent == 100) {
                list->SetStatus(TASK_DONE, nullptr, nullptr);
                done.notify_all();
            }
        }
        std::mutex lock;                // serialises the list calls as the manager's lock does
        std::condition_variable done;   // signalled at 100 %
        VideoTaskList* list = nullptr;  // the list the reports are for
    } target;
    target.list = &video_;
    videoHost_->SetCallback(&target);
    videoEngine_->SetAutoProgress(true);

    SYSTEMTIME t = At(5, 5, 5, 5);
    AddTask(video_, u"\\a.mp4", t, TASK_WAITING);
    {
        std::unique_lock<std::mutex> g(target.lock);
        ASSERT_EQ(video_.StartNext(), S_OK);
        ASSERT_TRUE(target.done.wait_for(g, std::chrono::seconds(20), [&] {
            return video_.GetStatus(u"\\a.mp4", &t) == TASK_DONE;
        }));
    }
    videoHost_->SetCallback(nullptr);
    EXPECT_EQ(video_.GetError(u"\\a.mp4", &t), S_OK);
    EXPECT_EQ(video_.GetListState(), LIST_IDLE);
}

TEST_F(ListsWithEngine, ListsWithoutAnEngineKeepTheirTasksWaiting) {
    VideoTaskList lonelyVideo;
    PhotoTaskList lonelyPhoto;
    AddTask(lonelyVideo, u"\\a.mp4", At(1, 1, 1, 1), TASK_WAITING);
    AddTask(lonelyPhoto, u"\\a.jpg", At(1, 1, 1, 1), TASK_WAITING);
    EXPECT_EQ(lonelyVideo.StartNext(), E_POINTER);
    EXPECT_EQ(lonelyPhoto.StartNext(), E_POINTER);
    EXPECT_EQ(Statuses(lonelyVideo), std::vector<TaskStatus>{TASK_WAITING});
    EXPECT_EQ(Statuses(lonelyPhoto), std::vector<TaskStatus>{TASK_WAITING});
}

class ListsOverMissingEngines : public TraceTest {};

TEST_F(ListsOverMissingEngines, StartNextFailsWithEPointerAndTheTaskStaysWaiting) {
    VideoEngineHost* videoHost = nullptr;
    PhotoEngineHost* photoHost = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&videoHost), S_OK);  // no library in this device root
    ASSERT_EQ(CreatePhotoEngineHost(&photoHost), S_OK);
    VideoTaskList video;
    PhotoTaskList photo;
    video.SetEngine(videoHost);
    photo.SetEngine(photoHost);
    SYSTEMTIME t = At(1, 1, 1, 1);
    AddTask(video, u"\\a.mp4", t, TASK_WAITING);
    AddTask(photo, u"\\a.jpg", t, TASK_WAITING);

    EXPECT_EQ(video.StartNext(), E_POINTER);
    EXPECT_EQ(photo.StartNext(), E_POINTER);
    EXPECT_EQ(video.GetStatus(u"\\a.mp4", &t), TASK_WAITING);
    EXPECT_EQ(photo.GetStatus(u"\\a.jpg", &t), TASK_WAITING);
    EXPECT_EQ(video.ClearAll(), S_OK);
    EXPECT_EQ(photo.ClearAll(), S_OK);
    EXPECT_EQ(ReleaseVideoEngineHost(&videoHost), S_OK);
    EXPECT_EQ(ReleasePhotoEngineHost(&photoHost), S_OK);
}
