// Numbers and sizes as the dialogs show them: digits grouped by thousands, sizes in B, KB, MB or GB
// with two decimals, whole amounts without them.
#pragma once

#include "platform/types.h"
#include "platform/wstr.h"

// The decimal digits of value with a "," before every group of three from the right.
WString FormatNumber(DWORD value);
// "1,023 B", "1.50 KB", "150 MB": the unit's whole amount and hundredths (truncated), with ".00"
// left out.
WString FormatSizeText(DWORD size);
