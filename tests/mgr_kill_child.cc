// Child of the task manager's kill-and-restart test: runs a task manager with its main window
// stand-in in the device root it inherits, uploads one video to the end, then queues videos
// and photos under a throughput limit and waits, both services uploading, to be killed.
// Progress lines go to stdout, flushed:
//   "DONE <path>"  the first video is uploaded and recorded in the history
//   "READY"        the queued tasks are added and both services are uploading
//
// Usage: vantlo-mgr-kill-child <first video> <slow video>... -- <slow photo>...
#include <cstdio>
#include <string>
#include <vector>

#include "tests/mgr_harness.h"

namespace {

bool BothUploading(CUploadTaskMgr& mgr) {
    for (ServiceType type : {SERVICE_YOUTUBE, SERVICE_FACEBOOK}) {
        TaskSnapshotList tasks;
        mgr.GetAllServiceTasks(&tasks, type);
        bool uploading = false;
        for (const TaskSnapshot& t : tasks) uploading = uploading || t.status == TASK_UPLOADING;
        if (!uploading) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s <first video> <video>... -- <photo>...\n", argv[0]);
        return 2;
    }
    const WString first = FromUtf8(argv[1]);
    std::vector<WString> videos;
    std::vector<WString> photos;
    bool inPhotos = false;
    for (int i = 2; i < argc; i++) {
        if (std::string(argv[i]) == "--") {
            inPhotos = true;
            continue;
        }
        (inPhotos ? photos : videos).push_back(FromUtf8(argv[i]));
    }

    CUploadTaskMgr mgr;
    MainWindowStandIn main(mgr);
    main.Init();

    // The first video goes through unhindered, to the history.
    main.OnMain([&] {
        mgr.EnsureVideoList();
        mgr.AddVideoTask(DefaultVideo(first), u"token", TRUE);
    });
    main.Kick();
    if (!main.WaitOnMain(
            [&] { return mgr.GetUploadStatusDb(first.c_str(), nullptr) == TASK_DONE; })) {
        return 1;
    }
    printf("DONE %s\n", ToUtf8(first).c_str());
    fflush(stdout);

    // The rest crawls, so that the kill finds them unfinished.
    SetMachineDword(kZorvidKey, u"BytesPerSecond", 1000);
    SetMachineDword(kPelfinKey, u"BytesPerSecond", 1000);
    main.OnMain([&] {
        mgr.EnsureVideoList();
        for (const WString& v : videos) mgr.AddVideoTask(DefaultVideo(v), u"token", TRUE);
        mgr.EnsurePhotoList();
        for (const WString& p : photos) mgr.AddPhotoTask(DefaultPhoto(p), TRUE);
    });
    main.Kick();
    if (!WaitUntil([&] { return BothUploading(mgr); })) return 1;
    printf("READY\n");
    fflush(stdout);

    // Bounded, so that a child whose parent died ends by itself.
    WaitUntil([] { return false; }, std::chrono::milliseconds(120000));
    return 3;
}
