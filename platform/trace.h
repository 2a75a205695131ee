// The debug output. Every line is "[Orbel] [<ms tick>] " + message + "\n". Lines reach
// stderr through one writer per process, a few milliseconds later, in gathered writes (at the
// latest when the process exits normally). When VANTLO_TRACE_FILE names a file, every line
// is written at once instead, to stderr and appended to the file, each in a single write.
//
// Formats are printf-style and narrow. A wide string argument (LPCWSTR, WCHAR*, WString)
// is passed as it is and matched by %s: Trace converts it to UTF-8 for the duration of
// the call. A null wide pointer prints as "(null)".
#pragma once

#include <string>
#include <type_traits>

#include "platform/wstr.h"

namespace trace_detail {
void Emit(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void EmitV(const char* fmt, ...);

template <class T>
decltype(auto) Convert(const T& v) {
    if constexpr (std::is_same_v<T, WString>) {
        return ToUtf8(v);
    } else if constexpr (std::is_convertible_v<T, LPCWSTR> && !std::is_null_pointer_v<T>) {
        LPCWSTR p = v;
        return p ? ToUtf8(p) : std::string("(null)");
    } else if constexpr (std::is_same_v<T, std::string>) {
        return (v);
    } else {
        return v;
    }
}
template <class T>
auto Unwrap(const T& v) {
    if constexpr (std::is_same_v<T, std::string>) {
        return v.c_str();
    } else {
        return v;
    }
}
}  // namespace trace_detail

template <class... A>
void Trace(const char* fmt, const A&... args) {
    trace_detail::EmitV(fmt, trace_detail::Unwrap(trace_detail::Convert(args))...);
}
inline void Trace(const char* msg) {
    trace_detail::Emit("%s", msg);
}

// The millisecond tick used in the prefix (GetTickCount).
DWORD GetTickCount();
