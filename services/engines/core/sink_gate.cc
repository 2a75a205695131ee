#include "services/engines/core/sink_gate.h"

#include <algorithm>

#include "platform/trace.h"

HRESULT CSinkGate::Register(void* sink) {
    if (!sink) return E_POINTER;
    std::lock_guard<std::mutex> g(lock_);
    if (sink_ && sink_ != sink) {
        Trace("[%s] a sink is registered already; unregister it first", tag_);
        return E_FAIL;
    }
    sink_ = sink;
    return S_OK;
}

HRESULT CSinkGate::Unregister(void* sink) {
    std::unique_lock<std::mutex> g(lock_);
    if (sink && sink != sink_) {
        Trace("[%s] unregister of a sink that is not registered", tag_);
        return S_FALSE;
    }
    sink_ = nullptr;
    // A sink that unregisters itself from inside a call must not wait for that call.
    const std::thread::id self = std::this_thread::get_id();
    idle_.wait(g, [&] {
        return std::all_of(inCall_.begin(), inCall_.end(),
                           [&](std::thread::id id) { return id == self; });
    });
    return S_OK;
}

void* CSinkGate::Enter() {
    std::lock_guard<std::mutex> g(lock_);
    if (!sink_) return nullptr;
    inCall_.push_back(std::this_thread::get_id());
    return sink_;
}

void CSinkGate::Leave() {
    std::lock_guard<std::mutex> g(lock_);
    auto it = std::find(inCall_.begin(), inCall_.end(), std::this_thread::get_id());
    if (it != inCall_.end()) inCall_.erase(it);
    idle_.notify_all();
}
