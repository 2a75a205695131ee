// Registration of the program's resources: its dialog templates, soft-key bars, menus and
// string table (identifiers in res/resource_ids.h).
#pragma once

#include "platform/window.h"

// Gives the module instance (the program's, as WinMain receives it) the program's
// resources; calling it again changes nothing.
void RegisterAppResources(HINSTANCE instance);
