// The upload task manager: the process-wide owner of all upload work. It keeps one task list
// per service, turns the main window's requests into tasks persisted in the pending queue,
// asks for a data connection, runs at most one upload per service (the two services side by
// side), keeps the device out of suspend while work remains, and records every finished file
// in the upload history.
//
// Threads: the main window's thread adds, starts and commits tasks; the dialog thread cancels,
// retries, clears and queries; the engines report on their own threads. Every operation that
// reads or changes the lists takes `lock`, a recursive critical section, so no thread sees a
// list half-changed; every use of a store takes `storeLock`, so each store is used by one
// thread at a time (when both are held, `lock` is taken first). The engines' reports take
// `lock` only, so they never wait for a store write. Store work the engines cause is deferred
// to the main window by posted messages (upload/messages.h), and its writes to the task
// manager's writer thread.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/sync.h"
#include "platform/types.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "store/album_list.h"
#include "store/upload_db.h"
#include "upload/account_info.h"
#include "upload/engine_host.h"
#include "upload/network_mgr.h"
#include "upload/power_mgr.h"
#include "upload/task_list.h"
#include "upload/task_model.h"
#include "upload/task_observer.h"

// The error of every task restored from the pending queue at start-up: it uploads only after
// a retry.
constexpr HRESULT ERR_RESTORED = static_cast<HRESULT>(0x90000001u);

class CUploadTaskMgr : public IVideoUploadCallback, public IPhotoUploadCallback {
  public:
    CUploadTaskMgr();
    ~CUploadTaskMgr();
    CUploadTaskMgr(const CUploadTaskMgr&) = delete;
    CUploadTaskMgr& operator=(const CUploadTaskMgr&) = delete;

    // ---- Wiring, done by the start-up before Init --------------------------------------

    // The main window: where the task manager's messages and the connection reports go.
    void SetMainWindow(HWND hWnd);
    // Where the account texts come from; without it they are empty.
    void SetAccountInfo(IAccountInfo* account);
    // The album list gets the photo engine as soon as the photo host exists (obtained by Init
    // when an album list is set), and the photo engine's album results.
    void SetAlbumList(CAlbumList* albums);

    // ---- Start-up and shutdown ----------------------------------------------------------

    // The start-up: engine host, power guard, connection, both stores, the video list, the
    // registry clear requests, then every pending entry restored as a failed task. The
    // result of obtaining the video engine host; the other steps run in any case.
    HRESULT Init();
    // Lists destroyed (their uploads not cancelled), engine hosts released, power guard
    // destroyed (unattended mode kept), connection released, stores closed. S_OK.
    HRESULT Shutdown();

    // ---- Main window: adding and starting -----------------------------------------------

    // Creates the video list on first use; then hands it the YouTube account text.
    HRESULT EnsureVideoList();
    // Creates the photo list (and obtains the photo host) on first use; then hands the photo
    // engine the Facebook session.
    HRESULT EnsurePhotoList();
    // Adds a video task from fields' path, title, description, category, tags and visibility.
    // isNew: stamped now, waiting, persisted in the pending queue. Otherwise a restored task:
    // fields.submitTime, failed with ERR_RESTORED, nothing persisted. A non-null authToken
    // becomes the list's token. The result of the list's Add.
    HRESULT AddVideoTask(const VideoTaskRequest& fields, LPCWSTR authToken, BOOL isNew);
    // The same for a photo task from fields' path, caption and album.
    HRESULT AddPhotoTask(const PhotoTaskRequest& fields, BOOL isNew);

    // While one lives, the pending entries of the tasks this thread adds (AddVideoTask,
    // AddPhotoTask) are written to the store together, in one transaction, when it ends:
    // a client's batch of files costs one store write rather than one per file. When that
    // write fails (traced) the entries are written one by one. It holds the task manager's
    // locks, so other threads' calls wait until it ends: put only the adding loop in it.
    class TaskBatch {
      public:
        explicit TaskBatch(CUploadTaskMgr& mgr);
        ~TaskBatch();
        TaskBatch(const TaskBatch&) = delete;
        TaskBatch& operator=(const TaskBatch&) = delete;

      private:
        CUploadTaskMgr& mgr_;  // the task manager whose additions are grouped
    };

    // Asks for the connection when a task waits, and starts uploading unless the connection
    // is still being set up (then MSG_CONNECTION_STATUS starts it).
    void StartTask();
    // Starts the first waiting task of every service that has no upload running. S_OK.
    HRESULT StartUploading();
    // The history and pending bookkeeping of an ended upload, in the order the uploads ended
    // (one call per MSG_VIDEO_DONE, MSG_PHOTO_DONE, MSG_VIDEO_FAILED, MSG_PHOTO_FAILED). The
    // writes themselves are left to the task manager's writer thread (started by Init), so
    // that the main window goes on to start the next upload. While uploads go on, the writes
    // of uploads that end close together are gathered: they wait at most COMMIT_DELAY_MS or
    // until COMMIT_BATCH uploads have been settled; once the queue stands still they go at
    // once. Every other use of the stores writes them first: no reader sees the stores
    // without them.
    void CommitVideoDone();
    void CommitPhotoDone();
    void ForgetVideoFailed();
    void ForgetPhotoFailed();
    // Writes the bookkeeping settled so far, now, in one transaction.
    void CommitEnded();
    static constexpr DWORD COMMIT_DELAY_MS = 50;
    static constexpr size_t COMMIT_BATCH = 64;

