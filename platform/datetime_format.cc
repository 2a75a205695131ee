// Date and time pictures in English (United States).
#include "platform/datetime_format.h"

#include <cctype>
#include <string>

#include "platform/time.h"
#include "platform/trace.h"
#include "platform/wstr.h"

namespace {

const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                             "Thursday", "Friday", "Saturday"};
const char* const kMonths[] = {"January",   "February", "March",    "April",
                               "May",       "June",     "July",     "August",
                               "September", "October",  "November", "December"};

bool Leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool ValidDate(const SYSTEMTIME& st) {
    static const int kLengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1) {
        return false;
    }
    int length = kLengths[st.wMonth - 1] + (st.wMonth == 2 && Leap(st.wYear) ? 1 : 0);
    return st.wDay <= length;
}

bool ValidTime(const SYSTEMTIME& st) {
    return st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000;
}

// 0 = Sunday, from the date itself (the record's wDayOfWeek is not trusted).
int DayOfWeek(const SYSTEMTIME& st) {
    static const int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    int y = st.wYear - (st.wMonth < 3 ? 1 : 0);
    return (y + y / 4 - y / 100 + y / 400 + kOffsets[st.wMonth - 1] + st.wDay) % 7;
}

void Number(std::string* out, int v, int width) {
    std::string digits = std::to_string(v);
    if (static_cast<int>(digits.size()) < width) out->append(width - digits.size(), '0');
    *out += digits;
}

// Removes the separator written before a field that is left out.
void DropSeparator(std::string* out) {
    while (!out->empty() && !isalnum(static_cast<unsigned char>(out->back()))) out->pop_back();
}

// Expands a picture; letters in fields are the ones that belong to it, every other
// character and 'quoted text' ('' is one quote) is copied.
std::string Expand(WStringView picture, const SYSTEMTIME& st, bool date, DWORD flags) {
    std::string out;
    for (size_t i = 0; i < picture.size();) {
        char16_t c = picture[i];
        size_t run = 1;
        while (i + run < picture.size() && picture[i + run] == c) ++run;
        if (c == u'\'') {
            size_t j = i + 1;
            WString literal;
            while (j < picture.size()) {
                if (picture[j] == u'\'') {
                    if (j + 1 < picture.size() && picture[j + 1] == u'\'') {
                        literal.push_back(u'\'');
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                literal.push_back(picture[j++]);
            }
            if (j == i + 2 && picture[i + 1] == u'\'') literal.assign(1, u'\'');  // '' alone
            out += ToUtf8(literal);
            i = j;
            continue;
        }
        bool twelve = !(flags & TIME_FORCE24HOURFORMAT);
        int hour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
        if (date && c == u'd') {
            if (run == 1 || run == 2) Number(&out, st.wDay, static_cast<int>(run));
            if (run == 3) out += std::string(kDays[DayOfWeek(st)]).substr(0, 3);
            if (run >= 4) out += kDays[DayOfWeek(st)];
        } else if (date && c == u'M') {
            if (run == 1 || run == 2) Number(&out, st.wMonth, static_cast<int>(run));
            if (run == 3) out += std::string(kMonths[st.wMonth - 1]).substr(0, 3);
            if (run >= 4) out += kMonths[st.wMonth - 1];
        } else if (date && c == u'y') {
            if (run <= 2) Number(&out, st.wYear % 100, static_cast<int>(run));
            if (run >= 3) Number(&out, st.wYear, 4);
        } else if (date && c == u'g') {
            out += "A.D.";
        } else if (!date && (c == u'h' || c == u'H')) {
            int hour = (c == u'h' && twelve) ? hour12 : st.wHour;
            Number(&out, hour, run >= 2 ? 2 : 1);
        } else if (!date && (c == u'm' || c == u's')) {
            bool left =
                (flags & TIME_NOMINUTESORSECONDS) || (c == u's' && (flags & TIME_NOSECONDS));
            if (left) {
                DropSeparator(&out);
            } else {
                Number(&out, c == u'm' ? st.wMinute : st.wSecond, run >= 2 ? 2 : 1);
            }
        } else if (!date && c == u't') {
            if (flags & TIME_NOTIMEMARKER) {
                DropSeparator(&out);
            } else {
                const char* marker = st.wHour < 12 ? "AM" : "PM";
                out += run == 1 ? std::string(marker, 1) : std::string(marker);
            }
        } else {
            out += ToUtf8(picture.substr(i, run));
        }
        i += run;
    }
    return out;
}

// Copies text with its NUL into out as the Get*FormatW functions do.
int Deliver(const char* caller, const std::string& utf8, LPWSTR out, int cch) {
    WString text = FromUtf8(utf8);
    int need = static_cast<int>(text.size()) + 1;
    if (cch == 0) return need;
    if (cch < need) {
        Trace("%s: buffer of %d characters too small for %d", caller, cch, need);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    text.copy(out, text.size());
    out[text.size()] = 0;
    return need;
}

bool Arguments(const char* caller, LPWSTR out, int cch) {
    if (cch < 0 || (cch > 0 && !out)) {
        Trace("%s: bad buffer (%d characters)", caller, cch);
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

int GetDateFormatW(LCID, DWORD flags, const SYSTEMTIME* date, LPCWSTR format, LPWSTR out, int cch) {
    if (!Arguments("GetDateFormatW", out, cch)) return 0;
    if ((format && (flags & (DATE_SHORTDATE | DATE_LONGDATE))) ||
        (flags & DATE_SHORTDATE && flags & DATE_LONGDATE)) {
        Trace("GetDateFormatW: flags 0x%x do not go with %s", static_cast<unsigned>(flags),
              format ? "a picture" : "each other");
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    SYSTEMTIME st{};
    if (date) {
        st = *date;
    } else {
        GetLocalTime(&st);
    }
    if (!ValidDate(st)) {
        Trace("GetDateFormatW: invalid date %u-%u-%u", st.wYear, st.wMonth, st.wDay);
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WStringView picture = format                    ? WStringView(format)
                          : (flags & DATE_LONGDATE) ? WStringView(u"dddd, MMMM d, yyyy")
                                                    : WStringView(u"M/d/yyyy");
    return Deliver("GetDateFormatW", Expand(picture, st, true, flags), out, cch);
}

int GetTimeFormatW(LCID, DWORD flags, const SYSTEMTIME* time, LPCWSTR format, LPWSTR out, int cch) {
    if (!Arguments("GetTimeFormatW", out, cch)) return 0;
    SYSTEMTIME st{};
    if (time) {
        st = *time;
    } else {
        GetLocalTime(&st);
    }
    if (!ValidTime(st)) {
        Trace("GetTimeFormatW: invalid time %u:%u:%u", st.wHour, st.wMinute, st.wSecond);
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WStringView picture = format ? WStringView(format) : WStringView(u"h:mm:ss tt");
    return Deliver("GetTimeFormatW", Expand(picture, st, false, flags), out, cch);
}
