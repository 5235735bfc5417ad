// Fuzzes the fill-pattern parser and the block test against plain reference versions of both.
//
// Input: byte 0 picks the block size (bit 0) and whether the block starts as the pattern
// (bit 1, so that lost blocks are met often); bytes 1-2 give the pattern text length in
// UTF-16 units; then the text; the rest are block bytes or, for a block that starts as the
// pattern, (offset, value) changes to it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dbrepair/FillPattern.h"

using namespace brenvik;

namespace {

// The conversion the parser must match: the C library's unsigned base-16 conversion.
uint8_t ReferencePair(char16_t a, char16_t b) {
  if (a > 0x7F || b > 0x7F) return 0xFF;  // not comparable; skipped by the caller
  const char text[3] = {static_cast<char>(a), static_cast<char>(b), 0};
  return static_cast<uint8_t>(std::strtoul(text, nullptr, 16) & 0xFF);
}

bool ReferenceIsLost(const std::vector<uint8_t>& pattern, const uint8_t* block, size_t size) {
  if (pattern.empty()) return false;
  for (size_t k = 0; k < size; ++k)
    if (block[k] != pattern[k % pattern.size()]) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t blockSize = (data[0] & 1) ? 8192 : 512;
  const bool startAsPattern = (data[0] & 2) != 0;
  size_t textLength = (static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8) % 1100;
  data += 3;
  size -= 3;
  textLength = std::min(textLength, size / 2);
  std::u16string text(textLength, u'\0');
  for (size_t i = 0; i < textLength; ++i) text[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  data += 2 * textLength;
  size -= 2 * textLength;

  const auto pattern = ParseFillPattern(text);
  const bool acceptable = textLength > 0 && textLength % 2 == 0 && textLength <= kMaxPatternTextLength;
  if (pattern.has_value() != acceptable) std::abort();
  if (!pattern) return 0;
  if (pattern->size() != textLength / 2) std::abort();
  for (size_t i = 0; i < textLength; i += 2) {
    const char16_t a = text[i], b = text[i + 1];
    // The C library may read past a sign or "0x" for a third character; two are all there is.
    if (a <= 0x7F && b <= 0x7F && a != 0 && (*pattern)[i / 2] != ReferencePair(a, b)) std::abort();
  }

  std::vector<uint8_t> block(blockSize);
  if (startAsPattern) {
    for (size_t k = 0; k < blockSize; ++k) block[k] = (*pattern)[k % pattern->size()];
    for (size_t i = 0; i + 2 < size; i += 3)
      block[(data[i] | data[i + 1] << 8) % blockSize] = data[i + 2];
  } else {
    for (size_t k = 0; k < blockSize && k < size; ++k) block[k] = data[k];
  }
  const BlockTest test(*pattern, blockSize);
  if (test.isLost(block.data()) != ReferenceIsLost(*pattern, block.data(), blockSize)) std::abort();
  return 0;
}
