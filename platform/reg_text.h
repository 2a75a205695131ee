// The registry held in memory, and its text form (the format is described in registry.cc).
// Internal to the registry; callers use registry.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "platform/wstr.h"

// Roots in the order of their predefined handles (HKEY_CLASSES_ROOT + index).
constexpr int kRegRootCount = 4;
const char* RegRootName(int root);  // the short name written in the file, e.g. "HKLM"
// The root named by name ("HKLM" or "HKEY_LOCAL_MACHINE", any case), or -1.
int RegRootFromName(WStringView name);

struct RegValue {
    WString name;            // "" is the key's default value
    DWORD type;              // REG_SZ, REG_DWORD, ...
    std::vector<BYTE> data;  // as returned by RegQueryValueExW
};

struct RegKeyNode {
    int root;                      // index of the predefined root
    std::vector<WString> parts;    // key names below the root, outermost first; empty for the root
    std::vector<RegValue> values;  // in file order
};

struct RegHive {
    std::vector<RegKeyNode> keys;  // every key that exists, each once, with its ancestors
};

// Name comparison as on the device: ASCII letters compare without regard to case.
bool RegNamesEqual(WStringView a, WStringView b);
int RegCompareNames(WStringView a, WStringView b);  // <0, 0, >0 in that sense
// A key name: 1..MAX_KEY_NAME_CHARS characters, no '\', no control characters, no lone
// surrogates.
bool RegValidKeyName(WStringView name);
// Splits a relative key path "A\B\C" into its names; one trailing '\' is allowed and ""
// gives no names. False for an empty or invalid name.
bool RegSplitPath(WStringView path, std::vector<WString>& parts);

// Index of the key, or -1.
int RegFindKey(const RegHive& hive, int root, const std::vector<WString>& parts);
// Index of the key, added with any missing ancestors when absent.
size_t RegAddKey(RegHive& hive, int root, const std::vector<WString>& parts);
// Whether node is the key root\parts or lies below it.
bool RegIsWithin(const RegKeyNode& node, int root, const std::vector<WString>& parts);
// Index of the value in key, or -1.
int RegFindValue(const RegKeyNode& key, WStringView name);

// REG_SZ data for text: UTF-16 with its terminator.
std::vector<BYTE> RegStringData(WStringView text);

// The file's text: a short header comment, then every key in sorted order.
std::string RegFormatHive(const RegHive& hive);

struct RegParseError {
    int line;          // 1-based line of the first error, 0 for the file as a whole
    std::string what;  // what is wrong there
};
// Parses the file's text into hive; false with error when any line is malformed.
bool RegParseHive(std::string_view text, RegHive& hive, RegParseError& error);
