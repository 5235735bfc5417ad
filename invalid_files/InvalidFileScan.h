#pragma once
// The Check job: walks the scan root depth first, asks the detector about every regular file
// (several at once, on a pool of threads), and reports each invalid one in walk order as a list
// row (in cache mode only the first 33, with every one recorded in a temporary result file)
// while keeping the running tally.
#include <atomic>
#include <filesystem>

#include "core/AppSettings.h"
#include "invalid_files/InvalidFileDetector.h"
#include "invalid_files/InvalidFileReport.h"
#include "platform/NoFollow.h"

namespace brenvik {

inline constexpr char16_t kDetectingText[] = u"Detecting invalid files...";
inline constexpr char16_t kDetectCompletedText[] = u"Detect invalid files completed";
inline constexpr char16_t kTemporaryFileFailedText[] = u"Failed to generate temporary file";
inline constexpr char16_t kDetectFailedText[] = u"Failed to detect invalid files";

struct ScanRequest {
  InvalidFileDetector* detector = nullptr;  // its root and criteria; the scan polls Stop through it
  CacheMode mode = kCacheModeFiles;
  std::filesystem::path temporaryFolder;  // where cache mode puts its result file
  int workers = 0;                        // threads reading files; 0: as many as suit the machine
  int32_t listedRows = kCachePreviewRows;  // cache mode: how many rows are listed
};

enum class ScanEnd {
  Completed,         // every file below the root was examined
  Stopped,           // the stop flag ended the walk; rows, tally and result file cover the files seen
  NotAFolder,        // the root is missing or not a folder (a file, FIFO, device); nothing was read
  ResultFileFailed,  // cache mode: the result file could not be made or written; Delete has nothing to act on
};

struct ScanOutcome {  // the scan's result
  ScanEnd end = ScanEnd::Completed;
  std::filesystem::path resultFile;  // cache mode: the records of every invalid file
  FileIdentity rootIdentity;         // the folder walked, so Delete acts in no other
  ScanTally tally;
};

// Scans the detector's root with its criteria. A set `stop` ends the walk after the current file;
// a stopped scan reports like a finished one. A root that is not a folder is refused before
// anything is created, with no report.
ScanOutcome RunInvalidFileScan(const ScanRequest& request, const std::atomic<int>& stop,
                               InvalidFileReporter& reporter);

}  // namespace brenvik
