#include "tests/support/ParallelCheckTree.h"

#include <sys/stat.h>

#include <array>
#include <random>
#include <string_view>

#include <gtest/gtest.h>

#include "platform/DirectoryWalk.h"
#include "platform/ParallelWalk.h"
#include "tests/support/TempDir.h"

namespace brenvik::testing {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 7> kExtensions{".doc", ".png", ".txt", ".pdf", "", ".xls", ".jpg"};

std::string ContentOf(int i) {
  switch (i % 5) {
    case 0: return {};
    case 1: return std::string("\x89PNG\r\n\x1a\n", 8) + std::string(64 + i % 300, 'p');
    case 2: return "%PDF-1.4\n" + std::to_string(i);
    case 3: return std::string("\xFF\xD8\xFF\xE0", 4) + std::string(i % 700, 'j');
    default: return "plain text " + std::to_string(i);
  }
}

void WriteNumbered(const fs::path& folder, const std::string& stem, int i) {
  WriteFile(folder / (stem + std::to_string(i) + std::string(kExtensions[static_cast<size_t>(i) % kExtensions.size()])),
            ContentOf(i));
}

bool StartsWith(const std::vector<std::string>& lines, const std::vector<std::string>& prefix, size_t count) {
  if (lines.size() < count || prefix.size() < count) return false;
  return std::equal(prefix.begin(), prefix.begin() + static_cast<ptrdiff_t>(count), lines.begin());
}

}  // namespace

void MakeAwkwardTree(const fs::path& root, int wideFiles) {
  for (int i = 0; i < wideFiles; ++i) WriteNumbered(root / "wide", "f", i);
  for (int i = 0; i < 3000; ++i) WriteNumbered(root / "narrow" / std::to_string(i), "only", i);
  fs::path deep = root / "deep";
  for (int i = 0; i < 200; ++i) {
    deep /= "d";
    WriteNumbered(deep, "x", i);
  }
  WriteFile(root / "odd" / "\xff\xfe name\t\x80.doc", ContentOf(1));
  WriteFile(root / "odd" / "caf\xe9.pdf", ContentOf(0));
  fs::create_symlink(root / "wide", root / "odd" / "link-to-folder");
  fs::create_symlink(root / "wide" / "f1.png", root / "odd" / "link-to-file.doc");
  ::mkfifo((root / "odd" / "fifo.doc").c_str(), 0600);
  ::mkfifo((root / "wide" / "fifo.png").c_str(), 0600);
  WriteFile(root / std::string(kJournalFolderName) / "job.doc", ContentOf(1));
}

void ExpectParallelCheckMatchesOneThread(const CheckRunner& run, size_t minimumLines) {
  const CheckTranscript one = run(1, -1);
  ASSERT_GE(one.lines.size(), minimumLines);
  for (const int workers : {0, 16}) {
    const CheckTranscript many = run(workers, -1);
    ASSERT_EQ(many.lines.size(), one.lines.size()) << workers << " workers";
    for (size_t i = 0; i < one.lines.size(); ++i)
      ASSERT_EQ(many.lines[i], one.lines[i]) << "line " << i << " with " << workers << " workers";
    EXPECT_TRUE(many.records == one.records) << "result files differ with " << workers << " workers";
  }

  std::mt19937 random(20261208);
  std::uniform_int_distribution<int64_t> point(0, static_cast<int64_t>(one.lines.size()) - 1);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const int64_t stopAfter = point(random);
    const CheckTranscript stopped = run(0, stopAfter);
    const size_t before = static_cast<size_t>(stopAfter);
    EXPECT_TRUE(StartsWith(stopped.lines, one.lines, before)) << "Stop after " << stopAfter << " lines";
    // The file being reported when Stop came is finished, then the job ends.
    EXPECT_LE(stopped.lines.size(), before + 4) << "Stop after " << stopAfter << " lines";
    EXPECT_TRUE(one.records.starts_with(stopped.records)) << "Stop after " << stopAfter << " lines";
  }
}

}  // namespace brenvik::testing
