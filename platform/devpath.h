// The device root: device paths such as \Windows\UploadHistory.vol live in one host
// folder, named by VANTLO_ROOT (default $XDG_DATA_HOME/vantlo, else ~/.local/share/vantlo).
// Absolute host paths (starting with '/') pass through unchanged.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"
#include "platform/wstr.h"

// The root folder, created on first use.
std::string DeviceRoot();

// The host path for a device path. The first component after the root is matched
// case-insensitively against what exists; the rest is taken as given with '\' turned into '/'.
std::string HostPath(LPCWSTR devicePath);
std::string HostPath(std::string_view devicePath);

// Creates the folder of a host file path and all above it; false when that fails.
bool EnsureParentFolder(const std::string& hostPath);
bool EnsureFolder(const std::string& hostFolder);
