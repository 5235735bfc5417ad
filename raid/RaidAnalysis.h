#pragma once
// The MFT map of a RAID set: every member (a disk or an image file) is read at the same
// positions, 1024 bytes at a time, and a UTF-16LE log gets one tab-separated line per position
// naming the MFT record number found on each member ("xxxx" where there is none). Members are
// only ever read.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/JobReporter.h"
#include "raid/RaidGeometry.h"
#include "raid/RaidPlot.h"

namespace brenvik {

struct RaidMember {
  std::u16string label;         // "#n" for disk n; empty for an image file
  std::filesystem::path path;   // the disk's device node or the image file; empty for a missing member
};

struct RaidRequest {
  std::filesystem::path logPath;
  // Where the front end draws the plot once the run has ended (empty: nowhere); refused with the
  // log before anything is created.
  std::filesystem::path plotPath;
  std::vector<RaidMember> members;  // in analysis order
  int64_t startOffset = 0;          // first sector × 512
  int64_t endOffset = 0;            // last sector × 512; that sector is read too
};

// The user's texts for a run; nullopt when they must be refused ("Parameter setting error,
// please reset"): an empty log path, a start not below the end, a negative start, or an end so
// large that its offset does not fit.
std::optional<RaidRequest> MakeRaidRequest(std::u16string_view logPath, std::u16string_view startSector,
                                   std::u16string_view endSector);


// "MFT Numbers：%I64u " (the colon is the full-width one).
std::u16string FoundCountText(uint64_t found);

// Progress in positions (first 0 of all, last back to 0) and the MFT records found so far, shown
// as FoundCountText.
using RaidReporter = JobReporter<NoRow, uint64_t>;

enum class RaidEnd {
  Completed,         // ran to the end of the range or to a member's end
  Stopped,           // the stop flag ended the run after the current position's line
  LogNotCreated,     // the system refused to create the log (no rights, no such folder); nothing was read
  MemberNotOpened,   // failedPath names the member; the log holds only its byte-order mark
  LogWriteFailed,    // the log could not be written (a full disk); the run ended there
  Refused,           // `refusal` says why; nothing was read, created or truncated
};

// Why a run was refused.
enum class RaidRefusal {
  None,
  MemberRepeated,  // two members are one storage (repeatedPath and failedPath)
  MemberNotAFile,  // failedPath is neither a regular file nor a disk (a FIFO, a folder)
  Log,             // the log is no regular file, is reached through a link, or would change a member
  Plot,            // the same for the plot
  OneFile,         // the log and the plot name one file (failedPath), the same one or a name not yet taken
  TooManyMissing,  // more than one member given as missing (empty path), or one of fewer than three
};

struct RaidResult {
  RaidEnd end = RaidEnd::Completed;
  RaidRefusal refusal = RaidRefusal::None;
  std::filesystem::path failedPath;
  std::filesystem::path repeatedPath;  // the earlier member failedPath repeats
  uint64_t found = 0;
  // Inferred from where the records were found, once the run has ended.
  RaidGeometry geometry;
  // The records the geometry was inferred from, with the geometry, for the plot.
  RaidPlotModel plot;
};

// The failure text a run ends with: "Failed to create file" when the log could not be created or
// written or an output was refused, "Access:<path>" when a member could not be opened or is no
// file or disk, "Member given twice:<path>, <path>" when two members are one storage, "Log file
// and plot are one file:<path>"; empty when it finished.
std::u16string RaidOutcomeText(const RaidResult& result);

// Writes a drawing of the plot (`bytes`, made by the front end) to `path`, refused like the log
// when the path is no regular file, is reached through a link or lies on a member's storage, and
// when it is the run's log; false when refused or not fully written.
bool WriteRaidPlot(const std::filesystem::path& path, std::string_view bytes, const RaidRequest& run);

// The first pair of paths that are one storage under two names (a hard link, a loop device and
// its backing file, a disk and its partition), as (earlier, later).
std::optional<std::pair<std::filesystem::path, std::filesystem::path>> RepeatedRaidMember(
    const std::vector<std::filesystem::path>& paths);

// Runs the analysis until the range ends, a member ends (the line in progress is written as
// far as it got) or `stop` is set (after the current position's line).
RaidResult RunRaidAnalysis(const RaidRequest& request, const std::atomic<int>& stop, RaidReporter& reporter);

}  // namespace brenvik
