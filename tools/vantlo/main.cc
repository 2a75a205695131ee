// vantlo: the resident upload process. Brings the device root up to its image, then runs the
// application until its main window is closed (WM_CLOSE, SIGTERM or SIGINT). Its arguments,
// joined by single spaces, are the command line: "ShowStatus_" opens the task viewer, also
// of an instance already running, to which a second start hands over and exits with 0.
//
// Usage: vantlo [ShowStatus_]
#include <string>

#include "app/main_wnd.h"
#include "platform/device_image.h"
#include "platform/trace.h"
#include "platform/wstr.h"

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; i++) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    if (!PrepareDeviceImage()) {
        Trace("[Vantlo] the device image is incomplete: uploads may fail (see above)");
    }
    const WString cmdLine = FromUtf8(commandLine);
    return WinMain(nullptr, nullptr, cmdLine.c_str(), SW_HIDE);
}
