// Engine hosts: the hosts load a real engine library from the device root (the recording
// engine built by the test tree, installed as \Windows\Zorvid.dll or \Windows\Pelfin.dll),
// drive it through their operations, pass its reports to the callback target, and
// release it in order. Without a library or an export a host still works, answering
// E_POINTER where it would need the engine.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/test_env.h"
#include "tests/upload/engine_fixture.h"
#include "upload/engine_host.h"

namespace {

// One report as a callback target received it.
struct Report {
    HRESULT hr;              // the engine's result
    LONG percent;            // the engine's percent
    std::thread::id thread;  // the thread it arrived on
};

// Collects what a callback target is told; waits for reports with a watchdog.
class ReportLog {
  public:
    void Add(HRESULT hr, LONG percent) {
        std::lock_guard<std::mutex> g(lock_);
        reports_.push_back(Report{hr, percent, std::this_thread::get_id()});
        changed_.notify_all();
    }
    // The reports once there are at least n, or what came within the watchdog's time.
    std::vector<Report> WaitFor(size_t n) {
        std::unique_lock<std::mutex> g(lock_);
        changed_.wait_for(g, std::chrono::seconds(20), [&] { return reports_.size() >= n; });
        return reports_;
    }
    std::vector<Report> Now() {
        std::lock_guard<std::mutex> g(lock_);
        return reports_;
    }

  private:
    std::mutex lock_;                  // guards reports_
    std::condition_variable changed_;  // signalled on every report
    std::vector<Report> reports_;      // in arrival order
};

class VideoTarget : public IVideoUploadCallback {
  public:
    void OnUploadVideo(HRESULT hr, LONG percent) override { log.Add(hr, percent); }
    ReportLog log;  // every report
};

class PhotoTarget : public IPhotoUploadCallback {
  public:
    void OnPhotoNotice0(HRESULT, LPCWSTR) override { ++otherNotices; }
    void OnUploadPhoto(HRESULT hr, DWORD value, LONG percent) override {
        lastValue = value;
        log.Add(hr, percent);
    }
    void OnAlbumListResult(HRESULT hr, LPCWSTR path) override {
        albumHr = hr;
        albumPath = path ? path : u"(null)";
    }
    void OnPhotoNotice3(HRESULT, LPCWSTR) override { ++otherNotices; }

    ReportLog log;         // upload reports
    DWORD lastValue = 0;   // the engine's own value of the last upload report
    HRESULT albumHr = 1;   // outcome of the last album list notice
    WString albumPath;     // file of the last album list notice
    int otherNotices = 0;  // notices of the slots without meaning
};

class HostTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_ = root_ + "/trace.log";
        setenv("VANTLO_TRACE_FILE", trace_.c_str(), 1);
    }
    bool Traced(const std::string& text) const {
        return ReadHostFile(trace_).find(text) != std::string::npos;
    }
    std::vector<std::string> EngineEvents() const {
        return LifecycleEvents(root_, "engine-lifecycle.log");
    }

    std::string trace_;  // this case's trace file
};

VideoUploadParams SampleParams() {
    return VideoUploadParams{u"People",  u"Title", u"tag1, tag2", u"About", u"\\My Videos\\a.mp4",
                             u"token-1", 1};
}

}  // namespace

TEST_F(HostTest, VideoHostWithoutLibraryAnswersEPointerAndKeepsItsTarget) {
    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(GetVideoEngineHost(), host);
    EXPECT_EQ(host->library, nullptr);
    EXPECT_EQ(host->engineIf, nullptr);
    EXPECT_EQ(host->sink, nullptr);
    EXPECT_TRUE(Traced("video engine library \\Windows\\Zorvid.dll not loaded"));

    VideoUploadParams params = SampleParams();
    EXPECT_EQ(host->SetAccount(u"account"), E_POINTER);
    EXPECT_EQ(host->Control(u"x"), E_POINTER);
    EXPECT_EQ(host->StartUpload(&params), E_POINTER);
    EXPECT_EQ(host->CancelUpload(&params), E_POINTER);
    EXPECT_EQ(host->UnregisterSink(), E_POINTER);
    VideoTarget target;
    EXPECT_EQ(host->SetCallback(&target), S_OK);
    EXPECT_EQ(host->target, &target);

    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
    EXPECT_EQ(host, nullptr);
    EXPECT_EQ(GetVideoEngineHost(), nullptr);
}

