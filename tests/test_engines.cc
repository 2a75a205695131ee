// The site engine libraries as the system meets them: copied into a device root by the
// default image, loaded from \Windows, driven through their operation tables, reporting
// through sinks from their own threads; and the default image itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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
#include "platform/xmldom.h"
#include "tests/support/machine_values.h"
#include "tests/support/recorded.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;

namespace {

constexpr HRESULT kVideoSourceFailed = static_cast<HRESULT>(0xC0000001u);
constexpr HRESULT kPhotoSourceFailed = static_cast<HRESULT>(0x90000404u);
constexpr HRESULT kPhotoOutboxFailed = static_cast<HRESULT>(0x90000500u);
constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070u);

constexpr char16_t kSettingsKey[] = u"SOFTWARE\\Velmar\\Vantlo";
constexpr char16_t kAlbumFile[] = u"\\Temp\\VantloFBAlbumListResult.xml";

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

// The reports one sink received, in order; those after Close count as late.
class ReportLog : public Recorded<Report> {
  public:
    void Add(Report r) {
        late_ += closed_ ? 1 : 0;
        Recorded::Add(r);
    }
    // Waits until a report from index from on reaches percent; false on the watchdog.
    bool WaitForPercent(LONG percent, size_t from = 0) {
        return WaitFor([&](const std::vector<Report>& all) {
            return all.size() > from &&
                   std::any_of(all.begin() + static_cast<long>(from), all.end(),
                               [&](const Report& r) { return r.percent >= percent; });
        });
    }
    // Waits for the count-th final report since the log began.
    bool WaitForEnds(size_t count) { return WaitForCount(IsFinal, count); }
    // The reports from index first on.
    std::vector<Report> Reports(size_t first = 0) {
        std::vector<Report> all = All();
        return std::vector<Report>(all.begin() + static_cast<long>(std::min(first, all.size())),
                                   all.end());
    }
    HRESULT LastResult() { return Reports().empty() ? S_FALSE : Reports().back().hr; }
    void Close() { closed_ = true; }
    int Late() { return late_; }

  private:
    std::atomic<bool> closed_{false};  // every report from now on should not have come
    std::atomic<int> late_{0};         // reports that came after Close
};

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

// One engine library loaded as the system's host loads it: created, with Sink registered.
template <class EngineT, class Sink, class CreateFn, class ReleaseFn>
class EngineLib {
  public:
    EngineLib(LPCWSTR library, const char* create, const char* release) {
        lib_ = LoadLibraryW(library);
        if (!lib_) return;
        auto createFn = GetProcAddressAs<CreateFn>(lib_, create);
        release_ = GetProcAddressAs<ReleaseFn>(lib_, release);
        if (createFn && release_ && createFn(&engine) == S_OK && engine) {
            registered_ = engine->ops->RegisterSink(engine, &sink) == S_OK;
        }
    }
    ~EngineLib() { Unload(); }
    bool Ready() const { return registered_; }
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
    HRESULT Release() { return release_(&engine); }
    HMODULE Library() const { return lib_; }

    EngineT* engine = nullptr;  // the engine, null once released
    Sink sink;                  // registered on load

  private:
    HMODULE lib_ = nullptr;
    ReleaseFn release_ = nullptr;
    bool registered_ = false;
};

struct VideoEngineLib
    : EngineLib<VideoEngine, VideoSink, PFN_CREATE_VIDEO_ENGINE, PFN_RELEASE_VIDEO_ENGINE> {
    VideoEngineLib()
        : EngineLib(VIDEO_ENGINE_LIBRARY, VIDEO_ENGINE_CREATE_EXPORT, VIDEO_ENGINE_RELEASE_EXPORT) {
    }
    HRESULT Start(const VideoUploadParams& p) { return engine->ops->StartUpload(engine, &p); }
    HRESULT Cancel(const VideoUploadParams& p) { return engine->ops->CancelUpload(engine, &p); }
};

