// The registry: values kept in the device root's text file, its recovery from damage and
// from failed writes, concurrent writers in several processes, and the vantlo-reg editor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/reg_os.h"
#include "platform/registry.h"
#include "platform/wstr.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"

namespace {

constexpr LPCWSTR kVantloKey = u"SOFTWARE\\Velmar\\Vantlo";
const std::string kToolKey = "HKLM\\SOFTWARE\\Velmar\\Vantlo";  // the same, for the editor

class RegistryTest : public DeviceTest {
  protected:
    std::string RegistryFile() const { return root_ + "/Windows/registry.txt"; }
    std::string Scratch(const std::string& name) const { return runtime_ + "/" + name; }

    // Runs vantlo-reg to its end.
    RunResult Tool(std::vector<std::string> args) {
        args.insert(args.begin(), BinPath("vantlo-reg"));
        return RunToEnd(args);
    }

    HKEY CreateKey(LPCWSTR path, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }
};

LONG SetDword(HKEY key, LPCWSTR name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

LONG SetString(HKEY key, LPCWSTR name, const WString& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

// A value as "dword:<n>", "sz:<text>" (its size query and its terminator checked),
// "type <n>", or "error <code>" when it cannot be read.
WString Value(HKEY key, LPCWSTR name) {
    DWORD type = 0, size = 0;
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return u"error " + FromUtf8(std::to_string(rc));
    std::vector<BYTE> data(size + 2, 0xAA);
    DWORD got = size;
    EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, data.data(), &got), ERROR_SUCCESS);
    EXPECT_EQ(got, size);
    if (type == REG_DWORD && size == 4) {
        DWORD n;
        memcpy(&n, data.data(), 4);
        return u"dword:" + FromUtf8(std::to_string(n));
    }
    if (type == REG_SZ && size >= 2 && size % 2 == 0) {
        WString text(size / 2, u'\0');
        memcpy(text.data(), data.data(), size);
        if (text.back() != u'\0') return u"sz without its terminator";
        text.pop_back();
        return u"sz:" + text;
    }
    return u"type " + FromUtf8(std::to_string(type));
}
WString Value(HKEY key, const std::string& name) {
    return Value(key, FromUtf8(name).c_str());
}

// Every value of the key in enumeration order, as "<name>=<type>:<data in hex>".
std::vector<std::string> Enumerate(HKEY key) {
    std::vector<std::string> out;
    WCHAR name[64];
    BYTE data[256];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 64, size = sizeof data, type = 0;
        LONG rc = RegEnumValueW(key, i, name, &cch, nullptr, &type, data, &size);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
            return out;
        }
        EXPECT_EQ(cch, WStrLen(name));
        std::string item = ToUtf8(name) + "=" + std::to_string(type) + ":";
        char hex[3];
        for (DWORD b = 0; b < size; ++b) item.append(hex, snprintf(hex, 3, "%02x", data[b]));
        out.push_back(item);
    }
}

// Puts the real system calls back when a fault-injecting test ends.
struct RestoreOsCalls {
    ~RestoreOsCalls() { RegOs() = RegOsDefaults(); }
};

long WriteFailsDiskFull(int, const void*, size_t) {
    errno = ENOSPC;
    return -1;
}
int RenameFailsIo(const char*, const char*) {
    errno = EIO;
    return -1;
}
long ReadFailsIo(int, void*, size_t) {
    errno = EIO;
    return -1;
}
int StatFailsIo(const char*, RegFileStamp*) {
    errno = EIO;
    return -1;
}

long long Nanoseconds(const timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Waits until the file was last changed at least 200 ms ago, so that the registry may answer
// from what it keeps in memory; false when the watchdog ran out.
bool WaitUntilLeftAlone(const std::string& path) {
    return WaitUntil([&] {
        struct stat st {};
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return stat(path.c_str(), &st) == 0 &&
               Nanoseconds(now) - std::max(Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)) >=
                   200 * 1000 * 1000LL;
    });
}

// ---- Values in the file --------------------------------------------------------------------

