// Lookups shared by the video and the photo list, over a vector of task items.
#pragma once

#include <algorithm>
#include <deque>
#include <vector>

#include "upload/task_model.h"

namespace task_list_ops {

// The task has exactly this path (null matches nothing) and, when time is given, the same
// submit time.
template <class Item>
bool Matches(const Item& item, LPCWSTR path, const SYSTEMTIME* time) {
    return path && item.path == path && (!time || SameSubmitTime(item.submitTime, *time));
}

// The first task matching path and time, or null.
template <class Item>
Item* Find(std::deque<Item>& items, LPCWSTR path, const SYSTEMTIME* time) {
    for (Item& item : items) {
        if (Matches(item, path, time)) return &item;
    }
    return nullptr;
}

template <class Item>
const Item* Find(const std::deque<Item>& items, LPCWSTR path, const SYSTEMTIME* time) {
    return Find(const_cast<std::deque<Item>&>(items), path, time);
}

// The first task with this status, or null.
template <class Item>
const Item* FirstWith(const std::deque<Item>& items, TaskStatus status) {
    for (const Item& item : items) {
        if (item.status == status) return &item;
    }
    return nullptr;
}

template <class Item>
Item* FirstWith(std::deque<Item>& items, TaskStatus status) {
    return const_cast<Item*>(FirstWith(static_cast<const std::deque<Item>&>(items), status));
}

// The list state: decided by the first task that is not done.
template <class Item>
ListState StateOf(const std::deque<Item>& items) {
    for (const Item& item : items) {
        switch (item.status) {
            case TASK_DONE:
                continue;
            case TASK_FAILED:
                return LIST_FAILED;
            case TASK_UPLOADING:
                return LIST_UPLOADING;
            case TASK_WAITING:
                return LIST_WAITING;
            default:
                continue;  // a status no task should have does not decide the state
        }
    }
    return LIST_IDLE;
}

template <class Item>
bool AllDone(const std::deque<Item>& items) {
    return std::all_of(items.begin(), items.end(),
                       [](const Item& item) { return item.status == TASK_DONE; });
}

// The task SetStatus addresses: matching time (when given) and path, or with a null path
// the first uploading task matching time.
template <class Item>
Item* FindForStatus(std::deque<Item>& items, LPCWSTR path, const SYSTEMTIME* time) {
    for (Item& item : items) {
        if (time && !SameSubmitTime(item.submitTime, *time)) continue;
        if (path ? item.path == path : item.status == TASK_UPLOADING) return &item;
    }
    return nullptr;
}

// Removes the first task matching path and time; false when none.
template <class Item>
bool Erase(std::deque<Item>& items, LPCWSTR path, const SYSTEMTIME* time) {
    for (auto it = items.begin(); it != items.end(); ++it) {
        if (Matches(*it, path, time)) {
            items.erase(it);
            return true;
        }
    }
    return false;
}

template <class Item>
void Snapshots(const std::deque<Item>& items, TaskSnapshotList* out) {
    out->clear();
    out->reserve(items.size());
    for (const Item& item : items)
        out->push_back(TaskSnapshot{item.path, item.submitTime, item.status});
}

// A copy of a request text; null copies as empty.
inline WString TextOf(LPCWSTR s) {
    return s ? WString(s) : WString();
}

}  // namespace task_list_ops
