// brenvik-cli in the user's language: texts for people follow the locale, what scripts read
// (JSON lines) keeps the source texts, and the C locale shows the source texts exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

struct CliRun {
  int status = -1;
  std::string out, err;
};

// Runs brenvik-cli with only the locale variables given, finding the build's catalogues.
CliRun RunIn(const std::string& locale, const std::vector<std::string>& args, const std::string& language = "") {
  TempDir dir;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(::open((dir.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    ::dup2(::open((dir.path() / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    std::vector<std::string> environment = {"LANG=" + locale, "PATH=/usr/bin:/bin",
                                            "BRENVIK_LOCALEDIR=" BRENVIK_TEST_LOCALEDIR};
    if (!language.empty()) environment.push_back("LANGUAGE=" + language);
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::vector<char*> argv{const_cast<char*>(BRENVIK_CLI)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execve(BRENVIK_CLI, argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(dir.path() / "stdout"),
          ReadFile(dir.path() / "stderr")};
}

bool HasChinese(const std::string& utf8) {
  // Every CJK ideograph and full-width sign starts with one of these lead bytes in UTF-8.
  for (unsigned char c : utf8)
    if (c >= 0xE3 && c <= 0xEF) return true;
  return false;
}

TEST(CliLanguageTest, MessageRowsAndStatusTextsFollowTheLocaleWhileJsonKeepsTheSourceTexts) {
  TempDir dir;
  WriteFile(dir / "source.img", std::string(8 * 512, 'x'));
  const std::vector<std::string> image = {"image", "--source", (dir / "source.img").native(), "--target-file",
                                          (dir / "copy.img").native()};
  const CliRun english = RunIn("en_US.UTF-8", image);
  EXPECT_EQ(english.status, 0) << english.err;
  EXPECT_NE(english.out.find("Image\tImaging completed\n"), std::string::npos) << english.out;
  EXPECT_FALSE(HasChinese(english.out + english.err)) << english.out << english.err;

  std::filesystem::remove(dir / "copy.img");
  std::filesystem::remove(dir / "copy.img.map");
  std::vector<std::string> json = image;
  json.push_back("--json");
  const CliRun script = RunIn("en_US.UTF-8", json);
  EXPECT_NE(script.out.find(R"({"title":"镜像","description":"镜像完成","Title":"镜像","Description":"镜像完成"})"),
            std::string::npos)
      << script.out;

  // The refusal on standard error, in Chinese; the source text under the C locale, even when
  // LANGUAGE asks for Chinese (as gettext does).
  const std::vector<std::string> missing = {"extension", ""};
  const CliRun chinese = RunIn("zh_CN.UTF-8", missing);
  EXPECT_EQ(chinese.status, 2);
  EXPECT_EQ(chinese.err, "请正确设置路径\n");
  const CliRun source = RunIn("C.UTF-8", missing, "zh_CN");
  EXPECT_EQ(source.err, "Please set the path correctly\n");
}

// Why a file is damaged is a text for people: translated as a whole in the text rows, kept as
// the source text in JSON.
TEST(CliLanguageTest, DamageReasonsFollowTheLocaleWhileJsonKeepsTheSourceText) {
  TempDir dir;
  const std::string photo = ReadFile(std::filesystem::path(BRENVIK_TEST_DATA) / "damage/photo.jpg");
  WriteFile(dir / "recovered/cut.jpg", photo.substr(0, 2000));
  WriteFile(dir / "recovered/carved.jpg", photo + "after");
  const std::vector<std::string> list = {"invalid-files", (dir / "recovered").native(), "--damaged",
                                         "--temporary-path", dir.path().native()};
  const CliRun chinese = RunIn("zh_CN.UTF-8", list);
  EXPECT_EQ(chinese.status, 0) << chinese.err;
  EXPECT_NE(chinese.out.find("/cut.jpg\tjpeg：数据在结束标记之前结束\n"), std::string::npos) << chinese.out;
  EXPECT_NE(chinese.out.find("/carved.jpg\t结尾之后还有 5 字节\n"), std::string::npos) << chinese.out;
  std::vector<std::string> json = list;
  json.push_back("--json");
  const CliRun script = RunIn("zh_CN.UTF-8", json);
  EXPECT_NE(script.out.find(R"("reason":"jpeg: data ends before the end marker")"), std::string::npos) << script.out;
  EXPECT_NE(script.out.find(R"("reason":"5 bytes after the end")"), std::string::npos) << script.out;
}

TEST(CliLanguageTest, HelpIsInTheUsersLanguage) {
  const CliRun chinese = RunIn("zh_SG.UTF-8", {"rename", "--help"});
  EXPECT_EQ(chinese.status, 0);
  EXPECT_EQ(chinese.out.rfind("用法：brenvik-cli rename [选项] PATH\n\n列出 PATH 下所选类型的文件", 0), 0u) << chinese.out;
  EXPECT_NE(chinese.out.find("文件名长度：重命名给出的最长名称（默认 64）"), std::string::npos) << chinese.out;
  EXPECT_NE(chinese.out.find("退出状态：0 任务完成了要求的全部工作"), std::string::npos) << chinese.out;
  const CliRun source = RunIn("C", {"rename", "--help"});
  EXPECT_EQ(source.out.rfind("Usage: brenvik-cli rename [flags] PATH\n\nLists the files of the chosen types", 0), 0u);
  EXPECT_FALSE(HasChinese(source.out));
}

}  // namespace
}  // namespace brenvik
