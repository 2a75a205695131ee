// The one-shot clear requests in the registry: read once, reset to 0, the key never created.
#include <gtest/gtest.h>

#include <vector>

#include "platform/registry.h"
#include "store/settings.h"
#include "tests/support/test_env.h"

namespace {

// A value as stored before the start; type REG_NONE: no such value.
struct Stored {
    DWORD type;               // registry type
    std::vector<BYTE> bytes;  // its data
};

// The value's type and 4-byte content; REG_NONE when it is missing.
std::pair<DWORD, DWORD> Get(HKEY key, LPCWSTR name) {
    DWORD type = REG_NONE, value = 0, size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) !=
        ERROR_SUCCESS) {
        return {REG_NONE, 0};
    }
    return {type, value};
}

using SettingsTest = DeviceTest;

}  // namespace

TEST_F(SettingsTest, OnlyADwordOfOneIsARequestAndBothValuesAreResetToZero) {
    const Stored one{REG_DWORD, {1, 0, 0, 0}}, zero{REG_DWORD, {0, 0, 0, 0}},
        two{REG_DWORD, {2, 0, 0, 0}}, missing{REG_NONE, {}}, text{REG_SZ, {'1', 0, 0, 0}},
        wide{REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}};
    constexpr DWORD kNoRequest = 0xFFFFFFFF;  // any value but CLEAR_REQUESTED
    const struct {
        Stored youtube, facebook;         // stored before the start
        DWORD youtubeRead, facebookRead;  // what the call reads
    } cases[] = {
        {one, zero, CLEAR_REQUESTED, 0},
        {zero, one, 0, CLEAR_REQUESTED},
        {missing, two, 0, kNoRequest},  // a missing value reads as 0 and is written as 0
        {text, wide, kNoRequest, 0},    // values of another type or size are no request
    };
    auto expectRead = [](DWORD got, DWORD want) {
        if (want == kNoRequest) {
            EXPECT_NE(got, CLEAR_REQUESTED);
        } else {
            EXPECT_EQ(got, want);
        }
    };
    for (const auto& c : cases) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        for (const auto& [name, stored] : {std::pair{SETTING_CLEAR_YOUTUBE, &c.youtube},
                                           std::pair{SETTING_CLEAR_FACEBOOK, &c.facebook}}) {
            if (stored->type == REG_NONE) {
                RegDeleteValueW(key, name);
            } else {
                ASSERT_EQ(RegSetValueExW(key, name, 0, stored->type, stored->bytes.data(),
                                         static_cast<DWORD>(stored->bytes.size())),
                          ERROR_SUCCESS);
            }
        }
        DWORD youtube = 7, facebook = 7;
        EXPECT_TRUE(ConsumeClearRequests(&youtube, &facebook));
        expectRead(youtube, c.youtubeRead);
        expectRead(facebook, c.facebookRead);
        const std::pair<DWORD, DWORD> zeroDword{REG_DWORD, 0};
        EXPECT_EQ(Get(key, SETTING_CLEAR_YOUTUBE), zeroDword);
        EXPECT_EQ(Get(key, SETTING_CLEAR_FACEBOOK), zeroDword);
        // Consumed: the next start sees no request.
        EXPECT_TRUE(ConsumeClearRequests(&youtube, &facebook));
        EXPECT_EQ(youtube, 0u);
        EXPECT_EQ(facebook, 0u);
        RegCloseKey(key);
    }
}

TEST_F(SettingsTest, AMissingKeyMeansNoRequestAndIsNeverCreated) {
    DWORD youtube = 7, facebook = 7;
    EXPECT_FALSE(ConsumeClearRequests(&youtube, &facebook));
    EXPECT_EQ(youtube, 0u);
    EXPECT_EQ(facebook, 0u);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(ConsumeClearRequests(nullptr, nullptr));
}
