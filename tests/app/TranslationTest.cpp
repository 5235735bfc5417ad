// Texts in the user's language: which catalogue a locale gets, what the shipped catalogues make
// of the texts the tools build, and that a damaged catalogue is refused without harm.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "core/Translation.h"
#include "platform/PathText.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

EnvironmentLookup Environment(std::map<std::string, std::string> variables) {
  return [variables = std::move(variables)](std::string_view name) -> std::optional<std::string> {
    const auto found = variables.find(std::string(name));
    if (found == variables.end()) return std::nullopt;
    return found->second;
  };
}

const std::filesystem::path kBuiltCatalogues = BRENVIK_TEST_LOCALEDIR;

class TranslationTest : public ::testing::Test {
 protected:
  void TearDown() override { UnloadCatalogue(); }
  static void Load(const std::string& name) {
    ASSERT_TRUE(LoadCatalogueFile(kBuiltCatalogues / name / "LC_MESSAGES" / "brenvik.mo")) << name;
  }
};

TEST_F(TranslationTest, LocaleNamesTheCatalogueTheWayGettextDoes) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(CatalogueNamesForLocale(Environment({{"LANG", "en_US.UTF-8"}})), (Names{"en_US", "en"}));
  EXPECT_EQ(CatalogueNamesForLocale(Environment({{"LANG", "zh_SG.UTF-8"}})), (Names{"zh_SG", "zh", "zh_CN"}));
  EXPECT_EQ(CatalogueNamesForLocale(Environment({{"LANG", "zh_TW.Big5@stroke"}})), (Names{"zh_TW", "zh", "zh_CN"}));
  // LC_ALL before LC_MESSAGES before LANG; an empty one counts as unset.
  EXPECT_EQ(CatalogueNamesForLocale(Environment({{"LC_ALL", ""}, {"LC_MESSAGES", "zh_CN.UTF-8"}, {"LANG", "en_GB"}})),
            (Names{"zh_CN", "zh"}));
  EXPECT_EQ(CatalogueNamesForLocale(Environment({{"LC_ALL", "en_GB"}, {"LANG", "zh_CN.UTF-8"}})), (Names{"en_GB", "en"}));
  // LANGUAGE is a list tried first, but a C locale means the source texts whatever it says.
  EXPECT_EQ(CatalogueNamesForLocale(Environment({{"LANGUAGE", "de:zh_CN"}, {"LANG", "de_DE.UTF-8"}})),
            (Names{"de", "zh_CN", "zh", "de_DE"}));
  for (const char* source : {"C", "C.UTF-8", "POSIX", ""})
    EXPECT_TRUE(CatalogueNamesForLocale(Environment({{"LANGUAGE", "zh_CN"}, {"LANG", source}})).empty()) << source;
  EXPECT_TRUE(CatalogueNamesForLocale(Environment({})).empty());
}

TEST_F(TranslationTest, ProgramFindsTheFirstCatalogueItHasAndOtherwiseKeepsTheSourceTexts) {
  const std::vector<std::filesystem::path> folders = {"/nonexistent", kBuiltCatalogues};
  EXPECT_EQ(LoadCatalogueForLocale(folders, Environment({{"LANGUAGE", "fr:en"}, {"LANG", "fr_FR.UTF-8"}})), "en");
  EXPECT_EQ(CatalogueName(), "en");
  EXPECT_EQ(Translate(u"镜像完成"), u"Imaging completed");
  EXPECT_EQ(LoadCatalogueForLocale(folders, Environment({{"LANG", "zh_HK.UTF-8"}})), "zh_CN");
  EXPECT_EQ(Translate(u"Stop"), u"停止");
  EXPECT_EQ(LoadCatalogueForLocale(folders, Environment({{"LANG", "de_DE.UTF-8"}})), "");
  EXPECT_EQ(Translate(u"镜像完成"), u"镜像完成");
  EXPECT_EQ(Translate(u"Stop"), u"Stop");
}

TEST_F(TranslationTest, EnglishCatalogueTranslatesTheTextsTheImagingJobBuilds) {
  Load("en");
  EXPECT_EQ(Translate(u"读取位置2129920错误"), u"Read error at position 2129920");
  // A pattern whose parts are texts of their own: the time inside is translated in turn.
  EXPECT_EQ(Translate(u"重试用时1时2分3秒，恢复5个扇区，仍有0个坏扇区"),
            u"Retrying took 1 h 2 min 3 s, recovered 5 sectors, 0 bad sectors remain");
  EXPECT_EQ(Translate(u"59秒"), u"59 s");
  EXPECT_EQ(Translate(u"无权读写磁盘 /dev/sda、/dev/sdb：将用户加入 disk 组后重新登录，或通过 pkexec 启动本程序 (brenvik --admin)"),
            u"No permission to read and write disk /dev/sda, /dev/sdb: add the user to the disk group and log in again, "
            u"or start this program through pkexec (brenvik --admin)");
  // English texts have no entry here and stay as they are.
  EXPECT_EQ(Translate(u"Detect extension completed"), u"Detect extension completed");
}

