#include <gtest/gtest.h>

#include "platform/CodePage.h"

namespace brenvik {
namespace {

TEST(CodePage, LocaleNamesMapLikeTheSystemLocale) {
  EXPECT_EQ(CodePageForLocale("zh_CN.UTF-8"), 936);
  EXPECT_EQ(CodePageForLocale("zh_SG.GB18030"), 936);
  EXPECT_EQ(CodePageForLocale("zh_TW.UTF-8"), 950);
  EXPECT_EQ(CodePageForLocale("zh_HK"), 950);
  EXPECT_EQ(CodePageForLocale("ja_JP.UTF-8"), 932);
  EXPECT_EQ(CodePageForLocale("ko_KR.EUC-KR"), 949);
  EXPECT_EQ(CodePageForLocale("ru_RU.UTF-8"), 1251);
  EXPECT_EQ(CodePageForLocale("el_GR"), 1253);
  EXPECT_EQ(CodePageForLocale("tr_TR"), 1254);
  EXPECT_EQ(CodePageForLocale("he_IL"), 1255);
  EXPECT_EQ(CodePageForLocale("ar_EG"), 1256);
  EXPECT_EQ(CodePageForLocale("lt_LT"), 1257);
  EXPECT_EQ(CodePageForLocale("vi_VN"), 1258);
  EXPECT_EQ(CodePageForLocale("th_TH"), 874);
  EXPECT_EQ(CodePageForLocale("pl_PL.UTF-8"), 1250);
  EXPECT_EQ(CodePageForLocale("de_DE.UTF-8@euro"), 1252);
  EXPECT_EQ(CodePageForLocale("C"), 1252);
  EXPECT_EQ(CodePageForLocale("POSIX"), 1252);
  EXPECT_EQ(CodePageForLocale("en_US.UTF-8"), 1252);
  EXPECT_EQ(CodePageForLocale("arn_CL"), 1252);  // a language that merely starts with "ar"
}

TEST(CodePage, Cp936ConvertsBothWays) {
  const std::string gbk("\xD6\xD0\xCE\xC4\xCE\xC4\xBC\xFE", 8);  // 中文文件
  EXPECT_EQ(CodePageToText(gbk, 936), u"中文文件");
  EXPECT_EQ(TextToCodePage(u"中文文件", 936), gbk);
  EXPECT_EQ(CodePageToText("abc", 936), u"abc");
}

TEST(CodePage, Cp1252ConvertsBothWays) {
  EXPECT_EQ(CodePageToText("\x80 caf\xE9", 1252), u"€ café");
  EXPECT_EQ(TextToCodePage(u"€ café", 1252), "\x80 caf\xE9");
}

TEST(CodePage, UnconvertibleInputIsReplacedNotDropped) {
  EXPECT_EQ(CodePageToText("a\x81z", 1252), u"a\uFFFDz");  // 0x81 is unassigned in CP1252
  EXPECT_EQ(TextToCodePage(u"a中z", 1252), "a?z");
  EXPECT_EQ(CodePageToText("\xD6", 936), u"\uFFFD");  // a lead byte cut off at the end
}

}  // namespace
}  // namespace brenvik
