// The site engine libraries as the system meets them: copied into a device root by the
// default image, loaded from \Windows, driven through their operation tables, reporting
// through sinks from their own threads; and the default image itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/device_image.h"
#include "platform/devpath.h"
#include "platform/engine_abi.h"
#include "platform/file_os.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/xmldom.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;

namespace {

// Only guards against a hang: every wait below ends long before it when things work.
constexpr auto kWatchdog = std::chrono::seconds(60);

constexpr HRESULT kVideoSourceFailed = static_cast<HRESULT>(0xC0000001u);
constexpr HRESULT kPhotoSourceFailed = static_cast<HRESULT>(0x90000404u);
constexpr HRESULT kPhotoOutboxFailed = static_cast<HRESULT>(0x90000500u);
constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070u);

constexpr char16_t kVideoKey[] = u"SOFTWARE\\Velmar\\Engines\\Zorvid";
constexpr char16_t kPhotoKey[] = u"SOFTWARE\\Velmar\\Engines\\Pelfin";

// A throughput that keeps a 1 MiB upload running for about ten seconds.
constexpr DWORD kSlowBytesPerSecond = 100000;
constexpr size_t kMiB = 1024 * 1024;

// One report as a sink received it.
struct Report {
    HRESULT hr;    // the engine's result
    LONG percent;  // the engine's percent
};

bool IsFinal(const Report& r) {
    return r.hr < 0 || r.percent >= 100;
}

// The reports one sink received, in order, and a way to wait for them.
class ReportLog {
  public:
    void Add(Report r) {
        std::lock_guard<std::mutex> g(lock_);
        if (closed_) ++late_;
        reports_.push_back(r);
        changed_.notify_all();
    }
    // Waits until some report satisfies pred; false when the watchdog ran out.
    bool WaitFor(const std::function<bool(const Report&)>& pred) {
        std::unique_lock<std::mutex> g(lock_);
        return changed_.wait_for(
            g, kWatchdog, [&] { return std::any_of(reports_.begin(), reports_.end(), pred); });
    }
    // Waits for the count-th final report.
    bool WaitForEnds(size_t count) {
        std::unique_lock<std::mutex> g(lock_);
        return changed_.wait_for(g, kWatchdog, [&] {
            return static_cast<size_t>(std::count_if(reports_.begin(), reports_.end(), IsFinal)) >=
                   count;
        });
    }
    bool WaitForEnd() { return WaitForEnds(1); }
    std::vector<Report> Reports() {
        std::lock_guard<std::mutex> g(lock_);
        return reports_;
    }
    // From now on every report is counted as one that should not have come.
    void Close() {
        std::lock_guard<std::mutex> g(lock_);
        closed_ = true;
    }
    int Late() {
        std::lock_guard<std::mutex> g(lock_);
        return late_;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
    bool closed_ = false;
    int late_ = 0;
};

// ---- Sinks --------------------------------------------------------------------------------

struct VideoSink : VideoEngineSink {
    VideoSink();
    ReportLog log;                                // every upload report
    std::function<void(const Report&)> onReport;  // runs inside the report, after logging
};

void VideoIgnore(VideoEngineSink*) {}
void VideoOnUpload(VideoEngineSink* self, HRESULT hr, LONG percent) {
    auto* sink = static_cast<VideoSink*>(self);
    sink->log.Add({hr, percent});
    if (sink->onReport) sink->onReport({hr, percent});
}
const VideoEngineSinkOps kVideoSinkOps = {VideoIgnore, VideoOnUpload, VideoIgnore, VideoIgnore,
                                          VideoIgnore, VideoIgnore,   VideoIgnore, VideoIgnore};
VideoSink::VideoSink() : VideoEngineSink{&kVideoSinkOps, nullptr} {}

struct PhotoSink : PhotoEngineSink {
    PhotoSink();
    ReportLog log;             // every upload report
    ReportLog albums;          // album list outcomes (percent unused)
    std::mutex pathLock;       // guards albumPath
    std::u16string albumPath;  // the file the last album report named
};

void PhotoNotice(PhotoEngineSink*, HRESULT, LPCWSTR) {}
void PhotoOnUpload(PhotoEngineSink* self, HRESULT hr, DWORD, LONG percent) {
    static_cast<PhotoSink*>(self)->log.Add({hr, percent});
}
void PhotoOnAlbumList(PhotoEngineSink* self, HRESULT hr, LPCWSTR path) {
    auto* sink = static_cast<PhotoSink*>(self);
    {
        std::lock_guard<std::mutex> g(sink->pathLock);
        sink->albumPath = path ? path : u"";
    }
    sink->albums.Add({hr, 100});
}
const PhotoEngineSinkOps kPhotoSinkOps = {PhotoNotice, PhotoOnUpload, PhotoOnAlbumList,
                                          PhotoNotice};
PhotoSink::PhotoSink() : PhotoEngineSink{&kPhotoSinkOps, nullptr} {}

// ---- The engines, loaded from the device root ---------------------------------------------

class VideoEngineLib {
  public:
    ~VideoEngineLib() { Unload(); }
    void Load() {
        lib_ = LoadLibraryW(VIDEO_ENGINE_LIBRARY);
        ASSERT_NE(lib_, nullptr);
        auto create = GetProcAddressAs<PFN_CREATE_VIDEO_ENGINE>(lib_, VIDEO_ENGINE_CREATE_EXPORT);
        release_ = GetProcAddressAs<PFN_RELEASE_VIDEO_ENGINE>(lib_, VIDEO_ENGINE_RELEASE_EXPORT);
        ASSERT_NE(create, nullptr);
        ASSERT_NE(release_, nullptr);
        ASSERT_EQ(create(&engine), S_OK);
        ASSERT_NE(engine, nullptr);
        ASSERT_EQ(engine->ops->RegisterSink(engine, &sink), S_OK);
    }
    // Takes the sink off and releases the engine, as the system's host does.
    void Unload() {
        if (engine) {
            engine->ops->UnregisterSink(engine, &sink);
            EXPECT_EQ(release_(&engine), S_OK);
            EXPECT_EQ(engine, nullptr);
        }
        if (lib_) FreeLibrary(lib_);
        lib_ = nullptr;
    }
    HRESULT Start(const VideoUploadParams& p) { return engine->ops->StartUpload(engine, &p); }
    HRESULT Cancel(const VideoUploadParams& p) { return engine->ops->CancelUpload(engine, &p); }
    HRESULT Release() { return release_(&engine); }
    HMODULE Library() const { return lib_; }