struct PhotoEngineLib
    : EngineLib<PhotoEngine, PhotoSink, PFN_CREATE_PHOTO_ENGINE, PFN_RELEASE_PHOTO_ENGINE> {
    PhotoEngineLib()
        : EngineLib(PHOTO_ENGINE_LIBRARY, PHOTO_ENGINE_CREATE_EXPORT, PHOTO_ENGINE_RELEASE_EXPORT) {
    }
    HRESULT Start(LPCWSTR path) { return engine->ops->StartUpload(engine, path, u"", u""); }
    HRESULT Cancel(LPCWSTR path) { return engine->ops->CancelUpload(engine, path, u"", u""); }
    HRESULT FetchAlbums(LPCWSTR path) {
        return engine->ops->FetchAlbumList(engine, u"owner-1", path);
    }
};

VideoUploadParams Params(LPCWSTR path) {
    return VideoUploadParams{u"Travel", u"My clip", u"sea,sun", u"A day out", path, u"token", 0};
}

// ---- Fixtures -----------------------------------------------------------------------------

class DeviceImage : public DeviceTest {};

class Engine : public DeviceTest {
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

// The albums of the result file, as (aid, name) pairs in document order.
using Albums = std::vector<std::pair<std::u16string, std::u16string>>;
Albums ReadAlbums(LPCWSTR path) {
    XmlDocument doc;
    bool parsed = false;
    EXPECT_EQ(doc.Load(path, &parsed), S_OK);
    EXPECT_TRUE(parsed);
    Albums albums;
    for (const XmlNode& album : doc.DocumentElement().SelectNodes(u"album")) {
        albums.emplace_back(album.SelectSingleNode(u"aid").Text(),
                            album.SelectSingleNode(u"name").Text());
    }
    return albums;
}

}  // namespace

// ---- The default image --------------------------------------------------------------------

TEST_F(DeviceImage, HoldsFoldersEnginesAndDefaultsAndARunAgainKeepsUserValuesAndNewerEngines) {
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
    EXPECT_EQ(MachineDword(kSettingsKey, u"ClearYoutube", 0xDEAD), 0u);
    EXPECT_EQ(MachineDword(kSettingsKey, u"ClearFacebook", 0xDEAD), 0u);
    EXPECT_EQ(MachineDword(kAppStatusKey, u"App1", 0xDEAD), 0u);

    // The user's values, a newer engine and an older one.
    ASSERT_TRUE(SetMachineDword(kSettingsKey, u"ClearYoutube", 1));
    ASSERT_TRUE(SetMachineDword(kAppStatusKey, u"App1", 5));
    const std::string video = root_ + "/Windows/Zorvid.dll";
    const std::string photo = root_ + "/Windows/Pelfin.dll";
    WriteHostFile(video, "stale engine");
    fs::last_write_time(video, fs::file_time_type::clock::now() - std::chrono::hours(24 * 365));
    WriteHostFile(photo, "engine the user put there");
    fs::last_write_time(photo, fs::file_time_type::clock::now() + std::chrono::hours(24));

    ASSERT_TRUE(PrepareDeviceImage());
    EXPECT_EQ(MachineDword(kSettingsKey, u"ClearYoutube", 0xDEAD), 1u);
    EXPECT_EQ(MachineDword(kSettingsKey, u"ClearFacebook", 0xDEAD), 0u);
    EXPECT_EQ(MachineDword(kAppStatusKey, u"App1", 0xDEAD), 5u);
    EXPECT_EQ(ReadHostFile(video), ReadHostFile(EngineLibraryFolder() + "/Zorvid.dll"));
    EXPECT_EQ(ReadHostFile(photo), "engine the user put there");
    for (const auto& e : fs::directory_iterator(root_ + "/Windows")) {
        EXPECT_EQ(e.path().filename().string().find(".new-"), std::string::npos)
            << "temporary copy left: " << e.path();
    }
}

