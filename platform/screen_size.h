// The size of the device's screen: portrait, from env VANTLO_SCREEN ("WIDTHxHEIGHT"),
// 480x640 when it is not set. Every layout constant of the dialogs is given for 240x320 and
// multiplied by width / 240 and height / 320.
#pragma once

constexpr int DEFAULT_SCREEN_WIDTH = 480;
constexpr int DEFAULT_SCREEN_HEIGHT = 640;
constexpr int MIN_SCREEN_SIDE = 120;   // smaller screens are refused
constexpr int MAX_SCREEN_SIDE = 4096;  // larger screens are refused

struct ScreenSize {
    int width;   // pixels
    int height;  // pixels
};

// Read once per process; a malformed or out-of-range value is traced and the default used.
ScreenSize GetScreenSize();
// Parses "WIDTHxHEIGHT"; false for anything else or a side outside the limits.
bool ParseScreenSize(const char* text, ScreenSize* size);
