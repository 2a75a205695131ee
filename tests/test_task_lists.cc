// Task lists and the engine hosts under them. The lists: lookups by exact path and by submit
// time (day, hour, minute and second only), the list state, status changes, snapshots and
// traces, for both lists, and the lists driving a real engine. The hosts: they load a real
// engine library from the device root (the recording engine built by the test tree, installed
// as \Windows\Zorvid.dll or \Windows\Pelfin.dll), drive it through their operations, pass its
// reports to the callback target, and release it in order; without a library or an export a
// host still works, answering E_POINTER where it would need the engine.
#include <gtest/gtest.h>

#include <memory>
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
    return list.Add(VideoTaskRequest{path, u"Title", u"About", u"People", u"a, b", visibility, time,
                                     status, error});
}
HRESULT AddTask(PhotoTaskList& list, LPCWSTR path, const SYSTEMTIME& time, TaskStatus status,
                HRESULT error = 0) {
    return list.Add(PhotoTaskRequest{path, u"Caption", DEFAULT_PHOTO_ALBUM, time, status, error});
}

using Statuses = std::vector<TaskStatus>;

// The statuses, or the paths, of the list's tasks in order.
Statuses StatusesOf(const UploadTaskList& list) {
    TaskSnapshotList snaps;
    list.GetAllItems(&snaps);
    Statuses out;
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

template <class List>
class BothLists : public TracedTest {
  protected:
    List list;  // the list under test
};
using ListTypes = ::testing::Types<VideoTaskList, PhotoTaskList>;
TYPED_TEST_SUITE(BothLists, ListTypes);

}  // namespace

TEST(TaskLists, StatusNamesServicesAndTheDefaultsOfNullTexts) {
    for (const auto& [status, text] :
         std::vector<std::pair<TaskStatus, WString>>{{TASK_FAILED, u"failed"},
                                                     {TASK_UPLOADING, u"uploading"},
                                                     {TASK_WAITING, u"waiting"},
                                                     {TASK_DONE, u"done"},
                                                     {0, u"Unknown state"},
                                                     {5, u"Unknown state"}}) {
        EXPECT_EQ(WString(TaskStateName(status)), text) << status;
    }
    VideoTaskList video;
    PhotoTaskList photo;
    EXPECT_TRUE(video.IsService(SERVICE_YOUTUBE));
    EXPECT_FALSE(video.IsService(SERVICE_FACEBOOK));
    EXPECT_FALSE(video.IsService(7));
    EXPECT_TRUE(photo.IsService(SERVICE_FACEBOOK));
    EXPECT_FALSE(photo.IsService(SERVICE_YOUTUBE));

    // Null texts are stored as empty ones.
    SYSTEMTIME t = At(1, 2, 3, 4);
    EXPECT_EQ(video.Add(VideoTaskRequest{nullptr, nullptr, nullptr, nullptr, nullptr, 0, t,
                                         TASK_WAITING, 0}),
              S_OK);
    EXPECT_EQ(video.GetStatus(u"", &t), TASK_WAITING);
    EXPECT_EQ(photo.Add(PhotoTaskRequest{nullptr, nullptr, nullptr, t, TASK_FAILED, E_FAIL}), S_OK);
    EXPECT_EQ(photo.GetStatus(u"", &t), TASK_FAILED);
    EXPECT_EQ(photo.GetError(u"", &t), E_FAIL);
    EXPECT_EQ(video.SetEngine(nullptr), E_POINTER);
    EXPECT_EQ(photo.SetEngine(nullptr), E_POINTER);
    EXPECT_EQ(video.SetAccountText(nullptr), E_POINTER);
    EXPECT_EQ(video.SetAuthToken(nullptr), E_POINTER);
}

// ---- Lookups --------------------------------------------------------------------------

