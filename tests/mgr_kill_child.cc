// Child of the task manager's kill-and-restart test: runs a task manager with its main window
// stand-in in the device root it inherits, uploads one video to the end, then queues videos
// and photos under a throughput limit and waits, both services uploading, to be killed.
// Progress lines go to the report file, each on disk before the next step:
//   "DONE <path>"  the first video is uploaded and recorded in the history
//   "READY"        the queued tasks are added and both services are uploading
//
// Usage: vantlo-mgr-kill-child <report file> <first video> <slow video>... -- <slow photo>...
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/mgr_harness.h"

namespace {

bool Report(int fd, const std::string& line) {
    std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
    return fsync(fd) == 0;
}

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
    if (argc < 4) {
        fprintf(stderr, "usage: %s <report> <first video> <video>... -- <photo>...\n", argv[0]);
        return 2;
    }
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return 2;
    const WString first = FromUtf8(argv[2]);
    std::vector<WString> videos;
    std::vector<WString> photos;
    bool inPhotos = false;
    for (int i = 3; i < argc; i++) {
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
            [&] { return mgr.GetUploadStatusDb(first.c_str(), nullptr) == TASK_DONE; }) ||
        !Report(fd, "DONE " + ToUtf8(first))) {
        return 1;
    }

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
    if (!WaitUntil([&] { return BothUploading(mgr); }) || !Report(fd, "READY")) return 1;

    // Bounded, so that a child whose parent died ends by itself.
    WaitUntil([] { return false; }, std::chrono::milliseconds(120000));
    return 3;
}
