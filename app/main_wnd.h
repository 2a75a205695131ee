// The resident process: its entry point, start-up and the main window procedure. The main
// window (class "VANTLO", hidden and disabled) is the single entry point of the application:
// client applications hand it files and ask for status, the application's own threads and
// the connection manager post it their requests, and it answers every one on its thread.
#pragma once

#include "platform/types.h"
#include "platform/window.h"

// Runs the application: start-up, then the message loop until the main window is destroyed.
// cmdLine "ShowStatus_" (exactly) opens the task viewer, also in an instance already running.
// Returns the WM_QUIT code, or 0 when another instance runs or start-up failed.
int WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPCWSTR cmdLine, int nShowCmd);
// Start-up: false when the application is to exit at once (another instance runs, or the
// class, the window or a process-wide object could not be had).
BOOL InitInstance(HINSTANCE hInstance, int nShowCmd);
// Registers the main window's class; its atom, 0 on failure.
ATOM RegisterMainClass(HINSTANCE hInstance, LPCWSTR className);
// The main window procedure.
LRESULT WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