TYPED_TEST(BothLists, LookupsMatchThePathExactlyAndTheSubmitTimeToTheSecond) {
    auto& list = this->list;
    SYSTEMTIME t = At(6, 10, 20, 30);
    ASSERT_EQ(AddTask(list, u"\\My Videos\\Clip.mp4", t, TASK_WAITING), S_OK);
    EXPECT_EQ(list.GetStatus(u"\\My Videos\\Clip.mp4", &t), TASK_WAITING);
    EXPECT_EQ(list.GetStatus(u"\\My Videos\\Clip.mp4", nullptr), TASK_WAITING);
    for (LPCWSTR other : std::initializer_list<LPCWSTR>{
             u"\\my videos\\clip.mp4", u"\\My Videos\\Clip", u"\\My Videos\\Clip.mp4 ", nullptr}) {
        EXPECT_EQ(list.GetStatus(other, &t), 0u);
    }
    EXPECT_EQ(list.ClearItem(u"\\MY VIDEOS\\CLIP.MP4", &t), E_FAIL);
    EXPECT_EQ(list.ClearItem(nullptr, nullptr), E_FAIL);
    EXPECT_EQ(list.Remove(u"\\my videos\\clip.mp4", &t, TASK_WAITING), E_FAIL);
    EXPECT_EQ(Paths(list), std::vector<WString>{u"\\My Videos\\Clip.mp4"});

    // Errors are read by path and time; SetError writes only to a started task.
    AddTask(list, u"\\a", t, TASK_FAILED, static_cast<HRESULT>(0x90000001u));
    EXPECT_EQ(list.GetError(u"\\a", &t), static_cast<HRESULT>(0x90000001u));
    EXPECT_EQ(list.GetError(nullptr, &t), E_INVALIDARG);
    EXPECT_EQ(list.GetError(u"\\a", nullptr), E_INVALIDARG);
    EXPECT_EQ(list.GetError(u"\\b", &t), E_FAIL);
    EXPECT_EQ(list.SetError(E_FAIL), E_FAIL);  // nothing was started

    // The submit time matches on day, hour, minute and second only: the same second with
    // other milliseconds, year, month and day of week is one task for lookups.
    TypeParam twins;
    SYSTEMTIME first = At(6, 10, 20, 30, 120, 2024, 5, 1);
    SYSTEMTIME twin = At(6, 10, 20, 30, 987, 2025, 11, 4);
    ASSERT_EQ(AddTask(twins, u"\\a.jpg", first, TASK_WAITING, 11), S_OK);
    ASSERT_EQ(AddTask(twins, u"\\a.jpg", twin, TASK_FAILED, 22), S_OK);

    EXPECT_EQ(twins.GetStatus(u"\\a.jpg", &twin), TASK_WAITING);  // the first in order
    EXPECT_EQ(twins.GetError(u"\\a.jpg", &twin), 11);
    for (const SYSTEMTIME& off : {At(6, 10, 20, 31, 120), At(7, 10, 20, 30, 120),
                                  At(6, 11, 20, 30, 120), At(6, 10, 21, 30, 120)}) {
        EXPECT_EQ(twins.GetStatus(u"\\a.jpg", &off), 0u);
        EXPECT_EQ(twins.GetError(u"\\a.jpg", &off), E_FAIL);
        EXPECT_EQ(twins.SetStatus(TASK_DONE, u"\\a.jpg", &off), E_FAIL);
    }

    EXPECT_EQ(twins.SetStatus(TASK_UPLOADING, u"\\a.jpg", &twin), S_OK);
    EXPECT_EQ(StatusesOf(twins), (Statuses{TASK_UPLOADING, TASK_FAILED}));

    // Dropping "the twin" drops the first; the second one is found from then on.
    EXPECT_EQ(twins.ClearItem(u"\\a.jpg", &twin), S_OK);
    EXPECT_EQ(twins.GetStatus(u"\\a.jpg", &first), TASK_FAILED);
    EXPECT_EQ(twins.GetError(u"\\a.jpg", &first), 22);
    EXPECT_EQ(twins.Remove(u"\\a.jpg", &first, TASK_FAILED), S_OK);
    EXPECT_TRUE(Paths(twins).empty());
}

// ---- State and status changes -----------------------------------------------------------

