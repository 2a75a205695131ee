#include "app/dlg_thread.h"

#include "platform/trace.h"

namespace {

constexpr LONG kFirstLoginPage = 5000;  // the before-login page starts every login flow

}  // namespace

DlgThread::DlgThread(HWND owner) : nService(0), nPage(0), hOwner(owner) {
    Trace("[ShowDlgThread] not available yet: no dialog can be shown");
}

DlgThread::~DlgThread() = default;

void DlgThread::NotAvailable(const char* operation) {
    Trace("[ShowDlgThread] %s: the dialog thread is not available yet (service %d)", operation,
          static_cast<int>(nService));
}

void DlgThread::CancelOpenDialogs() {
    // No flow can be open while the thread does not exist: nothing to wait for.
    NotAvailable("CancelOpenDialogs");
}

void DlgThread::StartLoginFlow() {
    nPage = kFirstLoginPage;
    NotAvailable("StartLoginFlow");
}

void DlgThread::ShowTaskViewer() {
    NotAvailable("ShowTaskViewer");
}

void DlgThread::SignalShowDlg() {
    NotAvailable("SignalShowDlg");
}

void DlgThread::CloseDlgThread() {
    NotAvailable("CloseDlgThread");
}
