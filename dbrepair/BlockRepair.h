#pragma once
// Block repair of a damaged database file: the damaged file is copied chunk by chunk into a new
// file, and every block that holds nothing but the fill pattern is replaced by the block at the
// same offset from the first reference copy in which that block is intact. Blocks are raw byte
// ranges at multiples of the block size; nothing of the database's own page format is read.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/JobReporter.h"

namespace brenvik {

enum class BlockMode : int32_t {
  Sector = 1,  // 512-byte blocks
  Page = 2,    // 8192-byte blocks
};

inline constexpr size_t kSectorBlockSize = 512;
inline constexpr size_t kPageBlockSize = 8192;
// The damaged file is read, tested and written in chunks of this size; both block sizes divide
// it, so every block but possibly the last of the file lies wholly inside one chunk.
inline constexpr size_t kRepairChunkSize = 1048576;

constexpr size_t BlockSizeOf(BlockMode mode) { return mode == BlockMode::Sector ? kSectorBlockSize : kPageBlockSize; }

struct RepairRequest {
  std::filesystem::path corrupted;                // the damaged file, only read
  std::filesystem::path repaired;                 // the output, created or truncated
  std::vector<std::filesystem::path> references;  // searched in this order; the first good block wins
  BlockMode mode = BlockMode::Page;
  std::vector<uint8_t> pattern;                   // the fill pattern bytes (see FillPattern.h)
};

struct RepairCounts {
  int64_t repaired = 0;  // lost blocks replaced from a reference copy
  int64_t marked = 0;    // lost blocks found, replaced or not
};

enum class RepairEnd {
  Completed,     // the whole file was written
  Stopped,       // the stop flag ended the run at a chunk boundary; reported like Completed
  FailedAccess,  // the damaged file could not be opened; no output was created
  FailedCreate,  // the output could not be created (no rights, no such folder); nothing was truncated
  Refused,       // "Failed access file" for a damaged file that is no regular file (a FIFO, a folder),
                 // "Failed create file" for an output that is no regular file, is reached through
                 // a link or is one of the inputs; nothing was created or truncated
  FailedRead,    // an input could not be read or shrank during the run; the output is incomplete
  FailedWrite,   // the output could not be written (a full disk); the output is incomplete
};

struct RepairResult {
  RepairEnd end = RepairEnd::Completed;
  RepairCounts counts;
};

// Where a run reports, in run order: its status line; after every chunk the progress in whole MiB
// of the damaged file (first with position 0) and the counts so far, which the status line shows
// as RepairCountsText.
using RepairReporter = JobReporter<NoRow, RepairCounts>;

// A repair as a front end takes it from the user, the pattern as typed.
struct RepairForm {
  std::filesystem::path corrupted;
  std::filesystem::path repaired;
  std::vector<std::filesystem::path> references;
  BlockMode mode = BlockMode::Page;
  std::u16string patternText;
};

// Fills `request` from `form`, or gives why the repair is refused, as both front ends refuse it:
// a path or the references missing (kParameterErrorText), then a pattern that does not parse
// (kByteContentRefusedText). Empty when the request is ready.
std::u16string_view RepairRequestFrom(const RepairForm& form, RepairRequest& request);

// Runs one repair. `stop` is polled before every chunk. Every file is closed when it returns.
RepairResult RunRepair(const RepairRequest& request, const std::atomic<int>& stop, RepairReporter& reporter);

// The status texts of a run (the two modes differ in one space).
std::u16string RepairStartText(BlockMode mode);
std::u16string RepairCountsText(const RepairCounts& counts);
std::u16string RepairCompletedText(BlockMode mode, const RepairCounts& counts);
inline constexpr char16_t kFailedAccessText[] = u"Failed access file";
inline constexpr char16_t kFailedCreateText[] = u"Failed create file";

}  // namespace brenvik
