#pragma once
// The volume a RAID geometry describes, read from its members: assembled into a sparse image file,
// or read piece by piece on demand (a read-only mount). A RAID 5 member given as missing is
// rebuilt from the others by XOR, up to two RAID 6 members from P and Q. Members are only ever read.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/JobReporter.h"
#include "platform/FileOps.h"
#include "raid/RaidAnalysis.h"
#include "raid/RaidGeometry.h"
#include "raid/RaidHandGeometry.h"

namespace brenvik {

// A member is missing when its path is empty: its blocks are rebuilt (RAID 5) or read from
// another copy (mirror).
inline bool IsMissingMember(const RaidMember& member) { return member.path.empty(); }

struct RaidVolumeRequest {
  std::vector<RaidMember> members;  // as given; the geometry's member order indexes them
  // The layout, stripe size, member order and first row's sector; the rest is not used.
  RaidGeometryGuess geometry;
  std::filesystem::path target;  // the image file written (assembly only)
  // Other files of the same work that the image must never replace (the analysis's log and plot).
  std::vector<std::filesystem::path> kept;
};

enum class RaidVolumeEnd {
  Completed,        // the whole volume was written
  Stopped,          // Stop ended the copy; the image holds the volume up to where it stopped
  TargetNotCreated, // the system refused to create the image (no rights, no such folder)
  MemberNotOpened,  // failedPath names the member; nothing was created
  ReadFailed,       // a member could not be read (failedPath); the image holds what came before
  WriteFailed,      // the image could not be written (a full disk); it holds what came before
  Refused,          // `refusal` says why; nothing was read, created or truncated
};

enum class RaidVolumeRefusal {
  None,
  MemberRepeated,  // two members are one storage (repeatedPath and failedPath)
  MemberNotAFile,  // failedPath is neither a regular file nor a disk
  Target,          // the image is no regular file, is reached through a link, would change a member or
                   // replace a kept file
  Geometry,        // the geometry does not fit the members (order, stripe size, start)
  TooManyMissing,  // more members are missing than the layout can do without
};

struct RaidVolumeResult {
  RaidVolumeEnd end = RaidVolumeEnd::Completed;
  RaidVolumeRefusal refusal = RaidVolumeRefusal::None;
  std::filesystem::path failedPath;
  std::filesystem::path repeatedPath;
  int64_t volumeSize = 0;  // bytes of the volume
  int64_t written = 0;     // bytes of it done
};

// Reads the volume from open members. Safe to use from several threads at once.
class RaidVolumeReader {
 public:
  // Opens the members of `request` (its target is not looked at); nullopt with `result` saying
  // why when they are refused or one cannot be opened.
  static std::unique_ptr<RaidVolumeReader> Open(const RaidVolumeRequest& request, RaidVolumeResult& result);

  // Bytes in the volume: the whole stripe rows every member present holds from the start on (all
  // the members hold, one after the other, for a spanned set).
  int64_t size() const { return size_; }
  // Reads `length` bytes at `offset` (clipped at the end); the count read, or -1 when a member
  // read failed, with that member's index as given in `failedMember` (when given).
  int64_t read(void* buffer, size_t length, int64_t offset, size_t* failedMember = nullptr) const;
  // Where the bytes of such a read lie on the members: (member fd, member offset, length) in turn,
  // clipped at the end; false when some of them belong to a missing member and must be rebuilt.
  struct MemberPiece {
    int fd;
    int64_t position;
    size_t size;
  };
  bool locate(int64_t offset, size_t length, std::vector<MemberPiece>& pieces) const;

 private:
  RaidVolumeReader() = default;
  bool readMember(size_t member, void* buffer, size_t length, int64_t offset, size_t* failedMember) const;
  int64_t readRaid6(char* out, int64_t total, int64_t offset, size_t* failedMember) const;
  // A set with parity reads each member with gaps (a row's parity), which the kernel takes for
  // scattered reads and so stops reading ahead, or reads the gaps too: while the volume is read in
  // order, the reader asks for the data of the members' next rows itself.
  void readRowsAhead(int64_t offset, int64_t end) const;
  // Where the reader takes data stripe `chunk` of a striped set from: the member (index as given)
  // and the stripe's offset there; nullopt when it lies on a missing member.
  struct StripePlace {
    size_t member;
    int64_t position;
  };
  std::optional<StripePlace> placeOfStripe(int64_t chunk) const;
  // Where a spanned set keeps the volume's bytes [offset, offset + total): member by member, the
  // member (index as given), the offset there and the length.
  struct SpannedPiece {
    size_t member;
    int64_t position;
    size_t size;
  };
  std::vector<SpannedPiece> spannedPieces(int64_t offset, int64_t total) const;

  RaidGeometryGuess geometry_;
  std::vector<UniqueFd> fds_;    // as given; invalid for a missing member
  std::vector<int64_t> spans_;   // as given: the bytes each member holds from the start on
  int64_t stripeBytes_ = 0;
  int64_t startBytes_ = 0;
  int64_t size_ = 0;
  mutable std::atomic<int64_t> lastReadEnd_{-1};  // in the volume
  mutable std::atomic<int64_t> askedUpTo_{0};     // on the members
};

// Progress in MiB of the volume.
using RaidVolumeReporter = JobReporter<NoRow, NoTally>;

// Writes the volume into `request.target` as a sparse image: blocks of zeros are left as holes.
// The target is refused like every output (a member under any name, a link, a special file).
RaidVolumeResult RunRaidAssembly(const RaidVolumeRequest& request, const std::atomic<int>& stop,
                                 RaidVolumeReporter& reporter);

// The failure text the assembly ends with; empty when it finished or was stopped.
std::u16string RaidVolumeOutcomeText(const RaidVolumeResult& result);

}  // namespace brenvik
