// The album list fed end to end: the photo engine library fetches the albums on a thread of
// its own, its host's sink hands the result to the album list the task manager wired in.
#include <gtest/gtest.h>

#include <memory>

#include "platform/device_image.h"
#include "platform/devpath.h"
#include "platform/registry.h"
#include "store/album_list.h"
#include "tests/mgr_harness.h"
#include "tests/support/test_env.h"

namespace {

void SetMachineString(LPCWSTR key, LPCWSTR name, const WString& text) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(h);
}

}  // namespace

TEST_F(DeviceTest, AlbumsFetchedByThePhotoEngineReachTheAlbumListThroughItsHost) {
    ASSERT_TRUE(PrepareDeviceImage());
    // Two albums share a name: the first one read keeps it.
    SetMachineString(kPelfinKey, u"Albums", u"a1=Trips;a2=Family;a3=Trips");
    CAlbumList albums;
    auto mgr = std::make_unique<CUploadTaskMgr>();
    mgr->SetAlbumList(&albums);
    auto main = std::make_unique<MainWindowStandIn>(*mgr);
    ASSERT_EQ(main->Init(), S_OK);

    // As the dialog thread does when a photo flow starts, before any photo task exists.
    EXPECT_EQ(albums.SetEngineSession(u"session-key", u"session-secret"), S_OK);
    EXPECT_EQ(albums.RequestAlbumList(u"user-id"), 0);
    ASSERT_TRUE(WaitUntil([&] { return !albums.GetAlbumMap().empty(); }));
    EXPECT_EQ(albums.GetAlbumMap(), (AlbumMap{{u"Trips", u"a1"}, {u"Family", u"a2"}}));
    EXPECT_FALSE(HostFileExists(HostPath(kAlbumListResultFile)));

    // Once the engine is released the album list can no longer reach it.
    main->Shutdown();
    EXPECT_EQ(albums.SetEngineSession(u"session-key", u"session-secret"), E_POINTER);
    main.reset();
    mgr.reset();
    EXPECT_EQ(albums.GetAlbumMap().size(), 2u);
}
