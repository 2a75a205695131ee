// The one sink an engine reports to, and the guarantee around unregistering it: once
// Unregister returns, no call reaches the old sink, and none is still running in it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/types.h"

class CSinkGate {
  public:
    explicit CSinkGate(const char* tag) : tag_(tag) {}
    CSinkGate(const CSinkGate&) = delete;
    CSinkGate& operator=(const CSinkGate&) = delete;

    // Registers sink; E_POINTER for null, E_FAIL while another sink is registered.
    HRESULT Register(void* sink);
    // Takes sink off (null: whatever is registered) and waits until calls running in it on
    // other threads have returned. S_FALSE when sink was not the registered one.
    HRESULT Unregister(void* sink);

    // Calls call(sink) with the registered sink; false when none is registered.
    template <class F>
    bool Call(F&& call) {
        void* sink = Enter();
        if (!sink) return false;
        struct Leaving {
            CSinkGate* gate;  // left when the call returns, however it returns
            ~Leaving() { gate->Leave(); }
        } leaving{this};
        call(sink);
        return true;
    }

  private:
    void* Enter();  // the sink, marked as in use by this thread; null when none
    void Leave();

    const char* tag_;                      // trace prefix
    std::mutex lock_;                      // guards the fields below
    std::condition_variable idle_;         // a call into the sink returned
    void* sink_ = nullptr;                 // the registered sink
    std::vector<std::thread::id> inCall_;  // one entry per call now running in a sink
};
