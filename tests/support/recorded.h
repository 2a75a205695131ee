// Things recorded from any thread in arrival order, and a wait, under the watchdog, for what
// should come.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "tests/support/wait.h"

template <class T>
class Recorded {
  public:
    void Add(T item) {
        {
            std::lock_guard<std::mutex> g(lock_);
            items_.push_back(std::move(item));
        }
        changed_.notify_all();
    }
    std::vector<T> All() const {
        std::lock_guard<std::mutex> g(lock_);
        return items_;
    }
    size_t Size() const { return All().size(); }
    // How many items pass keep, counted in place (no copy of what was recorded).
    size_t CountIf(const std::function<bool(const T&)>& keep) const {
        std::lock_guard<std::mutex> g(lock_);
        return static_cast<size_t>(std::count_if(items_.begin(), items_.end(), keep));
    }
    // Waits until pred holds for what was recorded; false when the watchdog ran out.
    bool WaitFor(const std::function<bool(const std::vector<T>&)>& pred) {
        std::unique_lock<std::mutex> g(lock_);
        return changed_.wait_for(g, kWatchdog, [&] { return pred(items_); });
    }
    // Waits until at least n items pass keep; false when the watchdog ran out.
    bool WaitForCount(const std::function<bool(const T&)>& keep, size_t n) {
        return WaitFor([&](const std::vector<T>& all) {
            return static_cast<size_t>(std::count_if(all.begin(), all.end(), keep)) >= n;
        });
    }
    void Clear() {
        std::lock_guard<std::mutex> g(lock_);
        items_.clear();
    }
    // The items that pass keep, in order.
    std::vector<T> Where(const std::function<bool(const T&)>& keep) const {
        std::vector<T> out;
        for (T& item : All()) {
            if (keep(item)) out.push_back(std::move(item));
        }
        return out;
    }

  private:
    mutable std::mutex lock_;          // guards items_
    std::condition_variable changed_;  // signalled per item
    std::vector<T> items_;             // in arrival order
};