    // ---- Task viewer and item dialogs ---------------------------------------------------

    // Removes the task (cancelling its upload when it runs), its pending entry and its
    // history record; E_FAIL when no list holds it.
    HRESULT CancelTask(LPCWSTR path, const SYSTEMTIME* time);
    // Makes a failed task wait again and posts MSG_START_TASK; 0, or 1 when no list holds it.
    int RetryItem(LPCWSTR path, const SYSTEMTIME* time);
    // Every failed task of the service waits again; the queue is not started here.
    void RetryService(ServiceType type);
    // Drops every task of every service with its history record and pending entry. S_OK.
    HRESULT ClearAllTasks();
    // The same for one service; unattended mode does not change. S_OK.
    HRESULT ClearServiceTasks(ServiceType type);
    // Fills out with the snapshots of the service's tasks (empty when it has no list).
    TaskSnapshotList* GetAllServiceTasks(TaskSnapshotList* out, ServiceType type);
    // The task's status from the lists; 0 when none holds it.
    TaskStatus GetStatus(LPCWSTR path, const SYSTEMTIME* time);
    // As GetStatus; a file no list holds answers 4 when the history holds it, else 0.
    TaskStatus GetUploadStatusDb(LPCWSTR path, const SYSTEMTIME* time);
    // The state of the first list that is not idle; LIST_IDLE when none.
    ListState GetTaskStatus();
    // The last engine result of the task; E_FAIL when no list holds it.
    HRESULT GetError(LPCWSTR path, const SYSTEMTIME* time);
    LONG GetPercent(ServiceType type);                    // last percent reported for the service
    HRESULT RegisterObserver(ITaskObserver* observer);    // E_POINTER for null
    HRESULT UnregisterObserver(ITaskObserver* observer);  // E_POINTER for null
    // The video categories the setting dialog offers (none are added by the system).
    std::vector<WString> GetCategories();

    // Forms the history key of path from the file system; false (size and time zero) when
    // the file cannot be found.
    BOOL PrepareUploadHistory(LPCWSTR path, UploadHistoryKey* key);

    // ---- Engine callbacks (engine threads) ----------------------------------------------

    void OnUploadVideo(HRESULT hr, LONG percent) override;
    void OnPhotoNotice0(HRESULT, LPCWSTR) override {}
    void OnUploadPhoto(HRESULT hr, DWORD value, LONG percent) override;
    void OnAlbumListResult(HRESULT, LPCWSTR) override {}  // the album list hears it directly
    void OnPhotoNotice3(HRESULT, LPCWSTR) override {}
    // Applies an ended upload's status (TASK_FAILED or TASK_DONE; others are ignored) to the
    // service's list, tells the observers, lets unattended mode go when nothing waits, and
    // posts MSG_START_TASK.
    void OnTaskFinished(LPCWSTR path, const SYSTEMTIME* time, TaskStatus status, ServiceType type);