TYPED_TEST(BothLists, StateStatusChangesAndQueriesFollowTheFirstTaskNotDone) {
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

    // Without a path SetStatus changes only the first uploading task.
    TypeParam two;
    SYSTEMTIME tc = At(2, 9, 0, 3);
    AddTask(two, u"\\a", At(2, 9, 0, 1), TASK_WAITING);
    AddTask(two, u"\\b", At(2, 9, 0, 2), TASK_UPLOADING);
    AddTask(two, u"\\c", tc, TASK_UPLOADING);

    EXPECT_EQ(two.SetStatus(TASK_DONE, nullptr, &tc), S_OK);  // time narrows it to c
    EXPECT_EQ(StatusesOf(two), (Statuses{TASK_WAITING, TASK_UPLOADING, TASK_DONE}));
    EXPECT_EQ(two.SetStatus(TASK_FAILED, nullptr, nullptr), S_OK);
    EXPECT_EQ(StatusesOf(two), (Statuses{TASK_WAITING, TASK_FAILED, TASK_DONE}));
    EXPECT_EQ(two.SetStatus(TASK_DONE, nullptr, nullptr), E_FAIL);  // nothing uploads now
    EXPECT_EQ(two.SetStatus(TASK_DONE, u"\\missing", nullptr), E_FAIL);
    EXPECT_EQ(StatusesOf(two), (Statuses{TASK_WAITING, TASK_FAILED, TASK_DONE}));

    // The uploading and the first waiting task.
    TypeParam three;
    EXPECT_EQ(three.GetUploadingPath(), nullptr);
    EXPECT_EQ(three.GetUploadingTime(), nullptr);
    ASSERT_NE(three.GetFirstWaitingPath(), nullptr);
    EXPECT_EQ(WString(three.GetFirstWaitingPath()), u"");

    AddTask(three, u"\\a", At(3, 8, 7, 5), TASK_FAILED);
    AddTask(three, u"\\b", At(3, 8, 7, 6, 5), TASK_UPLOADING);
    AddTask(three, u"\\c", At(3, 8, 7, 7), TASK_WAITING);
    AddTask(three, u"\\d", At(3, 8, 7, 8), TASK_FAILED);
    EXPECT_EQ(WString(three.GetUploadingPath()), u"\\b");
    ASSERT_NE(three.GetUploadingTime(), nullptr);
    EXPECT_EQ(three.GetUploadingTime()->wSecond, 6);
    EXPECT_EQ(three.GetUploadingTime()->wMilliseconds, 5);
    EXPECT_EQ(WString(three.GetFirstWaitingPath()), u"\\c");

    EXPECT_EQ(three.RetryFailed(), S_OK);
    EXPECT_EQ(StatusesOf(three),
              (Statuses{TASK_WAITING, TASK_UPLOADING, TASK_WAITING, TASK_WAITING}));
    EXPECT_EQ(WString(three.GetFirstWaitingPath()), u"\\a");
}

TYPED_TEST(BothLists, SnapshotsAreCopiesInListOrderAndClearItemDropsOneTaskWithATrace) {
    auto& list = this->list;
    WString path = u"\\Storage Card\\DCIM\\100.jpg";
    SYSTEMTIME t = At(5, 5, 5, 6);
    AddTask(list, path.c_str(), At(5, 5, 5, 5), TASK_WAITING);
    path[1] = u'X';  // the list keeps its own copy
    AddTask(list, u"\\drop", t, TASK_DONE);
    AddTask(list, u"\\second", t, TASK_DONE);

    EXPECT_EQ(list.ClearItem(u"\\drop", &t), S_OK);
    EXPECT_EQ(list.ClearItem(u"\\drop", &t), E_FAIL);
    EXPECT_EQ(this->trace_.CountLines("[Vantlo] Clear item from memory: \\drop"), 1u);
    TaskSnapshotList out{TaskSnapshot{u"stale", {}, TASK_FAILED}};  // replaced, not appended to
    EXPECT_EQ(list.GetAllItems(&out), &out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].path, u"\\Storage Card\\DCIM\\100.jpg");
    EXPECT_EQ(out[0].submitTime.wSecond, 5);
    EXPECT_EQ(out[0].status, TASK_WAITING);
    EXPECT_EQ(out[1].path, u"\\second");
    EXPECT_EQ(out[1].status, TASK_DONE);
    EXPECT_EQ(list.GetAllItems(nullptr), nullptr);
}

TEST_F(TracedTest, TheVideoListTracesAddsStatusChangesAndSnapshotsThePhotoListOnlyItsAdds) {
    auto exercise = [](UploadTaskList& list, LPCWSTR done, LPCWSTR none) {
        list.RetryFailed();
        list.SetStatus(TASK_DONE, done, nullptr);
        list.SetStatus(TASK_DONE, none, nullptr);
        TaskSnapshotList out;
        list.GetAllItems(&out);
    };
    SYSTEMTIME t = At(1, 1, 1, 1);
    VideoTaskList video;
    AddTask(video, u"\\v1.mp4", t, TASK_FAILED);
    AddTask(video, u"\\v2.mp4", t, TASK_WAITING);
    exercise(video, u"\\v2.mp4", u"\\none.mp4");
    PhotoTaskList photo;
    AddTask(photo, u"\\p1.jpg", t, TASK_FAILED);
    exercise(photo, u"\\p1.jpg", u"\\none.jpg");
    EXPECT_EQ(trace_.Lines(),
              (std::vector<std::string>{"Add() + \\v1.mp4", "Add() - \\v1.mp4", "Add() + \\v2.mp4",
                                        "Add() - \\v2.mp4", "SetStatus 3", "SetStatus +",
                                        "SetStatus 4", "SetStatus +", "SetStatus -",
                                        "GetAllItems 3 \\v1.mp4", "GetAllItems 4 \\v2.mp4",
                                        "GetAllItems 2", "Add() +", "Add() -"}));
}

// ---- Driving the engines ---------------------------------------------------------------

