#pragma once
// What the Invalid Files jobs report: a result row, the running tally.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/JobReporter.h"
#include "invalid_files/InvalidFileDetector.h"

namespace brenvik {

// A row of the result list, numbered from 0 in the order found.
struct ResultRow {
  int index = 0;
  Verdict verdict = Verdict::Valid;
  int64_t size = 0;
  std::filesystem::path path;
  std::u16string reason;  // damaged and tail rows: why; duplicate and thumbnail rows: the kept file's path
  FileIdentity identity;  // the file Check judged; Delete acts only while the path still names it
};

struct ScanTally {
  int64_t invalidSize = 0;
  int64_t totalSize = 0;
  int64_t invalidCount = 0;
  int64_t totalCount = 0;
};

// "Size: <invalid size> / <total size> Numbers: <invalid count> / <total count>".
std::u16string FormatTallyText(const ScanTally& tally);

// A cache-mode result record's trailer: the file's identity, then its verdict, so Delete knows a
// file judged by this program (moved aside, never deleted) without judging it again.
inline constexpr size_t kInvalidRecordTrailerBytes = kIdentityBytes + 1;
inline std::string InvalidRecordTrailer(FileIdentity identity, Verdict verdict) {
  std::string trailer(IdentityBytes(identity).view());
  trailer.push_back(static_cast<char>(verdict));
  return trailer;
}
inline Verdict VerdictOfTrailer(std::string_view trailer) {
  const uint8_t value = trailer.size() > kIdentityBytes ? static_cast<uint8_t>(trailer[kIdentityBytes]) : 0;
  return value <= static_cast<uint8_t>(kLastVerdict) ? static_cast<Verdict>(value) : Verdict::Valid;
}

// How the scan and Delete report: result rows, the running tally, a failure text in the tally's
// place (the page's progress line), the state line, and rows taken out of the list.
using InvalidFileReporter = JobReporter<ResultRow, ScanTally>;

}  // namespace brenvik
