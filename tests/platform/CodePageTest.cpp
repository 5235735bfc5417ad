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

TEST(CodePage, AnsiTextIsUtf8WhereverItIsWellFormed) {
  const std::string czech = "Zpr\xC3\xA1va o \xC4\x8Dinnosti";
  const std::string chinese = "\xE5\xB9\xB4\xE5\xBA\xA6\xE9\x94\x80\xE5\x94\xAE\xE6\x8A\xA5\xE5\x91\x8A";
  for (int codePage : {1252, 936, 932, 1250}) {
    EXPECT_EQ(AnsiToText(czech, codePage), u"Zpráva o činnosti") << codePage;
    EXPECT_EQ(AnsiToText(chinese, codePage), u"年度销售报告") << codePage;
    EXPECT_EQ(AnsiToText("plain", codePage), u"plain") << codePage;
  }
  // Other bytes stay in the code page: GBK, Windows-1252, and a surrogate or overlong form that
  // only looks like UTF-8.
  EXPECT_EQ(AnsiToText("\xC4\xEA\xB6\xC8\xCF\xFA\xCA\xDB", 936), u"年度销售");
  EXPECT_EQ(AnsiToText("caf\xE9", 1252), u"café");
  EXPECT_EQ(AnsiToText("\xED\xA0\x80", 1252), u"í\u00A0€");
  EXPECT_EQ(AnsiToText("\xC0\xAF", 1252), u"À¯");
  // The head of a longer text: a last character cut short is left out, only at the very end.
  EXPECT_EQ(AnsiHeadToText("\xE5\xB9\xB4\xE5\xBA", 1252), u"年");
  EXPECT_EQ(AnsiHeadToText("\xE5\xB9\xB4\xF0\x9F\x98", 936), u"年");
  EXPECT_EQ(AnsiHeadToText("\xE5\xB9\xB4", 1252), u"年");
  EXPECT_EQ(AnsiHeadToText("\xE5x\xB9", 1252), u"åx¹");
  EXPECT_EQ(AnsiToText("\xE5\xB9\xB4\xE5\xBA", 1252), u"å¹´åº");
}

}  // namespace
}  // namespace brenvik