TEST_F(HostTest, VideoHostWithoutCreateExportHasNoEngineAndStillFreesTheLibrary) {
    InstallLibrary(kEngineWithoutCreate, VIDEO_ENGINE_LIBRARY);
    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    EXPECT_NE(host->library, nullptr);
    EXPECT_EQ(host->engineIf, nullptr);
    EXPECT_TRUE(Traced("video engine library has no CreateZorvidEngine"));
    VideoUploadParams params = SampleParams();
    EXPECT_EQ(host->SetAccount(u"account"), E_POINTER);
    EXPECT_EQ(host->StartUpload(&params), E_POINTER);

    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
    EXPECT_EQ(EngineEvents(), (std::vector<std::string>{"loaded", "unloaded"}));
}

TEST_F(HostTest, FailingCreateLeavesTheHostWithoutEngine) {
    InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
    RecordingEngine engine(VIDEO_ENGINE_LIBRARY);
    ASSERT_TRUE(engine.Ready());
    engine.SetResult("video.create", E_OUTOFMEMORY);

    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);  // the load's outcome is not passed on
    EXPECT_NE(host->library, nullptr);
    EXPECT_EQ(host->engineIf, nullptr);
    EXPECT_EQ(host->sink, nullptr);
    EXPECT_TRUE(Traced("CreateZorvidEngine failed: 0x8007000e"));
    EXPECT_EQ(host->SetAccount(u"account"), E_POINTER);

    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
    EXPECT_EQ(engine.Log(), std::vector<WString>{u"video.create"});  // nothing to unregister
}

TEST_F(HostTest, VideoHostPassesEachOperationToItsEngineSlot) {
    InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
    RecordingEngine engine(VIDEO_ENGINE_LIBRARY);
    ASSERT_TRUE(engine.Ready());
    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    ASSERT_NE(host->engineIf, nullptr);
    ASSERT_NE(host->sink, nullptr);
    EXPECT_EQ(engine.Log(), (std::vector<WString>{u"video.create", u"video.register"}));
    engine.ClearLog();

    EXPECT_EQ(host->SetAccount(u"user@example"), S_OK);
    EXPECT_EQ(host->Control(u"ping"), S_OK);
    EXPECT_EQ(host->StartUpload(nullptr), E_POINTER);
    EXPECT_EQ(host->CancelUpload(nullptr), E_POINTER);
    VideoUploadParams params = SampleParams();
    EXPECT_EQ(host->StartUpload(&params), S_OK);
    EXPECT_EQ(host->CancelUpload(&params), S_OK);
    EXPECT_EQ(engine.Log(),
              (std::vector<WString>{
                  u"video.account|user@example", u"video.control|ping",
                  u"video.start|\\My Videos\\a.mp4|Title|About|People|tag1, tag2|token-1|1",
                  u"video.cancel|\\My Videos\\a.mp4"}));

    // The engine's own answers come back unchanged.
    engine.SetResult("video.account", static_cast<HRESULT>(0x80070005u));
    engine.SetResult("video.start", static_cast<HRESULT>(0x80004004u));
    EXPECT_EQ(host->SetAccount(u"user@example"), static_cast<HRESULT>(0x80070005u));
    EXPECT_EQ(host->StartUpload(&params), static_cast<HRESULT>(0x80004004u));

    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
}

TEST_F(HostTest, VideoSinkForwardsReportsOnlyWhileATargetIsSet) {
    InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
    RecordingEngine engine(VIDEO_ENGINE_LIBRARY);
    ASSERT_TRUE(engine.Ready());
    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);

    VideoTarget target;
    ASSERT_EQ(host->SetCallback(&target), S_OK);
    EXPECT_EQ(engine.Report(S_OK, 0, 40), S_OK);
    EXPECT_EQ(engine.Report(E_FAIL, 0, 40), S_OK);
    std::vector<Report> got = target.log.Now();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].hr, S_OK);
    EXPECT_EQ(got[0].percent, 40);
    EXPECT_EQ(got[1].hr, E_FAIL);

    // As at shutdown: the target is cleared and a late report goes nowhere.
    ASSERT_EQ(host->SetCallback(nullptr), S_OK);
    EXPECT_EQ(engine.Report(S_OK, 0, 100), S_OK);
    EXPECT_EQ(target.log.Now().size(), 2u);

    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
}