TEST_F(DeviceImage, WithoutBuiltEnginesOrRoomForThemIsIncompleteButLeavesNoPartialCopy) {
    const std::string empty = root_ + "/../no-engines";
    fs::create_directories(empty);
    setenv("VANTLO_ENGINE_DIR", empty.c_str(), 1);
    EXPECT_FALSE(PrepareDeviceImage());
    unsetenv("VANTLO_ENGINE_DIR");
    EXPECT_FALSE(fs::exists(root_ + "/Windows/Zorvid.dll"));
    EXPECT_TRUE(fs::is_directory(root_ + "/Outbox/Facebook"));
    EXPECT_TRUE(fs::is_regular_file(root_ + "/Dev/SPM1"));
    EXPECT_EQ(MachineDword(kSettingsKey, u"ClearFacebook", 0xDEAD), 0u);

    FileOs().Write = [](int, const void*, size_t) -> long {
        errno = ENOSPC;
        return -1;
    };
    EXPECT_FALSE(PrepareDeviceImage());
    FileOs() = FileOsDefaults();
    for (const auto& e : fs::directory_iterator(root_ + "/Windows")) {
        EXPECT_EQ(e.path().filename().string().find(".dll"), std::string::npos) << e.path();
    }
    // Once the disk has room again the image completes.
    EXPECT_TRUE(PrepareDeviceImage());
    EXPECT_TRUE(fs::is_regular_file(root_ + "/Windows/Zorvid.dll"));
}

// ---- Uploads ------------------------------------------------------------------------------

TEST_F(Engine, VideoUploadsCopyByteForByteKeepSameNamedCopiesChainAndExportOnlyTheirOwn) {
    const std::string first = MakeSource("clip.mp4", kMiB + 123, 1);
    VideoEngineLib video;
    ASSERT_TRUE(video.Ready());
    // The platform copy inside a library is its own: none of it is exported, nor the other
    // engine's functions.
    EXPECT_EQ(GetProcAddress(video.Library(), "_Z8HostPathPKDs"), nullptr);
    EXPECT_EQ(GetProcAddress(video.Library(), "CreatePelfinEngine"), nullptr);
    const VideoUploadParams p = Params(u"\\My Documents\\clip.mp4");
    ASSERT_EQ(video.engine->ops->SetAccount(video.engine, u"account"), S_OK);
    ASSERT_EQ(video.Start(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(1));
    ExpectCompleteProgress(video.sink.log.Reports());
    EXPECT_EQ(Outbox("YouTube"), std::vector<std::string>{"clip.mp4"});
    EXPECT_TRUE(OutboxFile("YouTube", "clip.mp4") == first);

    // The same name again: both copies stay.
    const std::string second = MakeSource("clip.mp4", 7000, 2);
    size_t mark = video.sink.log.Size();
    ASSERT_EQ(video.Start(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(2));
    ExpectCompleteProgress(video.sink.log.Reports(mark));
    EXPECT_EQ(Outbox("YouTube"), (std::vector<std::string>{"clip (2).mp4", "clip.mp4"}));
    EXPECT_TRUE(OutboxFile("YouTube", "clip.mp4") == first);
    EXPECT_TRUE(OutboxFile("YouTube", "clip (2).mp4") == second);

    // The next upload may be started from inside the final report.
    MakeSource("a.mp4", 20000, 3);
    const std::string b = MakeSource("b.mp4", 30000, 4);
    const VideoUploadParams pb = Params(u"\\My Documents\\b.mp4");
    HRESULT chained = E_FAIL;
    bool started = false;
    video.sink.onReport = [&](const Report& r) {
        if (!started && IsFinal(r)) {
            started = true;
            chained = video.Start(pb);
        }
    };
    ASSERT_EQ(video.Start(Params(u"\\My Documents\\a.mp4")), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(4));
    EXPECT_EQ(chained, S_OK);
    EXPECT_TRUE(OutboxFile("YouTube", "b.mp4") == b);
    video.sink.onReport = nullptr;

    // An injected fault is read when the next upload starts, and reported at its percent.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailAtPercent", 40));
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"FailCode", static_cast<DWORD>(kDiskFull)));
    mark = video.sink.log.Size();
    ASSERT_EQ(video.Start(p), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(5));
    const std::vector<Report> reports = video.sink.log.Reports(mark);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front().percent, 0);
    for (size_t i = 0; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].hr, S_OK);
        EXPECT_LT(reports[i].percent, 40);
    }
    EXPECT_EQ(reports.back().hr, kDiskFull);
    EXPECT_EQ(reports.back().percent, 40);
    EXPECT_EQ(Outbox("YouTube"),
              (std::vector<std::string>{"a.mp4", "b.mp4", "clip (2).mp4", "clip.mp4"}));
}

