#pragma once
// The system "ANSI" code page, derived from the locale the way Windows derives it from the
// system locale, and conversions between it and UTF-16 through iconv.
#include <optional>
#include <string>
#include <string_view>

namespace brenvik {

// Code page for a locale name such as "zh_CN.UTF-8" (the language and territory part decide).
int CodePageForLocale(std::string_view localeName);

// The code page chosen once from LC_ALL, LC_CTYPE and LANG (first one set wins).
int AnsiCodePage();

// 8-bit text in the given code page to UTF-16. Undecodable bytes become U+FFFD.
std::u16string CodePageToText(std::string_view bytes, int codePage);
// 8-bit text a file declares to be in `codePage`, a Windows code page number as files store it
// (1252, 936, 10000 for Mac Roman ...). Undecodable bytes become U+FFFD. Nothing when this system
// has no converter for that code page, or it is not an 8-bit one (1200, UTF-16).
std::optional<std::u16string> DeclaredCodePageToText(std::string_view bytes, int codePage);
// UTF-16 to the given code page. Characters the code page lacks become '?'.
std::string TextToCodePage(std::u16string_view text, int codePage);

// Text that a file or archive stores without naming its encoding ("ANSI" text: text files without
// a byte-order mark, zip names without the UTF-8 flag, RAR names, 8-bit document text). Text on
// this system is UTF-8, so bytes that are well-formed UTF-8 are read as UTF-8 in every locale; only
// other bytes are taken in the code page.
std::u16string AnsiToText(std::string_view bytes, int codePage);
inline std::u16string AnsiToText(std::string_view bytes) { return AnsiToText(bytes, AnsiCodePage()); }
// The same for the first bytes of a longer text, as a read of a fixed size returns them: a last
// character cut short neither counts against UTF-8 nor reaches the text.
std::u16string AnsiHeadToText(std::string_view head, int codePage);
inline std::u16string AnsiHeadToText(std::string_view head) { return AnsiHeadToText(head, AnsiCodePage()); }
inline std::string TextToAnsi(std::u16string_view text) { return TextToCodePage(text, AnsiCodePage()); }

}  // namespace brenvik
