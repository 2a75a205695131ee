// The string table: every text the program shows, in English.
#include <array>
#include <string>

#include "res/res_tables.h"
#include "res/resource_ids.h"

namespace {

// One string of the table.
struct StringText {
    UINT id;       // string identifier
    LPCWSTR text;  // its text
};

constexpr StringText kStrings[] = {
    {IDS_APP_TITLE, u"Vantlo"},
    {IDS_APP_CLASS, u"VANTLO"},

    // Soft keys.
    {IDS_CANCEL, u"Cancel"},
    {IDS_YES, u"Yes"},
    {IDS_NO, u"No"},
    {IDS_MENU, kTextMenu},
    {IDS_DONE, kTextDone},
    {IDS_UPLOAD, u"Upload"},
    {IDS_WAIT, u"Wait"},
    {IDS_OK, u"OK"},

    // Login pages.
    {IDS_LOGIN_TITLE_YT, u"Sign in to YouTube"},
    {IDS_LOGIN_TITLE_FB, u"Sign in to Facebook"},
    {IDS_BEFORE_LOGIN_YT,
     u"To upload your videos to YouTube you need to sign in with your YouTube account. "
     u"Select OK to sign in now, or Cancel to stop."},
    {IDS_BEFORE_LOGIN_FB,
     u"To upload your photos to Facebook you need to sign in with your Facebook account. "
     u"Select OK to sign in now, or Cancel to stop."},
    {IDS_LOGIN_BODY, u"Signing in. This can take a moment; please wait."},
    {IDS_LOGIN_FAILED_BODY,
     u"Signing in did not succeed. Check your account details and the data connection. "
     u"Do you want to try again?"},

    // Upload lists and their dialogs.
    {IDS_LIST_HEADER, u"Tap a button to edit the details"},
    {IDS_SETTING_BUTTON, u"Settings"},
    {IDS_CAPTION_BUTTON, u"Caption"},
    {IDS_CAPTION_ONE, u"Caption for Image_"},
    {IDS_CAPTION_ALL, u"Caption for all photos"},
    {IDS_SETTING_TITLE, u"Video settings"},
    {IDS_TITLE_LABEL, u"Title"},
    {IDS_APPEND_LABEL, u"Add the file name to the title"},
    {IDS_DESC_LABEL, u"Description"},
    {IDS_CATEGORY_LABEL, u"Category"},
    {IDS_TAGS_LABEL, u"Tags"},
    {IDS_TAGS_HINT, u"Separate tags with spaces."},
    {IDS_PRIVACY_LABEL, u"Privacy"},
    {IDS_ALBUM_TITLE, u"Choose an album"},
    {IDS_ALBUM_LABEL, u"Album"},
    {IDS_ALBUM_HINT, u"Pick one of your albums or type the name of a new one."},
    {IDS_DEFAULT_ALBUM, u"Photos from my Velmar phone"},

    // Task viewer and task detail page.
    {IDS_TASK_VIEW_TITLE, u"Upload tasks"},
    {IDS_COLUMN_NAME, u"Name"},
    {IDS_COLUMN_STATE, u"State"},
    {IDS_STATE_FAILED, u"Failed"},
    {IDS_STATE_UPLOADING, u"Uploading"},
    {IDS_STATE_WAITING, u"Waiting"},
    {IDS_STATE_DONE, u"Done"},
    {IDS_DETAILS, kTextDetails},
    {IDS_CLEAR_ALL, kTextClearAll},
    {IDS_REUPLOAD_ALL, kTextReuploadAll},
    {IDS_CANCEL_TASK, kTextCancelTask},
    {IDS_RETRY, kTextRetry},
    {IDS_DETAIL_TITLE, u"Task details"},
    {IDS_DETAIL_NAME, u"Name"},
    {IDS_DETAIL_SIZE, u"Size"},
    {IDS_SITE_LABEL, u"Site"},
    {IDS_DETAIL_SUBMITTED, u"Submitted"},
    {IDS_DETAIL_STATE, u"State"},
    {IDS_DETAIL_REASON, u"Reason"},
    {IDS_DETAIL_PERCENT, u"Uploading %d%%"},
    {IDS_SITE_YOUTUBE, u"YouTube"},
    {IDS_SITE_FACEBOOK, u"Facebook"},

    // Why a task failed.
    {IDS_ERR_UNKNOWN, u"The upload did not succeed."},
    {IDS_ERR_NETWORK, u"The site could not be reached. Check the data connection and retry."},
    {IDS_ERR_SIGN_IN, u"The site did not accept the sign-in. Sign in again and retry."},
    {IDS_ERR_FB_REFUSED, u"Facebook did not accept the photo."},
    {IDS_ERR_FB_ALBUM, u"The album cannot take the photo. Choose another album and retry."},
    {IDS_ERR_FB_LIMIT, u"Facebook takes no more photos for now. Retry later."},
    {IDS_ERR_YT_REFUSED, u"YouTube did not accept the video."},
    {IDS_ERR_YT_PROCESSING, u"YouTube could not process the video."},
    {IDS_ERR_RESTORED, u"The upload stopped when the program closed. Retry to upload it."},
    {IDS_ERR_FB_SESSION, u"The Facebook session has ended. Sign in again and retry."},
    {IDS_ERR_YT_DETAILS, u"YouTube did not accept the title, description or tags."},
    {IDS_ERR_YT_TOO_LONG, u"The video is too long for YouTube."},
    {IDS_ERR_YT_SERVER, u"YouTube is not available. Retry later."},
    {IDS_ERR_YT_QUOTA, u"YouTube takes no more videos for now. Retry later."},
};

constexpr size_t kStringCount = sizeof kStrings / sizeof kStrings[0];

}  // namespace

std::span<const ResourceEntry> StringResources() {
    static const std::array<ResourceEntry, kStringCount> entries = [] {
        std::array<ResourceEntry, kStringCount> e{};
        for (size_t i = 0; i < kStringCount; ++i) {
            const size_t chars = std::char_traits<WCHAR>::length(kStrings[i].text);
            e[i] = {RT_STRING, kStrings[i].id, kStrings[i].text,
                    static_cast<DWORD>(chars * sizeof(WCHAR))};
        }
        return e;
    }();
    return entries;
}
