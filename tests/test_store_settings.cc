// The one-shot clear requests in the registry: read once, reset to 0, the key never created.
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "store/settings.h"
#include "tests/support/test_env.h"

namespace {

class SettingsTest : public DeviceTest {
  protected:
    static void MakeKey() {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void SetDword(LPCWSTR name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                 sizeof value),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // The value's type and 4-byte content; type REG_NONE when it is missing.
    static std::pair<DWORD, DWORD> Get(LPCWSTR name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return {REG_NONE, 0};
        }
        DWORD type = REG_NONE;
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) !=
            ERROR_SUCCESS) {
            type = REG_NONE;
        }
        RegCloseKey(key);
        return {type, value};
    }
    static bool KeyExists() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return false;
        }
        RegCloseKey(key);
        return true;
    }
};

const std::pair<DWORD, DWORD> kZero{REG_DWORD, 0};

}  // namespace

TEST_F(SettingsTest, RequestsAreReadOnceAndResetToZero) {
    SetDword(SETTING_CLEAR_YOUTUBE, 1);
    SetDword(SETTING_CLEAR_FACEBOOK, 0);
    DWORD youtube = 7;
    DWORD facebook = 7;
    EXPECT_TRUE(ConsumeClearRequests(&youtube, &facebook));
    EXPECT_EQ(youtube, CLEAR_REQUESTED);
    EXPECT_EQ(facebook, 0u);
    EXPECT_EQ(Get(SETTING_CLEAR_YOUTUBE), kZero);
    EXPECT_EQ(Get(SETTING_CLEAR_FACEBOOK), kZero);

    // Consumed: the next start sees no request.
    EXPECT_TRUE(ConsumeClearRequests(&youtube, &facebook));
    EXPECT_EQ(youtube, 0u);
    EXPECT_EQ(facebook, 0u);
}

TEST_F(SettingsTest, AnyOtherValueIsNoRequestAndIsResetToo) {
    SetDword(SETTING_CLEAR_FACEBOOK, 2);
    DWORD youtube = 7;
    DWORD facebook = 7;
    EXPECT_TRUE(ConsumeClearRequests(&youtube, &facebook));
    EXPECT_NE(facebook, CLEAR_REQUESTED);
    EXPECT_EQ(youtube, 0u);  // missing: 0, and written as 0
    EXPECT_EQ(Get(SETTING_CLEAR_FACEBOOK), kZero);
    EXPECT_EQ(Get(SETTING_CLEAR_YOUTUBE), kZero);
}

TEST_F(SettingsTest, AValueOfAnotherSizeReadsAsZero) {
    MakeKey();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    const WCHAR text[] = u"1";
    ASSERT_EQ(RegSetValueExW(key, SETTING_CLEAR_YOUTUBE, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);
    const BYTE wide[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(RegSetValueExW(key, SETTING_CLEAR_FACEBOOK, 0, REG_BINARY, wide, sizeof wide),
              ERROR_SUCCESS);
    RegCloseKey(key);
    DWORD youtube = 7;
    DWORD facebook = 7;
    EXPECT_TRUE(ConsumeClearRequests(&youtube, &facebook));
    EXPECT_NE(youtube, CLEAR_REQUESTED);
    EXPECT_EQ(facebook, 0u);
    EXPECT_EQ(Get(SETTING_CLEAR_YOUTUBE), kZero);
    EXPECT_EQ(Get(SETTING_CLEAR_FACEBOOK), kZero);
}

TEST_F(SettingsTest, AMissingKeyMeansNoRequestAndIsNeverCreated) {
    DWORD youtube = 7;
    DWORD facebook = 7;
    EXPECT_FALSE(ConsumeClearRequests(&youtube, &facebook));
    EXPECT_EQ(youtube, 0u);
    EXPECT_EQ(facebook, 0u);
    EXPECT_FALSE(KeyExists());
    EXPECT_FALSE(ConsumeClearRequests(nullptr, nullptr));
}
