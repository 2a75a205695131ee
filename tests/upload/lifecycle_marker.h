// Lets a test library record in its device root when the loader maps and unmaps it, so
// that tests can see that FreeLibrary really unloaded it.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

// Appends one line to <VANTLO_ROOT>/<file>; does nothing without a device root.
inline void AppendLifecycleEvent(const char* file, const char* event) {
    const char* root = std::getenv("VANTLO_ROOT");
    if (!root || !*root) return;
    std::ofstream out(std::string(root) + "/" + file, std::ios::app);
    out << event << "\n";
}

// A static object of this type marks "loaded" and "unloaded" for its library.
struct LifecycleMarker {
    explicit LifecycleMarker(const char* file) : file_(file) {
        AppendLifecycleEvent(file_, "loaded");
    }
    ~LifecycleMarker() { AppendLifecycleEvent(file_, "unloaded"); }
    const char* file_;  // the log file name under the device root
};