namespace {

// Both lists with the real hosts over the recording engine library.
class ListsWithEngine : public TracedTest {
  protected:
    void SetUp() override {
        TracedTest::SetUp();
        InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
        InstallLibrary(kRecordingEngine, PHOTO_ENGINE_LIBRARY);
        videoEngine_ = std::make_unique<RecordingEngine>(VIDEO_ENGINE_LIBRARY);
        photoEngine_ = std::make_unique<RecordingEngine>(PHOTO_ENGINE_LIBRARY);
        ASSERT_TRUE(videoEngine_->Ready());
        ASSERT_TRUE(photoEngine_->Ready());
        ASSERT_EQ(CreateVideoEngineHost(&videoHost_), S_OK);
        ASSERT_EQ(CreatePhotoEngineHost(&photoHost_), S_OK);
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
        TracedTest::TearDown();
    }

    VideoTaskList video_;                           // the video list under test
    PhotoTaskList photo_;                           // the photo list under test
    VideoEngineHost* videoHost_ = nullptr;          // real host over Zorvid.dll
    PhotoEngineHost* photoHost_ = nullptr;          // real host over Pelfin.dll
    std::unique_ptr<RecordingEngine> videoEngine_;  // controls of the video engine copy
    std::unique_ptr<RecordingEngine> photoEngine_;  // controls of the photo engine copy
};

}  // namespace

