#pragma once
// The fill pattern text that marks lost data ("DEADDEAD" by default), as the Invalid Files and
// Repair DB tools read it from their pattern boxes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace brenvik {

// Longest pattern text accepted: 1024 hexadecimal characters, 512 pattern bytes.
inline constexpr size_t kMaxPatternTextLength = 1024;

// One pair of pattern characters as an unsigned base-16 number: leading white space skipped, an
// optional sign, digits up to the first character that is not one (no digits give 0); the low
// 8 bits of the value are the byte. So "DE" is 0xDE, "G1" is 0, "1G" is 1 and "-1" is 0xFF.
uint8_t ConvertHexPair(char16_t first, char16_t second);

// The pattern bytes of a text, two characters per byte; nothing when the text is empty, of odd
// length or longer than kMaxPatternTextLength (the pages then refuse it, each with its own text).
std::optional<std::vector<uint8_t>> ParseFillPattern(std::u16string_view text);

}  // namespace brenvik
