// Identifiers of the program's resources: dialog templates and their controls, soft-key bar
// definitions, menus, commands and strings. The resources themselves are registered for the
// program's module by RegisterAppResources (res/app_resources.h).
#pragma once

#include "platform/types.h"

// ---- Dialog templates (RT_DIALOG) ---------------------------------------------------------

constexpr UINT IDD_BEFORE_LOGIN = 5000;  // asks whether to sign in
constexpr UINT IDD_LOGIN = 5001;         // waits for the sign-in
constexpr UINT IDD_LOGIN_FAILED = 5002;  // offers a retry
constexpr UINT IDD_YT_LIST = 5003;       // the videos to upload
constexpr UINT IDD_FB_LIST = 5004;       // the photos to upload
constexpr UINT IDD_SETTING = 5005;       // one video's details, "setting"
constexpr UINT IDD_CAPTION = 5006;       // a photo's caption
constexpr UINT IDD_SELECT_ALBUM = 5008;  // the album of the photos, "album"
constexpr UINT IDD_QUESTION = 5009;      // a yes / no page no dialog runs
constexpr UINT IDD_TASK_VIEW = 6000;     // the task viewer, "task view"
constexpr UINT IDD_TASK_DETAIL = 6001;   // one task's details

// ---- Controls ----------------------------------------------------------------------------
// Statics are invisible anchors: their window rectangles place what the dialogs paint.

constexpr WORD IDC_ICON = 519;            // the service icon
constexpr WORD IDC_TITLE = 2001;          // the page's title text
constexpr WORD IDC_BODY = 2000;           // the login pages' body text
constexpr WORD IDC_LABEL = 2002;          // the list header / album label
constexpr WORD IDC_TITLE_LABEL = 500;     // setting: "Title"
constexpr WORD IDC_DESC_LABEL = 501;      // setting: "Description"
constexpr WORD IDC_CATEGORY_LABEL = 502;  // setting: "Category"
constexpr WORD IDC_TAGS_LABEL = 503;      // setting: "Tags"
constexpr WORD IDC_PRIVACY_LABEL = 504;   // setting: "Privacy"
constexpr WORD IDC_APPEND_LABEL = 505;    // setting: the append-file-name choice
constexpr WORD IDC_TAGS_HINT = 506;       // setting: how tags are written
constexpr WORD IDC_CATEGORY_LIST = 507;   // setting: drop-down list of categories
constexpr WORD IDC_TITLE_EDIT = 508;      // setting: the title
constexpr WORD IDC_APPEND_CHECK = 509;    // setting: append the file name to the title
constexpr WORD IDC_PRIVACY_COMBO = 510;   // setting: "Private" / "Public"
constexpr WORD IDC_TAGS_EDIT = 511;       // setting: the tags
constexpr WORD IDC_DESC_EDIT = 512;       // setting: the description
constexpr WORD IDC_CAPTION_EDIT = 513;    // caption: the caption
constexpr WORD IDC_ALBUM_COMBO = 517;     // album: the album name, chosen or typed
constexpr WORD IDC_ALBUM_HINT = 518;      // album: how to choose
constexpr WORD IDC_QUESTION_YES = 409;    // template 5009's first button
constexpr WORD IDC_QUESTION_NO = 410;     // template 5009's second button

// ---- Soft-key bar definitions (RT_RCDATA) -------------------------------------------------

constexpr UINT IDR_BAR_YES_NO = 264;      // login failed: Yes / No
constexpr UINT IDR_BAR_YT_LIST = 268;     // video list: Upload / Menu (menu 278)
constexpr UINT IDR_BAR_FB_LIST = 277;     // photo list: Upload / Menu (menu 279)
constexpr UINT IDR_BAR_ALBUM = 280;       // album: Done / Cancel
constexpr UINT IDR_BAR_TASK_VIEW = 282;   // task viewer: Menu (menu 283)
constexpr UINT IDR_BAR_UPLOADING = 284;   // Menu (menu 285)
constexpr UINT IDR_BAR_WAITING = 286;     // Menu (menu 287)
constexpr UINT IDR_BAR_FAILED = 288;      // Menu (menu 289)
constexpr UINT IDR_BAR_OK_CANCEL = 1000;  // OK / Cancel
constexpr UINT IDR_BAR_LOGIN = 1003;      // the login page's two inert keys