TEST_F(ListsWithEngine, StartNextHandsTheAccountThenTheTasksParametersOrKeepsItWaiting) {
    // A refused account or a refused upload keeps the task waiting.
    const HRESULT denied = static_cast<HRESULT>(0x80070005u);
    const HRESULT aborted = static_cast<HRESULT>(0x80004004u);
    AddTask(photo_, u"\\a.jpg", At(1, 1, 1, 1), TASK_WAITING);
    photoEngine_->SetResult("photo.start", aborted);
    EXPECT_EQ(photo_.StartNext(), aborted);
    EXPECT_EQ(StatusesOf(photo_), Statuses{TASK_WAITING});
    EXPECT_EQ(photoEngine_->Calls("photo.start").size(), 1u);

    SYSTEMTIME tb = At(6, 12, 0, 1, 300);
    AddTask(video_, u"\\a.mp4", At(6, 12, 0, 0), TASK_DONE);
    AddTask(video_, u"\\b.mp4", tb, TASK_WAITING, 0, /*visibility*/ 0);
    AddTask(video_, u"\\c.mp4", At(6, 12, 0, 2), TASK_WAITING);
    videoEngine_->SetResult("video.account", denied);
    EXPECT_EQ(video_.StartNext(), denied);
    EXPECT_TRUE(videoEngine_->Calls("video.start").empty());
    videoEngine_->SetResult("video.account", S_OK);
    videoEngine_->SetResult("video.start", aborted);
    EXPECT_EQ(video_.StartNext(), aborted);
    EXPECT_EQ(videoEngine_->Calls("video.start").size(), 1u);
    EXPECT_EQ(StatusesOf(video_), (Statuses{TASK_DONE, TASK_WAITING, TASK_WAITING}));
    EXPECT_EQ(video_.GetUploadingPath(), nullptr);

    videoEngine_->SetResult("video.start", S_OK);
    videoEngine_->ClearLog();
    ASSERT_EQ(video_.SetAccountText(u"account-1"), S_OK);
    ASSERT_EQ(video_.SetAuthToken(u"token-2"), S_OK);
    EXPECT_EQ(video_.StartNext(), S_OK);
    EXPECT_EQ(videoEngine_->Log(),
              (std::vector<WString>{u"video.account|account-1",
                                    u"video.start|\\b.mp4|Title|About|People|a, b|token-2|1"}));
    EXPECT_EQ(StatusesOf(video_), (Statuses{TASK_DONE, TASK_UPLOADING, TASK_WAITING}));
    EXPECT_EQ(WString(video_.GetUploadingPath()), u"\\b.mp4");

    // The started task is the one SetError writes to, whatever else changes.
    EXPECT_EQ(video_.SetError(static_cast<HRESULT>(0x80072EE7u)), S_OK);
    EXPECT_EQ(video_.GetError(u"\\b.mp4", &tb), static_cast<HRESULT>(0x80072EE7u));

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

TEST_F(ListsWithEngine, RemoveAndClearAllCancelTheRunningUploadOnly) {
    // Video: the engine is told only of the upload it was given.
    SYSTEMTIME ta = At(2, 2, 2, 1), tb = At(2, 2, 2, 2), tc = At(2, 2, 2, 3);
    AddTask(video_, u"\\a.mp4", ta, TASK_WAITING);
    AddTask(video_, u"\\b.mp4", tb, TASK_FAILED);
    EXPECT_EQ(video_.ClearAll(), S_OK);  // nothing runs: the engine is not told
    EXPECT_TRUE(videoEngine_->Log().empty());
    EXPECT_TRUE(Paths(video_).empty());
    AddTask(video_, u"\\a.mp4", ta, TASK_WAITING);
    AddTask(video_, u"\\b.mp4", tb, TASK_WAITING);
    AddTask(video_, u"\\c.mp4", tc, TASK_WAITING);
    ASSERT_EQ(video_.StartNext(), S_OK);  // a runs
    videoEngine_->ClearLog();
    EXPECT_EQ(video_.Remove(u"\\b.mp4", &tb, TASK_WAITING), S_OK);
    // Reported as uploading, but not the upload the engine was given: no cancel.
    EXPECT_EQ(video_.Remove(u"\\c.mp4", &tc, TASK_UPLOADING), S_OK);
    EXPECT_TRUE(videoEngine_->Log().empty());
    EXPECT_EQ(video_.Remove(u"\\a.mp4", &tb, TASK_UPLOADING), E_FAIL);  // wrong time
    EXPECT_EQ(video_.Remove(u"\\a.mp4", &ta, TASK_UPLOADING), S_OK);
    EXPECT_EQ(videoEngine_->Log(), std::vector<WString>{u"video.cancel|\\a.mp4"});
    EXPECT_TRUE(Paths(video_).empty());
    AddTask(video_, u"\\d.mp4", ta, TASK_WAITING);
    AddTask(video_, u"\\e.mp4", tb, TASK_WAITING);
    ASSERT_EQ(video_.StartNext(), S_OK);
    videoEngine_->ClearLog();
    EXPECT_EQ(video_.ClearAll(), S_OK);
    EXPECT_EQ(videoEngine_->Log(), std::vector<WString>{u"video.cancel|\\d.mp4"});
    EXPECT_TRUE(Paths(video_).empty());
    EXPECT_EQ(video_.GetListState(), LIST_IDLE);

    // Photo: starts with the path, and trusts the caller's status: b only waits, yet its
    // cancel is sent.
    AddTask(photo_, u"\\a.jpg", ta, TASK_WAITING);
    AddTask(photo_, u"\\b.jpg", tb, TASK_WAITING);
    EXPECT_EQ(photo_.StartNext(), S_OK);
    EXPECT_EQ(photoEngine_->Log(), std::vector<WString>{u"photo.start|\\a.jpg||"});
    EXPECT_EQ(WString(photo_.GetUploadingPath()), u"\\a.jpg");
    photoEngine_->ClearLog();
    EXPECT_EQ(photo_.Remove(u"\\b.jpg", &tb, TASK_UPLOADING), S_OK);
    EXPECT_EQ(photoEngine_->Log(), std::vector<WString>{u"photo.cancel|\\b.jpg||"});
    photoEngine_->ClearLog();
    EXPECT_EQ(photo_.Remove(u"\\a.jpg", &tb, TASK_UPLOADING), E_FAIL);
    EXPECT_TRUE(photoEngine_->Log().empty());
    EXPECT_EQ(photo_.ClearAll(), S_OK);
    EXPECT_EQ(photoEngine_->Log(), std::vector<WString>{u"photo.cancel|(null)||"});
    EXPECT_TRUE(Paths(photo_).empty());
}

TEST_F(TracedTest, ListsWithoutAnEngineOrOverHostsWithoutALibraryKeepTheirTasksWaiting) {
    VideoEngineHost* videoHost = nullptr;
    PhotoEngineHost* photoHost = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&videoHost), S_OK);  // no library in this device root
    ASSERT_EQ(CreatePhotoEngineHost(&photoHost), S_OK);
    SYSTEMTIME t = At(1, 1, 1, 1);
    for (bool overHosts : {false, true}) {
        VideoTaskList video;
        PhotoTaskList photo;
        if (overHosts) {
            video.SetEngine(videoHost);
            photo.SetEngine(photoHost);
        }
        AddTask(video, u"\\a.mp4", t, TASK_WAITING);
        AddTask(photo, u"\\a.jpg", t, TASK_WAITING);
        EXPECT_EQ(video.StartNext(), E_POINTER);
        EXPECT_EQ(photo.StartNext(), E_POINTER);
        EXPECT_EQ(video.GetStatus(u"\\a.mp4", &t), TASK_WAITING);
        EXPECT_EQ(photo.GetStatus(u"\\a.jpg", &t), TASK_WAITING);
        EXPECT_EQ(video.ClearAll(), S_OK);
        EXPECT_EQ(photo.ClearAll(), S_OK);
    }
    EXPECT_EQ(ReleaseVideoEngineHost(&videoHost), S_OK);
    EXPECT_EQ(ReleasePhotoEngineHost(&photoHost), S_OK);
}

