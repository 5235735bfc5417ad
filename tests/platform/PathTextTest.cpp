#include <gtest/gtest.h>

#include <algorithm>

#include "platform/PathText.h"

namespace brenvik {
namespace {

TEST(PathText, ValidUtf8DecodesToItsCharacters) {
  EXPECT_EQ(BytesToText("abc"), u"abc");
  EXPECT_EQ(BytesToText("\xE4\xB8\xAD\xE6\x96\x87.doc"), u"中文.doc");
  EXPECT_EQ(BytesToText("\xF0\x9F\x98\x80"), u"\U0001F600");
}

TEST(PathText, InvalidBytesRoundTripExactly) {
  const std::string names[] = {
      std::string("caf\xE9.txt"),                 // Latin-1 e-acute
      std::string("\xD6\xD0\xCE\xC4.doc"),        // GBK bytes
      std::string("\xC0\xAF"),                    // overlong slash
      std::string("\xED\xA0\x80"),                // encoded surrogate
      std::string("\xE4\xB8"),                    // truncated sequence
      std::string("a\x80\xFF" "b", 4),
  };
  for (const std::string& name : names) {
    const std::u16string text = BytesToText(name);
    EXPECT_EQ(TextToBytes(text), name);
    // Bytes that are not UTF-8 travel as lone surrogates.
    EXPECT_TRUE(std::any_of(text.begin(), text.end(), [](char16_t u) { return u >= 0xDC80 && u <= 0xDCFF; })) << name;
  }
  EXPECT_EQ(BytesToText(std::string("caf\xE9")), std::u16string(u"caf") + char16_t(0xDCE9));
}

TEST(PathText, PathsRoundTripThroughText) {
  const std::filesystem::path path(std::string("/tmp/x/\xFF\xFEname"));
  EXPECT_EQ(TextToPath(PathToText(path)), path);
}

}  // namespace
}  // namespace brenvik
