// The soft-key bar definitions and the menus their menu keys, the context menus of the task
// viewer and the task detail page open.
#include "platform/menu.h"
#include "platform/shell.h"
#include "res/res_tables.h"
#include "res/resource_ids.h"

namespace {

// One key of a bar definition: seven WORDs, as the shell reads them.
struct BarKey {
    WORD image;    // SHMB_NOIMAGE
    WORD command;  // posted by the key, or the menu key's command
    WORD state;    // TBSTATE_ENABLED or TBSTATE_HIDDEN
    WORD style;    // TBSTYLE_BUTTON, TBSTYLE_DROPDOWN or TBSTYLE_AUTOSIZE
    WORD label;    // string identifier of the label
    WORD zero;     // 0
    WORD subMenu;  // SHMB_NOSUBMENU, or 0: the first pop-up of the bar's menu
};

// A soft-key bar definition with its two keys.
struct BarDefinition {
    WORD menu;       // the menu the bar's pop-ups come from
    WORD keyCount;   // 2
    BarKey keys[2];  // left, right
};
static_assert(sizeof(BarDefinition) == 16 * sizeof(WORD), "read by the shell as WORDs");

constexpr WORD kNone = SHMB_NOSUBMENU;
constexpr WORD kFirstPopup = 0;
constexpr WORD kEnabled = TBSTATE_ENABLED;
constexpr WORD kHidden = TBSTATE_HIDDEN;
constexpr WORD kButton = TBSTYLE_BUTTON;
constexpr WORD kDropDown = TBSTYLE_DROPDOWN;
constexpr WORD kAutoSize = TBSTYLE_AUTOSIZE;

constexpr BarKey Key(UINT command, WORD state, WORD style, UINT label, WORD subMenu = kNone) {
    return {SHMB_NOIMAGE, static_cast<WORD>(command), state, style, static_cast<WORD>(label), 0,
            subMenu};
}

constexpr BarDefinition Bar(UINT menu, BarKey left, BarKey right) {
    return {static_cast<WORD>(menu), 2, {left, right}};
}

constexpr BarDefinition kBarYesNo = Bar(IDR_BAR_YES_NO, Key(IDM_YES, kEnabled, kAutoSize, IDS_YES),
                                        Key(IDM_NO, kEnabled, kAutoSize, IDS_NO));
constexpr BarDefinition kBarYtList =
    Bar(IDR_MENU_YT_LIST, Key(IDM_UPLOAD, kEnabled, kButton, IDS_UPLOAD),
        Key(IDM_YT_MENU, kEnabled, kDropDown, IDS_MENU, kFirstPopup));
constexpr BarDefinition kBarFbList =
    Bar(IDR_MENU_FB_LIST, Key(IDM_UPLOAD, kEnabled, kAutoSize, IDS_UPLOAD),
        Key(IDM_FB_MENU, kEnabled, kDropDown, IDS_MENU, kFirstPopup));
constexpr BarDefinition kBarAlbum =
    Bar(IDR_BAR_ALBUM, Key(IDM_ALBUM_DONE, kEnabled, kButton, IDS_DONE),
        Key(IDM_CANCEL, kEnabled, kButton, IDS_CANCEL));
// The task pages' bars: a hidden inert key and the menu key opening menu's first pop-up.
constexpr BarDefinition TaskBar(UINT menu) {
    return Bar(menu, Key(IDM_INERT, kHidden, kButton, IDS_WAIT),
               Key(IDM_TASK_MENU, kEnabled, kDropDown, IDS_MENU, kFirstPopup));
}
constexpr BarDefinition kBarTaskView = TaskBar(IDR_MENU_TASK_VIEW);
constexpr BarDefinition kBarUploading = TaskBar(IDR_MENU_UPLOADING);
constexpr BarDefinition kBarWaiting = TaskBar(IDR_MENU_WAITING);
constexpr BarDefinition kBarFailed = TaskBar(IDR_MENU_FAILED);
constexpr BarDefinition kBarOkCancel =
    Bar(IDR_BAR_OK_CANCEL, Key(IDM_OK, kEnabled, kAutoSize, IDS_OK),
        Key(IDM_CANCEL, kEnabled, kAutoSize, IDS_CANCEL));
constexpr BarDefinition kBarLogin = Bar(IDR_BAR_LOGIN, Key(IDM_OK, kEnabled, kAutoSize, IDS_WAIT),
                                        Key(IDM_CANCEL, kEnabled, kAutoSize, IDS_WAIT));

// Menus. Each bar's menu key and each context menu shows the menu's first pop-up.
constexpr MenuTemplateItem kMenuYtList[] = {
    {MF_POPUP | MF_END, 0, kTextMenu},
    {MF_STRING, IDM_SETTING_ALL, u"Settings for all videos"},
    {MF_SEPARATOR, 0, nullptr},
    {MF_STRING | MF_END, IDM_MENU_EXIT, u"Exit"},
};
constexpr MenuTemplateItem kMenuFbList[] = {
    {MF_POPUP | MF_END, 0, kTextMenu},
    {MF_STRING, IDM_CAPTION_ALL, u"Caption for all photos"},
    {MF_STRING, IDM_SELECT_ALBUM, u"Choose album"},
    {MF_SEPARATOR, 0, nullptr},
    {MF_STRING | MF_END, IDM_MENU_EXIT, u"Exit"},
};
// The viewer removes and appends the task commands each time the pop-up opens; exit stays.
constexpr MenuTemplateItem kMenuTaskView[] = {
    {MF_POPUP | MF_END, 0, kTextMenu},
    {MF_STRING, IDM_MENU_EXIT, u"Exit"},
    {MF_STRING, IDM_CLEAR_ALL, kTextClearAll},
    {MF_STRING | MF_END, IDM_REUPLOAD_ALL, kTextReuploadAll},
};
constexpr MenuTemplateItem kMenuUploading[] = {
    {MF_POPUP | MF_END, 0, kTextMenu},
    {MF_STRING, IDM_DETAIL, kTextDetails},
    {MF_STRING | MF_END, IDM_CANCEL_TASK, kTextCancelTask},
};
constexpr MenuTemplateItem kMenuWaiting[] = {
    {MF_POPUP | MF_END, 0, kTextMenu},
    {MF_STRING, IDM_DETAIL, kTextDetails},
    {MF_STRING | MF_END, IDM_CANCEL_TASK, kTextCancelTask},
};
constexpr MenuTemplateItem kMenuFailed[] = {
    {MF_POPUP | MF_END, 0, kTextMenu},
    {MF_STRING, IDM_FAILED_DETAIL, kTextDetails},
    {MF_STRING, IDM_CANCEL_TASK, kTextCancelTask},
    {MF_STRING | MF_END, IDM_RETRY, kTextRetry},
};
// The detail page's bar is made from this menu: its top-level items are the two keys.
constexpr MenuTemplateItem kMenuTaskDetail[] = {
    {MF_STRING, IDM_DETAIL_DONE, kTextDone},
    {MF_POPUP | MF_END, 0, kTextMenu},
    {MF_STRING, IDM_RETRY, kTextRetry},
    {MF_STRING | MF_END, IDM_CANCEL_TASK, kTextCancelTask},
};

template <class T, size_t N>
ResourceEntry Entry(LPCWSTR type, UINT id, const T (&data)[N]) {
    return {type, id, data, static_cast<DWORD>(sizeof data)};
}
template <class T>
ResourceEntry Entry(LPCWSTR type, UINT id, const T& data) {
    return {type, id, &data, static_cast<DWORD>(sizeof data)};
}

}  // namespace