namespace {

// One report as a callback target received it (on the reporting thread, which in these
// tests is the test's own).
struct Report {
    HRESULT hr;    // the engine's result
    LONG percent;  // the engine's percent
};

class VideoTarget : public IVideoUploadCallback {
  public:
    void OnUploadVideo(HRESULT hr, LONG percent) override { log.push_back({hr, percent}); }
    std::vector<Report> log;  // every report
};

class PhotoTarget : public IPhotoUploadCallback {
  public:
    void OnPhotoNotice0(HRESULT, LPCWSTR) override { ++otherNotices; }
    void OnUploadPhoto(HRESULT hr, DWORD value, LONG percent) override {
        lastValue = value;
        log.push_back({hr, percent});
    }
    void OnAlbumListResult(HRESULT hr, LPCWSTR path) override {
        albumHr = hr;
        albumPath = path ? path : u"(null)";
    }
    void OnPhotoNotice3(HRESULT, LPCWSTR) override { ++otherNotices; }

    std::vector<Report> log;  // upload reports
    DWORD lastValue = 0;      // the engine's own value of the last upload report
    HRESULT albumHr = 1;      // outcome of the last album list notice
    WString albumPath;        // file of the last album list notice
    int otherNotices = 0;     // notices of the slots without meaning
};

class HostTest : public TracedTest {
  protected:
    // Installs a built test library as the service's engine library, with our own load of
    // it (which keeps it mapped) unless the case watches it being unmapped; false when that
    // load failed.
    bool Install(const char* built, LPCWSTR library = VIDEO_ENGINE_LIBRARY, bool controls = true) {
        InstallLibrary(built, library);
        if (!controls) return true;
        engine_ = std::make_unique<RecordingEngine>(library);
        return engine_->Ready();
    }
    std::vector<std::string> EngineEvents() const {
        return LifecycleEvents(root_, "engine-lifecycle.log");
    }

    std::unique_ptr<RecordingEngine> engine_;  // the engine's controls, once installed
};

VideoUploadParams SampleParams() {
    return VideoUploadParams{u"People",  u"Title", u"tag1, tag2", u"About", u"\\My Videos\\a.mp4",
                             u"token-1", 1};
}

}  // namespace

TEST_F(HostTest, HostsWithoutALibraryAnswerEPointerAndTheVideoHostLoadsOneInstalledLater) {
    PhotoEngineHost* photo = nullptr;
    ASSERT_EQ(CreatePhotoEngineHost(&photo), S_OK);
    ASSERT_NE(photo, nullptr);
    EXPECT_EQ(GetPhotoEngineHost(), photo);
    EXPECT_EQ(photo->engineIf, nullptr);
    EXPECT_TRUE(trace_.Contains("photo engine library \\Windows\\Pelfin.dll not loaded"));
    EXPECT_EQ(photo->SetSession(u"a", u"c"), E_POINTER);
    EXPECT_EQ(photo->Control4(u"a", u"b"), E_POINTER);
    EXPECT_EQ(photo->StartUpload(u"\\p.jpg", u"", u""), E_POINTER);
    EXPECT_EQ(photo->FetchAlbumList(u"s", u"\\Temp\\x.xml"), E_POINTER);
    EXPECT_EQ(photo->Control7(u"a", u"b"), E_POINTER);
    EXPECT_EQ(photo->CancelUpload(u"\\p.jpg", u"", u""), E_POINTER);
    PhotoTarget photoTarget;
    EXPECT_EQ(photo->SetCallback(&photoTarget), E_FAIL);  // no sink to hold it
    EXPECT_EQ(photo->UnregisterSink(), E_POINTER);
    EXPECT_EQ(ReleasePhotoEngineHost(&photo), S_OK);
    EXPECT_EQ(photo, nullptr);
    EXPECT_EQ(GetPhotoEngineHost(), nullptr);

    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(GetVideoEngineHost(), host);
    EXPECT_EQ(host->library, nullptr);
    EXPECT_EQ(host->engineIf, nullptr);
    EXPECT_EQ(host->sink, nullptr);
    EXPECT_TRUE(trace_.Contains("video engine library \\Windows\\Zorvid.dll not loaded"));
    VideoUploadParams params = SampleParams();
    EXPECT_EQ(host->SetAccount(u"account"), E_POINTER);
    EXPECT_EQ(host->Control(u"x"), E_POINTER);
    EXPECT_EQ(host->StartUpload(&params), E_POINTER);
    EXPECT_EQ(host->CancelUpload(&params), E_POINTER);
    EXPECT_EQ(host->UnregisterSink(), E_POINTER);
    VideoTarget target;
    EXPECT_EQ(host->SetCallback(&target), S_OK);
    EXPECT_EQ(host->target, &target);

    // Installed afterwards, the library is loaded by the next create, into the same host; its
    // new sink knows the target set before.
    ASSERT_TRUE(Install(kRecordingEngine));
    VideoEngineHost* again = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&again), S_OK);
    EXPECT_EQ(again, host);
    ASSERT_NE(host->engineIf, nullptr);
    EXPECT_EQ(engine_->Report(S_OK, 0, 30), S_OK);
    EXPECT_EQ(target.log.size(), 1u);
    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
    EXPECT_EQ(host, nullptr);
    EXPECT_EQ(GetVideoEngineHost(), nullptr);
}

