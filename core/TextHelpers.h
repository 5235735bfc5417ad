#pragma once
// Small text and path helpers shared by the tool pages and their engines.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace brenvik {

// Byte count as text with units from "Bytes" to "EB" by powers of 1024, one decimal:
// 512 -> "512.0 Bytes", 1536 -> "1.5 KB"; zero and negative counts -> "0 Bytes".
std::u16string FormatSizeText(int64_t bytes);

// The local time now as "%Y-%m-%d %H-%M-%S"; empty when the conversion fails.
std::u16string MakeTimeStampName();
// The same format for a given time (seconds since the epoch), in local time.
std::u16string FormatTimeStamp(int64_t secondsSinceEpoch);

// Folder and name joined with exactly one "/" between them.
std::filesystem::path JoinPath(const std::filesystem::path& folder, const std::filesystem::path& name);

// A folder path from a folder chooser: one trailing "/" removed, except from the root "/".
std::u16string StripTrailingSeparator(std::u16string path);

// The leading decimal integer of a text as a C conversion reads it from an edit box: blanks and
// one sign first, then digits up to the first other character (none gives 0). Values beyond the
// signed 64-bit range saturate instead of wrapping.
int64_t ParseLeadingInteger(std::u16string_view text);

// An ASCII text widened to UTF-16.
std::u16string Utf16(std::string_view ascii);

}  // namespace brenvik
