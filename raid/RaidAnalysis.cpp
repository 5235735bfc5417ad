#include "raid/RaidAnalysis.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <span>
#include <thread>

#include "core/TextHelpers.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "raid/MftRecord.h"
#include "raid/Raid6Evidence.h"
#include "raid/RaidParityPlace.h"
#include "raid/RaidParityRecords.h"
#include "raid/RaidSpanned.h"
#include "platform/ByteOrder.h"
#include "platform/StorageIdentity.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kSectorSize = 512;
constexpr int64_t kBlockSize = static_cast<int64_t>(kMftRecordSize);
// The log is written in pieces of about this size.
constexpr size_t kLogFlushBytes = 1 << 20;
// The largest end offset whose last sector (and the position arithmetic) stays in range.
constexpr int64_t kMaxEndOffset = (INT64_MAX - kSectorSize) / kSectorSize * kSectorSize;

// The UTF-16LE log, buffered.
class LogWriter {
 public:
  explicit LogWriter(UniqueFd fd) : fd_(std::move(fd)) { bytes_.reserve(kLogFlushBytes + 4096); }

  void append(std::u16string_view text) { AppendUtf16Le(bytes_, text); }
  void appendAscii(std::string_view text) {
    for (char c : text) {
      bytes_.push_back(c);
      bytes_.push_back('\0');
    }
  }
  template <class Integer>
  void appendNumber(Integer value) {
    std::array<char, 24> digits;
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    appendAscii(std::string_view(digits.data(), static_cast<size_t>(result.ptr - digits.data())));
  }
  // Writes the buffer once it is large; false once a write has failed.
  bool flushWhenFull() { return bytes_.size() < kLogFlushBytes ? ok_ : flush(); }
  bool flush() {
    if (ok_ && !bytes_.empty()) ok_ = WriteFull(fd_.get(), bytes_.data(), bytes_.size());
    bytes_.clear();
    return ok_;
  }

 private:
  UniqueFd fd_;
  std::string bytes_;
  bool ok_ = true;
};

// One member's blocks for a batch of consecutive positions, and the sector after them, so that
// the blocks between the positions (half a block further) can be looked at too.
class MemberBatch {
 public:
  void load(int fd, int64_t offset, int64_t positions) {
    buffer_.resize(static_cast<size_t>(positions * kBlockSize + kSectorSize));
    offset_ = offset;
    const int64_t got = ReadAt(fd, buffer_.data(), buffer_.size(), offset);
    // A read error somewhere in the batch (a bad sector) says nothing about the positions
    // before it: those are then read one by one, as a single read per position would.
    readOneByOne_ = got < 0;
    got_ = std::max<int64_t>(got, 0);
    fullBlocks_ = std::min(got_ / kBlockSize, positions);
  }

  // Copies the block that begins one sector after position `index` into `out` when it may be a
  // record (it begins with "FILE"); false otherwise. Copied, because the record check changes
  // the block it checks, and this block shares its sectors with two positions.
  bool copyBetween(int fd, int64_t index, std::span<uint8_t, kMftRecordSize> out) {
    const int64_t from = index * kBlockSize + kSectorSize;
    if (readOneByOne_) {
      return ReadAt(fd, out.data(), kMftRecordSize, offset_ + from) == kBlockSize && LooksLikeRecord(out.data());
    }
    if (from + kBlockSize > got_ || !LooksLikeRecord(buffer_.data() + from)) return false;
    std::memcpy(out.data(), buffer_.data() + from, kMftRecordSize);
    return true;
  }

  // The block at position `index` of the batch, or nullptr when a 1024-byte read there comes
  // back short (the member ends, or the read fails).
  uint8_t* block(int fd, int64_t index) {
    uint8_t* data = buffer_.data() + index * kBlockSize;
    if (readOneByOne_) {
      return ReadAt(fd, data, kMftRecordSize, offset_ + index * kBlockSize) == kBlockSize ? data : nullptr;
    }
    return index < fullBlocks_ ? data : nullptr;
  }

