#include "core/FillPatternText.h"

namespace brenvik {
namespace {

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

int HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

uint8_t ConvertHexPair(char16_t first, char16_t second) {
  const char16_t pair[2] = {first, second};
  size_t i = 0;
  while (i < 2 && IsSpace(pair[i])) ++i;
  bool negative = false;
  if (i < 2 && (pair[i] == u'+' || pair[i] == u'-')) {
    negative = pair[i] == u'-';
    ++i;
  }
  unsigned value = 0;
  for (; i < 2; ++i) {
    const int digit = HexDigitValue(pair[i]);
    if (digit < 0) break;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  // An unsigned conversion negates in modular arithmetic, so "-1" keeps all bits set.
  if (negative) value = 0u - value;
  return static_cast<uint8_t>(value & 0xFF);
}

std::optional<std::vector<uint8_t>> ParseFillPattern(std::u16string_view text) {
  const size_t n = text.size();
  if (n == 0 || n % 2 != 0 || n > kMaxPatternTextLength) return std::nullopt;
  std::vector<uint8_t> bytes(n / 2);
  for (size_t i = 0; i < n; i += 2) bytes[i / 2] = ConvertHexPair(text[i], text[i + 1]);
  return bytes;
}

}  // namespace brenvik