  private:
    // Holds a critical section for its scope.
    class Hold {
      public:
        explicit Hold(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
        ~Hold() { LeaveCriticalSection(cs_); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

      private:
        CRITICAL_SECTION* cs_;  // entered for the holder's lifetime
    };

    // An upload that ended, waiting for the main window's bookkeeping.
    struct EndedUpload {
        WString path;     // the task's file
        SYSTEMTIME time;  // its submit time
        bool done;        // uploaded (else failed)
    };

    // An ended upload the main window has settled, waiting for its store writes.
    struct SettledUpload {
        EndedUpload upload;  // what ended
        ServiceType type;    // its service
    };

    // Takes storeLock_ for its scope, having first written the settled uploads, so that every
    // read and write of the stores comes after theirs. Only the outermost hold of a thread
    // writes them: a nested one may be inside a transaction, which could still fail and be
    // written again without them.
    class StoreHold {
      public:
        explicit StoreHold(CUploadTaskMgr& mgr);
        ~StoreHold();
        StoreHold(const StoreHold&) = delete;
        StoreHold& operator=(const StoreHold&) = delete;

      private:
        CUploadTaskMgr& mgr_;  // whose storeLock_ is held
        Hold hold_;            // storeLock_
    };

    // The photo engine as the album list reaches it, valid while the photo host exists.
    class AlbumEngineLink : public IAlbumListEngine {
      public:
        void SetHost(PhotoEngineHost* host);
        HRESULT SetSession(LPCWSTR first, LPCWSTR third) override;
        HRESULT FetchAlbumList(LPCWSTR session, LPCWSTR path) override;

      private:
        std::mutex lock_;                  // held while the host is called or replaced
        PhotoEngineHost* host_ = nullptr;  // not owned; null once released
    };

    // The upload callbacks' common path; type picks the list, the percent and the messages.
    void OnUpload(ServiceType type, HRESULT hr, LONG percent);
    HRESULT ObtainPhotoHost();
    UploadTaskList* ListOf(ServiceType type) const;  // first list of the service, or null
    LONG& PercentOf(ServiceType type);
    bool AnyWaiting() const;  // some list has a waiting task
    void NotifyProgress(LPCWSTR path, const SYSTEMTIME* time, LONG percent);
    void NotifyStateChanged(LPCWSTR path, const SYSTEMTIME* time);
    bool PostToMain(UINT msg);  // false (traced) when the message could not be posted
    // The exact submit time of the first task of list matching path and time.
    bool ExactTime(UploadTaskList* list, LPCWSTR path, const SYSTEMTIME* time, SYSTEMTIME* exact);
    static DWORD PendingTypeOf(ServiceType type);  // the pending queue's type of a service
    void DeleteHistoryOf(LPCWSTR path);
    void DeletePendingOf(LPCWSTR path, const SYSTEMTIME& time, DWORD type);
    // Adds a new task's pending entry (a batch's entries are kept to be written again should
    // its transaction fail). Call with storeLock_ held.
    void AddPendingOf(LPCWSTR path, const SYSTEMTIME& time, DWORD type);
    // The store whose transaction now groups this thread's store writes, or null when none
    // could begin. Call with storeLock_ held.
    CUploadDb* BeginStoreTransaction();
    // Runs writes, which only write to the stores and may run twice, in one transaction so
    // that they reach the volume together; should that fail (traced) they run again one by
    // one. Inside a batch they join its transaction. Call with storeLock_ held.
    void WriteTogether(const std::function<void()>& writes);
    // The bookkeeping of the oldest ended upload of type; done says which message came.
    void SettleEnded(ServiceType type, bool done);
    // Writes every settled upload's history and pending changes in one transaction. Call
    // with storeLock_ held.
    void WriteSettled();
    // The writer thread: started by Init, stopped (and joined) by Shutdown and the destructor.
    void StartWriter();
    void StopWriter();
    static DWORD WriterMain(LPVOID self);
    void RunWriter();
    // Start-up: drops the pending entries of type and the history records of their files.
    void ClearPendingOfType(DWORD type);
    // Start-up: turns every pending entry back into a failed task.
    void RestorePending();
    WString AccountText(WString (IAccountInfo::*get)());

    std::vector<ITaskObserver*> observers_;  // not owned, in registration order
    VideoEngineHost* videoHost_;             // the process-wide video host; null until Init
    PhotoEngineHost* photoHost_;             // the process-wide photo host; null until needed
    CRITICAL_SECTION lock_;                  // recursive; guards everything below but the stores
    std::vector<UploadTaskList*> lists_;     // not owned; in creation order
    VideoTaskList* videoList_;               // owned; null until created
    PhotoTaskList* photoList_;               // owned; null until created
    CPowerMgr* power_;                       // owned; null until Init
    NetworkMgr* net_;                        // the process-wide connection; null until Init
    std::vector<WString> categories_;        // offered video categories; empty
    LONG photoPercent_;                      // last percent the photo engine reported
    LONG videoPercent_;                      // last percent the video engine reported
    CRITICAL_SECTION storeLock_;             // recursive; guards the two stores
    int storeDepth_;                         // nested store holds of its holder (storeLock_)
    CUploadDb history_;                      // the upload history
    CUploadDb pending_;                      // the pending queue
    // The open TaskBatch (nested ones count), all guarded by storeLock_.
    int batchDepth_;                           // TaskBatch objects alive; 0: no batch
    CUploadDb* batchStore_;                    // whose transaction holds the batch; null: none
    std::vector<PendingRecord> batchEntries_;  // entries added in the batch, in order
    WString lastVideoPath_;                    // the last video task that ended
    SYSTEMTIME lastVideoTime_;                 // its submit time (kept for a done task only)
    WString lastPhotoPath_;                    // the last photo task that ended
    SYSTEMTIME lastPhotoTime_;                 // its submit time (kept for a done task only)
    // Uploads that ended and await their message, oldest first: a second upload of a service
    // may end before the main window handled the first one's message.
    std::deque<EndedUpload> endedVideos_;
    std::deque<EndedUpload> endedPhotos_;  // the same for photos
    // Settled uploads whose writes wait, and the writer's state, guarded by settledLock_ (taken
    // after storeLock_ when both are held).
    CRITICAL_SECTION settledLock_;
    std::vector<SettledUpload> settled_;  // oldest first
    DWORD firstSettledAt_;                // tick count when the oldest of settled_ was settled
    bool writeNow_;                       // the queue stands still: write without gathering
    bool writerStop_;                     // the writer thread is to end
    HANDLE writer_;                       // the writer thread; null when none runs (main window)
    HANDLE writeDue_;              // auto-reset: something was settled, or the writer is to stop
    HWND hMainWnd_;                // where messages go; null drops them (traced)
    IAccountInfo* account_;        // not owned; null gives empty texts
    CAlbumList* albumList_;        // not owned; null when no album list is wired
    AlbumEngineLink albumEngine_;  // what the album list is given as its engine
};
