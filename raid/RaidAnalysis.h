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
#include <vector>

#include "core/JobReporter.h"
#include "raid/RaidGeometry.h"
#include "raid/RaidPlot.h"

namespace brenvik {

struct RaidMember {
  std::u16string label;         // "#n" for disk n; empty for an image file
  std::filesystem::path path;   // the disk's device node or the image file
};

struct RaidRequest {
  std::filesystem::path logPath;
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
  LogNotCreated,     // nothing was read; the log (if it existed) was not touched
  MemberNotOpened,   // failedPath names the member; the log holds only its byte-order mark
  LogWriteFailed,    // the log could not be written (a full disk); the run ended there
  MemberRepeated,    // two members are one storage (repeatedPath and failedPath); nothing was read or created
};

struct RaidResult {
  RaidEnd end = RaidEnd::Completed;
  std::filesystem::path failedPath;
  std::filesystem::path repeatedPath;  // the earlier member failedPath repeats
  uint64_t found = 0;
  // Inferred from where the records were found, once the run has ended.
  RaidGeometry geometry;
  // The records the geometry was inferred from, with the geometry, for the plot.
  RaidPlotModel plot;
};

// The failure text a run ends with: "Failed to create file" when the log could not be created or
// written, "Access:<path>" when a member could not be opened, "Member given twice:<path>, <path>"
// when two members are one storage; empty when it finished.
std::u16string RaidOutcomeText(const RaidResult& result);

// Writes a drawing of the plot (`bytes`, made by the front end) to `path`, refused like the log
// when the path is no regular file or lies on a member's storage; false when refused or not
// fully written.
bool WriteRaidPlot(const std::filesystem::path& path, std::string_view bytes, const std::vector<RaidMember>& members);

// Runs the analysis until the range ends, a member ends (the line in progress is written as
// far as it got) or `stop` is set (after the current position's line).
RaidResult RunRaidAnalysis(const RaidRequest& request, const std::atomic<int>& stop, RaidReporter& reporter);

}  // namespace brenvik