TEST_F(HostTest, ReportsFromTheEnginesOwnThreadReachTheTarget) {
    InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
    RecordingEngine engine(VIDEO_ENGINE_LIBRARY);
    ASSERT_TRUE(engine.Ready());
    engine.SetAutoProgress(true);
    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    VideoTarget target;
    host->SetCallback(&target);

    VideoUploadParams params = SampleParams();
    ASSERT_EQ(host->StartUpload(&params), S_OK);
    std::vector<Report> got = target.log.WaitFor(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].percent, 0);
    EXPECT_EQ(got[1].percent, 50);
    EXPECT_EQ(got[2].percent, 100);
    for (const Report& r : got) {
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_NE(r.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
}

TEST_F(HostTest, ReleaseUnregistersTheSinkBeforeReleasingTheEngine) {
    InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
    RecordingEngine engine(VIDEO_ENGINE_LIBRARY);
    ASSERT_TRUE(engine.Ready());
    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    engine.ClearLog();

    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
    EXPECT_EQ(host, nullptr);
    EXPECT_EQ(GetVideoEngineHost(), nullptr);
    EXPECT_EQ(engine.Log(), (std::vector<WString>{u"video.unregister", u"video.release"}));
    EXPECT_EQ(engine.Report(S_OK, 0, 10), E_FAIL);  // no sink left registered

    VideoEngineHost* none = nullptr;
    EXPECT_EQ(ReleaseVideoEngineHost(&none), E_POINTER);
    EXPECT_EQ(ReleaseVideoEngineHost(nullptr), E_POINTER);
    EXPECT_EQ(CreateVideoEngineHost(nullptr), E_POINTER);
}

TEST_F(HostTest, ReleaseFreesTheLibraryLast) {
    InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    ASSERT_NE(host->engineIf, nullptr);
    EXPECT_EQ(EngineEvents(), std::vector<std::string>{"loaded"});
    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
    EXPECT_EQ(EngineEvents(), (std::vector<std::string>{"loaded", "unloaded"}));
}

TEST_F(HostTest, MissingReleaseExportSkipsUnregisteringButFreesTheLibrary) {
    InstallLibrary(kEngineWithoutRelease, VIDEO_ENGINE_LIBRARY);
    {
        RecordingEngine engine(VIDEO_ENGINE_LIBRARY);
        ASSERT_TRUE(engine.Ready());
        VideoEngineHost* host = nullptr;
        ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
        ASSERT_NE(host->engineIf, nullptr);
        EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
        EXPECT_TRUE(Traced("video engine library has no ReleaseZorvidEngine"));
        EXPECT_EQ(engine.Log(), (std::vector<WString>{u"video.create", u"video.register"}));
        EXPECT_EQ(EngineEvents(), std::vector<std::string>{"loaded"});  // ours still holds it
    }
    EXPECT_EQ(EngineEvents(), (std::vector<std::string>{"loaded", "unloaded"}));
}

TEST_F(HostTest, VideoHostIsOnePerProcessAndLoadsItsEngineOnce) {
    InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
    RecordingEngine engine(VIDEO_ENGINE_LIBRARY);
    ASSERT_TRUE(engine.Ready());
    VideoEngineHost* first = nullptr;
    VideoEngineHost* second = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&first), S_OK);
    ASSERT_EQ(CreateVideoEngineHost(&second), S_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(engine.Calls("video.create").size(), 1u);
    EXPECT_EQ(ReleaseVideoEngineHost(&first), S_OK);
}

TEST_F(HostTest, VideoHostLoadsAnEngineInstalledAfterAFailedAttempt) {
    VideoEngineHost* host = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&host), S_OK);
    ASSERT_EQ(host->engineIf, nullptr);
    VideoTarget target;
    host->SetCallback(&target);

    InstallLibrary(kRecordingEngine, VIDEO_ENGINE_LIBRARY);
    RecordingEngine engine(VIDEO_ENGINE_LIBRARY);
    ASSERT_TRUE(engine.Ready());
    VideoEngineHost* again = nullptr;
    ASSERT_EQ(CreateVideoEngineHost(&again), S_OK);
    EXPECT_EQ(again, host);
    ASSERT_NE(host->engineIf, nullptr);
    engine.Report(S_OK, 0, 30);  // the new sink knows the target set before
    ASSERT_EQ(target.log.Now().size(), 1u);
    EXPECT_EQ(ReleaseVideoEngineHost(&host), S_OK);
}