 private:
  static bool LooksLikeRecord(const uint8_t* data) { return std::memcmp(data, "FILE", 4) == 0; }

  std::vector<uint8_t> buffer_;
  int64_t offset_ = 0;
  int64_t got_ = 0;
  int64_t fullBlocks_ = 0;
  bool readOneByOne_ = false;
};

// Reads the members batch by batch; the next batch is read on a helper thread while the
// current one is analysed, so reading and analysing overlap.
class BatchReader {
 public:
  explicit BatchReader(std::vector<UniqueFd> members)
      : members_(std::move(members)), slots_{std::vector<MemberBatch>(members_.size()),
                                             std::vector<MemberBatch>(members_.size())} {
    try {
      helper_ = std::thread([this] { helperLoop(); });
    } catch (...) {
      // No thread to be had: batches are read in line.
    }
  }

  ~BatchReader() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    if (helper_.joinable()) helper_.join();
  }

  // Positions per batch: about kBatchBytes over all members.
  int64_t positionsPerBatch() const {
    const int64_t members = std::max<int64_t>(1, static_cast<int64_t>(members_.size()));
    return std::clamp<int64_t>(kBatchBytes / (members * kBlockSize), 16, 1024);
  }

  // Starts reading the batch at `offset` into the spare slot.
  void prefetch(int64_t offset, int64_t positions) {
    if (!helper_.joinable()) {
      load(1 - current_, offset, positions);
      return;
    }
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !pending_; });
    request_ = {offset, positions, 1 - current_};
    pending_ = true;
    lock.unlock();
    wake_.notify_all();
  }

  // Makes the prefetched batch the current one.
  void advance() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !pending_; });
    current_ = 1 - current_;
  }

  uint8_t* block(size_t member, int64_t index) {
    return slots_[static_cast<size_t>(current_)][member].block(members_[member].get(), index);
  }
  bool copyBetween(size_t member, int64_t index, std::span<uint8_t, kMftRecordSize> out) {
    return slots_[static_cast<size_t>(current_)][member].copyBetween(members_[member].get(), index, out);
  }

 private:
  static constexpr int64_t kBatchBytes = 2 << 20;

  struct Request {
    int64_t offset = 0;
    int64_t positions = 0;
    int slot = 0;
  };

  void load(int slot, int64_t offset, int64_t positions) {
    for (size_t m = 0; m < members_.size(); ++m)
      if (members_[m]) slots_[static_cast<size_t>(slot)][m].load(members_[m].get(), offset, positions);
  }

  void helperLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return pending_ || quit_; });
      if (quit_) return;
      const Request request = request_;
      lock.unlock();
      load(request.slot, request.offset, request.positions);
      lock.lock();
      pending_ = false;
      wake_.notify_all();
    }
  }

  std::vector<UniqueFd> members_;
  std::array<std::vector<MemberBatch>, 2> slots_;
  int current_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  Request request_;
  bool pending_ = false;
  bool quit_ = false;
  std::thread helper_;  // last: started once everything it uses exists
};

// Whether no block at position `index` that is not zero (`nonZero`) is a fill pattern (one
// 4-byte pattern repeated, such as the unused pages of a log file): two data blocks filled alike
// cancel out of the parity, which is then zero beside them.
bool NoFill(BatchReader& reader, const std::vector<bool>& missing, int64_t index, uint16_t nonZero,
            std::span<const uint8_t, kMftRecordSize> rebuilt) {
  for (size_t member = 0; member < missing.size() && member < 16; ++member) {
    if ((nonZero >> member & 1) == 0) continue;
    const uint8_t* block = missing[member] ? rebuilt.data() : reader.block(member, index);
    if (std::memcmp(block, block + 4, kMftRecordSize - 4) == 0) return false;
  }
  return true;
}