    VideoEngine* engine = nullptr;  // the engine, null once released
    VideoSink sink;                 // registered by Load

  private:
    HMODULE lib_ = nullptr;
    PFN_RELEASE_VIDEO_ENGINE release_ = nullptr;
};

class PhotoEngineLib {
  public:
    ~PhotoEngineLib() { Unload(); }
    void Load() {
        lib_ = LoadLibraryW(PHOTO_ENGINE_LIBRARY);
        ASSERT_NE(lib_, nullptr);
        auto create = GetProcAddressAs<PFN_CREATE_PHOTO_ENGINE>(lib_, PHOTO_ENGINE_CREATE_EXPORT);
        release_ = GetProcAddressAs<PFN_RELEASE_PHOTO_ENGINE>(lib_, PHOTO_ENGINE_RELEASE_EXPORT);
        ASSERT_NE(create, nullptr);
        ASSERT_NE(release_, nullptr);
        ASSERT_EQ(create(&engine), S_OK);
        ASSERT_NE(engine, nullptr);
        ASSERT_EQ(engine->ops->RegisterSink(engine, &sink), S_OK);
    }
    void Unload() {
        if (engine) {
            engine->ops->UnregisterSink(engine, &sink);
            EXPECT_EQ(release_(&engine), S_OK);
        }
        if (lib_) FreeLibrary(lib_);
        lib_ = nullptr;
    }
    HRESULT Start(LPCWSTR path) { return engine->ops->StartUpload(engine, path, u"", u""); }
    HRESULT Cancel(LPCWSTR path) { return engine->ops->CancelUpload(engine, path, u"", u""); }
    HRESULT FetchAlbums(LPCWSTR path) {
        return engine->ops->FetchAlbumList(engine, u"owner-1", path);
    }

    PhotoEngine* engine = nullptr;  // the engine, null once released
    PhotoSink sink;                 // registered by Load

  private:
    HMODULE lib_ = nullptr;
    PFN_RELEASE_PHOTO_ENGINE release_ = nullptr;
};

// ---- Registry ---------------------------------------------------------------------------

void SetDword(LPCWSTR key, LPCWSTR name, DWORD value) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(
        RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
        ERROR_SUCCESS);
    RegCloseKey(h);
}
void SetText(LPCWSTR key, LPCWSTR name, const std::u16string& text) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(char16_t))),
              ERROR_SUCCESS);
    RegCloseKey(h);
}
DWORD GetDword(LPCWSTR key, LPCWSTR name) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return 0xDEAD;
    DWORD value = 0xDEAD;
    DWORD size = sizeof value;
    DWORD type = 0;
    LONG rc = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS && type == REG_DWORD ? value : 0xDEAD;
}

