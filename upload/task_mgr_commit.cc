// The store writes of ended uploads. The main window settles each ended upload in the order
// the uploads ended; a writer thread of the task manager writes what was settled, so that
// the main window goes straight on to start the next upload. While uploads go on, writes of
// uploads that end close together are gathered into one transaction.
#include "platform/trace.h"
#include "upload/task_mgr.h"

CUploadTaskMgr::StoreHold::StoreHold(CUploadTaskMgr& mgr) : mgr_(mgr), hold_(&mgr.storeLock_) {
    if (mgr_.storeDepth_++ == 0) mgr_.WriteSettled();
}

CUploadTaskMgr::StoreHold::~StoreHold() {
    --mgr_.storeDepth_;
}

void CUploadTaskMgr::SettleEnded(ServiceType type, bool done) {
    EndedUpload upload{};
    bool queueGoesOn = false;
    {
        Hold h(&lock_);
        std::deque<EndedUpload>& ended = type == SERVICE_YOUTUBE ? endedVideos_ : endedPhotos_;
        if (ended.empty()) {
            Trace("[UploadTaskMgr] No ended %s upload to record",
                  type == SERVICE_YOUTUBE ? "video" : "photo");
            return;
        }
        upload = std::move(ended.front());
        ended.pop_front();
        queueGoesOn = AnyWaiting();
        for (UploadTaskList* list : lists_) {
            // The upload being settled may still show as running: its list hears of the end
            // just after the main window does.
            LPCWSTR running = list->IsUploading() ? list->GetUploadingPath() : nullptr;
            const SYSTEMTIME* at = running ? list->GetUploadingTime() : nullptr;
            const bool itself =
                running && at && upload.path == running && SameSubmitTime(*at, upload.time);
            queueGoesOn = queueGoesOn || (running && !itself);
        }
    }
    if (upload.done != done) {
        Trace("[UploadTaskMgr] %s ended %s, recorded as it ended", upload.path,
              upload.done ? "done" : "failed");
    }
    bool wake = false;
    {
        // Neither the lists nor the stores are held: the engines report and the writer writes
        // meanwhile.
        Hold settled(&settledLock_);
        if (settled_.empty()) firstSettledAt_ = GetTickCount();
        settled_.push_back(SettledUpload{std::move(upload), type});
        // Once the queue stands still nothing is gathered any more: the writes go now.
        writeNow_ = writeNow_ || !queueGoesOn;
        wake = settled_.size() == 1 || settled_.size() >= COMMIT_BATCH || writeNow_;
    }
    if (!writer_) {
        StoreHold store(*this);  // no writer thread: written here and now
        return;
    }
    if (wake) SetEvent(writeDue_);
}

void CUploadTaskMgr::CommitEnded() {
    StoreHold store(*this);
}

void CUploadTaskMgr::WriteSettled() {
    std::vector<SettledUpload> settled;
    {
        // Taken out first: uploads settled meanwhile wait for the next write.
        Hold h(&settledLock_);
        if (settled_.empty()) return;
        settled.swap(settled_);
    }
    struct Write {
        const SettledUpload* settled;  // what ended
        bool keyed;                    // key holds the file's history key
        UploadHistoryKey key;          // valid when keyed
    };
    std::vector<Write> writes;
    writes.reserve(settled.size());
    for (const SettledUpload& s : settled) {
        Write w{&s, false, {}};
        w.keyed = PrepareUploadHistory(s.upload.path.c_str(), &w.key) != FALSE;
        if (s.upload.done && !w.keyed) {
            Trace("[UploadTaskMgr] %s is gone: not recorded in the history", s.upload.path);
        }
        writes.push_back(w);
    }
    // A done upload's history record and the end of its pending entry reach the volume
    // together; a failed one loses its history record (if any) and keeps its pending entry
    // for a retry.
    WriteTogether([&] {
        for (const Write& w : writes) {
            const EndedUpload& u = w.settled->upload;
            if (u.done) {
                if (w.keyed) history_.AddHistory(&w.key);
                DeletePendingOf(u.path.c_str(), u.time, PendingTypeOf(w.settled->type));
            } else if (w.keyed) {
                history_.DeleteHistory(&w.key);
            }
        }
    });
}

void CUploadTaskMgr::CommitVideoDone() {
    SettleEnded(SERVICE_YOUTUBE, true);
}
void CUploadTaskMgr::CommitPhotoDone() {
    SettleEnded(SERVICE_FACEBOOK, true);
}
void CUploadTaskMgr::ForgetVideoFailed() {
    SettleEnded(SERVICE_YOUTUBE, false);
}
void CUploadTaskMgr::ForgetPhotoFailed() {
    SettleEnded(SERVICE_FACEBOOK, false);
}

// ---- The writer thread ---------------------------------------------------------------------

void CUploadTaskMgr::StartWriter() {
    if (writer_) return;
    writeDue_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (writeDue_) {
        {
            Hold h(&settledLock_);
            writerStop_ = false;
        }
        writer_ = CreateThread(nullptr, 0, WriterMain, this, 0, nullptr);
    }
    if (!writer_) {
        Trace(
            "[UploadTaskMgr] No store writer thread (error %u): ended uploads are written as "
            "they are settled",
            static_cast<unsigned>(GetLastError()));
        if (writeDue_) CloseHandle(writeDue_);
        writeDue_ = nullptr;
    }
}

void CUploadTaskMgr::StopWriter() {
    if (!writer_) return;
    {
        Hold h(&settledLock_);
        writerStop_ = true;
    }
    SetEvent(writeDue_);
    WaitForSingleObject(writer_, INFINITE);
    CloseHandle(writer_);
    CloseHandle(writeDue_);
    writer_ = nullptr;
    writeDue_ = nullptr;
}

DWORD CUploadTaskMgr::WriterMain(LPVOID self) {
    static_cast<CUploadTaskMgr*>(self)->RunWriter();
    return 0;
}

void CUploadTaskMgr::RunWriter() {
    // The uploads come first: the writes wait for a processor the engines do not need.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    for (;;) {
        DWORD waitMs = INFINITE;
        bool write = false;
        {
            Hold h(&settledLock_);
            if (writerStop_) return;  // what is left is written by the one who stopped it
            if (!settled_.empty()) {
                const DWORD age = GetTickCount() - firstSettledAt_;
                write = writeNow_ || age >= COMMIT_DELAY_MS || settled_.size() >= COMMIT_BATCH;
                if (write) writeNow_ = false;
                waitMs = write ? 0 : COMMIT_DELAY_MS - age;
            }
        }
        if (write) {
            StoreHold store(*this);  // writes what was settled
            continue;
        }
        WaitForSingleObject(writeDue_, waitMs);
    }
}