// Adds the blocks at position `index` of every member to the parity evidence and the block map,
// before the record check changes any of them: their XOR is zero on a RAID 5 set. Blocks that are
// the same on every member (zeros, a mirror's copies) say nothing of the parity and are passed
// over, as is a position some member does not reach. A missing member's block is rebuilt into
// `rebuilt` as the XOR of the others (its parity then holds by construction).
void CheckParity(BatchReader& reader, const std::vector<bool>& missing, int64_t index, RaidParityEvidence& parity,
                 RaidBlockMap& map, std::span<uint8_t, kMftRecordSize> rebuilt) {
  std::array<uint64_t, kMftRecordSize / 8> sum{};
  const uint8_t* first = nullptr;
  bool allSame = true;
  uint16_t nonZero = 0, text = 0;
  size_t nonZeroCount = 0;
  const size_t members = missing.size();
  for (size_t member = 0; member < members; ++member) {
    if (missing[member]) continue;
    const uint8_t* data = reader.block(member, index);
    if (data == nullptr) return;
    if (first == nullptr) first = data;
    else if (allSame && std::memcmp(first, data, kMftRecordSize) != 0) allSame = false;
    for (size_t i = 0; i < sum.size(); ++i) {
      uint64_t word;
      std::memcpy(&word, data + 8 * i, 8);
      sum[i] ^= word;
    }
    const std::span<const uint8_t> block(data, kMftRecordSize);
    const bool zero = IsZeroBlock(block);
    nonZeroCount += zero ? 0 : 1;
    if (member < 16 && !zero) nonZero |= static_cast<uint16_t>(1u << member);
    if (member < 16 && IsTextBlock(block)) text |= static_cast<uint16_t>(1u << member);
  }
  const bool xorZero = std::all_of(sum.begin(), sum.end(), [](uint64_t word) { return word == 0; });
  const auto lost = std::find(missing.begin(), missing.end(), true);
  if (lost != missing.end()) {
    std::memcpy(rebuilt.data(), sum.data(), kMftRecordSize);
    const auto member = static_cast<size_t>(lost - missing.begin());
    if (member < 16 && !xorZero) nonZero |= static_cast<uint16_t>(1u << member);
    if (member < 16 && IsTextBlock(rebuilt)) text |= static_cast<uint16_t>(1u << member);
    map.add(nonZero, text, NoFill(reader, missing, index, nonZero, rebuilt));
    return;
  }
  // RAID 6: the XOR of a row's blocks is its Q, which lies on one of the members.
  size_t equal = 0;
  uint8_t q = RaidBlockMap::kNoQ;
  if (!allSame && !xorZero && nonZeroCount >= 3) {
    for (size_t member = 0; member < members; ++member) {
      if (std::memcmp(reader.block(member, index), sum.data(), kMftRecordSize) != 0) continue;
      ++equal;
      q = static_cast<uint8_t>(std::min<size_t>(member, RaidBlockMap::kNoQ));
    }
  }
  map.add(nonZero, text, xorZero && NoFill(reader, missing, index, nonZero, rebuilt), equal == 1 ? q : RaidBlockMap::kNoQ);
  if (allSame) return;
  ++parity.checked;
  if (xorZero) ++parity.zero;
  if (equal == 1) ++parity.q;
  else if (equal > 1) ++parity.qTwins;
}

std::vector<bool> MissingMembers(const std::vector<RaidMember>& members) {
  std::vector<bool> missing;
  for (const RaidMember& member : members) missing.push_back(member.path.empty());
  return missing;
}

std::vector<fs::path> MemberPaths(const std::vector<RaidMember>& members) {
  std::vector<fs::path> paths;
  for (const RaidMember& member : members)
    if (!member.path.empty()) paths.push_back(member.path);
  return paths;
}

}  // namespace

std::optional<std::pair<fs::path, fs::path>> RepeatedRaidMember(const std::vector<fs::path>& paths) {
  std::vector<StorageIdentity> identities;
  for (const fs::path& path : paths) identities.push_back(IdentifyStorage(path));
  for (size_t later = 1; later < paths.size(); ++later)
    for (size_t earlier = 0; earlier < later; ++earlier)
      if (SameStorage(identities[earlier], identities[later])) return std::pair(paths[earlier], paths[later]);
  return std::nullopt;
}

