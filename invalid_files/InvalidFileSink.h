#pragma once
// How the scan and the actions report: result rows, the running tally, and the two status lines
// of the page (the progress line and the state line). Called on the job's thread.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "invalid_files/InvalidFileDetector.h"

namespace brenvik {

// A row of the result list, numbered from 0 in the order found.
struct ResultRow {
  int index = 0;
  Verdict verdict = Verdict::Valid;
  int64_t size = 0;
  std::filesystem::path path;
};

struct ScanTally {
  int64_t invalidSize = 0;
  int64_t totalSize = 0;
  int64_t invalidCount = 0;
  int64_t totalCount = 0;
};

// "Size: <invalid size> / <total size> Numbers: <invalid count> / <total count>".
std::u16string FormatTallyText(const ScanTally& tally);

class InvalidFileSink {
 public:
  virtual ~InvalidFileSink() = default;
  virtual void AddRow(const ResultRow& row) { (void)row; }
  // The file of this row was deleted or moved aside (list mode Delete).
  virtual void RemoveRow(int index) { (void)index; }
  // Every row goes (cache mode Delete).
  virtual void ClearRows() {}
  // After every file of a scan.
  virtual void Tally(const ScanTally& tally) { (void)tally; }
  // The progress line, when a failure takes the tally's place.
  virtual void ProgressText(std::u16string_view text) { (void)text; }
  // The state line.
  virtual void StatusText(std::u16string_view text) { (void)text; }
};

}  // namespace brenvik
