// The dialog templates. Statics are invisible anchors without text: the dialogs paint their
// labels into the anchors' window rectangles (screen coordinates used as drawing
// coordinates), widened to the right and downwards as each dialog needs.
#include "platform/dialog.h"
#include "res/res_tables.h"
#include "res/resource_ids.h"

namespace {

constexpr DWORD kPopupCaption = 0x80C80000;        // WS_POPUP | WS_CAPTION | WS_SYSMENU
constexpr DWORD kPopupCaptionScroll = 0x80E80000;  // the same with WS_VSCROLL
constexpr DWORD kPopupCaptionOnly = 0x80C00000;    // WS_POPUP | WS_CAPTION
constexpr DWORD kCaptionOk = 0x80000000;           // WS_EX_CAPTIONOKBTN

constexpr DWORD kStatic = 0x50020000;          // a hidden-text anchor
constexpr DWORD kMultiLineEdit = 0x50A10004;   // border, scroll bar, tab stop, multi-line
constexpr DWORD kEdit = 0x50A10000;            // border, scroll bar, tab stop
constexpr DWORD kAutoCheckBox = 0x50010003;    // tab stop, BS_AUTOCHECKBOX
constexpr DWORD kDropDownList = 0x50010003;    // tab stop, CBS_DROPDOWNLIST
constexpr DWORD kDropDownScroll = 0x50210002;  // scroll bar, tab stop, CBS_DROPDOWN
constexpr DWORD kDropDown = 0x50010002;        // tab stop, CBS_DROPDOWN
constexpr DWORD kPushButton = 0x50010000;      // tab stop, BS_PUSHBUTTON

constexpr short kWidth = 200;  // every template: dialog units
constexpr short kHeight = 180;

constexpr DialogItem Anchor(WORD id, short x, short y, short cx = 0, short cy = 0) {
    return {id, u"STATIC", kStatic, x, y, cx, cy, nullptr};
}

// Login pages 5000 to 5002: the service icon, the title and the body.
constexpr DialogItem kLoginItems[] = {
    Anchor(IDC_ICON, 6, -8),
    Anchor(IDC_TITLE, 20, -8),
    Anchor(IDC_BODY, 10, 16),
};

// List pages 5003 and 5004: the title and the header text.
constexpr DialogItem kListItems[] = {
    Anchor(IDC_TITLE, 30, -20),
    Anchor(IDC_LABEL, 10, 4),
};

// The setting page: each label sits just above (or beside) the control it names.
constexpr DialogItem kSettingItems[] = {
    Anchor(IDC_ICON, 6, -8),
    Anchor(IDC_TITLE, 20, -8),
    Anchor(IDC_TITLE_LABEL, 10, 12),
    {IDC_TITLE_EDIT, u"EDIT", kMultiLineEdit, 10, 38, 112, 12, nullptr},
    {IDC_APPEND_CHECK, u"BUTTON", kAutoCheckBox, 10, 54, 9, 9, nullptr},
    Anchor(IDC_APPEND_LABEL, 22, 38),
    Anchor(IDC_DESC_LABEL, 10, 54),
    {IDC_DESC_EDIT, u"EDIT", kMultiLineEdit, 10, 80, 112, 40, nullptr},
    Anchor(IDC_CATEGORY_LABEL, 10, 108),
    {IDC_CATEGORY_LIST, u"COMBOBOX", kDropDownList, 10, 134, 112, 400, nullptr},
    Anchor(IDC_TAGS_LABEL, 10, 134),
    {IDC_TAGS_EDIT, u"EDIT", kEdit, 10, 160, 112, 12, nullptr},
    Anchor(IDC_TAGS_HINT, 10, 158, 112),
    Anchor(IDC_PRIVACY_LABEL, 10, 178, 112),
    {IDC_PRIVACY_COMBO, u"COMBOBOX", kDropDownScroll, 10, 204, 112, 100, nullptr},
};

// The caption page: its label and the caption.
constexpr DialogItem kCaptionItems[] = {
    Anchor(IDC_TITLE, 6, -8),
    {IDC_CAPTION_EDIT, u"EDIT", kMultiLineEdit, 6, 20, 125, 40, nullptr},
};

// The album page: the label left of the album box, the hint below it.
constexpr DialogItem kAlbumItems[] = {
    Anchor(IDC_ICON, 6, -8),
    Anchor(IDC_TITLE, 20, -8),
    {IDC_ALBUM_COMBO, u"COMBOBOX", kDropDown, 32, 28, 92, 100, nullptr},
    Anchor(IDC_LABEL, 6, 13),
    Anchor(IDC_ALBUM_HINT, 10, 30),
};

// Template 5009, which no dialog runs.
constexpr DialogItem kQuestionItems[] = {
    Anchor(IDC_ICON, 10, 5),
    {IDC_QUESTION_YES, u"BUTTON", kPushButton, 20, 8, 24, 16, nullptr},
    {IDC_QUESTION_NO, u"BUTTON", kPushButton, 20, 32, 24, 16, nullptr},
};

template <size_t N>
constexpr DialogTemplate Page(DWORD style, DWORD exStyle, LPCWSTR caption,
                              const DialogItem (&items)[N]) {
    return {style, exStyle, 0, 0, kWidth, kHeight, caption, items, static_cast<int>(N)};
}
constexpr DialogTemplate EmptyPage(LPCWSTR caption) {
    return {kPopupCaption, 0, 0, 0, kWidth, kHeight, caption, nullptr, 0};
}

constexpr DialogTemplate kBeforeLogin = Page(kPopupCaption, 0, nullptr, kLoginItems);
constexpr DialogTemplate kLogin = Page(kPopupCaption, 0, nullptr, kLoginItems);
constexpr DialogTemplate kLoginFailed = Page(kPopupCaption, 0, nullptr, kLoginItems);
constexpr DialogTemplate kYtList = Page(kPopupCaption, 0, nullptr, kListItems);
constexpr DialogTemplate kFbList = Page(kPopupCaption, 0, nullptr, kListItems);
constexpr DialogTemplate kSetting =
    Page(kPopupCaptionScroll, kCaptionOk, u"setting", kSettingItems);
constexpr DialogTemplate kCaption = Page(kPopupCaption, 0, nullptr, kCaptionItems);
constexpr DialogTemplate kSelectAlbum = Page(kPopupCaption, kCaptionOk, u"album", kAlbumItems);
constexpr DialogTemplate kQuestion = Page(kPopupCaptionOnly, kCaptionOk, nullptr, kQuestionItems);
constexpr DialogTemplate kTaskView = EmptyPage(u"task view");
constexpr DialogTemplate kTaskDetail = EmptyPage(nullptr);

ResourceEntry Dialog(UINT id, const DialogTemplate& t) {
    return {RT_DIALOG, id, &t, static_cast<DWORD>(sizeof t)};
}

}  // namespace

std::span<const ResourceEntry> DialogResources() {
    static const ResourceEntry entries[] = {
        Dialog(IDD_BEFORE_LOGIN, kBeforeLogin), Dialog(IDD_LOGIN, kLogin),
        Dialog(IDD_LOGIN_FAILED, kLoginFailed), Dialog(IDD_YT_LIST, kYtList),
        Dialog(IDD_FB_LIST, kFbList),           Dialog(IDD_SETTING, kSetting),
        Dialog(IDD_CAPTION, kCaption),          Dialog(IDD_SELECT_ALBUM, kSelectAlbum),
        Dialog(IDD_QUESTION, kQuestion),        Dialog(IDD_TASK_VIEW, kTaskView),
        Dialog(IDD_TASK_DETAIL, kTaskDetail),
    };
    return entries;
}
