// The parts of the program's resource table, each kept with its own kind of data, and the
// texts that the string table and the menus share.
#pragma once

#include <span>

#include "platform/resource.h"

std::span<const ResourceEntry> StringResources();   // RT_STRING
std::span<const ResourceEntry> DialogResources();   // RT_DIALOG
std::span<const ResourceEntry> MenuResources();     // RT_MENU
std::span<const ResourceEntry> MenuBarResources();  // RT_RCDATA soft-key bars

// Texts that the menus show and the string table holds as well.
inline constexpr WCHAR kTextDetails[] = u"Details";
inline constexpr WCHAR kTextClearAll[] = u"Clear all";
inline constexpr WCHAR kTextReuploadAll[] = u"Re-upload failed";
inline constexpr WCHAR kTextCancelTask[] = u"Cancel upload";
inline constexpr WCHAR kTextRetry[] = u"Retry";
inline constexpr WCHAR kTextMenu[] = u"Menu";
inline constexpr WCHAR kTextDone[] = u"Done";