TEST_F(TranslationTest, ChineseCataloguePatternsKeepNamesAndLinesExactly) {
  Load("zh_CN");
  EXPECT_EQ(Translate(u"Numbers: 12 / 340"), u"数量：12 / 340");
  EXPECT_EQ(Translate(u"Size: 1.5 MB / 20.0 GB Numbers: 3 / 9"), u"大小：1.5 MB / 20.0 GB 数量：3 / 9");
  // A name that is not UTF-8 (kept as lone surrogates) and one that looks like a text of the
  // catalogue pass through a pattern untouched, byte for byte.
  const std::u16string odd = BytesToText("/r/\xB2\xE2.doc");
  EXPECT_EQ(TextToBytes(Translate(u"There is no job to undo below " + odd + u".")),
            TextToBytes(u"" + odd + u" 下没有可撤销的任务。"));
  EXPECT_EQ(Translate(u"Undo of /r/Stop"), u"撤销 /r/Stop");
  // Several lines: each one on its own; line ends after the text stay.
  EXPECT_EQ(Translate(u"Undo of a.tsv\nRestored: 3 / 4\nNot restored:\nx (now y): the file is no longer at its new name\n"),
            u"撤销 a.tsv\n已恢复：3 / 4\n未恢复：\nx（现为 y）：文件已不在新名称处\n");
  // The most specific pattern wins.
  EXPECT_EQ(Translate(u"Geometry: RAID 5 left-symmetric, stripe 64 KiB (128 sectors), member order 2, 1, 3, start sector 63"),
            u"阵列结构：RAID 5 左对称，条带 64 KiB（128 个扇区），成员顺序 2, 1, 3，起始扇区 63");
  EXPECT_EQ(Translate(u"Geometry: JBOD (spanned), member order 2, 1, start sector 2048"),
            u"阵列结构：JBOD（跨区），成员顺序 2, 1，起始扇区 2048");
  EXPECT_EQ(Translate(u"Stop"), u"停止");
  EXPECT_EQ(Translate(u"镜像完成"), u"镜像完成");
  EXPECT_EQ(Translate(u""), u"");
}

// A damage reason is built from its file type and pieces; each is translated as a whole, the
// type and the names and numbers inside kept as they are (a stream name may hold spaces).
TEST_F(TranslationTest, ChineseCatalogueTranslatesDamageReasonsAsWholeTexts) {
  Load("zh_CN");
  const std::pair<std::u16string_view, std::u16string_view> reasons[] = {
      {u"jpeg: data ends before the end marker", u"jpeg：数据在结束标记之前结束"},
      {u"10 bytes after the end", u"结尾之后还有 10 字节"},
      {u"compound file: chain of stream PowerPoint Document runs in a circle",
       u"复合文件：流 PowerPoint Document 的扇区链形成循环"},
      {u"compound file: directory chain leaves the FAT", u"复合文件：目录的扇区链超出 FAT"},
      {u"compound file: workbook records damaged at byte 512", u"复合文件：工作簿的记录在字节 512 处损坏"},
      {u"png: IDAT: CRC error", u"png：IDAT 块 CRC 校验错误"},
      {u"gzip: CRC error", u"gzip：CRC 校验错误"},
      {u"zip: entry word/a b.xml CRC error", u"zip：条目 word/a b.xml CRC 校验错误"},
      {u"rar: stored entry 3 CRC error", u"rar：存储的条目 3 CRC 校验错误"},
      {u"rar: header at byte 20 damaged", u"rar：字节 20 处的头已损坏"},
      {u"rar: archive header damaged", u"rar：压缩包头已损坏"},
      {u"pdf: no %%EOF after startxref", u"pdf：startxref 之后没有 %%EOF"},
      {u"jpeg: Corrupt JPEG data: 3 extraneous bytes before marker 0xd9", u"jpeg：JPEG 数据损坏：标记 0xd9 之前有 3 个多余字节"},
  };
  for (const auto& [reason, chinese] : reasons) EXPECT_EQ(Translate(reason), chinese) << TextToUtf8(reason);
}

TEST_F(TranslationTest, DamagedCatalogueIsRefusedAndLeavesTheSourceTexts) {
  std::ifstream in(kBuiltCatalogues / "en" / "LC_MESSAGES" / "brenvik.mo", std::ios::binary);
  const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(good.size(), 28u);
  ASSERT_TRUE(LoadCatalogueBytes(good));
  std::vector<std::string> damaged = {good.substr(0, 27), good.substr(0, good.size() / 2), "not a catalogue at all....."};
  std::string hugeCount = good;
  hugeCount[8] = hugeCount[9] = hugeCount[10] = hugeCount[11] = '\xFF';
  damaged.push_back(hugeCount);
  std::string offsetOutside = good;
  const uint32_t originals = static_cast<uint8_t>(good[12]) | static_cast<uint8_t>(good[13]) << 8;
  offsetOutside[originals + 12] = offsetOutside[originals + 13] = offsetOutside[originals + 14] = '\x7F';
  damaged.push_back(offsetOutside);
  for (const std::string& bytes : damaged) {
    EXPECT_FALSE(LoadCatalogueBytes(bytes));
    EXPECT_EQ(Translate(u"镜像完成"), u"镜像完成");
  }
  testing::TempDir dir;
  EXPECT_FALSE(LoadCatalogueFile(dir.path() / "missing.mo"));
  EXPECT_FALSE(LoadCatalogueFile(dir.path()));
}

}  // namespace
}  // namespace brenvik