std::optional<RaidRequest> MakeRaidRequest(std::u16string_view logPath, std::u16string_view startSector,
                                   std::u16string_view endSector) {
  const int64_t start = ParseLeadingInteger(startSector);
  const int64_t end = ParseLeadingInteger(endSector);
  if (logPath.empty() || start >= end) return std::nullopt;
  // Offsets outside the readable range would wrap around or make the reads start elsewhere.
  if (start < 0 || end > kMaxEndOffset / kSectorSize) return std::nullopt;
  RaidRequest job;
  job.logPath = fs::path(std::u16string(logPath));
  job.startOffset = start * kSectorSize;
  job.endOffset = end * kSectorSize;
  return job;
}

std::u16string FoundCountText(uint64_t found) {
  std::array<char, 24> digits;
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), found);
  std::u16string text = u"MFT Numbers\uFF1A";
  text.append(digits.data(), result.ptr);
  text += u' ';
  return text;
}

bool WriteRaidPlot(const fs::path& path, std::string_view bytes, const RaidRequest& run) {
  // The run's log is as much to be kept as a member.
  std::vector<fs::path> kept = MemberPaths(run.members);
  if (!run.logPath.empty()) {
    if (SameOutput(path, run.logPath)) return false;
    kept.push_back(run.logPath);
  }
  UniqueFd fd = CreateOutput(path, kept);
  if (!fd || !WriteFull(fd.get(), bytes.data(), bytes.size())) return false;
  return CloseOutput(fd);
}

