// Dynamic libraries: a real library built by the test tree is loaded from the device
// root, its exports are looked up and called, and it is unloaded again; every failure
// comes back as a null result with the last error set and a trace line.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/module.h"
#include "tests/support/test_env.h"
#include "tests/upload/engine_fixture.h"

namespace {

class ModuleTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_ = root_ + "/trace.log";
        setenv("VANTLO_TRACE_FILE", trace_.c_str(), 1);
    }
    bool Traced(const std::string& text) const {
        return ReadHostFile(trace_).find(text) != std::string::npos;
    }
    std::vector<std::string> Events() const { return LifecycleEvents(root_, "sample-module.log"); }

    std::string trace_;  // this case's trace file
};

using AddFn = int (*)(int, int);
using CallsFn = int (*)();

}  // namespace

TEST_F(ModuleTest, LoadsFromDevicePathCallsExportAndUnloads) {
    InstallLibrary(kSampleModule, u"\\Windows\\Sample.dll");
    HMODULE m = LoadLibraryW(u"\\Windows\\Sample.dll");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Events(), std::vector<std::string>{"loaded"});

    auto add = reinterpret_cast<AddFn>(GetProcAddressW(m, u"SampleAdd"));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    auto calls = GetProcAddressAs<CallsFn>(m, "SampleCalls");
    ASSERT_NE(calls, nullptr);
    EXPECT_EQ(calls(), 1);

    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(Events(), (std::vector<std::string>{"loaded", "unloaded"}));
}

TEST_F(ModuleTest, BareNameIsFoundInWindowsFolderAndCaseOfFolderIsIgnored) {
    InstallLibrary(kSampleModule, u"\\Windows\\Sample.dll");
    HMODULE bare = LoadLibraryW(u"Sample.dll");
    ASSERT_NE(bare, nullptr);
    HMODULE upper = LoadLibraryW(u"\\WINDOWS\\Sample.dll");
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(bare, upper);  // one file, one library
    EXPECT_TRUE(FreeLibrary(upper));
    EXPECT_TRUE(FreeLibrary(bare));
}

TEST_F(ModuleTest, EachLoadNeedsItsOwnFreeAndStateLastsUntilTheLastOne) {
    InstallLibrary(kSampleModule, u"\\Windows\\Sample.dll");
    HMODULE first = LoadLibraryW(u"\\Windows\\Sample.dll");
    HMODULE second = LoadLibraryW(u"\\Windows\\Sample.dll");
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first, second);
    GetProcAddressAs<AddFn>(first, "SampleAdd")(1, 1);

    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(Events(), std::vector<std::string>{"loaded"});  // still mapped
    EXPECT_EQ(GetProcAddressAs<CallsFn>(second, "SampleCalls")(), 1);

    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(Events(), (std::vector<std::string>{"loaded", "unloaded"}));

    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(second));  // the handle is gone with the last load
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetProcAddress(second, "SampleAdd"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ModuleTest, MissingFileFailsWithModNotFoundAndTrace) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"\\Windows\\Absent.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_TRUE(Traced("LoadLibraryW \\Windows\\Absent.dll: no such file"));
}

TEST_F(ModuleTest, FileThatIsNoLibraryFailsWithBadFormat) {
    WriteHostFile(root_ + "/Windows/Broken.dll", "MZ this is not a shared object");
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"\\Windows\\Broken.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
    EXPECT_TRUE(Traced("LoadLibraryW \\Windows\\Broken.dll: cannot load"));

    std::filesystem::create_directories(root_ + "/Windows/Folder.dll");
    EXPECT_EQ(LoadLibraryW(u"\\Windows\\Folder.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
}

TEST_F(ModuleTest, MissingExportFailsWithProcNotFoundAndTrace) {
    InstallLibrary(kSampleModule, u"\\Windows\\Sample.dll");
    HMODULE m = LoadLibraryW(u"\\Windows\\Sample.dll");
    ASSERT_NE(m, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddressW(m, u"NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(Traced("GetProcAddress NoSuchExport: no such export"));
    EXPECT_TRUE(FreeLibrary(m));
}

TEST_F(ModuleTest, NullArgumentsAndForeignHandlesAreRefused) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(LoadLibraryW(u""), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    int notAModule = 0;
    HMODULE forged = reinterpret_cast<HMODULE>(&notAModule);
    EXPECT_EQ(GetProcAddress(forged, "SampleAdd"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FreeLibrary(forged));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FreeLibrary(nullptr));

    InstallLibrary(kSampleModule, u"\\Windows\\Sample.dll");
    HMODULE m = LoadLibraryW(u"\\Windows\\Sample.dll");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetProcAddressW(m, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(FreeLibrary(m));
}
