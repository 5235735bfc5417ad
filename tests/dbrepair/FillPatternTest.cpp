#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbrepair/FillPattern.h"

using namespace brenvik;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) { return std::vector<uint8_t>(values.begin(), values.end()); }

// A block holding `pattern` cyclically, `size` bytes long.
std::vector<uint8_t> Filled(const std::vector<uint8_t>& pattern, size_t size) {
  std::vector<uint8_t> block(size);
  for (size_t k = 0; k < size; ++k) block[k] = pattern[k % pattern.size()];
  return block;
}

}  // namespace

TEST(FillPattern, ParsesTwoCharactersPerByte) {
  EXPECT_EQ(ParseFillPattern(u"DEADDEAD"), Bytes({0xDE, 0xAD, 0xDE, 0xAD}));
  EXPECT_EQ(ParseFillPattern(u"00ff7A"), Bytes({0x00, 0xFF, 0x7A}));
}

TEST(FillPattern, RefusesEmptyOddAndOverlongTexts) {
  EXPECT_FALSE(ParseFillPattern(u""));
  EXPECT_FALSE(ParseFillPattern(u"DEADDEA"));
  const std::u16string longest(1024, u'A');
  ASSERT_TRUE(ParseFillPattern(longest));
  EXPECT_EQ(ParseFillPattern(longest)->size(), 512u);
  EXPECT_FALSE(ParseFillPattern(std::u16string(1026, u'A')));
}

TEST(FillPattern, ConvertsOddPairsLikeAnUnsignedBase16Conversion) {
  EXPECT_EQ(ConvertHexPair(u'G', u'1'), 0x00);  // no digits
  EXPECT_EQ(ConvertHexPair(u'1', u'G'), 0x01);  // stops at the first non-digit
  EXPECT_EQ(ConvertHexPair(u' ', u'A'), 0x0A);  // leading white space skipped
  EXPECT_EQ(ConvertHexPair(u'+', u'F'), 0x0F);
  EXPECT_EQ(ConvertHexPair(u'-', u'1'), 0xFF);  // negated in unsigned arithmetic
  EXPECT_EQ(ConvertHexPair(u'-', u'A'), 0xF6);
  EXPECT_EQ(ConvertHexPair(u'-', u' '), 0x00);
  EXPECT_EQ(ConvertHexPair(u' ', u' '), 0x00);
  EXPECT_EQ(ConvertHexPair(u'\x4E00', u'1'), 0x00);  // a non-ASCII character is no digit
  EXPECT_EQ(ParseFillPattern(u"zz12"), Bytes({0x00, 0x12}));
}

TEST(BlockTest, ComparesTheWholeBlockForEveryPatternLength) {
  for (size_t patternLength : {1u, 2u, 3u, 4u, 7u, 8u, 100u, 512u}) {
    std::vector<uint8_t> pattern(patternLength);
    for (size_t i = 0; i < patternLength; ++i) pattern[i] = static_cast<uint8_t>(0x40 + i * 7);
    for (size_t blockSize : {size_t{512}, size_t{8192}}) {
      const BlockTest test(pattern, blockSize);
      std::vector<uint8_t> block = Filled(pattern, blockSize);
      EXPECT_TRUE(test.isLost(block.data())) << patternLength << "/" << blockSize;
      // One wrong byte anywhere, the very last one included, makes the block good.
      for (size_t at : {size_t{0}, blockSize / 2 + 1, blockSize - 1}) {
        std::vector<uint8_t> damaged = block;
        damaged[at] ^= 0x01;
        EXPECT_FALSE(test.isLost(damaged.data())) << patternLength << "/" << blockSize << " at " << at;
      }
    }
  }
}

TEST(BlockTest, ThreeBytePatternRunsOnAcrossTheBlockWithoutRestarting) {
  const auto pattern = Bytes({0x11, 0x22, 0x33});
  const BlockTest test(pattern, 512);
  // 512 is not a multiple of 3: the block ends on 0x11 0x22, not on a whole repetition.
  std::vector<uint8_t> block = Filled(pattern, 512);
  EXPECT_EQ(block[510], 0x11);
  EXPECT_EQ(block[511], 0x22);
  EXPECT_TRUE(test.isLost(block.data()));
  // Restarting the pattern at a word boundary is not the same thing.
  std::vector<uint8_t> restarted(512);
  for (size_t k = 0; k < 512; ++k) restarted[k] = pattern[(k % 8) % 3];
  EXPECT_FALSE(test.isLost(restarted.data()));
}

TEST(BlockTest, EmptyPatternMarksNothing) {
  const BlockTest test({}, 512);
  std::vector<uint8_t> zeros(512);
  EXPECT_FALSE(test.isLost(zeros.data()));
}
