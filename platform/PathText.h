#pragma once
// Lossless conversion between file-system paths (bytes) and the UTF-16 texts the tools work in.
// Valid UTF-8 decodes normally; every byte of an invalid sequence becomes the lone surrogate
// U+DC80 + byte, so converting back restores the exact bytes of any name.
#include <filesystem>
#include <string>
#include <string_view>

namespace brenvik {

std::u16string BytesToText(std::string_view bytes);
std::string TextToBytes(std::u16string_view text);
// True when every byte is below 0x80 (such a name's text is its bytes widened).
bool IsAscii(std::string_view bytes);
// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t codePoint);
// The number of leading bytes that form well-formed UTF-8 (shortest forms, no surrogates).
size_t WellFormedUtf8Length(std::string_view bytes);
// `bytes` without a last character that was cut short (a lead byte followed only by fewer
// continuation bytes than it announces), as the end of a fixed-size read of a longer text leaves.
std::string_view WithoutCutUtf8End(std::string_view bytes);

inline std::u16string PathToText(const std::filesystem::path& path) { return BytesToText(path.native()); }
inline std::filesystem::path TextToPath(std::u16string_view text) { return std::filesystem::path(TextToBytes(text)); }

// Text that declares itself UTF-8 (after a byte-order mark), as a UTF-8 decoder shows it: each
// ill-formed sequence (its longest start that could have begun a character, or one byte) becomes
// one U+FFFD. For text that goes into names, which must not carry undecodable bytes.
std::u16string Utf8ToTextReplacing(std::string_view utf8);

// Plain UTF-8 <-> UTF-16 for texts that are not paths (invalid input is decoded losslessly too).
inline std::u16string Utf8ToText(std::string_view utf8) { return BytesToText(utf8); }
inline std::string TextToUtf8(std::u16string_view text) { return TextToBytes(text); }

}  // namespace brenvik
