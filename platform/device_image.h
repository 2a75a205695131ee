// The default image of a device root, as a new device comes: the folders \Windows, \Temp
// and \Outbox (with \Outbox\YouTube and \Outbox\Facebook), the power manager's device file
// \Dev\SPM1, the site engine libraries and the dialogs' PNG images in \Windows and the
// registry values the system reads.
#pragma once

#include <string>

// The engine libraries the image carries in \Windows, by file name.
constexpr const char* DEVICE_IMAGE_ENGINES[] = {"Zorvid.dll", "Pelfin.dll"};

// The PNG images the image carries in \Windows, by file name (drawn by vantlo-draw-images).
constexpr const char* DEVICE_IMAGE_PICTURES[] = {
    "icon_youtube.png", "icon_facebook.png", "video_frame.png",    "button_nor.png",
    "button_dn.png",    "video_bg_P.png",    "photo_bg_P.png",     "status_bg_P.png",
    "selector_P.png",   "dividing_p.png",    "detail_header_P.png"};

// Brings the device root up to its default image. Missing folders and files are created; an
// engine library or image is copied in when it is missing or older than the built one; a registry
// value is written only when absent, so nothing a user set is ever overwritten. Idempotent
// and safe to run from several processes at once. True when every part is in place; what
// could not be done is traced.
bool PrepareDeviceImage();

// The host folder holding the built engine libraries: VANTLO_ENGINE_DIR when set, else the
// lib folder beside the folder of the running program (build/bin -> build/lib).
std::string EngineLibraryFolder();

// The host folder holding the images: VANTLO_IMAGE_DIR when set, else the res/images folder of
// the source tree the program was built from.
std::string ImageFolder();
