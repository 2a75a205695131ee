#include "services/engines/core/job_thread.h"

#include <system_error>

#include "platform/trace.h"
#include "services/engines/core/engine_common.h"

CJobThread::CJobThread(const char* tag, size_t maxQueued) : tag_(tag), maxQueued_(maxQueued) {}

CJobThread::~CJobThread() {
    Stop();
}

HRESULT CJobThread::Start() {
    std::lock_guard<std::mutex> g(lock_);
    if (thread_.joinable() || stopping_) return S_OK;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        Trace("[%s] cannot start the worker thread: %s", tag_, e.what());
        return E_FAIL;
    }
    workerId_ = thread_.get_id();
    return S_OK;
}

HRESULT CJobThread::Post(std::function<void()> job) {
    std::lock_guard<std::mutex> g(lock_);
    if (stopping_ || !thread_.joinable()) {
        Trace("[%s] worker is not running; job refused", tag_);
        return E_FAIL;
    }
    if (jobs_.size() >= maxQueued_) {
        Trace("[%s] %u jobs wait already; job refused", tag_, static_cast<unsigned>(jobs_.size()));
        return ENGINE_E_BUSY;
    }
    jobs_.push_back(std::move(job));
    wake_.notify_one();
    return S_OK;
}

bool CJobThread::Stop() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (thread_.joinable() && std::this_thread::get_id() == workerId_) {
            Trace("[%s] the worker cannot stop itself", tag_);
            return false;
        }
        stopping_ = true;
        dropped.swap(jobs_);
        wake_.notify_all();
    }
    if (!dropped.empty()) {
        Trace("[%s] %u queued jobs dropped", tag_, static_cast<unsigned>(dropped.size()));
    }
    if (thread_.joinable()) thread_.join();
    return true;
}

bool CJobThread::OnWorker() const {
    return std::this_thread::get_id() == workerId_;
}

void CJobThread::Run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> g(lock_);
            wake_.wait(g, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        // A job reports its own failures; one that throws must not take the thread down.
        EngineGuard(tag_, [&] {
            job();
            return S_OK;
        });
    }
}
