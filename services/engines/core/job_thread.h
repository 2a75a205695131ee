// A worker thread that runs posted jobs one after the other, in the order posted.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/types.h"

class CJobThread {
  public:
    // tag names the thread in traces; at most maxQueued jobs wait behind the running one.
    CJobThread(const char* tag, size_t maxQueued);
    ~CJobThread();  // Stop(); never destroyed on the worker itself
    CJobThread(const CJobThread&) = delete;
    CJobThread& operator=(const CJobThread&) = delete;

    // Starts the thread; E_FAIL when the host cannot make one.
    HRESULT Start();
    // Queues job; E_FAIL once stopped, ENGINE_E_BUSY when the queue is full.
    HRESULT Post(std::function<void()> job);
    // Drops the jobs not yet begun, lets the running one end and joins the thread. Refused
    // (false, traced) on the worker itself, which cannot wait for its own end.
    bool Stop();
    // True on the worker thread.
    bool OnWorker() const;

  private:
    void Run();

    const char* tag_;                         // trace prefix
    size_t maxQueued_;                        // jobs allowed to wait
    std::mutex lock_;                         // guards the fields below
    std::condition_variable wake_;            // a job was posted or the thread must end
    std::deque<std::function<void()>> jobs_;  // waiting jobs, oldest first
    bool stopping_ = false;                   // no more jobs are taken
    std::thread thread_;                      // the worker, joinable until Stop
    std::thread::id workerId_;                // the worker's id, fixed by Start
};
