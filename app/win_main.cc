// Start-up and the message loop.
#include <new>

#include "app/account_adapter.h"
#include "app/app_globals.h"
#include "app/main_wnd.h"
#include "platform/ipc.h"
#include "platform/resource.h"
#include "platform/screen.h"
#include "platform/trace.h"
#include "res/app_resources.h"
#include "res/resource_ids.h"
#include "upload/task_mgr.h"

namespace {

constexpr WCHAR kShowStatusCommand[] = u"ShowStatus_";
constexpr UINT kMainClassStyle = 0x0001 | 0x0002;  // CS_VREDRAW | CS_HREDRAW

}  // namespace

ATOM RegisterMainClass(HINSTANCE hInstance, LPCWSTR className) {
    WNDCLASSW wc{};
    wc.style = kMainClassStyle;
    wc.lpfnWndProc = WndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = hInstance;
    wc.hIcon = nullptr;  // icon 101 lives in the localised resources: none on this build
    wc.hCursor = nullptr;
    wc.hbrBackground = nullptr;  // the window is never shown with content of its own
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = className;
    return RegisterClassW(&wc);
}

BOOL InitInstance(HINSTANCE hInstance, int) {
    g_App.hInstance = hInstance;
    // The shell's start-up call has no counterpart here.

    WCHAR title[RESOURCE_TEXT_CHARS];
    WCHAR windowClass[RESOURCE_TEXT_CHARS];
    LoadStringW(hInstance, IDS_APP_TITLE, title, RESOURCE_TEXT_CHARS);
    LoadStringW(hInstance, IDS_APP_CLASS, windowClass, RESOURCE_TEXT_CHARS);

    if (HWND running = FindWindowW(windowClass, title)) {
        PostShowStatus(running);
        Trace("[Vantlo] Previous instance already present");
        return FALSE;
    }

    if (!RegisterMainClass(hInstance, windowClass)) {
        Trace("[Vantlo] the main window class cannot be registered (error %u)",
              static_cast<unsigned>(GetLastError()));
        return FALSE;
    }
    HWND hWnd = CreateWindowExW(0, windowClass, title, WS_DISABLED, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr);
    if (!IsWindow(hWnd)) {
        Trace("[Vantlo] the main window cannot be created (error %u)",
              static_cast<unsigned>(GetLastError()));
        return FALSE;
    }

    // The screen, and the service through which a person or a test drives it from outside.
    if (!StartScreenService()) Trace("[Vantlo] the screen service did not start");

    // The host's termination requests (SIGTERM, SIGINT) close the main window like a
    // WM_CLOSE from outside, so that the process ends by the shutdown path.
    if (!RouteTerminationSignalsTo(hWnd)) Trace("[Vantlo] termination signals are not routed");

    g_App.pDlgThread = new (std::nothrow) DlgThread(hWnd);
    if (!g_App.pDlgThread) {
        Trace("[Vantlo] out of memory for the dialog thread");
        return FALSE;
    }
    g_App.hMainWnd = hWnd;

    if (!g_App.pTaskMgr || !g_App.pAccount || !g_App.pSettings) {
        Trace(
            "[Vantlo] a process-wide object is missing: task manager %d, account %d, "
            "settings %d",
            g_App.pTaskMgr != nullptr, g_App.pAccount != nullptr, g_App.pSettings != nullptr);
        return FALSE;
    }

    if (!g_App.pAccount->Initialize(hInstance)) {
        Trace("[Vantlo] the account service did not start: every site counts as signed out");
    }

    CUploadTaskMgr* mgr = g_App.pTaskMgr;
    mgr->SetMainWindow(hWnd);
    mgr->SetAccountInfo(g_App.pAccount);
    mgr->SetAlbumList(g_App.pAlbumList);
    const HRESULT hr = mgr->Init();  // failures inside are traced and do not stop start-up
    if (FAILED(hr)) Trace("[Vantlo] task manager start-up: 0x%08x", static_cast<unsigned>(hr));

    PostShowStatus(hWnd);
    return TRUE;
}

namespace {

// Runs the message loop until WM_QUIT; its code, 0 when the loop failed.
int RunMessageLoop() {
    // No accelerator table on this build: every message is translated and dispatched.
    MSG msg{};
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) {
            Trace("[Vantlo] GetMessage failed (error %u)", static_cast<unsigned>(GetLastError()));
            return 0;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace

int WinMain(HINSTANCE hInstance, HINSTANCE, LPCWSTR cmdLine, int nShowCmd) {
    RegisterAppResources(hInstance);
    if (cmdLine && WStrCmp(cmdLine, kShowStatusCommand) == 0) g_App.g_bShowStatus = TRUE;
    const int result = InitInstance(hInstance, nShowCmd) ? RunMessageLoop() : 0;
    StopScreenService();
    RouteTerminationSignalsTo(nullptr);  // no main window any more: the default action again
    return result;
}