TEST_F(HostTest, PhotoHostWithoutLibraryAnswersEPointerAndHasNoSink) {
    PhotoEngineHost* host = nullptr;
    ASSERT_EQ(CreatePhotoEngineHost(&host), S_OK);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(GetPhotoEngineHost(), host);
    EXPECT_EQ(host->engineIf, nullptr);
    EXPECT_TRUE(Traced("photo engine library \\Windows\\Pelfin.dll not loaded"));
    EXPECT_EQ(host->SetSession(u"a", u"c"), E_POINTER);
    EXPECT_EQ(host->Control4(u"a", u"b"), E_POINTER);
    EXPECT_EQ(host->StartUpload(u"\\p.jpg", u"", u""), E_POINTER);
    EXPECT_EQ(host->FetchAlbumList(u"s", u"\\Temp\\x.xml"), E_POINTER);
    EXPECT_EQ(host->Control7(u"a", u"b"), E_POINTER);
    EXPECT_EQ(host->CancelUpload(u"\\p.jpg", u"", u""), E_POINTER);
    PhotoTarget target;
    EXPECT_EQ(host->SetCallback(&target), E_FAIL);  // no sink to hold it
    EXPECT_EQ(host->UnregisterSink(), E_POINTER);
    EXPECT_EQ(ReleasePhotoEngineHost(&host), S_OK);
    EXPECT_EQ(host, nullptr);
    EXPECT_EQ(GetPhotoEngineHost(), nullptr);
}

TEST_F(HostTest, PhotoHostDrivesItsEngineAndForwardsItsNotices) {
    InstallLibrary(kRecordingEngine, PHOTO_ENGINE_LIBRARY);
    RecordingEngine engine(PHOTO_ENGINE_LIBRARY);
    ASSERT_TRUE(engine.Ready());
    PhotoEngineHost* host = nullptr;
    ASSERT_EQ(CreatePhotoEngineHost(&host), S_OK);
    ASSERT_NE(host->engineIf, nullptr);
    EXPECT_EQ(engine.Log(), (std::vector<WString>{u"photo.create", u"photo.register"}));
    engine.ClearLog();

    EXPECT_EQ(host->SetSession(u"session-1", u"secret-3"), S_OK);
    EXPECT_EQ(host->Control4(u"a", u"b"), S_OK);
    EXPECT_EQ(host->StartUpload(u"\\My Pictures\\p.jpg", u"", u""), S_OK);
    EXPECT_EQ(host->FetchAlbumList(u"session-2", u"\\Temp\\VantloFBAlbumListResult.xml"), S_OK);
    EXPECT_EQ(host->Control7(u"c", u"d"), S_OK);
    EXPECT_EQ(host->CancelUpload(nullptr, u"", u""), S_OK);
    EXPECT_EQ(engine.Log(),
              (std::vector<WString>{u"photo.session|session-1|secret-3", u"photo.control4|a|b",
                                    u"photo.start|\\My Pictures\\p.jpg||",
                                    u"photo.albums|session-2|\\Temp\\VantloFBAlbumListResult.xml",
                                    u"photo.control7|c|d", u"photo.cancel|(null)||"}));

    PhotoTarget target;
    ASSERT_EQ(host->SetCallback(&target), S_OK);
    EXPECT_EQ(engine.Report(S_OK, 9, 55), S_OK);
    std::vector<Report> got = target.log.Now();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].percent, 55);
    EXPECT_EQ(target.lastValue, 9u);
    EXPECT_EQ(engine.ReportAlbumList(S_OK, u"\\Temp\\VantloFBAlbumListResult.xml"), S_OK);
    EXPECT_EQ(target.albumHr, S_OK);
    EXPECT_EQ(target.albumPath, u"\\Temp\\VantloFBAlbumListResult.xml");

    ASSERT_EQ(host->SetCallback(nullptr), S_OK);  // shutdown clears the target first
    engine.Report(PHOTO_ENGINE_CANCELLED, 0, 0);
    EXPECT_EQ(target.log.Now().size(), 1u);

    engine.ClearLog();
    EXPECT_EQ(ReleasePhotoEngineHost(&host), S_OK);
    EXPECT_EQ(engine.Log(), (std::vector<WString>{u"photo.unregister", u"photo.release"}));
}

TEST_F(HostTest, PhotoReportsFromTheEnginesThreadCarryTheEnginesValue) {
    InstallLibrary(kRecordingEngine, PHOTO_ENGINE_LIBRARY);
    RecordingEngine engine(PHOTO_ENGINE_LIBRARY);
    ASSERT_TRUE(engine.Ready());
    engine.SetAutoProgress(true);
    PhotoEngineHost* host = nullptr;
    ASSERT_EQ(CreatePhotoEngineHost(&host), S_OK);
    PhotoTarget target;
    ASSERT_EQ(host->SetCallback(&target), S_OK);
    ASSERT_EQ(host->StartUpload(u"\\p.jpg", u"", u""), S_OK);
    std::vector<Report> got = target.log.WaitFor(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got.back().percent, 100);
    EXPECT_NE(got.back().thread, std::this_thread::get_id());
    EXPECT_EQ(ReleasePhotoEngineHost(&host), S_OK);
    EXPECT_EQ(target.lastValue, 7u);
}
