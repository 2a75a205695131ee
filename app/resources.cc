#include "app/resources.h"

#include "platform/wstr.h"

namespace {

struct StringResource {
    UINT id;       // resource identifier
    LPCWSTR text;  // its text
};

constexpr StringResource kStrings[] = {
    {IDS_APP_TITLE, u"Vantlo"},
    {IDS_APP_CLASS, u"VANTLO"},
};

}  // namespace

int LoadStringW(HINSTANCE, UINT id, LPWSTR buffer, int cap) {
    if (!buffer || cap <= 0) return 0;
    buffer[0] = 0;
    for (const StringResource& s : kStrings) {
        if (s.id == id)
            return static_cast<int>(WStrCopyN(buffer, s.text, static_cast<size_t>(cap)));
    }
    return 0;
}