TEST_F(RegistryTest, DwordAndStringValuesRoundTripThroughTheFile) {
    DWORD disposition = 0;
    HKEY key = CreateKey(kVantloKey, &disposition);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    const WString tricky = u"say \"hi\" \\ C:\\path\nline\ttab \u00e9\u65e5 \U0001F600 end";
    const WString odd = WString(u"lone ") + char16_t(0xD800) + u" bell " + char16_t(7);
    EXPECT_EQ(SetDword(key, u"ClearYoutube", 42), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, u"Max", 0xFFFFFFFFu), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, u"Greeting", tricky), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, u"Odd", odd), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, u"Empty", u""), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, nullptr, u"the default"), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, u"Max", 7), ERROR_SUCCESS);  // overwrites in place
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // The file reads as a person would write it.
    std::string text = ReadHostFile(RegistryFile());
    for (const char* line :
         {"[HKLM\\SOFTWARE\\Velmar\\Vantlo]\n\"ClearYoutube\"=dword:0000002a\n",
          "\"Greeting\"=\"say \\\"hi\\\" \\\\ C:\\\\path\\nline\\ttab ", "@=\"the default\""}) {
        EXPECT_THAT(text, HasSubstr(line));
    }

    // Reopened under other spelling, every value comes back exactly.
    DWORD opened = 0;
    key = CreateKey(u"software\\VELMAR\\vantlo\\", &opened);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(opened, REG_OPENED_EXISTING_KEY);
    const std::pair<LPCWSTR, WString> values[] = {
        {u"clearyoutube", u"dword:42"}, {u"Max", u"dword:7"}, {u"Greeting", u"sz:" + tricky},
        {u"Odd", u"sz:" + odd},         {u"Empty", u"sz:"},   {u"", u"sz:the default"},
        {u"Missing", u"error 2"}};
    for (const auto& [name, want] : values) EXPECT_EQ(Value(key, name), want) << ToUtf8(name);

    // A too small buffer is told the size it needs; data without a size is refused.
    DWORD type = 0;
    BYTE small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    DWORD size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"Greeting", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, (tricky.size() + 1) * sizeof(WCHAR));
    EXPECT_EQ(RegQueryValueExW(key, u"Greeting", nullptr, &type, small, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    HKEY missing = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmar\\Nothing", 0, KEY_READ, &missing),
        ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
}

TEST_F(RegistryTest, HandEditedFileIsRead) {
    WriteHostFile(RegistryFile(),
                  "\xEF\xBB\xBF; edited by hand\r\n"
                  "# another comment\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus]\r\n"
                  "  \"App1\" = dword:1  \r\n"
                  "\"Blob\"=hex:00,ff, 10\r\n"
                  "\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
                  "\"Text\"=\"A\\u00e9\\\"\"\r\n"
                  "\"App1\"=dword:00000002\r\n"
                  "[hklm\\software\\velmar\\orbelupdater\\appstatus\\Child]\r\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(Value(key, u"App1"), u"dword:2") << "the later line wins";
    EXPECT_EQ(Value(key, u"Text"), u"sz:A\u00e9\"");

    // Values enumerate in file order, each once.
    EXPECT_EQ(Enumerate(key),
              (std::vector<std::string>{"App1=4:02000000", "Blob=3:00ff10", "Multi=7:610000000000",
                                        "Text=1:4100e90022000000"}));
    WCHAR name[64];
    DWORD cch = 2;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(cch, 5u) << "the needed size, terminator included";

    // Parents of a key are keys too; subkeys enumerate by name.
    cch = 64;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(ToUtf8(name), "Child");
    cch = 64;
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    HKEY parent = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmar", 0, KEY_READ, &parent),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);

    // A change rewrites the file in its own form, keeping what was there.
    EXPECT_EQ(SetDword(key, u"App1", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    std::string text = ReadHostFile(RegistryFile());
    EXPECT_THAT(text, HasSubstr("[HKLM\\SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus]\n"
                                "\"App1\"=dword:00000001\n\"Blob\"=hex:00,ff,10\n"
                                "\"Multi\"=hex(7):61,00,00,00,00,00\n\"Text\"=\"A\u00e9\\\"\"\n"));
    EXPECT_THAT(text, HasSubstr("[HKLM\\SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus\\Child]"));
}

TEST_F(RegistryTest, MalformedCallsChangeNothingAndDeletedKeysHandlesFailCleanly) {
    HKEY key = CreateKey(kVantloKey);
    ASSERT_NE(key, nullptr);
    // Malformed calls are refused and change nothing.
    ASSERT_EQ(SetDword(key, u"Keep", 5), ERROR_SUCCESS);
    std::string before = ReadHostFile(RegistryFile());

    HKEY out = nullptr;
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
    EXPECT_EQ(RegOpenKeyExW(bogus, u"X", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetDword(bogus, u"X", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVantloKey, 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
    const WString tooLong(256, u'k');
    for (LPCWSTR path : {u"A\\\\B", u"\\A", u"A\\\x0001", u"\\", tooLong.c_str()}) {
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &out, nullptr),
                  ERROR_INVALID_PARAMETER)
            << ToUtf8(path);
    }
    BYTE three[3] = {1, 2, 3};
    EXPECT_EQ(RegSetValueExW(key, u"Short", 0, REG_DWORD, three, 3), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"Null", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetDword(key, WString(MAX_VALUE_NAME_CHARS + 1, u'v').c_str(), 1),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(key, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetDword(key, u"Keep", 5), ERROR_SUCCESS);  // unchanged value, no rewrite
    EXPECT_EQ(ReadHostFile(RegistryFile()), before);

    // Deleted values and keys are gone; their handles fail cleanly.
    EXPECT_EQ(SetDword(key, u"ClearYoutube", 1), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, u"ClearFacebook", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u"CLEARYOUTUBE"), ERROR_SUCCESS);
    EXPECT_EQ(Value(key, u"ClearYoutube"), u"error 2");
    EXPECT_EQ(RegDeleteValueW(key, u"ClearYoutube"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Value(key, u"ClearFacebook"), u"dword:1");

    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExW(key, u"Deep\\Deeper", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(SetDword(child, u"Level", 2), ERROR_SUCCESS);

    // Deleting a key takes its subkeys with it; handles to them stay valid but fail.
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmar", 0, KEY_ALL_ACCESS, &parent),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent, u"vantlo"), ERROR_SUCCESS);
    EXPECT_EQ(Value(key, u"ClearFacebook"), u"error 1018");  // ERROR_KEY_DELETED
    EXPECT_EQ(SetDword(child, u"Level", 3), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueW(key, u"ClearFacebook"), ERROR_KEY_DELETED);
    HKEY again = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key, u"Deep", 0, KEY_READ, &again), ERROR_KEY_DELETED);
    EXPECT_EQ(
        RegCreateKeyExW(key, u"Deep", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, nullptr),
        ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVantloKey, 0, KEY_READ, &again),
              ERROR_FILE_NOT_FOUND)
        << "a write through a stale handle must not bring the key back";
    EXPECT_EQ(RegDeleteKeyW(parent, u"Vantlo"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadHostFile(RegistryFile()).find("Vantlo"), std::string::npos);

    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

// ---- Damage and failures -------------------------------------------------------------------

TEST_F(RegistryTest, DamagedFilesAreTracedMovedAsideAndReplacedByAnEmptyRegistry) {
    UseTraceFile();
    const std::string damaged =
        "[HKLM\\SOFTWARE\\Velmar\\Vantlo]\n\"ClearYoutube\"=dword:1\n"
        "\"Broken\"=dword:xyz\n";
    WriteHostFile(RegistryFile(), damaged);

    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVantloKey, 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadHostFile(RegistryFile() + ".corrupt"), damaged) << "kept byte for byte";
    std::string fresh = ReadHostFile(RegistryFile());
    EXPECT_EQ(fresh.find("\n["), std::string::npos) << "an empty registry: " << fresh;
    EXPECT_FALSE(fresh.empty());
    std::string traced = trace_.Text();
    EXPECT_THAT(traced, HasSubstr("is corrupt (line 3: dword needs 1 to 8 hex digits)"));
    EXPECT_THAT(traced, HasSubstr("registry.txt.corrupt"));

    // The empty registry works; a second damaged file does not replace the first one aside.
    key = CreateKey(kVantloKey);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(SetDword(key, u"ClearFacebook", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    WriteHostFile(RegistryFile(), "\x00\x01 binary junk");
    key = CreateKey(kVantloKey);  // a write meets the damage first this time
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(SetDword(key, u"ClearYoutube", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(ReadHostFile(RegistryFile() + ".corrupt"), damaged);
    EXPECT_EQ(ReadHostFile(RegistryFile() + ".1.corrupt"), std::string("\x00\x01 binary junk"));
    EXPECT_THAT(ReadHostFile(RegistryFile()), HasSubstr("\"ClearYoutube\"=dword:00000001"));

    // Every other kind of damage is found too.
    const std::vector<std::string> samples = {
        "\"Orphan\"=dword:1\n",                   // value before any key
        "[HKLM\\A]\n\"Open=\"text\n",             // unterminated name
        "[HKLM\\A]\n\"T\"=\"unterminated\n",      // unterminated text
        "[HKLM\\A]\n\"T\"=\"bad \\q escape\"\n",  // unknown escape
        "[HKLM\\A]\n\"D\"=dword:123456789\n",     // more than 32 bits
        "[HKLM\\A]\n\"H\"=hex:1,2\n",             // single hex digits
        "[HKLM\\A]\n\"N\"=1\n",                   // no type
        "[HKXX\\A]\n",                            // unknown root
        "[HKLM\\A\\\\B]\n",                       // empty key name
        "[HKLM\\A\n",                             // unclosed key line
        "[HKLM\\A]\n\"T\"=\"\xC3\x28\"\n",        // not UTF-8
        "[HKLM\\A]\n\"T\"=\"a\\u0000b\"\n",       // NUL inside text
        "just some words\n",                      // not registry text at all
    };
    for (const std::string& sample : samples) {
        SCOPED_TRACE(sample);
        std::filesystem::remove(RegistryFile() + ".corrupt");
        WriteHostFile(RegistryFile(), sample);
        EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, u"X"), u"error 2");
        EXPECT_EQ(ReadHostFile(RegistryFile() + ".corrupt"), sample);
    }
}

TEST_F(RegistryTest, FailedReadsAndFailedOrOversizedWritesLeaveTheFileAsItWas) {
    RestoreOsCalls restore;
    HKEY key = CreateKey(kVantloKey);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(SetDword(key, u"ClearYoutube", 1), ERROR_SUCCESS);
    const std::string before = ReadHostFile(RegistryFile());

    RegOs().Write = WriteFailsDiskFull;
    EXPECT_EQ(SetDword(key, u"ClearYoutube", 0), ERROR_DISK_FULL);
    EXPECT_EQ(SetString(key, u"New", u"text"), ERROR_DISK_FULL);
    RegOs().Write = RegOsDefaults().Write;
    EXPECT_EQ(ReadHostFile(RegistryFile()), before);
    EXPECT_FALSE(HostFileExists(RegistryFile() + ".tmp")) << "the half-written file is removed";
    EXPECT_EQ(Value(key, u"ClearYoutube"), u"dword:1");

    RegOs().Rename = RenameFailsIo;
    EXPECT_EQ(RegDeleteValueW(key, u"ClearYoutube"), ERROR_WRITE_FAULT);
    RegOs().Rename = RegOsDefaults().Rename;
    EXPECT_EQ(ReadHostFile(RegistryFile()), before);
    EXPECT_FALSE(HostFileExists(RegistryFile() + ".tmp"));

    // A change that would grow the registry beyond its limit is refused as a full registry.
    std::vector<BYTE> blob(4u << 20, 0x5A);
    EXPECT_EQ(
        RegSetValueExW(key, u"Blob", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())),
        ERROR_DISK_FULL);
    EXPECT_EQ(ReadHostFile(RegistryFile()), before);

    // A file that cannot be read is an error, not damage: it is neither moved nor replaced.
    RegOs().Read = ReadFailsIo;
    EXPECT_EQ(Value(key, u"ClearYoutube"), u"error 30");  // ERROR_READ_FAULT
    EXPECT_EQ(SetDword(key, u"ClearYoutube", 0), ERROR_READ_FAULT);
    RegOs().Read = RegOsDefaults().Read;
    EXPECT_FALSE(HostFileExists(RegistryFile() + ".corrupt"));
    EXPECT_EQ(ReadHostFile(RegistryFile()), before);

    // A file that cannot be stamped is read anew on every call, and still answers rightly.
    EXPECT_EQ(Value(key, u"ClearYoutube"), u"dword:1");
    RegOs().Stat = StatFailsIo;
    EXPECT_EQ(Value(key, u"ClearYoutube"), u"dword:1");
    EXPECT_EQ(SetDword(key, u"ClearYoutube", 2), ERROR_SUCCESS);
    EXPECT_EQ(Value(key, u"ClearYoutube"), u"dword:2");
    WriteHostFile(RegistryFile(), "[HKLM\\SOFTWARE\\Velmar\\Vantlo]\n\"ClearYoutube\"=dword:3\n");
    EXPECT_EQ(Value(key, u"ClearYoutube"), u"dword:3");
    RegOs().Stat = RegOsDefaults().Stat;

    // A file beyond the limit is not read in but moved aside whole.
    std::string huge = before + std::string(9u << 20, ';');
    WriteHostFile(RegistryFile(), huge);
    EXPECT_EQ(Value(key, u"ClearYoutube"), u"error 1018");  // ERROR_KEY_DELETED
    EXPECT_EQ(ReadHostFile(RegistryFile() + ".corrupt").size(), huge.size());
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// ---- Several processes ---------------------------------------------------------------------

// Reads of a file left alone are answered from memory; a change by another process, or an
// edit in place that keeps the file's size and modification time, is still seen at once.
TEST_F(RegistryTest, AChangeElsewhereIsSeenAtTheNextCallAfterReadsFromMemory) {
    HKEY h = CreateKey(kVantloKey);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetDword(h, u"Count", 1), ERROR_SUCCESS);
    ASSERT_TRUE(WaitUntilLeftAlone(RegistryFile()));
    EXPECT_EQ(Value(h, u"Count"), u"dword:1");
    EXPECT_EQ(Value(h, u"Count"), u"dword:1");

    // Another process writes a value of the same size.
    RunResult r = Tool({"set", kToolKey, "Count", "dword:2"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Value(h, u"Count"), u"dword:2");

    // A person edits the file in place and puts its modification time back.
    ASSERT_TRUE(WaitUntilLeftAlone(RegistryFile()));
    EXPECT_EQ(Value(h, u"Count"), u"dword:2");
    struct stat before {};
    ASSERT_EQ(stat(RegistryFile().c_str(), &before), 0);
    std::string text = ReadHostFile(RegistryFile());
    const size_t at = text.find("\"Count\"=dword:00000002");
    ASSERT_NE(at, std::string::npos) << text;
    text.replace(at, 22, "\"Count\"=dword:00000003");
    WriteHostFile(RegistryFile(), text);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, RegistryFile().c_str(), times, 0), 0);
    struct stat after {};
    ASSERT_EQ(stat(RegistryFile().c_str(), &after), 0);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(Nanoseconds(after.st_mtim), Nanoseconds(before.st_mtim));
    EXPECT_EQ(Value(h, u"Count"), u"dword:3");
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

// Two writer processes and a run of editor calls change the registry at once.
TEST_F(RegistryTest, WritersInSeveralProcessesAtOnceLoseNothing) {
    constexpr int kCount = 150, kEdits = 15;
    int gate[2];
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    std::deque<ChildProcess> writers;
    for (const std::string prefix : {"Alpha", "Beta"}) {
        writers.emplace_back(std::vector<std::string>{BinPath("vantlo-test-writer"), "registry",
                                                      prefix, std::to_string(kCount)},
                             gate[0], Scratch(prefix + ".err"));
    }
    close(gate[0]);
    close(gate[1]);  // both start now
    for (int i = 0; i < kEdits; ++i) {
        RunResult r =
            Tool({"set", kToolKey, "Edit_" + std::to_string(i), "dword:" + std::to_string(i)});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    EXPECT_EQ(writers[0].Wait(), 0) << ReadHostFile(Scratch("Alpha.err"));
    EXPECT_EQ(writers[1].Wait(), 0) << ReadHostFile(Scratch("Beta.err"));

    // Every value and key any of them made is there with the last data it wrote.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVantloKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    std::vector<std::string> lost;
    for (const std::string prefix : {"Alpha", "Beta"}) {
        for (int i = 0; i < kCount; ++i) {
            std::string name = prefix + "_" + std::to_string(i);
            std::string want = i % 2 ? "sz:" + prefix + " value " + std::to_string(i)
                                     : "dword:" + std::to_string(i);
            if (Value(key, name) != FromUtf8(want)) lost.push_back(name);
        }
        if (Value(key, prefix + "_last") != FromUtf8("dword:" + std::to_string(kCount - 1))) {
            lost.push_back(prefix + "_last");
        }
        for (int i = 0; i < kCount; i += 10) {
            WString sub = FromUtf8(prefix + "\\" + std::to_string(i));
            HKEY child = nullptr;
            if (RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, &child) != ERROR_SUCCESS ||
                Value(child, u"Index") != FromUtf8("dword:" + std::to_string(i))) {
                lost.push_back(ToUtf8(sub));
            }
            if (child) RegCloseKey(child);
        }
    }
    for (int i = 0; i < kEdits; ++i) {
        std::string name = "Edit_" + std::to_string(i);
        if (Value(key, name) != FromUtf8("dword:" + std::to_string(i))) lost.push_back(name);
    }
    EXPECT_TRUE(lost.empty()) << lost.size() << " lost, among them "
                              << (lost.empty() ? "" : lost.front());
    EXPECT_EQ(Enumerate(key).size(), 2u * (kCount + 1) + kEdits)
        << "every value once, nothing else";
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// ---- The vantlo-reg editor -----------------------------------------------------------------

TEST_F(RegistryTest, EditorGetsSetsListsAndDeletesValuesAndRefusesBadCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"get", kToolKey},
        {"frob", kToolKey, "X"},
        {"set", kToolKey, "X", "dword:-1"},
        {"set", kToolKey, "X", "dword:4294967296"},
        {"set", kToolKey, "X", "dword:"},
        {"set", kToolKey, "X", "text"},
        {"get", "HKXX\\SOFTWARE", "X"},
    };
    for (const auto& args : bad) {
        RunResult r = Tool(args);
        EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "" : args[0]) << " " << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_FALSE(HostFileExists(RegistryFile())) << "nothing was written";
    RunResult r = Tool({"set", "HKLM\\A\\\\B", "X", "dword:1"});
    EXPECT_EQ(r.exitCode, 3) << "an invalid key name is a registry error";
    EXPECT_THAT(r.err, HasSubstr("invalid name"));

    const std::pair<const char*, const char*> sets[] = {
        {"ClearYoutube", "dword:1"},
        {"Greeting", "sz:hello \"world\" \\ \xC3\xA9"},
        {"Big", "dword:4294967295"}};
    for (const auto& [name, value] : sets) {
        r = Tool({"set", kToolKey, name, value});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    // What the editor wrote, the system reads, and the other way round.
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVantloKey, 0, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
    EXPECT_EQ(Value(h, u"ClearYoutube"), u"dword:1");
    EXPECT_EQ(Value(h, u"Greeting"), u"sz:hello \"world\" \\ \u00e9");
    EXPECT_EQ(SetDword(h, u"ClearFacebook", 0), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);

    r = Tool({"get", "hkey_local_machine\\software\\velmar\\vantlo", "clearyoutube"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "dword:1\n");
    EXPECT_EQ(Tool({"get", kToolKey, "Greeting"}).out, "sz:hello \"world\" \\ \xC3\xA9\n");
    r = Tool({"list", kToolKey});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "ClearYoutube\tdword:1\n"
              "Greeting\tsz:hello \"world\" \\ \xC3\xA9\n"
              "Big\tdword:4294967295\n"
              "ClearFacebook\tdword:0\n");

    r = Tool({"delete", kToolKey, "ClearYoutube"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = Tool({"get", kToolKey, "ClearYoutube"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr("not found"));
    EXPECT_EQ(Tool({"delete", kToolKey, "ClearYoutube"}).exitCode, 1);
    EXPECT_EQ(Tool({"get", "HKLM\\SOFTWARE\\Nothing", "X"}).exitCode, 1);
    EXPECT_EQ(Tool({"list", "HKLM\\SOFTWARE\\Nothing"}).exitCode, 1);
}

}  // namespace