TEST_F(HostTest, VideoHostDrivesItsOneEngineForwardsReportsWhileATargetIsSetAndReleasesInOrder) {
    ASSERT_TRUE(Install(kRecordingEngine));
    VideoEngineHost* host = nullptr;
    VideoEngineHost* second = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    ASSERT_EQ(CreateVideoEngineHost(&second), S_OK);  // one per process, loaded once
    EXPECT_EQ(second, host);
    ASSERT_NE(host->engineIf, nullptr);
    ASSERT_NE(host->sink, nullptr);
    EXPECT_EQ(engine_->Log(), (std::vector<WString>{u"video.create", u"video.register"}));
    EXPECT_EQ(EngineEvents(), std::vector<std::string>{"loaded"});
    engine_->ClearLog();

    // Each operation reaches its slot; the engine's own answers come back unchanged.
    EXPECT_EQ(host->SetAccount(u"user@example"), S_OK);
    EXPECT_EQ(host->Control(u"ping"), S_OK);
    EXPECT_EQ(host->StartUpload(nullptr), E_POINTER);
    EXPECT_EQ(host->CancelUpload(nullptr), E_POINTER);
    VideoUploadParams params = SampleParams();
    EXPECT_EQ(host->StartUpload(&params), S_OK);
    EXPECT_EQ(host->CancelUpload(&params), S_OK);
    EXPECT_EQ(engine_->Log(),
              (std::vector<WString>{
                  u"video.account|user@example", u"video.control|ping",
                  u"video.start|\\My Videos\\a.mp4|Title|About|People|tag1, tag2|token-1|1",
                  u"video.cancel|\\My Videos\\a.mp4"}));
    engine_->SetResult("video.account", static_cast<HRESULT>(0x80070005u));
    engine_->SetResult("video.start", static_cast<HRESULT>(0x80004004u));
    EXPECT_EQ(host->SetAccount(u"user@example"), static_cast<HRESULT>(0x80070005u));
    EXPECT_EQ(host->StartUpload(&params), static_cast<HRESULT>(0x80004004u));

    // Reports reach the target only while one is set (at shutdown it is cleared first).
    VideoTarget target;
    ASSERT_EQ(host->SetCallback(&target), S_OK);
    EXPECT_EQ(engine_->Report(S_OK, 0, 40), S_OK);
    EXPECT_EQ(engine_->Report(E_FAIL, 0, 40), S_OK);
    ASSERT_EQ(target.log.size(), 2u);
    EXPECT_EQ(target.log[0].hr, S_OK);
    EXPECT_EQ(target.log[0].percent, 40);
    EXPECT_EQ(target.log[1].hr, E_FAIL);
    ASSERT_EQ(host->SetCallback(nullptr), S_OK);
    EXPECT_EQ(engine_->Report(S_OK, 0, 100), S_OK);
    EXPECT_EQ(target.log.size(), 2u);

    // The sink is unregistered before the engine is released, and the library freed.
    engine_->ClearLog();
    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
    EXPECT_EQ(host, nullptr);
    EXPECT_EQ(GetVideoEngineHost(), nullptr);
    EXPECT_EQ(engine_->Log(), (std::vector<WString>{u"video.unregister", u"video.release"}));
    EXPECT_EQ(engine_->Report(S_OK, 0, 10), E_FAIL);  // no sink left registered
    engine_.reset();
    EXPECT_EQ(EngineEvents(), (std::vector<std::string>{"loaded", "unloaded"}));

    VideoEngineHost* none = nullptr;
    EXPECT_EQ(ReleaseVideoEngineHost(&none), E_POINTER);
    EXPECT_EQ(ReleaseVideoEngineHost(nullptr), E_POINTER);
    EXPECT_EQ(CreateVideoEngineHost(nullptr), E_POINTER);
}

