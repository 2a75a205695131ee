#include "ui/page_host.h"

#include <atomic>

namespace {

std::atomic<PageHost*> g_host{nullptr};  // set by the application before the first page

}  // namespace

void SetPageHost(PageHost* host) {
    g_host.store(host);
}

PageHost* GetPageHost() {
    return g_host.load();
}
