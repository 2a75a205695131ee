#include "ui/size_text.h"

#include <cstdint>
#include <string>

namespace {

constexpr uint64_t kKilo = 1024;
constexpr uint64_t kMega = 1048576;
constexpr uint64_t kGiga = 1073741824;

// The whole amount of unit in size, grouped, with its hundredths and the unit's name.
std::string Amount(uint64_t size, uint64_t unit, const char* name) {
    const uint64_t hundredths = size * 100 / unit % 100;  // 64 bits: size * 100 cannot overflow
    std::string text = ToUtf8(FormatNumber(static_cast<DWORD>(size / unit)));
    text += '.';
    text += static_cast<char>('0' + hundredths / 10);
    text += static_cast<char>('0' + hundredths % 10);
    text += ' ';
    text += name;
    return text;
}

}  // namespace

WString FormatNumber(DWORD value) {
    const std::string digits = std::to_string(value);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return FromUtf8(grouped);
}

WString FormatSizeText(DWORD size) {
    std::string text;
    if (size < kKilo) {
        text = ToUtf8(FormatNumber(size)) + " B";
    } else if (size < kMega) {
        text = Amount(size, kKilo, "KB");
    } else if (size < kGiga) {
        text = Amount(size, kMega, "MB");
    } else {
        text = Amount(size, kGiga, "GB");
    }
    for (size_t at; (at = text.find(".00")) != std::string::npos;) text.erase(at, 3);
    return FromUtf8(text);
}
