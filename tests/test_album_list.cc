// The album list reading the photo engine's result file.
#include <gtest/gtest.h>

#include "platform/devpath.h"
#include "store/album_list.h"
#include "tests/support/test_env.h"

namespace {

class RecordingEngine : public IAlbumListEngine {
  public:
    HRESULT SetSession(LPCWSTR first, LPCWSTR third) override {
        sessions.push_back(WString(first) + u"|" + WString(third));
        return S_OK;
    }
    HRESULT FetchAlbumList(LPCWSTR session, LPCWSTR path) override {
        fetches.push_back(WString(session) + u"|" + WString(path));
        return S_OK;
    }
    std::vector<WString> sessions;  // SetSession calls as "first|third"
    std::vector<WString> fetches;   // FetchAlbumList calls as "session|path"
};

class AlbumListTest : public DeviceTest {
  protected:
    std::string ResultFile() { return HostPath(kAlbumListResultFile); }
    void WriteResult(const std::string& xml) { WriteHostFile(ResultFile(), xml); }
    CAlbumList list_;
};

}  // namespace

TEST_F(AlbumListTest, TheFirstGoodResultIsMappedByNameAndEveryResultFileIsRemoved) {
    // A failed fetch leaves the map and the file alone, and does not use up the one reading.
    WriteResult("<r><album><aid>1</aid><name>A</name></album></r>");
    list_.OnAlbumListResult(E_FAIL, kAlbumListResultFile);
    EXPECT_TRUE(list_.GetAlbumMap().empty());
    EXPECT_TRUE(HostFileExists(ResultFile()));

    // Only <album> elements count; a name seen before keeps its first identifier.
    WriteResult(
        "<?xml version=\"1.0\"?><albums>"
        "<album><aid>11</aid><name>Trips</name></album>"
        "<other><aid>99</aid><name>Ignored</name></other>"
        "<album kind=\"x\"><aid>12</aid><name>Family</name></album>"
        "<album><aid>13</aid><name>Trips</name></album>"
        "<album><name>No id</name></album>"
        "<album><aid>15</aid><name>Caf\xC3\xA9 &amp; bar</name></album>"
        "</albums>");
    list_.OnAlbumListResult(S_OK, kAlbumListResultFile);
    const AlbumMap expected{
        {u"Trips", u"11"}, {u"Family", u"12"}, {u"No id", u""}, {u"Caf\u00e9 & bar", u"15"}};
    EXPECT_EQ(list_.GetAlbumMap(), expected);
    EXPECT_FALSE(HostFileExists(ResultFile()));

    // A later result is not read, only removed.
    WriteResult("<r><album><aid>2</aid><name>B</name></album></r>");
    list_.OnAlbumListResult(S_OK, kAlbumListResultFile);
    EXPECT_EQ(list_.GetAlbumMap(), expected);
    EXPECT_FALSE(HostFileExists(ResultFile()));
}

TEST_F(AlbumListTest, AResultWithoutAlbumsMalformedOrMissingLeavesTheMapEmpty) {
    for (const std::string& bytes :
         {std::string("<albums><photo/></albums>"),
          std::string("<albums><album><aid>1</aid><name>A</name></album><album><aid>"),
          std::string("\x00\xff\xfe garbage", 11), std::string()}) {
        CAlbumList list;
        if (!bytes.empty()) WriteResult(bytes);
        list.OnAlbumListResult(S_OK, bytes.empty() ? u"\\Temp\\none.xml" : kAlbumListResultFile);
        EXPECT_TRUE(list.GetAlbumMap().empty()) << bytes;
    }
    // A well-formed result without albums is removed all the same.
    CAlbumList list;
    WriteResult("<albums><photo/></albums>");
    list.OnAlbumListResult(S_OK, kAlbumListResultFile);
    EXPECT_FALSE(HostFileExists(ResultFile()));
}

TEST_F(AlbumListTest, RequestDeletesTheOldFileAndAsksTheEngine) {
    RecordingEngine engine;
    EXPECT_EQ(list_.SetEngineSession(u"s0", u"s2"), E_POINTER);  // no engine yet
    list_.SetEngine(&engine);
    WriteResult("<stale/>");
    EXPECT_EQ(list_.SetEngineSession(u"s0", u"s2"), S_OK);
    EXPECT_EQ(list_.RequestAlbumList(u"owner"), 0);
    EXPECT_FALSE(HostFileExists(ResultFile()));
    EXPECT_EQ(engine.sessions, std::vector<WString>{u"s0|s2"});
    EXPECT_EQ(engine.fetches, std::vector<WString>{WString(u"owner|") + kAlbumListResultFile});
}