// ---- Menus (RT_MENU); each bar or context menu uses the menu's first pop-up ----------------

constexpr UINT IDR_MENU_YT_LIST = 278;      // video list: settings for all, exit
constexpr UINT IDR_MENU_FB_LIST = 279;      // photo list: caption for all, album, exit
constexpr UINT IDR_MENU_TASK_VIEW = 283;    // task viewer: exit, clear all, re-upload failed
constexpr UINT IDR_MENU_UPLOADING = 285;    // an uploading task: details, cancel
constexpr UINT IDR_MENU_WAITING = 287;      // a waiting task: details, cancel
constexpr UINT IDR_MENU_FAILED = 289;       // a failed task: details, cancel, retry
constexpr UINT IDR_MENU_TASK_DETAIL = 520;  // detail page bar: Done / Menu (retry, cancel)

// ---- Commands (WM_COMMAND) ----------------------------------------------------------------

constexpr UINT IDM_DETAIL_DONE = 253;    // detail page: close
constexpr UINT IDM_UPLOAD = 254;         // list pages: upload what the list holds
constexpr UINT IDM_YES = 265;            // login failed: sign in again
constexpr UINT IDM_NO = 266;             // login failed: give up
constexpr UINT IDM_YT_MENU = 269;        // video list: the menu key
constexpr UINT IDM_FB_MENU = 270;        // photo list: the menu key
constexpr UINT IDM_TASK_MENU = 275;      // task viewer: the menu key
constexpr UINT IDM_ALBUM_DONE = 281;     // album: confirm
constexpr UINT IDM_SETTING_ALL = 400;    // video list: one setting for every video
constexpr UINT IDM_MENU_EXIT = 401;      // list pages and task viewer: leave
constexpr UINT IDM_CAPTION_ALL = 402;    // photo list: one caption for every photo
constexpr UINT IDM_CLEAR_ALL = 403;      // task viewer: clear every task
constexpr UINT IDM_RETRY = 406;          // retry the task
constexpr UINT IDM_SELECT_ALBUM = 407;   // photo list: choose the album
constexpr UINT IDM_REUPLOAD_ALL = 411;   // task viewer: retry every failed task
constexpr UINT IDM_CANCEL_TASK = 412;    // cancel the task
constexpr UINT IDM_FAILED_DETAIL = 413;  // details of a failed task
constexpr UINT IDM_DETAIL = 414;         // details of an uploading or waiting task
constexpr UINT IDM_OK = 1001;            // confirm
constexpr UINT IDM_CANCEL = 1002;        // cancel
constexpr UINT IDM_INERT = 1003;         // a key that is hidden or does nothing

// ---- Strings (RT_STRING) ------------------------------------------------------------------

constexpr int RESOURCE_TEXT_CHARS = 100;  // the buffer each start-up text is loaded into