RaidResult RunRaidAnalysis(const RaidRequest& request, const std::atomic<int>& stop, RaidReporter& reporter) {
  RaidResult result;
  const std::vector<fs::path> memberPaths = MemberPaths(request.members);
  const auto refuse = [&result](RaidRefusal why, const fs::path& path = {}) {
    result.end = RaidEnd::Refused;
    result.refusal = why;
    result.failedPath = path;
    return result;
  };

  // One disk given twice (or a disk and its partition, an image and the loop device over it)
  // would read as a perfect mirror of itself: refused before anything is created.
  if (const auto repeated = RepeatedRaidMember(memberPaths)) {
    result.repeatedPath = repeated->first;
    return refuse(RaidRefusal::MemberRepeated, repeated->second);
  }
  // A FIFO would block the run or read nothing; only files and disks are members.
  const std::vector<bool> missing = MissingMembers(request.members);
  // One member can be rebuilt from the others' XOR, and only when there are two others at least.
  const auto missingCount = static_cast<size_t>(std::count(missing.begin(), missing.end(), true));
  if (missingCount > 1 || (missingCount == 1 && missing.size() < 3)) return refuse(RaidRefusal::TooManyMissing);
  for (const fs::path& member : memberPaths) {
    const FileKind kind = KindOfPath(member);
    if (kind != FileKind::Missing && kind != FileKind::Regular && kind != FileKind::BlockDevice)
      return refuse(RaidRefusal::MemberNotAFile, member);
  }
  // The outputs are checked against every member and each other before anything is truncated: a
  // path naming a disk, a FIFO or a folder is refused, as is one reached through a link or on the
  // same storage as a member, and a plot that would replace the log.
  if (RefusalOfOutput(request.logPath, memberPaths) != OutputRefusal::None) return refuse(RaidRefusal::Log);
  if (!request.plotPath.empty()) {
    if (RefusalOfOutput(request.plotPath, memberPaths) != OutputRefusal::None) return refuse(RaidRefusal::Plot);
    if (SameOutput(request.logPath, request.plotPath)) return refuse(RaidRefusal::OneFile, request.plotPath);
  }
  OutputRefusal refusal = OutputRefusal::None;
  UniqueFd logFd = CreateOutput(request.logPath, memberPaths, {}, &refusal);
  if (!logFd) {
    if (refusal != OutputRefusal::None) return refuse(RaidRefusal::Log);
    result.end = RaidEnd::LogNotCreated;
    return result;
  }
  LogWriter log(std::move(logFd));
  log.append(u"\uFEFF");

  std::vector<UniqueFd> memberFds;
  std::u16string header;
  for (const RaidMember& member : request.members) {
    UniqueFd fd = member.path.empty() ? UniqueFd() : OpenSharedInput(member.path, true);
    if (!fd && !member.path.empty()) {
      log.flush();
      result.end = RaidEnd::MemberNotOpened;
      result.failedPath = member.path;
      return result;
    }
    memberFds.push_back(std::move(fd));
    header += member.label;
    header += u'\t';
  }
  header += u"\r\n";
  log.append(header);

  const int64_t start = request.startOffset;
  const int64_t end = std::min(request.endOffset, kMaxEndOffset) + kSectorSize;  // the end sector is read too
  const int64_t progressMaximum = std::max<int64_t>(0, (end - start) / kBlockSize);
  reporter.Progress(0, progressMaximum);

  // A spanned set's members end where the next begins: their sizes place them.
  std::vector<int64_t> memberSectors;
  for (const UniqueFd& fd : memberFds) memberSectors.push_back(fd ? std::max<int64_t>(0, FileSize(fd.get())) / kSectorSize : 0);
  BatchReader reader(std::move(memberFds));
  const size_t memberCount = request.members.size();
  RaidRecordCollector collector(memberCount);
  // Records at the sectors between the positions, for a volume that begins at the other parity.
  RaidRecordCollector between(memberCount);
  std::array<uint8_t, kMftRecordSize> betweenBlock;
  RaidParityEvidence parity;
  parity.memberRebuilt = missingCount > 0;
  RaidBlockMap blocks(memberCount, start / kSectorSize);
  std::array<uint8_t, kMftRecordSize> rebuilt{};
  std::optional<RaidNtfsPlaces> ntfs;
  bool ntfsTwice = false;
  const int64_t perBatch = reader.positionsPerBatch();
  const auto positionsFrom = [&](int64_t offset) { return std::min(perBatch, (end - offset + kBlockSize - 1) / kBlockSize); };
  if (start < end) reader.prefetch(start, positionsFrom(start));

  uint64_t shownFound = 0;
  bool ended = false;
  for (int64_t batch = start; batch < end && !ended; batch += perBatch * kBlockSize) {
    reader.advance();
    const int64_t next = batch + perBatch * kBlockSize;
    if (next < end) reader.prefetch(next, positionsFrom(next));
    const int64_t positions = positionsFrom(batch);
    int64_t index = 0;
    for (; index < positions && !ended; ++index) {
      const int64_t position = batch + index * kBlockSize;
      if (memberCount >= 3) CheckParity(reader, missing, index, parity, blocks, rebuilt);
      log.appendNumber(position / kSectorSize);
      log.appendAscii(":\t");
      for (size_t member = 0; member < memberCount; ++member) {
        uint8_t* data = missing[member] ? rebuilt.data() : reader.block(member, index);
        if (data == nullptr) {
          ended = true;  // the member ends here: the line stops, the run ends after it
          break;
        }
        if (!missing[member] && reader.copyBetween(member, index, betweenBlock) && CheckFileRecord(betweenBlock))
          between.add(member, position / kSectorSize + 1, FileRecordNumber(betweenBlock));
        const std::span<uint8_t, kMftRecordSize> block(data, kMftRecordSize);
        if (const std::optional<int64_t> place = VolumeSectorOf(block)) {
          blocks.addLocated(member, position / kSectorSize, *place, CopySectorOf(block));
          // One NTFS volume's boot sectors all name the same places; two volumes name none.
          if (const std::optional<RaidNtfsPlaces> places = NtfsPlacesOf(block)) {
            ntfsTwice = ntfsTwice || (ntfs && *ntfs != *places);
            ntfs = places;
          }
        }
        // A boot sector at an odd sector is the second half of a block: NTFS's backup in the last
        // sector of a volume of even length, or the boot sector of one that begins at an odd sector.
        if (const int64_t backup = NtfsBackupSectorOf(block.subspan<512>()); backup >= 0)
          blocks.addLocated(member, position / kSectorSize + 1, backup, 0);
        if (CheckFileRecord(block)) {
          const uint32_t number = FileRecordNumber(block);
          log.appendNumber(number);
          log.appendAscii("\t\t");
          collector.add(member, position / kSectorSize, number);
          ++result.found;
        } else {
          log.appendAscii("xxxx\t\t");
        }
      }
      log.appendAscii("\r\n");
      if (!log.flushWhenFull()) {
        result.end = RaidEnd::LogWriteFailed;
        ended = true;
      }
      if (stop.load(std::memory_order_relaxed) != 0) ended = true;
    }
    reporter.Progress((batch - start) / kBlockSize + index - 1, progressMaximum);
    if (result.found != shownFound) {
      shownFound = result.found;
      reporter.Tally(shownFound);
    }
  }
  if (!log.flush()) result.end = RaidEnd::LogWriteFailed;
  else if (result.end == RaidEnd::Completed && stop.load() != 0) result.end = RaidEnd::Stopped;
  result.geometry = InferRaidGeometry(collector, between, start / kSectorSize, parity);
  ApplyParityPlaces(result.geometry, blocks, collector.runs());
  ApplyRaid6Evidence(result.geometry, blocks, [&](const RaidGeometryGuess& guess) {
    std::vector<fs::path> paths;
    for (const RaidMember& member : request.members) paths.push_back(member.path);
    return CheckRaid6Syndrome(guess, paths, start / kSectorSize, end / kSectorSize);
  });
  AlignStartWithVolume(result.geometry, blocks);
  // An answer from the parity still draws the records where they lie.
  if (result.geometry.fromParityPlaces && result.geometry.best)
    if (const std::optional<int64_t> zero = RecordZeroOf(*result.geometry.best, collector.runs()))
      result.geometry.best->recordZeroDataSector = *zero;
  // A set whose rows keep parity is no spanned one.
  if (memberCount <= kMaxSpannedMembers && !ntfsTwice && !parity.holds() && !parity.raid6Holds() && !parity.memberRebuilt)
    ApplySpanned(result.geometry, SpannedFromPlaces(collector.runs(), blocks, memberSectors, ntfs));
  result.plot.members = memberCount;
  result.plot.runs = result.geometry.fromOtherParity ? between.runs() : collector.runs();
  result.plot.geometry = result.geometry.best;
  const std::u16string text = FormatGeometryText(result.geometry);
  result.plot.caption = text.substr(0, text.find(u'\n'));
  reporter.Progress(0, progressMaximum);
  return result;
}

std::u16string RaidOutcomeText(const RaidResult& result) {
  switch (result.end) {
    case RaidEnd::Completed:
    case RaidEnd::Stopped: return {};
    case RaidEnd::LogNotCreated:
    case RaidEnd::LogWriteFailed: return u"Failed to create file";
    case RaidEnd::MemberNotOpened: return u"Access:" + PathToText(result.failedPath);
    case RaidEnd::Refused:
      switch (result.refusal) {
        case RaidRefusal::MemberRepeated:
          return u"Member given twice:" + PathToText(result.repeatedPath) + u", " + PathToText(result.failedPath);
        case RaidRefusal::MemberNotAFile: return u"Access:" + PathToText(result.failedPath);
        case RaidRefusal::TooManyMissing: return u"Too many members missing for this layout";
        case RaidRefusal::OneFile: return u"Log file and plot are one file:" + PathToText(result.failedPath);
        case RaidRefusal::None:
        case RaidRefusal::Log:
        case RaidRefusal::Plot: return u"Failed to create file";
      }
      break;
  }
  return {};
}

}  // namespace brenvik
