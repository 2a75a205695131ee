// Small helpers of the engine, upload and messaging tests: values below HKEY_LOCAL_MACHINE and
// the trace file of one case.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/wstr.h"

// Sets a REG_DWORD (or, with text, a REG_SZ) below HKEY_LOCAL_MACHINE, creating the key;
// false on failure.
inline bool SetMachineValue(LPCWSTR key, LPCWSTR name, DWORD type, const void* data, DWORD size) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &h, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG rc = RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}
inline bool SetMachineDword(LPCWSTR key, LPCWSTR name, DWORD value) {
    return SetMachineValue(key, name, REG_DWORD, &value, sizeof value);
}
inline bool SetMachineText(LPCWSTR key, LPCWSTR name, const WString& text) {
    return SetMachineValue(key, name, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

// A REG_DWORD below HKEY_LOCAL_MACHINE, or fallback when absent or of another type.
inline DWORD MachineDword(LPCWSTR key, LPCWSTR name, DWORD fallback) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return fallback;
    DWORD value = 0, size = sizeof value, type = 0;
    LONG rc = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS && type == REG_DWORD ? value : fallback;
}

// A REG_SZ below HKEY_LOCAL_MACHINE, empty when absent.
inline WString MachineText(LPCWSTR key, LPCWSTR name) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return u"";
    WCHAR buf[MAX_PATH] = {};
    DWORD size = sizeof buf - sizeof(WCHAR);
    LONG rc = RegQueryValueExW(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS ? WString(buf) : WString();
}

// The trace file of a case; Use points VANTLO_TRACE_FILE (of this process and its children)
// at it.
class CaseTrace {
  public:
    void Use(const std::string& path) {
        path_ = path;
        setenv("VANTLO_TRACE_FILE", path.c_str(), 1);
    }
    std::string Text() const {
        std::ifstream f(path_, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
    // How often text occurs in the file.
    size_t Count(const std::string& text) const {
        const std::string all = Text();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }
    // The message texts of the lines, without their "[Orbel] [<tick>] " prefix.
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        std::istringstream in(Text());
        for (std::string line; std::getline(in, line);) {
            size_t body = line.find("] ", line.find("] ") + 2);
            out.push_back(body == std::string::npos ? line : line.substr(body + 2));
        }
        return out;
    }

  private:
    std::string path_;  // the file
};
