// Engine hosts: the hosts load a real engine library from the device root (the recording
// engine built by the test tree, installed as \Windows\Zorvid.dll or \Windows\Pelfin.dll),
// drive it through their operations, pass its reports to the callback target, and
// release it in order. Without a library or an export a host still works, answering
// E_POINTER where it would need the engine.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/case_util.h"
#include "tests/support/test_env.h"
#include "tests/upload/engine_fixture.h"
#include "upload/engine_host.h"

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

class HostTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_.Use(root_ + "/trace.log");
    }
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

    CaseTrace trace_;
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