TEST_F(Engine, PhotoUploadsCopyAnyNameAndAnEmptyFileWithStartAndEndReports) {
    const std::string name = "Strand \xC3\x9C \xE2\x98\x80.jpg";  // "Strand Ü ☀.jpg"
    const std::string bytes = MakeSource(name, 300000);
    MakeSource("empty.jpg", 0);
    PhotoEngineLib photo;
    ASSERT_TRUE(photo.Ready());
    ASSERT_EQ(photo.engine->ops->SetSession(photo.engine, u"session-0", u"session-2"), S_OK);
    ASSERT_EQ(photo.Start((u"\\My Documents\\" + FromUtf8(name)).c_str()), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnds(1));
    ExpectCompleteProgress(photo.sink.log.Reports());
    EXPECT_EQ(Outbox("Facebook"), std::vector<std::string>{name});
    EXPECT_TRUE(OutboxFile("Facebook", name) == bytes);

    const size_t mark = photo.sink.log.Size();
    ASSERT_EQ(photo.Start(u"\\My Documents\\empty.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnds(2));
    ExpectCompleteProgress(photo.sink.log.Reports(mark));
    EXPECT_TRUE(fs::is_regular_file(root_ + "/Outbox/Facebook/empty.jpg"));
    EXPECT_EQ(OutboxFile("Facebook", "empty.jpg"), "");
}

// ---- Cancel, unregister and release ---------------------------------------------------------

TEST_F(Engine, VideoCancelStopsOnlyTheRunningUploadAndNoReportFollowsAnUnregister) {
    MakeSource("long.mp4", kMiB, 1);
    const std::string other = MakeSource("other.mp4", 1000, 2);
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", kSlowBytesPerSecond));
    VideoEngineLib video;
    ASSERT_TRUE(video.Ready());
    const VideoUploadParams running = Params(u"\\My Documents\\long.mp4");
    const VideoUploadParams second = Params(u"\\My Documents\\other.mp4");
    EXPECT_EQ(video.Cancel(running), S_FALSE);  // nothing runs yet
    ASSERT_EQ(video.Start(running), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForPercent(3));
    EXPECT_EQ(Outbox("YouTube"), std::vector<std::string>{"long.mp4.part"});
    // A second upload is refused, and the cancel of a file not uploading changes nothing.
    EXPECT_TRUE(FAILED(video.Start(second)));
    EXPECT_EQ(video.Cancel(second), S_FALSE);
    // The path is matched without regard to case, as the device's file system does.
    ASSERT_EQ(video.Cancel(Params(u"\\MY DOCUMENTS\\LONG.MP4")), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(1));
    std::vector<Report> reports = video.sink.log.Reports();
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(), IsFinal), 1);
    EXPECT_EQ(reports.front().percent, 0);
    EXPECT_EQ(reports.back().hr, VIDEO_ENGINE_CANCELLED);
    EXPECT_LT(reports.back().percent, 100);
    EXPECT_TRUE(Outbox("YouTube").empty());

    // Once the first has ended the engine takes the next.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", 0));
    ASSERT_EQ(video.Start(second), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(2));
    EXPECT_EQ(video.sink.log.Reports().back().percent, 100);
    EXPECT_TRUE(OutboxFile("YouTube", "other.mp4") == other);

    // Unregistered mid-upload, the sink hears nothing more; the release waits for the
    // engine's thread, so any report still to come has come by then, and the partial copy
    // is gone.
    ASSERT_TRUE(SetMachineDword(kZorvidKey, u"BytesPerSecond", kSlowBytesPerSecond));
    const size_t mark = video.sink.log.Size();
    ASSERT_EQ(video.Start(running), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForPercent(1, mark));
    ASSERT_EQ(video.engine->ops->UnregisterSink(video.engine, &video.sink), S_OK);
    video.sink.log.Close();
    EXPECT_EQ(video.Cancel(running), S_OK);
    ASSERT_EQ(video.Release(), S_OK);
    EXPECT_EQ(video.engine, nullptr);
    EXPECT_EQ(video.sink.log.Late(), 0);
    EXPECT_EQ(Outbox("YouTube"), std::vector<std::string>{"other.mp4"});
}

