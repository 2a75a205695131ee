// The display back-ends: what shows the framebuffer to a person and turns their input into
// the device's stylus, keys and text. Headless shows nothing; the SDL2 back-end opens a
// window of the screen's size on a thread of its own.
#pragma once

#include <cstdint>
#include <memory>

class Display {
  public:
    virtual ~Display() = default;
    virtual const char* Name() const = 0;
    // Starts showing the screen; false (traced) when it cannot.
    virtual bool Start() = 0;
    // Stops and joins its thread; safe to call when not started and more than once.
    virtual void Stop() = 0;
    // Frames put on view so far.
    virtual uint64_t FramesShown() const = 0;
};

std::unique_ptr<Display> CreateHeadlessDisplay();
// Refreshes its window at most about 60 times a second, when the framebuffer changed.
std::unique_ptr<Display> CreateSdlDisplay();
// The back-end VANTLO_DISPLAY names ("headless" or "sdl"); unset, SDL2 when DISPLAY or
// WAYLAND_DISPLAY is set, else headless. An unknown name is traced and gives headless.
std::unique_ptr<Display> CreateDisplayFromEnvironment();
