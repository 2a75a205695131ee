// Dynamic libraries: a real library built by the test tree is loaded from the device
// root, its exports are looked up and called, and it is unloaded again; every failure
// comes back as a null result with the last error set and a trace line.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/module.h"
#include "tests/case_util.h"
#include "tests/support/test_env.h"
#include "tests/upload/engine_fixture.h"

namespace {

using AddFn = int (*)(int, int);
using CallsFn = int (*)();

class ModuleTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_.Use(root_ + "/trace.log");
        InstallLibrary(kSampleModule, u"\\Windows\\Sample.dll");
    }
    std::vector<std::string> Events() const { return LifecycleEvents(root_, "sample-module.log"); }

    CaseTrace trace_;
};

}  // namespace

TEST_F(ModuleTest, EveryLoadByAnyNameNeedsItsOwnFreeAndTheLastOneUnloads) {
    HMODULE m = LoadLibraryW(u"\\Windows\\Sample.dll");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Events(), std::vector<std::string>{"loaded"});
    // A bare name is looked for in \Windows, and a folder's case does not matter: one file,
    // one library.
    EXPECT_EQ(LoadLibraryW(u"Sample.dll"), m);
    EXPECT_EQ(LoadLibraryW(u"\\WINDOWS\\Sample.dll"), m);

    auto add = reinterpret_cast<AddFn>(GetProcAddressW(m, u"SampleAdd"));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    SetLastError(0);
    EXPECT_EQ(GetProcAddressW(m, u"NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(trace_.Contains("GetProcAddress NoSuchExport: no such export"));
    EXPECT_EQ(GetProcAddressW(m, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // Its state lasts until the last of the three loads is freed.
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(Events(), std::vector<std::string>{"loaded"});
    EXPECT_EQ(GetProcAddressAs<CallsFn>(m, "SampleCalls")(), 1);
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(Events(), (std::vector<std::string>{"loaded", "unloaded"}));
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(m));  // the handle is gone with the last load
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetProcAddress(m, "SampleAdd"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ModuleTest, LoadsThatCannotBeAndForeignHandlesFailWithTheirErrorAndTrace) {
    WriteHostFile(root_ + "/Windows/Broken.dll", "MZ this is not a shared object");
    std::filesystem::create_directories(root_ + "/Windows/Folder.dll");
    const struct {
        LPCWSTR path;       // what is loaded
        DWORD error;        // the last error after it
        const char* trace;  // a trace line it leaves, if any
    } kCases[] = {
        {u"\\Windows\\Absent.dll", ERROR_MOD_NOT_FOUND,
         "LoadLibraryW \\Windows\\Absent.dll: no such file"},
        {u"\\Windows\\Broken.dll", ERROR_BAD_EXE_FORMAT,
         "LoadLibraryW \\Windows\\Broken.dll: cannot load"},
        {u"\\Windows\\Folder.dll", ERROR_BAD_EXE_FORMAT, nullptr},
        {nullptr, ERROR_INVALID_PARAMETER, nullptr},
        {u"", ERROR_INVALID_PARAMETER, nullptr},
    };
    for (const auto& c : kCases) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryW(c.path), nullptr) << c.error;
        EXPECT_EQ(GetLastError(), c.error);
        if (c.trace) {
            EXPECT_TRUE(trace_.Contains(c.trace)) << c.trace;
        }
    }

    int notAModule = 0;
    HMODULE forged = reinterpret_cast<HMODULE>(&notAModule);
    EXPECT_EQ(GetProcAddress(forged, "SampleAdd"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FreeLibrary(forged));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FreeLibrary(nullptr));
}
