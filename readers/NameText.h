#pragma once
// Text helpers shared by every document reader: the time stamp put into names, the decoders for
// runs of stored characters, and the two cleanings that keep a name usable as a file name.
#include <cstdint>
#include <span>
#include <string>

namespace brenvik {

// A file time (100-ns intervals since 1601-01-01 UTC; negative counts as 0) as
// "YYYY-MM-DD hh-mm-ss" in the machine's local time zone (TZ).
std::u16string TimestampText(int64_t fileTime);
// The same format for a wall-clock reading held as a file time, shown as it reads (no zone).
std::u16string WallClockText(int64_t fileTime);

// 8-bit stored text: keeps the bytes 0x20..0xFF except 0x7F and decodes them as AnsiToText does.
std::u16string Decode8BitRun(std::span<const uint8_t> bytes);
// The same bytes kept, in the code page a file declares for them, or as AnsiToText does when
// the declared one is unknown here (0: none declared).
std::u16string Decode8BitRun(std::span<const uint8_t> bytes, int declaredCodePage);
// 8-bit text that holds the low bytes of UTF-16 units (ISO-8859-1), as Excel's compressed strings
// do: the same bytes kept, each widened, in every locale.
std::u16string DecodeLatin1Run(std::span<const uint8_t> bytes);
// The filtering step of Decode8BitRun alone: appends the kept bytes to `kept`.
void Keep8BitRunBytes(std::span<const uint8_t> bytes, std::string& kept);
// 16-bit little-endian stored text: keeps the units of at least 0x20 except 0x7F. An odd last byte
// is ignored.
std::u16string Decode16BitRun(std::span<const uint8_t> bytes);

// Removes every character that may not or should not stand in a file name: / * ? ？ < > " | \ :
// ： , ， space 。 and line breaks.
void CleanName(std::u16string& text);

// For archive entry names: / * ? < > " | \ : become "#" (so a folder path stays readable);
// ： , ， space 。 and line breaks are removed. The full-width question mark is kept.
void CleanEntryName(std::u16string& text);

// The first `limit` characters of `text` (all of it when shorter; none for a limit below 1). A
// surrogate pair is never split: a cut that would end in the middle of one drops the half.
std::u16string CutToLimit(std::u16string text, int64_t limit);

}  // namespace brenvik