constexpr UINT IDS_APP_TITLE = 1;            // the main window's title
constexpr UINT IDS_APP_CLASS = 2;            // the main window's class, "VANTLO"
constexpr UINT IDS_CANCEL = 102;             // soft key: cancel
constexpr UINT IDS_YES = 103;                // soft key: yes
constexpr UINT IDS_NO = 104;                 // soft key: no
constexpr UINT IDS_MENU = 106;               // soft key: the menu
constexpr UINT IDS_DONE = 107;               // soft key: done
constexpr UINT IDS_ALBUM_TITLE = 110;        // album page title
constexpr UINT IDS_DETAILS = 111;            // menu item: details
constexpr UINT IDS_LOGIN_TITLE_YT = 113;     // login pages' title, YouTube
constexpr UINT IDS_LOGIN_TITLE_FB = 114;     // login pages' title, Facebook
constexpr UINT IDS_BEFORE_LOGIN_YT = 115;    // before-login body, YouTube
constexpr UINT IDS_BEFORE_LOGIN_FB = 116;    // before-login body, Facebook
constexpr UINT IDS_LOGIN_BODY = 117;         // login page body
constexpr UINT IDS_LOGIN_FAILED_BODY = 118;  // login-failed page body
constexpr UINT IDS_SETTING_BUTTON = 121;     // video row button
constexpr UINT IDS_CAPTION_ONE = 123;        // caption label, followed by the row number
constexpr UINT IDS_CAPTION_ALL = 124;        // caption label for every photo
constexpr UINT IDS_SETTING_TITLE = 125;      // setting page title
constexpr UINT IDS_TITLE_LABEL = 126;        // setting: title
constexpr UINT IDS_APPEND_LABEL = 127;       // setting: append the file name
constexpr UINT IDS_DESC_LABEL = 128;         // setting: description
constexpr UINT IDS_CATEGORY_LABEL = 129;     // setting: category
constexpr UINT IDS_TAGS_LABEL = 130;         // setting: tags
constexpr UINT IDS_TAGS_HINT = 131;          // setting: how tags are written
constexpr UINT IDS_PRIVACY_LABEL = 132;      // setting: privacy
constexpr UINT IDS_UPLOAD = 133;             // soft key: upload
constexpr UINT IDS_WAIT = 134;               // soft key that does nothing
constexpr UINT IDS_OK = 135;                 // soft key: OK
constexpr UINT IDS_ALBUM_LABEL = 136;        // album: the combo box's label
constexpr UINT IDS_LIST_HEADER = 138;        // list pages' header text
constexpr UINT IDS_ALBUM_HINT = 139;         // album: how to choose
constexpr UINT IDS_SITE_LABEL = 140;         // detail row: the site
constexpr UINT IDS_STATE_FAILED = 142;       // task state texts
constexpr UINT IDS_STATE_UPLOADING = 143;
constexpr UINT IDS_STATE_WAITING = 144;
constexpr UINT IDS_CAPTION_BUTTON = 302;   // photo row button
constexpr UINT IDS_CLEAR_ALL = 304;        // menu item: clear all
constexpr UINT IDS_COLUMN_STATE = 305;     // task viewer header: state column
constexpr UINT IDS_COLUMN_NAME = 306;      // task viewer header: name column
constexpr UINT IDS_TASK_VIEW_TITLE = 307;  // task viewer header title
constexpr UINT IDS_DEFAULT_ALBUM = 310;    // album: the first choice
constexpr UINT IDS_ERR_UNKNOWN = 321;      // failure reasons shown on the detail page
constexpr UINT IDS_ERR_NETWORK = 322;
constexpr UINT IDS_ERR_SIGN_IN = 323;
constexpr UINT IDS_ERR_FB_REFUSED = 325;
constexpr UINT IDS_ERR_FB_ALBUM = 326;
constexpr UINT IDS_ERR_FB_LIMIT = 327;
constexpr UINT IDS_ERR_YT_REFUSED = 328;
constexpr UINT IDS_ERR_YT_PROCESSING = 329;
constexpr UINT IDS_DETAIL_NAME = 600;  // detail rows' labels
constexpr UINT IDS_DETAIL_SIZE = 601;
constexpr UINT IDS_DETAIL_SUBMITTED = 602;
constexpr UINT IDS_DETAIL_STATE = 603;
constexpr UINT IDS_DETAIL_REASON = 604;
constexpr UINT IDS_DETAIL_PERCENT = 605;  // "%d" format of the upload percentage
constexpr UINT IDS_DETAIL_TITLE = 606;    // detail page header
constexpr UINT IDS_REUPLOAD_ALL = 700;    // menu item: re-upload failed tasks
constexpr UINT IDS_CANCEL_TASK = 701;     // menu item: cancel the upload
constexpr UINT IDS_RETRY = 702;           // menu item: retry
constexpr UINT IDS_ERR_RESTORED = 801;    // failure reasons, continued
constexpr UINT IDS_ERR_FB_SESSION = 802;
constexpr UINT IDS_ERR_YT_DETAILS = 803;
constexpr UINT IDS_ERR_YT_TOO_LONG = 804;
constexpr UINT IDS_ERR_YT_SERVER = 805;
constexpr UINT IDS_ERR_YT_QUOTA = 806;
constexpr UINT IDS_SITE_YOUTUBE = 1000;  // site names on the detail page
constexpr UINT IDS_SITE_FACEBOOK = 1001;
constexpr UINT IDS_STATE_DONE = 1002;  // task state text: done
