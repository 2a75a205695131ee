// The upload queue under load. A run queues 1,000 tasks (half videos, half photos, small
// files) on a task manager with its main window stand-in and the real engines at unlimited
// throughput, and times the whole run from the first add to the last history write. The
// baseline copies the same files into an outbox with plain file copies, one thread per
// service. Each side runs kRounds times in a fresh device root, the two taking turns to go
// first; the medians are compared.
// The processor time of each side (all threads) is printed too, as a check that holds up on a
// busy machine. Also timed: the start-up Init with 10,000 pending entries to restore.
//
// Files go to a fresh folder under $VANTLO_BENCH_DIR (default: the memory file system when
// there is one, as for the store benchmark), removed at the end. The trace is dropped unless
// VANTLO_BENCH_TRACE is set. The last line is "ratio queue-drain <system / baseline>".
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_image.h"
#include "platform/devpath.h"
#include "platform/time.h"
#include "store/upload_db.h"
#include "tests/mgr_harness.h"
#include "upload/messages.h"

namespace {

constexpr int kTasks = 1000;  // half videos, half photos
// A small phone photo (a 2-megapixel picture); VANTLO_BENCH_QUEUE_BYTES sets another size. The
// system's cost per task is nearly fixed (hand-offs between threads, file and store work), so
// smaller files raise the ratio: on a two-processor VM whose wake-ups of an idle processor
// take some 50 us, 256 KB files give about 2.2.
size_t g_fileBytes = 512 * 1024;
constexpr DWORD kRestoredEntries = 10000;  // pending entries for the start-up run
constexpr int kRounds = 5;                 // runs per side; the median counts

using Clock = std::chrono::steady_clock;

std::string g_dir;  // this benchmark's folder

void Die(const std::string& what) {
    fprintf(stdout, "bench_queue: %s\n", what.c_str());
    fflush(stdout);
    exit(1);
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The processor time the whole process has used so far, all threads together.
double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// One timed run: its wall time and the processor time it took.
struct Timing {
    double wall;  // seconds from start to end
    double cpu;   // processor seconds of all threads meanwhile
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Points the device root at a fresh folder named name, in place of the previous one, and
// gives it the default image.
void FreshDevice(const std::string& name) {
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    const std::string root = g_dir + "/" + name;
    std::filesystem::create_directories(root + "/device");
    std::filesystem::create_directories(root + "/run");
    setenv("VANTLO_ROOT", (root + "/device").c_str(), 1);
    setenv("VANTLO_RUNTIME_DIR", (root + "/run").c_str(), 1);
    if (!PrepareDeviceImage()) Die("the device image is incomplete");
}

// The device paths of the run's files, videos first, written into the device root.
std::vector<WString> WriteFiles() {
    std::vector<WString> files;
    for (int i = 0; i < kTasks; i++) {
        const bool video = i < kTasks / 2;
        std::string name = video ? "\\Media\\clip" + std::to_string(i) + ".mp4"
                                 : "\\Media\\img" + std::to_string(i) + ".jpg";
        files.push_back(FromUtf8(name));
        WriteMediaFile(files.back(), g_fileBytes, i);
    }
    return files;
}

// The system: every file queued as a client batch would, then the queue runs dry.
Timing SystemRun(int round) {
    FreshDevice("system" + std::to_string(round));
    // The data connection comes up at once, as the engines upload at full speed: what is timed
    // is the system's own work, not the stand-in's connection delay (50 ms by default).
    if (!SetMachineDword(u"SOFTWARE\\Velmar\\ConnMgr", u"DelayMs", 0)) {
        Die("cannot set the connection delay");
    }
    const std::vector<WString> files = WriteFiles();
    CUploadTaskMgr mgr;
    MainWindowStandIn main(mgr);
    if (main.Init() != S_OK) Die("Init failed");

    const double cpuStart = CpuSeconds();
    const Clock::time_point start = Clock::now();
    main.OnMain([&] {
        mgr.EnsureVideoList();
        mgr.EnsurePhotoList();
        CUploadTaskMgr::TaskBatch batch(mgr);  // as the main window queues a client's batch
        for (int i = 0; i < kTasks; i++) {
            HRESULT hr = i < kTasks / 2 ? mgr.AddVideoTask(DefaultVideo(files[i]), u"token", TRUE)
                                        : mgr.AddPhotoTask(DefaultPhoto(files[i]), TRUE);
            if (hr != S_OK) Die("a task was refused");
        }
    });
    main.Kick();
    // The done messages are recorded as the main window takes them; the commit that follows
    // the last one returns once every history write is through.
    const Clock::time_point deadline = start + std::chrono::minutes(10);
    for (size_t done = 0; done < size_t(kTasks);) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Counted where they are recorded: the main window records meanwhile.
        if (main.Count(MSG_VIDEO_FAILED) + main.Count(MSG_PHOTO_FAILED) > 0) {
            Die("an upload failed");
        }
        done = main.Count(MSG_VIDEO_DONE) + main.Count(MSG_PHOTO_DONE);
        if (Clock::now() > deadline) Die("the queue did not drain");
    }
    main.OnMain([&] { mgr.CommitEnded(); });
    const Timing elapsed{Seconds(Clock::now() - start), CpuSeconds() - cpuStart};

    bool allRecorded = true;
    main.OnMain([&] {
        for (const WString& f : files) {
            allRecorded = allRecorded && mgr.GetUploadStatusDb(f.c_str(), nullptr) == TASK_DONE;
        }
    });
    if (!allRecorded) Die("a file is missing from the history");
    main.Shutdown();
    return elapsed;
}

// The baseline: the same files copied with plain file copies, one thread per service.
Timing BaselineRun(int round) {
    FreshDevice("baseline" + std::to_string(round));
    const std::vector<WString> files = WriteFiles();
    const std::string outbox = HostPath("\\Outbox");
    auto copyAll = [&](size_t from, size_t to, const std::string& folder) {
        for (size_t i = from; i < to; i++) {
            std::filesystem::path source = HostPath(files[i].c_str());
            std::filesystem::copy_file(source, folder + "/" + source.filename().string());
        }
    };
    const double cpuStart = CpuSeconds();
    const Clock::time_point start = Clock::now();
    std::thread videos(copyAll, 0, size_t(kTasks / 2), outbox + "/YouTube");
    std::thread photos(copyAll, size_t(kTasks / 2), size_t(kTasks), outbox + "/Facebook");
    videos.join();
    photos.join();
    return Timing{Seconds(Clock::now() - start), CpuSeconds() - cpuStart};
}

// Start-up with a full pending queue: every entry comes back as a failed task.
double RestoreRun() {
    FreshDevice("restore");
    {
        CUploadDb pending;
        if (!pending.InitPending()) Die("cannot open the pending queue");
        if (!pending.BeginTransaction()) Die("cannot group the pending entries");
        SYSTEMTIME base{2024, 5, 0, 11, 8, 0, 0, 0};
        for (DWORD i = 0; i < kRestoredEntries; i++) {
            PendingRecord r{};
            WString path =
                FromUtf8("\\Media\\pending" + std::to_string(i) + (i % 2 ? ".jpg" : ".mp4"));
            WStrCopyN(r.szFilePath, path.c_str(), MAX_PATH);
            r.stSubmit = base;
            r.stSubmit.wMinute = static_cast<WORD>(i / 1000 % 60);
            r.stSubmit.wSecond = static_cast<WORD>(i / 10 % 60);
            r.stSubmit.wMilliseconds = static_cast<WORD>(i % 1000);
            r.dwType = i % 2 ? PENDING_TYPE_PHOTO : PENDING_TYPE_VIDEO;
            if (!pending.AddPending(&r)) Die("cannot fill the pending queue");
        }
        if (!pending.EndTransaction(TRUE)) Die("cannot store the pending entries");
    }
    CUploadTaskMgr mgr;
    MainWindowStandIn main(mgr);
    const Clock::time_point start = Clock::now();
    if (main.Init() != S_OK) Die("Init failed");
    const double elapsed = Seconds(Clock::now() - start);
    TaskSnapshotList videos;
    TaskSnapshotList photos;
    mgr.GetAllServiceTasks(&videos, SERVICE_YOUTUBE);
    mgr.GetAllServiceTasks(&photos, SERVICE_FACEBOOK);
    if (videos.size() + photos.size() != kRestoredEntries) Die("not every entry was restored");
    main.Shutdown();
    return elapsed;
}

}  // namespace

int main() {
    const char* base = getenv("VANTLO_BENCH_DIR");
    std::error_code ec;
    std::filesystem::path parent = base && *base ? std::filesystem::path(base)
                                   : std::filesystem::is_directory("/dev/shm", ec)
                                       ? std::filesystem::path("/dev/shm")
                                       : std::filesystem::temp_directory_path();
    if (const char* bytes = getenv("VANTLO_BENCH_QUEUE_BYTES"); bytes && atol(bytes) > 0) {
        g_fileBytes = static_cast<size_t>(atol(bytes));
    }
    g_dir = (parent / ("vantlo-bench-queue-" + std::to_string(std::random_device{}()))).string();
    std::filesystem::create_directories(g_dir);
    if (!getenv("VANTLO_BENCH_TRACE")) {
        if (!freopen("/dev/null", "w", stderr)) Die("cannot silence the trace");
    }

    std::vector<double> system, systemCpu;
    std::vector<double> baseline, baselineCpu;
    for (int round = 0; round < kRounds; round++) {
        // Every other round the baseline goes first: neither side always finds the memory
        // the other just let go.
        Timing s{}, b{};
        if (round % 2 == 0) {
            s = SystemRun(round);
            b = BaselineRun(round);
        } else {
            b = BaselineRun(round);
            s = SystemRun(round);
        }
        system.push_back(s.wall);
        systemCpu.push_back(s.cpu);
        baseline.push_back(b.wall);
        baselineCpu.push_back(b.cpu);
        printf("round %d: system %.3f s (cpu %.3f s), baseline %.3f s (cpu %.3f s)\n", round,
               s.wall, s.cpu, b.wall, b.cpu);
        fflush(stdout);
    }
    const double restore = RestoreRun();

    const double sys = Median(system);
    const double copy = Median(baseline);
    printf("queue-drain %d tasks of %zu bytes: system %.3f s (%.2f ms a task), baseline %.3f s\n",
           kTasks, g_fileBytes, sys, sys * 1000 / kTasks, copy);
    // Processor time does not depend on what else the machine runs as much as wall time does.
    printf("queue-drain cpu: system %.3f s (%.3f ms a task), baseline %.3f s\n", Median(systemCpu),
           Median(systemCpu) * 1000 / kTasks, Median(baselineCpu));
    printf("init-restore %u pending entries: %.3f s (target under 1 s)\n",
           static_cast<unsigned>(kRestoredEntries), restore);
    printf("ratio queue-drain %.2f\n", sys / copy);
    fflush(stdout);
    std::filesystem::remove_all(g_dir, ec);
    return 0;
}
