#pragma once
// The Check job: walks the scan root depth first, asks the detector about every regular file
// (several at once, on a pool of threads), and reports each invalid one in walk order as a list
// row (in cache mode only the first 33, with every one recorded in a temporary result file)
// while keeping the running tally.
#include <atomic>
#include <filesystem>

#include "core/AppSettings.h"
#include "core/CheckPass.h"
#include "invalid_files/InvalidFileDetector.h"
#include "invalid_files/InvalidFileReport.h"
#include "platform/NoFollow.h"

namespace brenvik {

inline constexpr char16_t kDetectingText[] = u"Detecting invalid files...";
inline constexpr char16_t kDetectCompletedText[] = u"Detect invalid files completed";
inline constexpr char16_t kDetectFailedText[] = u"Failed to detect invalid files";
inline constexpr char16_t kComparingText[] = u"Comparing files that may be copies...";

struct ScanRequest {
  InvalidFileDetector criteria;  // the root and what makes a file invalid, as CollectCriteria set them
  CacheMode mode = kCacheModeFiles;
  std::filesystem::path temporaryFolder;  // where cache mode puts its result file
  int workers = 0;                        // threads reading files; 0: as many as suit the machine
  int32_t listedRows = kCachePreviewRows;  // cache mode: how many rows are listed
};

// A result file that could not be written in full is gone, so Delete has nothing to act on.
using ScanEnd = CheckEnd;

struct ScanOutcome {  // the scan's result
  ScanEnd end = ScanEnd::Completed;
  std::filesystem::path resultFile;  // cache mode: the records of every invalid file
  FileIdentity rootIdentity;         // the folder walked, so Delete acts in no other
  ScanTally tally;
};

// Scans the criteria's root. A set `stop` ends the walk after the current file (and the reading of
// a long one); a stopped scan reports like a finished one. A root that is not a folder is refused
// before anything is created, with no report.
ScanOutcome RunInvalidFileScan(const ScanRequest& request, const std::atomic<int>& stop,
                               InvalidFileReporter& reporter);

}  // namespace brenvik