TEST_F(Engine, PhotoAlbumsArriveDuringAnUploadACancelWithoutPathOrAReleaseStopsIt) {
    MakeSource("long.jpg", kMiB);
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"BytesPerSecond", kSlowBytesPerSecond));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"AlbumListFailCode", 0x80072EE7u));
    PhotoEngineLib photo;
    ASSERT_TRUE(photo.Ready());
    ASSERT_EQ(photo.Start(u"\\My Documents\\long.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForPercent(1));
    ASSERT_EQ(photo.FetchAlbums(u"\\Temp\\albums.xml"), S_OK);
    ASSERT_TRUE(photo.sink.albums.WaitForEnds(1));
    // A failed fetch is reported with its code; the file it wrote stays for the reader.
    EXPECT_EQ(photo.sink.albums.LastResult(), static_cast<HRESULT>(0x80072EE7u));
    EXPECT_TRUE(fs::is_regular_file(root_ + "/Temp/albums.xml"));
    std::vector<Report> reports = photo.sink.log.Reports();
    EXPECT_TRUE(std::none_of(reports.begin(), reports.end(), IsFinal));

    ASSERT_TRUE(photo.sink.log.WaitForPercent(3));
    ASSERT_EQ(photo.Cancel(nullptr), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnds(1));
    EXPECT_EQ(photo.sink.log.LastResult(), PHOTO_ENGINE_CANCELLED);
    EXPECT_TRUE(Outbox("Facebook").empty());

    // Released during an upload, the engine stops it without further reports.
    const size_t mark = photo.sink.log.Size();
    ASSERT_EQ(photo.Start(u"\\My Documents\\long.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForPercent(1, mark));
    photo.Unload();
    reports = photo.sink.log.Reports(mark);
    EXPECT_TRUE(std::none_of(reports.begin(), reports.end(), IsFinal));
    EXPECT_TRUE(Outbox("Facebook").empty());
}

TEST_F(Engine, AlbumListsComeFromTheRegistryOrAreDemoAlbumsAndReplaceAnOldFile) {
    WriteHostFile(root_ + "/Temp/VantloFBAlbumListResult.xml", "old, not even XML");
    PhotoEngineLib photo;
    ASSERT_TRUE(photo.Ready());
    ASSERT_EQ(photo.FetchAlbums(nullptr), S_OK);
    ASSERT_TRUE(photo.sink.albums.WaitForEnds(1));
    EXPECT_EQ(photo.sink.albums.LastResult(), S_OK);
    EXPECT_EQ(photo.sink.albumPath, kAlbumFile);
    Albums albums = ReadAlbums(kAlbumFile);
    ASSERT_FALSE(albums.empty());
    for (const auto& [aid, name] : albums) {
        EXPECT_FALSE(aid.empty());
        EXPECT_FALSE(name.empty());
    }

    ASSERT_TRUE(SetMachineText(
        kPelfinKey, u"Albums",
        u"a1=Holiday & <Friends>; a2 = Kids \"2024\" 'best';no identifier;=empty;a3=x=y"));
    ASSERT_EQ(photo.FetchAlbums(kAlbumFile), S_OK);
    ASSERT_TRUE(photo.sink.albums.WaitForEnds(2));
    EXPECT_EQ(photo.sink.albums.LastResult(), S_OK);
    EXPECT_EQ(photo.sink.albumPath, kAlbumFile);
    EXPECT_EQ(ReadAlbums(kAlbumFile), (Albums{{u"a1", u"Holiday & <Friends>"},
                                              {u"a2", u"Kids \"2024\" 'best'"},
                                              {u"a3", u"x=y"}}));
    EXPECT_TRUE(photo.sink.log.Reports().empty());
}

// ---- Failures and misuse --------------------------------------------------------------------

TEST_F(Engine, FailuresAreReportedWithEachEnginesCodeAndAMissingOutboxIsMadeAgain) {
    VideoEngineLib video;
    PhotoEngineLib photo;
    ASSERT_TRUE(video.Ready());
    ASSERT_TRUE(photo.Ready());
    // A missing source, or a folder in its place.
    fs::create_directories(root_ + "/My Documents/folder.jpg");
    ASSERT_EQ(video.Start(Params(u"\\My Documents\\gone.mp4")), S_OK);
    ASSERT_EQ(photo.Start(u"\\My Documents\\gone.jpg"), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(1));
    ASSERT_TRUE(photo.sink.log.WaitForEnds(1));
    EXPECT_EQ(video.sink.log.LastResult(), kVideoSourceFailed);
    EXPECT_EQ(photo.sink.log.LastResult(), kPhotoSourceFailed);
    ASSERT_EQ(photo.Start(u"\\My Documents\\folder.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnds(2));
    EXPECT_EQ(photo.sink.log.LastResult(), kPhotoSourceFailed);
    EXPECT_TRUE(Outbox("YouTube").empty());
    EXPECT_TRUE(Outbox("Facebook").empty());

    // A fault at the start comes before any progress.
    MakeSource("pic.jpg", 5000, 2);
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"FailAtPercent", 0));
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"FailCode", 0x80004005u));
    size_t mark = photo.sink.log.Size();
    ASSERT_EQ(photo.Start(u"\\My Documents\\pic.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnds(3));
    const std::vector<Report> reports = photo.sink.log.Reports(mark);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].hr, E_FAIL);
    EXPECT_EQ(reports[0].percent, 0);
    EXPECT_TRUE(Outbox("Facebook").empty());
    ASSERT_TRUE(SetMachineDword(kPelfinKey, u"FailCode", 0));

    // A missing outbox is made again; a file where the photo outbox belongs stays as it is
    // and fails the upload.
    const std::string clip = MakeSource("clip.mp4", 5000, 1);
    fs::remove_all(root_ + "/Outbox");
    mark = video.sink.log.Size();
    ASSERT_EQ(video.Start(Params(u"\\My Documents\\clip.mp4")), S_OK);
    ASSERT_TRUE(video.sink.log.WaitForEnds(2));
    ExpectCompleteProgress(video.sink.log.Reports(mark));
    EXPECT_EQ(Outbox("YouTube"), std::vector<std::string>{"clip.mp4"});
    EXPECT_TRUE(OutboxFile("YouTube", "clip.mp4") == clip);
    WriteHostFile(root_ + "/Outbox/Facebook", "not a folder");
    ASSERT_EQ(photo.Start(u"\\My Documents\\pic.jpg"), S_OK);
    ASSERT_TRUE(photo.sink.log.WaitForEnds(4));
    EXPECT_EQ(photo.sink.log.LastResult(), kPhotoOutboxFailed);
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/Facebook"), "not a folder");
}

TEST_F(Engine, NullArgumentsASecondSinkAndACancelOfNothingAreRefusedWithoutAReport) {
    VideoEngineLib video;
    PhotoEngineLib photo;
    ASSERT_TRUE(video.Ready());
    ASSERT_TRUE(photo.Ready());
    EXPECT_EQ(video.engine->ops->StartUpload(video.engine, nullptr), E_POINTER);
    EXPECT_EQ(video.Start(Params(nullptr)), E_POINTER);
    EXPECT_EQ(video.engine->ops->SetAccount(video.engine, nullptr), E_POINTER);
    EXPECT_EQ(photo.Start(nullptr), E_POINTER);
    EXPECT_EQ(video.engine->ops->RegisterSink(video.engine, nullptr), E_POINTER);
    EXPECT_EQ(video.Cancel(Params(u"\\My Documents\\none.mp4")), S_FALSE);

    VideoSink other;
    EXPECT_TRUE(FAILED(video.engine->ops->RegisterSink(video.engine, &other)));
    EXPECT_EQ(video.engine->ops->UnregisterSink(video.engine, &other), S_FALSE);
    EXPECT_EQ(video.engine->ops->UnregisterSink(video.engine, &video.sink), S_OK);
    EXPECT_EQ(video.engine->ops->RegisterSink(video.engine, &other), S_OK);
    EXPECT_EQ(video.engine->ops->UnregisterSink(video.engine, &other), S_OK);
    video.Unload();
    photo.Unload();
    EXPECT_TRUE(video.sink.log.Reports().empty());
    EXPECT_TRUE(photo.sink.log.Reports().empty());
}