std::span<const ResourceEntry> MenuResources() {
    static const ResourceEntry entries[] = {
        Entry(RT_MENU, IDR_MENU_YT_LIST, kMenuYtList),
        Entry(RT_MENU, IDR_MENU_FB_LIST, kMenuFbList),
        Entry(RT_MENU, IDR_MENU_TASK_VIEW, kMenuTaskView),
        Entry(RT_MENU, IDR_MENU_UPLOADING, kMenuUploading),
        Entry(RT_MENU, IDR_MENU_WAITING, kMenuWaiting),
        Entry(RT_MENU, IDR_MENU_FAILED, kMenuFailed),
        Entry(RT_MENU, IDR_MENU_TASK_DETAIL, kMenuTaskDetail),
    };
    return entries;
}

std::span<const ResourceEntry> MenuBarResources() {
    static const ResourceEntry entries[] = {
        Entry(RT_RCDATA, IDR_BAR_YES_NO, kBarYesNo),
        Entry(RT_RCDATA, IDR_BAR_YT_LIST, kBarYtList),
        Entry(RT_RCDATA, IDR_BAR_FB_LIST, kBarFbList),
        Entry(RT_RCDATA, IDR_BAR_ALBUM, kBarAlbum),
        Entry(RT_RCDATA, IDR_BAR_TASK_VIEW, kBarTaskView),
        Entry(RT_RCDATA, IDR_BAR_UPLOADING, kBarUploading),
        Entry(RT_RCDATA, IDR_BAR_WAITING, kBarWaiting),
        Entry(RT_RCDATA, IDR_BAR_FAILED, kBarFailed),
        Entry(RT_RCDATA, IDR_BAR_OK_CANCEL, kBarOkCancel),
        Entry(RT_RCDATA, IDR_BAR_LOGIN, kBarLogin),
    };
    return entries;
}
