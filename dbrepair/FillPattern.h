#pragma once
// The fill pattern that marks lost data in a damaged database file, and the test that tells a
// lost block from a good one.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
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
// length or longer than kMaxPatternTextLength (the page then refuses it).
std::optional<std::vector<uint8_t>> ParseFillPattern(std::u16string_view text);

// Decides whether a block is lost: every byte at position k equals pattern byte k modulo the
// pattern length, over the whole block whatever the pattern length. The pattern is laid out
// once over a full block, so each test is one memcmp: whole words at a time, with the exact
// cyclic meaning even for a pattern that does not divide the block size.
class BlockTest {
 public:
  // An empty pattern marks nothing as lost.
  BlockTest(std::span<const uint8_t> pattern, size_t blockSize);

  size_t blockSize() const { return expected_.size(); }
  // `block` must hold blockSize() bytes.
  bool isLost(const uint8_t* block) const;

 private:
  std::vector<uint8_t> expected_;  // the pattern repeated over one block
  bool enabled_;
};

}  // namespace brenvik