TEST_F(HostTest, PhotoHostDrivesItsEngineAndForwardsItsNoticesWhileATargetIsSet) {
    ASSERT_TRUE(Install(kRecordingEngine, PHOTO_ENGINE_LIBRARY));
    PhotoEngineHost* host = nullptr;
    ASSERT_EQ(CreatePhotoEngineHost(&host), S_OK);
    ASSERT_NE(host->engineIf, nullptr);
    EXPECT_EQ(engine_->Log(), (std::vector<WString>{u"photo.create", u"photo.register"}));
    engine_->ClearLog();

    EXPECT_EQ(host->SetSession(u"session-1", u"secret-3"), S_OK);
    EXPECT_EQ(host->Control4(u"a", u"b"), S_OK);
    EXPECT_EQ(host->StartUpload(u"\\My Pictures\\p.jpg", u"", u""), S_OK);
    EXPECT_EQ(host->FetchAlbumList(u"session-2", u"\\Temp\\VantloFBAlbumListResult.xml"), S_OK);
    EXPECT_EQ(host->Control7(u"c", u"d"), S_OK);
    EXPECT_EQ(host->CancelUpload(nullptr, u"", u""), S_OK);
    EXPECT_EQ(engine_->Log(),
              (std::vector<WString>{u"photo.session|session-1|secret-3", u"photo.control4|a|b",
                                    u"photo.start|\\My Pictures\\p.jpg||",
                                    u"photo.albums|session-2|\\Temp\\VantloFBAlbumListResult.xml",
                                    u"photo.control7|c|d", u"photo.cancel|(null)||"}));

    PhotoTarget target;
    ASSERT_EQ(host->SetCallback(&target), S_OK);
    EXPECT_EQ(engine_->Report(S_OK, 9, 55), S_OK);
    ASSERT_EQ(target.log.size(), 1u);
    EXPECT_EQ(target.log[0].percent, 55);
    EXPECT_EQ(target.lastValue, 9u);  // the engine's own value
    EXPECT_EQ(engine_->ReportAlbumList(S_OK, u"\\Temp\\VantloFBAlbumListResult.xml"), S_OK);
    EXPECT_EQ(target.albumHr, S_OK);
    EXPECT_EQ(target.albumPath, u"\\Temp\\VantloFBAlbumListResult.xml");
    ASSERT_EQ(host->SetCallback(nullptr), S_OK);  // shutdown clears the target first
    engine_->Report(PHOTO_ENGINE_CANCELLED, 0, 0);
    EXPECT_EQ(target.log.size(), 1u);
    engine_->ClearLog();
    EXPECT_EQ(ReleasePhotoEngineHost(&host), S_OK);
    EXPECT_EQ(engine_->Log(), (std::vector<WString>{u"photo.unregister", u"photo.release"}));
}

TEST_F(HostTest, WithoutACreateExportOrWhenCreateFailsTheHostHasNoEngineButFreesTheLibrary) {
    ASSERT_TRUE(Install(kEngineWithoutCreate, VIDEO_ENGINE_LIBRARY, false));
    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    EXPECT_NE(host->library, nullptr);
    EXPECT_EQ(host->engineIf, nullptr);
    EXPECT_TRUE(trace_.Contains("video engine library has no CreateZorvidEngine"));
    VideoUploadParams params = SampleParams();
    EXPECT_EQ(host->SetAccount(u"account"), E_POINTER);
    EXPECT_EQ(host->StartUpload(&params), E_POINTER);
    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
    EXPECT_EQ(EngineEvents(), (std::vector<std::string>{"loaded", "unloaded"}));

    ASSERT_TRUE(Install(kRecordingEngine));
    engine_->SetResult("video.create", E_OUTOFMEMORY);
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);  // the load's outcome is not passed on
    EXPECT_NE(host->library, nullptr);
    EXPECT_EQ(host->engineIf, nullptr);
    EXPECT_EQ(host->sink, nullptr);
    EXPECT_TRUE(trace_.Contains("CreateZorvidEngine failed: 0x8007000e"));
    EXPECT_EQ(host->SetAccount(u"account"), E_POINTER);
    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
    EXPECT_EQ(engine_->Log(), std::vector<WString>{u"video.create"});  // nothing to unregister
}

TEST_F(HostTest, WithoutAReleaseExportTheHostSkipsUnregisteringButFreesTheLibrary) {
    ASSERT_TRUE(Install(kEngineWithoutRelease));
    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    ASSERT_NE(host->engineIf, nullptr);
    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
    EXPECT_TRUE(trace_.Contains("video engine library has no ReleaseZorvidEngine"));
    EXPECT_EQ(engine_->Log(), (std::vector<WString>{u"video.create", u"video.register"}));
    EXPECT_EQ(EngineEvents(), std::vector<std::string>{"loaded"});  // ours still holds it
    engine_.reset();
    EXPECT_EQ(EngineEvents(), (std::vector<std::string>{"loaded", "unloaded"}));
}
