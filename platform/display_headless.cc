// The display that shows nothing, and the choice of back-end from the environment.
#include <cstdlib>
#include <cstring>

#include "platform/display.h"
#include "platform/trace.h"

namespace {

class HeadlessDisplay : public Display {
  public:
    const char* Name() const override { return "headless"; }
    bool Start() override { return true; }
    void Stop() override {}
    uint64_t FramesShown() const override { return 0; }
};

bool Set(const char* name) {
    const char* v = getenv(name);
    return v && *v;
}

}  // namespace

std::unique_ptr<Display> CreateHeadlessDisplay() {
    return std::make_unique<HeadlessDisplay>();
}

std::unique_ptr<Display> CreateDisplayFromEnvironment() {
    const char* choice = getenv("VANTLO_DISPLAY");
    if (choice && *choice) {
        if (strcmp(choice, "sdl") == 0) return CreateSdlDisplay();
        if (strcmp(choice, "headless") != 0)
            Trace("[Screen] VANTLO_DISPLAY \"%s\" is unknown (headless, sdl): headless", choice);
        return CreateHeadlessDisplay();
    }
    if (Set("DISPLAY") || Set("WAYLAND_DISPLAY")) return CreateSdlDisplay();
    return CreateHeadlessDisplay();
}
