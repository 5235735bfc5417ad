#pragma once
// Decides, one file at a time, whether a recovered file is useless and by which criterion. The
// criteria are tested in a fixed order and the first that applies decides: the size range, the
// name rules, the extension against the file's first bytes, the share of fill-pattern blocks, and
// whether the file's structure is whole (damaged, or whole with a tail of other data after it).
// Copies and thumbnails are decided among the files that passed all of these, once a Check has
// seen them all (see TwinFinder).
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "invalid_files/TwinFinder.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"

namespace brenvik {

enum class Verdict : uint8_t {
  Valid = 0, Char = 1, Type = 2, Content = 3, Size = 4, Damaged = 5, Tail = 6, Duplicate = 7, Thumbnail = 8
};
inline constexpr Verdict kLastVerdict = Verdict::Thumbnail;

// A file whose structure is whole but carries other data after it holds a whole original: it is
// listed, but Delete and moving aside leave it alone.
inline bool IsRemovable(Verdict verdict) { return verdict != Verdict::Valid && verdict != Verdict::Tail; }

// A verdict that is this program's own judgement of a file's contents (damaged, a copy, a
// thumbnail): such a file is moved aside, never deleted, so the user can look at it again.
inline bool IsOwnJudgement(Verdict verdict) {
  return verdict == Verdict::Damaged || verdict == Verdict::Duplicate || verdict == Verdict::Thumbnail;
}

// "char", "type", "content", "size", "damaged", "tail", "duplicate", "thumbnail"; empty for a
// valid file.
std::u16string_view StatusText(Verdict verdict);

struct NameRule {
  enum Kind : int32_t { kPrefix = 0, kContain = 1, kSuffix = 2, kAll = 3 };
  // The pattern is kept in lower case, as names are compared in lower case.
  NameRule(Kind kind, std::u16string_view pattern);
  Kind kind;
  std::u16string pattern;
};

struct ScanResult {
  Verdict verdict = Verdict::Valid;
  int64_t size = 0;            // 0 when the file could not be opened
  std::filesystem::path path;  // empty when the file could not be opened
  std::u16string reason;       // Damaged and Tail: why, in a few words; Duplicate and Thumbnail: the kept file
  FileIdentity identity;       // invalid files (and valid ones when twins are looked for): which file was judged
  TwinFacts twin;              // valid files, when twins are looked for
  bool afterWalk = false;      // a copy or thumbnail, found once the walk was over (already counted)
};

// The lower-case name of a path (its last part) and the extension of such a name (after its last
// dot, unless that dot starts the name, as in ".profile").
std::u16string LowerCaseName(std::string_view pathBytes);
std::u16string_view ExtensionOf(std::u16string_view name);

// The signature tests of the four extension groups, on the first 512 bytes of a file (zero-padded).
using HeadBytes = std::array<uint8_t, 512>;
bool ImageSignatureTest(const HeadBytes& head);
bool DocumentSignatureTest(const HeadBytes& head);
bool ArchiveSignatureTest(const HeadBytes& head);
bool MediaSignatureTest(const HeadBytes& head);

// What makes a file invalid below a root: a value, filled from a front end's input by
// CollectCriteria before a Check and only read while it runs (from several threads at once).
// A value of its own, it carries nothing a page remembers between passes.
class InvalidFileDetector {
 public:
  bool contentTestOn = false;
  bool sizeTestOn = false;
  bool damageTestOn = false;
  bool duplicatesOn = false;  // copies of a file met earlier in the walk
  bool thumbnailsOn = false;  // JPEG files that are another picture's embedded thumbnail
  std::filesystem::path root;       // the scanned folder, without a trailing "/"
  int64_t sizeMinimum = 0;
  int64_t sizeMaximum = 0;
  bool headerRuleOn = false;
  int32_t percentThreshold = 0;
  std::vector<uint8_t> fillPattern;  // 1 to 512 bytes when the content test is on
  std::vector<NameRule> nameRules;
  std::vector<std::u16string> extensions;

  // Clears every criterion before a Check.
  void Reset() { *this = InvalidFileDetector(); }
  // True when at least one criterion would run.
  bool HasCriterion() const;

  // What one thread needs while it reads files for the content test.
  struct Scratch {
    std::vector<uint8_t> buffer;
    std::array<uint8_t, 512> filledBlock{};  // one block of the fill pattern laid end to end
    std::vector<uint8_t> filledBlockPattern; // the pattern filledBlock was made from
  };

  // The verdict and size for the file `name` of an open folder, leaving the result's path empty.
  // A file that cannot be opened (or is not a regular file) is valid with size 0.
  // Safe to call from several threads at once, each with its own scratch, while the criteria
  // stay unchanged.
  // `stop` is polled while a long file is read, so Stop is not held up by one huge file.
  ScanResult ClassifyAt(int folderFd, std::string_view name, Scratch& scratch,
                        const std::atomic<int>* stop = nullptr) const;

  // The result for a file the caller opened (a file that could not be opened is valid with size
  // 0). `name` is its name or whole path; `identity`, when known, is the opened file's.
  ScanResult JudgeOpened(const UniqueFd& fd, int64_t size, std::string_view name, Scratch& scratch,
                         const std::atomic<int>* stop, FileIdentity identity = {}) const;

 private:
  // `name` is the file's name or its whole path; `reason` is set for Damaged and Tail.
  Verdict Judge(int fd, int64_t size, std::string_view name, Scratch& scratch, const std::atomic<int>* stop,
                std::u16string& reason) const;
  bool MatchesNameRule(std::u16string_view name) const;
  bool FailsTypeTest(int fd, std::u16string_view name) const;
  bool IsMostlyFill(int fd, int64_t size, Scratch& scratch, const std::atomic<int>* stop) const;
};

// The criteria run on the one file `path` names, with the result's path set when it could be
// opened. A set `stop` ends the reading of a long file, which then counts as valid.
ScanResult ClassifyFile(const InvalidFileDetector& detector, const std::filesystem::path& path,
                        const std::atomic<int>* stop = nullptr);

}  // namespace brenvik
