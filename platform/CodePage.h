#pragma once
// The system "ANSI" code page, derived from the locale the way Windows derives it from the
// system locale, and conversions between it and UTF-16 through iconv.
#include <string>
#include <string_view>

namespace brenvik {

// Code page for a locale name such as "zh_CN.UTF-8" (the language and territory part decide).
int CodePageForLocale(std::string_view localeName);

// The code page chosen once from LC_ALL, LC_CTYPE and LANG (first one set wins).
int AnsiCodePage();

// 8-bit text in the given code page to UTF-16. Undecodable bytes become U+FFFD.
std::u16string CodePageToText(std::string_view bytes, int codePage);
// UTF-16 to the given code page. Characters the code page lacks become '?'.
std::string TextToCodePage(std::u16string_view text, int codePage);

inline std::u16string AnsiToText(std::string_view bytes) { return CodePageToText(bytes, AnsiCodePage()); }
inline std::string TextToAnsi(std::u16string_view text) { return TextToCodePage(text, AnsiCodePage()); }

}  // namespace brenvik
