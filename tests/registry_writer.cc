// Test helper: writes values into HKLM\SOFTWARE\Velmar\Vantlo in a loop, one registry change
// per call, to run side by side with other writers.
//
//   registry_writer PREFIX COUNT
//
// Waits until its standard input ends (the start signal), then sets PREFIX_<i> for i below
// COUNT (even i: REG_DWORD i, odd i: REG_SZ "PREFIX value <i>"), PREFIX_last to i after each,
// and every tenth i creates the key PREFIX\<i> holding "Index" = i. Exits 0 when every call
// succeeded, 1 after the first failure.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry.h"
#include "platform/wstr.h"

namespace {

bool Check(LONG rc, const char* what, const std::string& name) {
    if (rc == ERROR_SUCCESS) return true;
    fprintf(stderr, "registry_writer: %s %s failed with %d\n", what, name.c_str(),
            static_cast<int>(rc));
    return false;
}

bool SetDword(HKEY key, const std::string& name, DWORD n) {
    WString w = FromUtf8(name);
    return Check(
        RegSetValueExW(key, w.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof n),
        "set", name);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fputs("usage: registry_writer PREFIX COUNT\n", stderr);
        return 2;
    }
    std::string prefix = argv[1];
    int count = atoi(argv[2]);
    while (fgetc(stdin) != EOF) {
    }
    HKEY key;
    if (!Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmar\\Vantlo", 0, nullptr, 0,
                               KEY_ALL_ACCESS, nullptr, &key, nullptr),
               "create", "SOFTWARE\\Velmar\\Vantlo")) {
        return 1;
    }
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        std::string name = prefix + "_" + std::to_string(i);
        if (i % 2 == 0) {
            ok = SetDword(key, name, static_cast<DWORD>(i));
        } else {
            WString text = FromUtf8(prefix + " value " + std::to_string(i));
            WString w = FromUtf8(name);
            ok = Check(RegSetValueExW(key, w.c_str(), 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(text.c_str()),
                                      static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))),
                       "set", name);
        }
        ok = ok && SetDword(key, prefix + "_last", static_cast<DWORD>(i));
        if (ok && i % 10 == 0) {
            std::string sub = prefix + "\\" + std::to_string(i);
            WString wsub = FromUtf8(sub);
            HKEY child;
            ok = Check(RegCreateKeyExW(key, wsub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                       &child, nullptr),
                       "create", sub);
            if (ok) {
                ok = SetDword(child, "Index", static_cast<DWORD>(i));
                RegCloseKey(child);
            }
        }
    }
    RegCloseKey(key);
    return ok ? 0 : 1;
}