// ---- Fixture ------------------------------------------------------------------------------

class EngineTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_TRUE(PrepareDeviceImage());
    }

    // Writes size pseudo-random bytes as \My Documents\name; returns the bytes.
    std::string MakeSource(const std::string& name, size_t size, unsigned seed = 7) {
        std::mt19937 gen(seed);
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(gen());
        WriteHostFile(root_ + "/My Documents/" + name, bytes);
        return bytes;
    }

    // The names in the device root's Outbox/<service> folder.
    std::vector<std::string> Outbox(const std::string& service) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(root_ + "/Outbox/" + service)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string OutboxFile(const std::string& service, const std::string& name) {
        return ReadHostFile(root_ + "/Outbox/" + service + "/" + name);
    }
};

// The groups of cases below.
class DeviceImage : public DeviceTest {};
class EngineUpload : public EngineTest {};
class EngineCancel : public EngineTest {};
class EngineSink : public EngineTest {};
class EngineFailure : public EngineTest {};
class EngineAlbumList : public EngineTest {};
class EngineLibraries : public EngineTest {};

VideoUploadParams Params(LPCWSTR path) {
    return VideoUploadParams{u"Travel", u"My clip", u"sea,sun", u"A day out", path, u"token", 0};
}

// A whole upload's reports: 0 first, percents rising, 100 with success last.
void ExpectCompleteProgress(const std::vector<Report>& reports) {
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front().hr, S_OK);
    EXPECT_EQ(reports.front().percent, 0);
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].hr, S_OK) << "report " << i;
        EXPECT_GT(reports[i].percent, reports[i - 1].percent) << "report " << i;
    }
    EXPECT_EQ(reports.back().percent, 100);
}

}  // namespace

// ---- The default image --------------------------------------------------------------------

TEST_F(DeviceImage, HoldsFoldersDeviceFileEnginesAndRegistryDefaults) {
    ASSERT_TRUE(PrepareDeviceImage());
    for (const char* folder : {"Windows", "Temp", "Outbox/YouTube", "Outbox/Facebook"}) {
        EXPECT_TRUE(fs::is_directory(root_ + "/" + folder)) << folder;
    }
    EXPECT_TRUE(fs::is_regular_file(root_ + "/Dev/SPM1"));
    for (const char* lib : {"Zorvid.dll", "Pelfin.dll"}) {
        EXPECT_EQ(ReadHostFile(root_ + "/Windows/" + lib),
                  ReadHostFile(EngineLibraryFolder() + "/" + lib))
            << lib;
    }
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmar\\Vantlo", 0, KEY_READ, &h),
              ERROR_SUCCESS);
    for (LPCWSTR name : {u"ClearYoutube", u"ClearFacebook"}) {
        DWORD value = 1;
        DWORD size = sizeof value;
        DWORD type = 0;
        EXPECT_EQ(
            RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size),
            ERROR_SUCCESS);
        EXPECT_EQ(type, REG_DWORD);
        EXPECT_EQ(value, 0u);
    }
    RegCloseKey(h);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus", 0,
                            KEY_READ, &h),
              ERROR_SUCCESS);
    DWORD app1 = 1;
    DWORD size = sizeof app1;
    EXPECT_EQ(
        RegQueryValueExW(h, u"App1", nullptr, nullptr, reinterpret_cast<LPBYTE>(&app1), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(app1, 0u);
    RegCloseKey(h);
    // A second run finds everything in place.
    EXPECT_TRUE(PrepareDeviceImage());
}

TEST_F(DeviceImage, KeepsUserValuesAndNewerEnginesButRefreshesOlderOnes) {
    ASSERT_TRUE(PrepareDeviceImage());
    SetDword(u"SOFTWARE\\Velmar\\Vantlo", u"ClearYoutube", 1);
    SetDword(u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus", u"App1", 5);
    const std::string video = root_ + "/Windows/Zorvid.dll";
    const std::string photo = root_ + "/Windows/Pelfin.dll";
    WriteHostFile(video, "stale engine");
    fs::last_write_time(video, fs::file_time_type::clock::now() - std::chrono::hours(24 * 365));
    WriteHostFile(photo, "engine the user put there");
    fs::last_write_time(photo, fs::file_time_type::clock::now() + std::chrono::hours(24));

    ASSERT_TRUE(PrepareDeviceImage());
    EXPECT_EQ(GetDword(u"SOFTWARE\\Velmar\\Vantlo", u"ClearYoutube"), 1u);
    EXPECT_EQ(GetDword(u"SOFTWARE\\Velmar\\Vantlo", u"ClearFacebook"), 0u);
    EXPECT_EQ(GetDword(u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus", u"App1"), 5u);
    EXPECT_EQ(ReadHostFile(video), ReadHostFile(EngineLibraryFolder() + "/Zorvid.dll"));
    EXPECT_EQ(ReadHostFile(photo), "engine the user put there");
    for (const auto& e : fs::directory_iterator(root_ + "/Windows")) {
        EXPECT_EQ(e.path().filename().string().find(".new-"), std::string::npos)
            << "temporary copy left: " << e.path();
    }
}

TEST_F(DeviceImage, WithoutBuiltEnginesIsReportedIncompleteButHasTheRest) {
    const std::string empty = root_ + "/../no-engines";
    fs::create_directories(empty);
    setenv("VANTLO_ENGINE_DIR", empty.c_str(), 1);
    EXPECT_FALSE(PrepareDeviceImage());
    unsetenv("VANTLO_ENGINE_DIR");
    EXPECT_FALSE(fs::exists(root_ + "/Windows/Zorvid.dll"));
    EXPECT_TRUE(fs::is_directory(root_ + "/Outbox/Facebook"));
    EXPECT_TRUE(fs::is_regular_file(root_ + "/Dev/SPM1"));
    EXPECT_EQ(GetDword(u"SOFTWARE\\Velmar\\Vantlo", u"ClearFacebook"), 0u);
}

TEST_F(DeviceImage, CopyThatCannotBeWrittenLeavesNothingBehind) {
    FileOsCalls& os = FileOs();
    os.Write = [](int, const void*, size_t) -> long {
        errno = ENOSPC;
        return -1;
    };
    EXPECT_FALSE(PrepareDeviceImage());
    os = FileOsDefaults();
    EXPECT_TRUE(fs::is_directory(root_ + "/Windows"));
    for (const auto& e : fs::directory_iterator(root_ + "/Windows")) {
        EXPECT_EQ(e.path().filename().string().find(".dll"), std::string::npos) << e.path();
    }
    // Once the disk has room again the image completes.
    EXPECT_TRUE(PrepareDeviceImage());
    EXPECT_TRUE(fs::is_regular_file(root_ + "/Windows/Zorvid.dll"));
}

// ---- Uploads ------------------------------------------------------------------------------

TEST_F(EngineUpload, VideoReportsRisingPercentAndCopiesTheFileByteForByte) {
    const std::string bytes = MakeSource("clip.mp4", kMiB + 123);
    VideoEngineLib video;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    const VideoUploadParams p = Params(u"\\My Documents\\clip.mp4");
    ASSERT_EQ(video.engine->ops->SetAccount(video.engine, u"account"), S_OK);
    ASSERT_EQ(video.Start(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnd());
    ExpectCompleteProgress(video.sink.log.Reports());
    EXPECT_EQ(Outbox("YouTube"), std::vector<std::string>{"clip.mp4"});
    EXPECT_TRUE(OutboxFile("YouTube", "clip.mp4") == bytes);
}

TEST_F(EngineUpload, PhotoReportsRisingPercentAndCopiesTheFileByteForByte) {
    const std::string name = "Strand \xC3\x9C \xE2\x98\x80.jpg";  // "Strand Ü ☀.jpg"
    const std::string bytes = MakeSource(name, 300000);
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    ASSERT_EQ(photo.engine->ops->SetSession(photo.engine, u"session-0", u"session-2"), S_OK);
    ASSERT_EQ(photo.Start((u"\\My Documents\\" + FromUtf8(name)).c_str()), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnd());
    ExpectCompleteProgress(photo.sink.log.Reports());
    EXPECT_EQ(Outbox("Facebook"), std::vector<std::string>{name});
    EXPECT_TRUE(OutboxFile("Facebook", name) == bytes);
}

TEST_F(EngineUpload, EmptyFileIsUploadedWithStartAndEndReports) {
    MakeSource("empty.jpg", 0);
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    ASSERT_EQ(photo.Start(u"\\My Documents\\empty.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnd());
    ExpectCompleteProgress(photo.sink.log.Reports());
    EXPECT_EQ(Outbox("Facebook"), std::vector<std::string>{"empty.jpg"});
    EXPECT_EQ(OutboxFile("Facebook", "empty.jpg"), "");
}

TEST_F(EngineUpload, SameNameUploadedTwiceKeepsBothCopies) {
    const std::string first = MakeSource("clip.mp4", 5000, 1);
    VideoEngineLib video;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    const VideoUploadParams p = Params(u"\\My Documents\\clip.mp4");
    ASSERT_EQ(video.Start(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(1));
    const std::string second = MakeSource("clip.mp4", 7000, 2);
    ASSERT_EQ(video.Start(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(2));
    EXPECT_EQ(Outbox("YouTube"), (std::vector<std::string>{"clip (2).mp4", "clip.mp4"}));
    EXPECT_TRUE(OutboxFile("YouTube", "clip.mp4") == first);
    EXPECT_TRUE(OutboxFile("YouTube", "clip (2).mp4") == second);
}

TEST_F(EngineUpload, NextUploadMayBeStartedFromInsideTheFinalReport) {
    const std::string a = MakeSource("a.mp4", 20000, 1);
    const std::string b = MakeSource("b.mp4", 30000, 2);
    VideoEngineLib video;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    const VideoUploadParams pa = Params(u"\\My Documents\\a.mp4");
    const VideoUploadParams pb = Params(u"\\My Documents\\b.mp4");
    HRESULT chained = E_FAIL;
    bool started = false;
    video.sink.onReport = [&](const Report& r) {
        if (!started && IsFinal(r)) {
            started = true;
            chained = video.Start(pb);
        }
    };
    ASSERT_EQ(video.Start(pa), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(2));
    EXPECT_EQ(chained, S_OK);
    EXPECT_EQ(Outbox("YouTube"), (std::vector<std::string>{"a.mp4", "b.mp4"}));
    EXPECT_TRUE(OutboxFile("YouTube", "b.mp4") == b);
}

// ---- Cancel -------------------------------------------------------------------------------

TEST_F(EngineCancel, VideoCancelMidCopyReportsCancellationAndLeavesNoFile) {
    MakeSource("long.mp4", kMiB);
    SetDword(kVideoKey, u"BytesPerSecond", kSlowBytesPerSecond);
    VideoEngineLib video;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    const VideoUploadParams p = Params(u"\\My Documents\\long.mp4");
    ASSERT_EQ(video.Start(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitFor([](const Report& r) { return r.percent >= 3; }));
    EXPECT_EQ(Outbox("YouTube"), std::vector<std::string>{"long.mp4.part"});
    ASSERT_EQ(video.Cancel(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnd());
    const std::vector<Report> reports = video.sink.log.Reports();
    EXPECT_EQ(reports.back().hr, VIDEO_ENGINE_CANCELLED);
    EXPECT_LT(reports.back().percent, 100);
    EXPECT_TRUE(Outbox("YouTube").empty());
}

TEST_F(EngineCancel, PhotoCancelWithoutPathStopsTheRunningUpload) {
    MakeSource("long.jpg", kMiB);
    SetDword(kPhotoKey, u"BytesPerSecond", kSlowBytesPerSecond);
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    ASSERT_EQ(photo.Start(u"\\My Documents\\long.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitFor([](const Report& r) { return r.percent >= 3; }));
    ASSERT_EQ(photo.Cancel(nullptr), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnd());
    EXPECT_EQ(photo.sink.log.Reports().back().hr, PHOTO_ENGINE_CANCELLED);
    EXPECT_TRUE(Outbox("Facebook").empty());
}

TEST_F(EngineCancel, SecondUploadWhileOneRunsIsRefusedAndCancelOfAnotherFileChangesNothing) {
    MakeSource("long.mp4", kMiB, 1);
    const std::string other = MakeSource("other.mp4", 1000, 2);
    SetDword(kVideoKey, u"BytesPerSecond", kSlowBytesPerSecond);
    VideoEngineLib video;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    const VideoUploadParams running = Params(u"\\My Documents\\long.mp4");
    const VideoUploadParams second = Params(u"\\My Documents\\other.mp4");
    ASSERT_EQ(video.Start(running), S_OK);
    ASSERT_TRUE(video.sink.log.WaitFor([](const Report& r) { return r.percent >= 1; }));
    EXPECT_TRUE(FAILED(video.Start(second)));
    EXPECT_EQ(video.Cancel(second), S_FALSE);
    // The path is matched without regard to case, as the device's file system does.
    const VideoUploadParams shouted = Params(u"\\MY DOCUMENTS\\LONG.MP4");
    ASSERT_EQ(video.Cancel(shouted), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnd());
    const std::vector<Report> reports = video.sink.log.Reports();
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(), IsFinal), 1);
    EXPECT_EQ(reports.back().hr, VIDEO_ENGINE_CANCELLED);
    // Once the first has ended the engine takes the next.
    SetDword(kVideoKey, u"BytesPerSecond", 0);
    ASSERT_EQ(video.Start(second), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(2));
    EXPECT_EQ(video.sink.log.Reports().back().percent, 100);
    EXPECT_TRUE(OutboxFile("YouTube", "other.mp4") == other);
}

TEST_F(EngineCancel, CancelWithNothingRunningReportsNothing) {
    VideoEngineLib video;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    const VideoUploadParams p = Params(u"\\My Documents\\none.mp4");
    EXPECT_EQ(video.Cancel(p), S_FALSE);
    video.Unload();
    EXPECT_TRUE(video.sink.log.Reports().empty());
}

// ---- Sink and release ---------------------------------------------------------------------

TEST_F(EngineSink, NoReportReachesTheSinkAfterUnregisterAndReleaseRemovesThePartialCopy) {
    MakeSource("long.mp4", kMiB);
    SetDword(kVideoKey, u"BytesPerSecond", kSlowBytesPerSecond);
    VideoEngineLib video;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    const VideoUploadParams p = Params(u"\\My Documents\\long.mp4");
    ASSERT_EQ(video.Start(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitFor([](const Report& r) { return r.percent >= 1; }));
    ASSERT_EQ(video.engine->ops->UnregisterSink(video.engine, &video.sink), S_OK);
    video.sink.log.Close();
    EXPECT_EQ(video.Cancel(p), S_OK);
    // Release waits for the engine's thread, so any report still to come has come by now.
    ASSERT_EQ(video.Release(), S_OK);
    EXPECT_EQ(video.engine, nullptr);
    EXPECT_EQ(video.sink.log.Late(), 0);
    EXPECT_TRUE(Outbox("YouTube").empty());
}

TEST_F(EngineSink, ReleaseDuringAnUploadStopsItWithoutFurtherReports) {
    MakeSource("long.jpg", kMiB);
    SetDword(kPhotoKey, u"BytesPerSecond", kSlowBytesPerSecond);
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    ASSERT_EQ(photo.Start(u"\\My Documents\\long.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitFor([](const Report& r) { return r.percent >= 1; }));
    photo.Unload();
    const std::vector<Report> reports = photo.sink.log.Reports();
    EXPECT_TRUE(std::none_of(reports.begin(), reports.end(), IsFinal));
    EXPECT_TRUE(Outbox("Facebook").empty());
}

TEST_F(EngineSink, ASecondSinkIsRefusedWhileOneIsRegistered) {
    VideoEngineLib video;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    VideoSink other;
    EXPECT_TRUE(FAILED(video.engine->ops->RegisterSink(video.engine, &other)));
    EXPECT_EQ(video.engine->ops->UnregisterSink(video.engine, &other), S_FALSE);
    EXPECT_EQ(video.engine->ops->UnregisterSink(video.engine, &video.sink), S_OK);
    EXPECT_EQ(video.engine->ops->RegisterSink(video.engine, &other), S_OK);
    EXPECT_EQ(video.engine->ops->UnregisterSink(video.engine, &other), S_OK);
}

// ---- Failures -----------------------------------------------------------------------------

TEST_F(EngineFailure, InjectedFaultIsReportedAtItsPercentFromTheNextUploadOn) {
    MakeSource("clip.mp4", kMiB);
    VideoEngineLib video;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    const VideoUploadParams p = Params(u"\\My Documents\\clip.mp4");
    ASSERT_EQ(video.Start(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(1));
    EXPECT_EQ(video.sink.log.Reports().back().percent, 100);

    // The settings are read when an upload starts.
    SetDword(kVideoKey, u"FailAtPercent", 40);
    SetDword(kVideoKey, u"FailCode", static_cast<DWORD>(kDiskFull));
    const size_t before = video.sink.log.Reports().size();
    ASSERT_EQ(video.Start(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(2));
    const std::vector<Report> all = video.sink.log.Reports();
    const std::vector<Report> reports(all.begin() + static_cast<long>(before), all.end());
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front().percent, 0);
    for (size_t i = 0; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].hr, S_OK);
        EXPECT_LT(reports[i].percent, 40);
    }
    EXPECT_EQ(reports.back().hr, kDiskFull);
    EXPECT_EQ(reports.back().percent, 40);
    EXPECT_EQ(Outbox("YouTube"), std::vector<std::string>{"clip.mp4"});  // the first copy only
}

TEST_F(EngineFailure, PhotoFaultAtTheStartComesBeforeAnyProgress) {
    MakeSource("pic.jpg", 5000);
    SetDword(kPhotoKey, u"FailAtPercent", 0);
    SetDword(kPhotoKey, u"FailCode", 0x80004005u);
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    ASSERT_EQ(photo.Start(u"\\My Documents\\pic.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnd());
    const std::vector<Report> reports = photo.sink.log.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].hr, E_FAIL);
    EXPECT_EQ(reports[0].percent, 0);
    EXPECT_TRUE(Outbox("Facebook").empty());
}

TEST_F(EngineFailure, MissingSourceFailsWithEachEnginesCode) {
    VideoEngineLib video;
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    ASSERT_EQ(video.Start(Params(u"\\My Documents\\gone.mp4")), S_OK);
    ASSERT_EQ(photo.Start(u"\\My Documents\\gone.jpg"), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnd());
    ASSERT_TRUE(photo.sink.log.WaitForEnd());
    EXPECT_EQ(video.sink.log.Reports().back().hr, kVideoSourceFailed);
    EXPECT_EQ(photo.sink.log.Reports().back().hr, kPhotoSourceFailed);
    EXPECT_TRUE(Outbox("YouTube").empty());
    EXPECT_TRUE(Outbox("Facebook").empty());
    // A folder is no file either.
    fs::create_directories(root_ + "/My Documents/folder.jpg");
    ASSERT_EQ(photo.Start(u"\\My Documents\\folder.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnds(2));
    EXPECT_EQ(photo.sink.log.Reports().back().hr, kPhotoSourceFailed);
}

TEST_F(EngineFailure, AMissingOutboxIsMadeAgainAndOneThatIsNoFolderFailsTheUpload) {
    const std::string clip = MakeSource("clip.mp4", 5000, 1);
    MakeSource("pic.jpg", 3000, 2);
    fs::remove_all(root_ + "/Outbox");
    VideoEngineLib video;
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    ASSERT_EQ(video.Start(Params(u"\\My Documents\\clip.mp4")), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnd());
    ExpectCompleteProgress(video.sink.log.Reports());
    EXPECT_EQ(Outbox("YouTube"), std::vector<std::string>{"clip.mp4"});
    EXPECT_TRUE(OutboxFile("YouTube", "clip.mp4") == clip);

    // A file where the photo outbox belongs stays as it is; the upload fails.
    WriteHostFile(root_ + "/Outbox/Facebook", "not a folder");
    ASSERT_EQ(photo.Start(u"\\My Documents\\pic.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnd());
    EXPECT_EQ(photo.sink.log.Reports().back().hr, kPhotoOutboxFailed);
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/Facebook"), "not a folder");
}

TEST_F(EngineFailure, NullArgumentsAreRefusedWithoutAReport) {
    VideoEngineLib video;
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    EXPECT_EQ(video.engine->ops->StartUpload(video.engine, nullptr), E_POINTER);
    VideoUploadParams noPath = Params(nullptr);
    EXPECT_EQ(video.Start(noPath), E_POINTER);
    EXPECT_EQ(video.engine->ops->SetAccount(video.engine, nullptr), E_POINTER);
    EXPECT_EQ(photo.Start(nullptr), E_POINTER);
    EXPECT_EQ(video.engine->ops->RegisterSink(video.engine, nullptr), E_POINTER);
    video.Unload();
    photo.Unload();
    EXPECT_TRUE(video.sink.log.Reports().empty());
    EXPECT_TRUE(photo.sink.log.Reports().empty());
}

// ---- Album list ---------------------------------------------------------------------------

namespace {

// The albums of the result file, as (aid, name) pairs in document order.
std::vector<std::pair<std::u16string, std::u16string>> ReadAlbums(LPCWSTR path) {
    XmlDocument doc;
    bool parsed = false;
    EXPECT_EQ(doc.Load(path, &parsed), S_OK);
    EXPECT_TRUE(parsed);
    std::vector<std::pair<std::u16string, std::u16string>> albums;
    for (const XmlNode& album : doc.DocumentElement().SelectNodes(u"album")) {
        albums.emplace_back(album.SelectSingleNode(u"aid").Text(),
                            album.SelectSingleNode(u"name").Text());
    }
    return albums;
}

}  // namespace

TEST_F(EngineAlbumList, FromTheRegistryIsWrittenAsXmlAndReported) {
    SetText(kPhotoKey, u"Albums",
            u"a1=Holiday & <Friends>; a2 = Kids \"2024\" 'best';no identifier;=empty;a3=x=y");
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    ASSERT_EQ(photo.FetchAlbums(u"\\Temp\\VantloFBAlbumListResult.xml"), S_OK);
    ASSERT_TRUE(photo.sink.albums.WaitForEnd());
    EXPECT_EQ(photo.sink.albums.Reports().back().hr, S_OK);
    EXPECT_EQ(photo.sink.albumPath, u"\\Temp\\VantloFBAlbumListResult.xml");
    const auto albums = ReadAlbums(u"\\Temp\\VantloFBAlbumListResult.xml");
    using A = std::pair<std::u16string, std::u16string>;
    EXPECT_EQ(albums, (std::vector<A>{{u"a1", u"Holiday & <Friends>"},
                                      {u"a2", u"Kids \"2024\" 'best'"},
                                      {u"a3", u"x=y"}}));
    EXPECT_TRUE(photo.sink.log.Reports().empty());
}

TEST_F(EngineAlbumList, HasDemoAlbumsWhenTheRegistryNamesNoneAndReplacesAnOldFile) {
    WriteHostFile(root_ + "/Temp/VantloFBAlbumListResult.xml", "old, not even XML");
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    ASSERT_EQ(photo.FetchAlbums(nullptr), S_OK);
    ASSERT_TRUE(photo.sink.albums.WaitForEnd());
    EXPECT_EQ(photo.sink.albums.Reports().back().hr, S_OK);
    EXPECT_EQ(photo.sink.albumPath, u"\\Temp\\VantloFBAlbumListResult.xml");
    const auto albums = ReadAlbums(u"\\Temp\\VantloFBAlbumListResult.xml");
    ASSERT_FALSE(albums.empty());
    for (const auto& [aid, name] : albums) {
        EXPECT_FALSE(aid.empty());
        EXPECT_FALSE(name.empty());
    }
}

TEST_F(EngineAlbumList, ArrivesWhileAnUploadRuns) {
    MakeSource("long.jpg", kMiB);
    SetDword(kPhotoKey, u"BytesPerSecond", kSlowBytesPerSecond);
    SetDword(kPhotoKey, u"AlbumListFailCode", 0x80072EE7u);
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    ASSERT_EQ(photo.Start(u"\\My Documents\\long.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitFor([](const Report& r) { return r.percent >= 1; }));
    ASSERT_EQ(photo.FetchAlbums(u"\\Temp\\albums.xml"), S_OK);
    ASSERT_TRUE(photo.sink.albums.WaitForEnd());
    // A failed fetch is reported with its code; the file it wrote stays for the reader.
    EXPECT_EQ(photo.sink.albums.Reports().back().hr, static_cast<HRESULT>(0x80072EE7u));
    EXPECT_TRUE(fs::is_regular_file(root_ + "/Temp/albums.xml"));
    const std::vector<Report> uploads = photo.sink.log.Reports();
    EXPECT_TRUE(std::none_of(uploads.begin(), uploads.end(), IsFinal));
    ASSERT_EQ(photo.Cancel(nullptr), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnd());
}

// ---- Both libraries in one process ----------------------------------------------------------

TEST_F(EngineLibraries, BothEnginesUploadSideBySideAndExportOnlyTheirTwoFunctions) {
    const std::string clip = MakeSource("clip.mp4", 3 * kMiB, 1);
    const std::string pic = MakeSource("pic.jpg", 2 * kMiB, 2);
    VideoEngineLib video;
    PhotoEngineLib photo;
    ASSERT_NO_FATAL_FAILURE(video.Load());
    ASSERT_NO_FATAL_FAILURE(photo.Load());
    // The platform copy inside a library is its own: none of it is exported.
    EXPECT_EQ(GetProcAddress(video.Library(), "_Z8HostPathPKDs"), nullptr);
    EXPECT_EQ(GetProcAddress(video.Library(), "CreatePelfinEngine"), nullptr);
    ASSERT_EQ(video.Start(Params(u"\\My Documents\\clip.mp4")), S_OK);
    ASSERT_EQ(photo.Start(u"\\My Documents\\pic.jpg"), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnd());
    ASSERT_TRUE(photo.sink.log.WaitForEnd());
    ExpectCompleteProgress(video.sink.log.Reports());
    ExpectCompleteProgress(photo.sink.log.Reports());
    EXPECT_TRUE(OutboxFile("YouTube", "clip.mp4") == clip);
    EXPECT_TRUE(OutboxFile("Facebook", "pic.jpg") == pic);
}
