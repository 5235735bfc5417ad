#include "raid/RaidVolume.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/PathText.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kSectorSize = 512;
// Stripes above 32 MiB and sets of more than 64 members are no arrays anyone builds; bounding them
// keeps every offset computed below far from overflow.
constexpr int64_t kMaxStripeSectors = 65536;
constexpr size_t kMaxMembers = 64;
constexpr int64_t kMaxParityDelay = 65536;
// The image is written in pieces of this size; pieces of zeros stay holes.
constexpr int64_t kCopyBytes = 4 << 20;
constexpr int64_t kHoleBytes = 64 << 10;
constexpr int64_t kMiB = 1 << 20;

bool IsStriped(RaidLayout layout) { return layout != RaidLayout::Mirror && layout != RaidLayout::Spanned; }

// RAID 10 near-2 loses data only when both copies of a stripe are gone: two members side by side
// in the order (for an even count, the pairs 1-2, 3-4, ...; for an odd one, any neighbours, the
// last beside the first).
bool Raid10LosesData(const std::vector<bool>& missing) {
  const size_t count = missing.size();
  for (size_t position = 0; position < count; position += count % 2 == 0 ? 2 : 1)
    if (missing[position] && missing[(position + 1) % count]) return true;
  return false;
}

bool IsRaid6(RaidLayout layout) { return layout == RaidLayout::Raid6LeftSymmetric; }

// GF(2^8) with the polynomial 0x11d, as RAID 6's Q syndrome uses it: logarithms and powers of
// the generator 2.
struct Galois {
  std::array<uint8_t, 512> exp{};
  std::array<int, 256> log{};
  Galois() {
    int value = 1;
    for (int i = 0; i < 255; ++i) {
      exp[static_cast<size_t>(i)] = exp[static_cast<size_t>(i + 255)] = static_cast<uint8_t>(value);
      log[static_cast<size_t>(value)] = i;
      value <<= 1;
      if (value & 0x100) value ^= 0x11d;
    }
  }
  uint8_t multiply(uint8_t a, int power) const {  // a × 2^power
    return a == 0 ? 0 : exp[static_cast<size_t>((log[a] + power) % 255)];
  }
  uint8_t times(uint8_t a, uint8_t b) const {
    return a == 0 || b == 0 ? 0 : exp[static_cast<size_t>(log[a] + log[b])];
  }
  uint8_t inverse(uint8_t a) const { return exp[static_cast<size_t>(255 - log[a])]; }
};
const Galois& Field() {
  static const Galois field;
  return field;
}

// Where RAID 6 puts data stripe `chunk`: the positions of its data, P and Q, and the row.
struct Raid6Slot {
  size_t data, p, q;
  int64_t index, row;
};
Raid6Slot PlaceRaid6(int64_t members, int64_t chunk) {
  const int64_t row = chunk / (members - 2);
  const int64_t index = chunk % (members - 2);
  const int64_t p = members - 1 - row % members;
  return {static_cast<size_t>((p + 2 + index) % members), static_cast<size_t>(p), static_cast<size_t>((p + 1) % members),
          index, row};
}

bool AllZero(const char* data, size_t length) {
  return length == 0 || (data[0] == 0 && std::memcmp(data, data + 1, length - 1) == 0);
}

void XorInto(char* out, const char* in, size_t length) {
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<char>(out[i] ^ in[i]);
}

// The refusal of a geometry over `members` members, or None. For a mirror an empty member order
// stands for every member.
RaidVolumeRefusal CheckGeometry(const RaidGeometryGuess& geometry, size_t members) {
  if (members == 0 || members > kMaxMembers) return RaidVolumeRefusal::Geometry;
  if (geometry.startSector < 0 || geometry.startSector > INT64_MAX / kSectorSize / 2) return RaidVolumeRefusal::Geometry;
  std::vector<bool> seen(members);
  for (size_t member : geometry.memberOrder) {
    if (member >= members || seen[member]) return RaidVolumeRefusal::Geometry;
    seen[member] = true;
  }
  if (geometry.layout == RaidLayout::Mirror) return RaidVolumeRefusal::None;
  // Every member of a striped or spanned set holds its share: the order names them all.
  if (geometry.memberOrder.size() != members) return RaidVolumeRefusal::Geometry;
  if (geometry.layout == RaidLayout::Spanned) return RaidVolumeRefusal::None;
  if (members < (IsRaid6(geometry.layout) ? 4u : IsRaid5(geometry.layout) ? 3u : 2u)) return RaidVolumeRefusal::Geometry;
  if (geometry.stripeSectors <= 0 || geometry.stripeSectors > kMaxStripeSectors) return RaidVolumeRefusal::Geometry;
  // A delay belongs to RAID 5's parity alone.
  if (geometry.parityDelay < 1 || geometry.parityDelay > kMaxParityDelay || (geometry.parityDelay > 1 && !IsRaid5(geometry.layout)))
    return RaidVolumeRefusal::Geometry;
  return RaidVolumeRefusal::None;
}

}  // namespace

std::unique_ptr<RaidVolumeReader> RaidVolumeReader::Open(const RaidVolumeRequest& request, RaidVolumeResult& result) {
  const auto refuse = [&result](RaidVolumeRefusal why, const fs::path& path = {}) {
    result.end = RaidVolumeEnd::Refused;
    result.refusal = why;
    result.failedPath = path;
    return nullptr;
  };
  std::vector<fs::path> present;
  for (const RaidMember& member : request.members)
    if (!IsMissingMember(member)) present.push_back(member.path);
  // One storage given twice would be read as two members and give a volume of nonsense.
  if (const auto repeated = RepeatedRaidMember(present)) {
    result.repeatedPath = repeated->first;
    return refuse(RaidVolumeRefusal::MemberRepeated, repeated->second);
  }
  for (const fs::path& member : present) {
    const FileKind kind = KindOfPath(member);
    if (kind != FileKind::Missing && kind != FileKind::Regular && kind != FileKind::BlockDevice)
      return refuse(RaidVolumeRefusal::MemberNotAFile, member);
  }
  RaidGeometryGuess geometry = request.geometry;
  const size_t count = request.members.size();
  if (geometry.layout == RaidLayout::Mirror && geometry.memberOrder.empty())
    for (size_t member = 0; member < count; ++member) geometry.memberOrder.push_back(member);
  if (const RaidVolumeRefusal why = CheckGeometry(geometry, count); why != RaidVolumeRefusal::None) return refuse(why);

  std::vector<bool> missingAt;
  for (size_t member : geometry.memberOrder) missingAt.push_back(IsMissingMember(request.members[member]));
  const auto missing = static_cast<size_t>(std::count(missingAt.begin(), missingAt.end(), true));
  const bool lost = geometry.layout == RaidLayout::Raid10Near2 ? Raid10LosesData(missingAt)
                    : IsRaid5(geometry.layout)                 ? missing > 1
                    : IsRaid6(geometry.layout)                 ? missing > 2
                    : geometry.layout == RaidLayout::Mirror    ? missing == missingAt.size()
                                                               : missing > 0;
  if (lost) return refuse(RaidVolumeRefusal::TooManyMissing);

  std::unique_ptr<RaidVolumeReader> reader(new RaidVolumeReader);
  reader->stripeBytes_ = geometry.stripeSectors * kSectorSize;
  reader->startBytes_ = geometry.startSector * kSectorSize;
  int64_t smallest = INT64_MAX;
  for (const RaidMember& member : request.members) {
    UniqueFd fd;
    if (!IsMissingMember(member)) {
      fd = OpenSharedInput(member.path, true);
      const int64_t size = fd ? FileSize(fd.get()) : -1;
      if (size < 0) {
        result.end = RaidVolumeEnd::MemberNotOpened;
        result.failedPath = member.path;
        return nullptr;
      }
      smallest = std::min(smallest, size);
      reader->spans_.push_back(std::max<int64_t>(0, size - reader->startBytes_));
    } else {
      reader->spans_.push_back(0);
    }
    reader->fds_.push_back(std::move(fd));
  }
  const int64_t usable = std::max<int64_t>(0, smallest - reader->startBytes_);
  if (geometry.layout == RaidLayout::Spanned) {
    // Each member adds all it holds from the start on.
    for (size_t member : geometry.memberOrder) reader->size_ += reader->spans_[member];
  } else if (geometry.layout == RaidLayout::Raid10Near2) {
    // Two copies of each stripe over the rows every member holds; a stripe whose second copy
    // would lie past them is not part of the volume.
    reader->size_ = usable / reader->stripeBytes_ * static_cast<int64_t>(count) / 2 * reader->stripeBytes_;
  } else if (IsStriped(geometry.layout)) {
    // Only whole rows: a row cut short by a member's end has no stripe its place can be told for.
    const int64_t rows = usable / reader->stripeBytes_;
    reader->size_ = rows * DataStripesPerRow(geometry.layout, static_cast<int64_t>(count)) * reader->stripeBytes_;
  } else {
    reader->size_ = usable;
  }
  reader->geometry_ = std::move(geometry);
  result.volumeSize = reader->size_;
  return reader;
}

std::optional<RaidVolumeReader::StripePlace> RaidVolumeReader::placeOfStripe(int64_t chunk) const {
  const std::vector<size_t>& order = geometry_.memberOrder;
  const auto members = static_cast<int64_t>(order.size());
  if (geometry_.layout == RaidLayout::Raid10Near2) {
    // The first copy md writes, or the second when the first member is missing.
    for (const int64_t copy : {2 * chunk, 2 * chunk + 1}) {
      const size_t member = order[static_cast<size_t>(copy % members)];
      if (fds_[member]) return StripePlace{member, startBytes_ + copy / members * stripeBytes_};
    }
    return std::nullopt;
  }
  const RaidStripeSlot slot = PlaceOfStripe(geometry_.layout, members, chunk, geometry_.parityDelay);
  const size_t member = order[slot.position];
  if (!fds_[member]) return std::nullopt;
  return StripePlace{member, startBytes_ + slot.row * stripeBytes_};
}

void RaidVolumeReader::readRowsAhead(int64_t offset, int64_t end) const {
  // Members read without gaps (RAID 0, the first copies of a RAID 10 over an even count) are read
  // ahead by the kernel as well as it can.
  const bool gaps = IsRaid5(geometry_.layout) || IsRaid6(geometry_.layout) ||
                    (geometry_.layout == RaidLayout::Raid10Near2 && geometry_.memberOrder.size() % 2 != 0);
  if (!gaps) return;
  // Reads a few requests apart still count as in order: the kernel sends its read-ahead requests
  // to several threads at once.
  constexpr int64_t kInOrder = int64_t{4} << 20;
  const int64_t previous = lastReadEnd_.exchange(end, std::memory_order_relaxed);
  if (previous < 0 || offset < previous - kInOrder || offset > previous + kInOrder) return;
  constexpr int64_t kAhead = int64_t{16} << 20;
  int64_t asked = askedUpTo_.load(std::memory_order_relaxed);
  if (end + kAhead / 2 <= asked && end > asked - 2 * kAhead) return;
  const int64_t from = end <= asked && end > asked - 2 * kAhead ? asked : end;
  const int64_t to = std::min(size_, end + kAhead);
  if (from >= to || !askedUpTo_.compare_exchange_strong(asked, to, std::memory_order_relaxed)) return;
  // Only the stripes the volume's bytes lie on, merged where they follow on one member: the parity
  // and the second copies are not asked for.
  std::vector<std::pair<int64_t, int64_t>> pending(fds_.size(), {0, 0});
  const auto flush = [&](size_t member) {
    if (pending[member].second > pending[member].first)
      AdviseWillNeed(fds_[member].get(), pending[member].first, pending[member].second - pending[member].first);
  };
  for (int64_t chunk = from / stripeBytes_; chunk * stripeBytes_ < to; ++chunk) {
    const std::optional<StripePlace> place = placeOfStripe(chunk);
    if (!place) continue;
    std::pair<int64_t, int64_t>& range = pending[place->member];
    if (range.second != place->position) {
      flush(place->member);
      range.first = place->position;
    }
    range.second = place->position + stripeBytes_;
  }
  for (size_t member = 0; member < fds_.size(); ++member) flush(member);
}

std::vector<RaidVolumeReader::SpannedPiece> RaidVolumeReader::spannedPieces(int64_t offset, int64_t total) const {
  std::vector<SpannedPiece> pieces;
  int64_t done = 0;
  int64_t memberStart = 0;  // where the member begins in the volume
  for (size_t member : geometry_.memberOrder) {
    const int64_t span = spans_[member];
    const int64_t at = offset + done;
    if (done < total && at < memberStart + span) {
      const auto take = static_cast<size_t>(std::min(total - done, memberStart + span - at));
      pieces.push_back({member, startBytes_ + at - memberStart, take});
      done += static_cast<int64_t>(take);
    }
    memberStart += span;
  }
  return pieces;
}

bool RaidVolumeReader::readMember(size_t member, void* buffer, size_t length, int64_t offset,
                                  size_t* failedMember) const {
  if (ReadAt(fds_[member].get(), buffer, length, offset) == static_cast<int64_t>(length)) return true;
  if (failedMember != nullptr) *failedMember = member;
  return false;
}

int64_t RaidVolumeReader::read(void* buffer, size_t length, int64_t offset, size_t* failedMember) const {
  if (offset < 0 || offset >= size_) return 0;
  const int64_t total = std::min<int64_t>(static_cast<int64_t>(std::min<size_t>(length, INT64_MAX)), size_ - offset);
  readRowsAhead(offset, offset + total);
  char* out = static_cast<char*>(buffer);
  const std::vector<size_t>& order = geometry_.memberOrder;

  if (geometry_.layout == RaidLayout::Mirror) {
    // Any copy will do; a copy that fails to read is passed over for the next.
    size_t failed = 0;
    for (size_t member : order)
      if (fds_[member] && readMember(member, out, static_cast<size_t>(total), startBytes_ + offset, &failed)) return total;
    if (failedMember != nullptr) *failedMember = failed;
    return -1;
  }

  if (geometry_.layout == RaidLayout::Spanned) {
    for (const SpannedPiece& piece : spannedPieces(offset, total)) {
      if (!readMember(piece.member, out, piece.size, piece.position, failedMember)) return -1;
      out += piece.size;
    }
    return total;
  }

  thread_local std::vector<char> scratch;
  const auto members = static_cast<int64_t>(order.size());
  if (geometry_.layout == RaidLayout::Raid10Near2) {
    for (int64_t done = 0; done < total;) {
      const int64_t at = offset + done;
      const int64_t within = at % stripeBytes_;
      const auto take = static_cast<size_t>(std::min(total - done, stripeBytes_ - within));
      // The stripe's two copies, in the order md writes them; the second serves when the first
      // member is missing or fails to read.
      const int64_t first = 2 * (at / stripeBytes_);
      bool read = false;
      size_t failed = 0;
      for (const int64_t copy : {first, first + 1}) {
        const size_t member = order[static_cast<size_t>(copy % members)];
        if (fds_[member] && readMember(member, out + done, take, startBytes_ + copy / members * stripeBytes_ + within, &failed)) {
          read = true;
          break;
        }
      }
      if (!read) {
        if (failedMember != nullptr) *failedMember = failed;
        return -1;
      }
      done += static_cast<int64_t>(take);
    }
    return total;
  }
  if (IsRaid6(geometry_.layout)) return readRaid6(out, total, offset, failedMember);
  for (int64_t done = 0; done < total;) {
    const int64_t at = offset + done;
    const int64_t chunk = at / stripeBytes_;
    const int64_t within = at % stripeBytes_;
    const auto take = static_cast<size_t>(std::min(total - done, stripeBytes_ - within));
    const RaidStripeSlot slot = PlaceOfStripe(geometry_.layout, members, chunk, geometry_.parityDelay);
    const int64_t memberOffset = startBytes_ + slot.row * stripeBytes_ + within;
    const size_t member = order[slot.position];
    if (fds_[member]) {
      if (!readMember(member, out + done, take, memberOffset, failedMember)) return -1;
    } else {
      // The missing member's stripe is the XOR of the row's other stripes, parity included.
      std::memset(out + done, 0, take);
      scratch.resize(take);
      for (size_t position = 0; position < order.size(); ++position) {
        if (position == slot.position) continue;
        if (!readMember(order[position], scratch.data(), take, memberOffset, failedMember)) return -1;
        XorInto(out + done, scratch.data(), take);
      }
    }
    done += static_cast<int64_t>(take);
  }
  return total;
}

bool RaidVolumeReader::locate(int64_t offset, size_t length, std::vector<MemberPiece>& pieces) const {
  if (offset < 0 || offset >= size_) return true;
  const int64_t total = std::min<int64_t>(static_cast<int64_t>(std::min<size_t>(length, INT64_MAX)), size_ - offset);
  if (geometry_.layout == RaidLayout::Spanned) {
    for (const SpannedPiece& piece : spannedPieces(offset, total))
      pieces.push_back({fds_[piece.member].get(), piece.position, piece.size});
    return true;
  }
  readRowsAhead(offset, offset + total);
  if (geometry_.layout == RaidLayout::Mirror) {
    for (size_t member : geometry_.memberOrder)
      if (fds_[member]) {
        pieces.push_back({fds_[member].get(), startBytes_ + offset, static_cast<size_t>(total)});
        return true;
      }
    return false;
  }
  for (int64_t done = 0; done < total;) {
    const int64_t at = offset + done;
    const int64_t within = at % stripeBytes_;
    const auto take = static_cast<size_t>(std::min(total - done, stripeBytes_ - within));
    const std::optional<StripePlace> place = placeOfStripe(at / stripeBytes_);
    if (!place) return false;
    pieces.push_back({fds_[place->member].get(), place->position + within, take});
    done += static_cast<int64_t>(take);
  }
  return true;
}

int64_t RaidVolumeReader::readRaid6(char* out, int64_t total, int64_t offset, size_t* failedMember) const {
  const Galois& field = Field();
  const std::vector<size_t>& order = geometry_.memberOrder;
  const auto members = static_cast<int64_t>(order.size());
  thread_local std::vector<char> scratch, pSum, qSum;
  for (int64_t done = 0; done < total;) {
    const int64_t at = offset + done;
    const int64_t within = at % stripeBytes_;
    const auto take = static_cast<size_t>(std::min(total - done, stripeBytes_ - within));
    const Raid6Slot slot = PlaceRaid6(members, at / stripeBytes_);
    const int64_t memberOffset = startBytes_ + slot.row * stripeBytes_ + within;
    char* wanted = out + done;
    done += static_cast<int64_t>(take);
    if (fds_[order[slot.data]]) {
      if (!readMember(order[slot.data], wanted, take, memberOffset, failedMember)) return -1;
      continue;
    }
    // The stripe is rebuilt from P (the XOR of the row's data) or, where P or a second data stripe
    // is missing too, from Q (the sum of data stripe i times 2^i): the data present is taken out
    // of both, leaving what the missing stripes add.
    pSum.assign(take, 0);
    qSum.assign(take, 0);
    scratch.resize(take);
    int64_t otherMissing = -1;
    for (int64_t index = 0; index < members - 2; ++index) {
      if (index == slot.index) continue;
      const size_t member = order[static_cast<size_t>((slot.p + 2 + static_cast<size_t>(index)) % static_cast<size_t>(members))];
      if (!fds_[member]) {
        otherMissing = index;
        continue;
      }
      if (!readMember(member, scratch.data(), take, memberOffset, failedMember)) return -1;
      for (size_t i = 0; i < take; ++i) {
        const auto byte = static_cast<uint8_t>(scratch[i]);
        pSum[i] = static_cast<char>(pSum[i] ^ byte);
        qSum[i] = static_cast<char>(qSum[i] ^ field.multiply(byte, static_cast<int>(index)));
      }
    }
    const bool haveP = static_cast<bool>(fds_[order[slot.p]]);
    const bool haveQ = static_cast<bool>(fds_[order[slot.q]]);
    if (haveP) {
      if (!readMember(order[slot.p], scratch.data(), take, memberOffset, failedMember)) return -1;
      XorInto(pSum.data(), scratch.data(), take);  // now the XOR of the missing data
    }
    if (haveQ) {
      if (!readMember(order[slot.q], scratch.data(), take, memberOffset, failedMember)) return -1;
      XorInto(qSum.data(), scratch.data(), take);  // now the syndrome of the missing data
    }
    const auto x = static_cast<int>(slot.index);
    if (otherMissing < 0 && haveP) {
      std::memcpy(wanted, pSum.data(), take);
    } else if (otherMissing < 0) {
      // D_x = Q' × 2^-x
      for (size_t i = 0; i < take; ++i)
        wanted[i] = static_cast<char>(field.multiply(static_cast<uint8_t>(qSum[i]), 255 - x));
    } else {
      // Two data stripes x and y missing: D_x + D_y = P', 2^x D_x + 2^y D_y = Q', so
      // D_x = (Q' + 2^y P') / (2^x + 2^y).
      const auto y = static_cast<int>(otherMissing);
      const uint8_t divisor = field.inverse(static_cast<uint8_t>(field.exp[static_cast<size_t>(x)] ^ field.exp[static_cast<size_t>(y)]));
      for (size_t i = 0; i < take; ++i) {
        const auto sum = static_cast<uint8_t>(static_cast<uint8_t>(qSum[i]) ^ field.multiply(static_cast<uint8_t>(pSum[i]), y));
        wanted[i] = static_cast<char>(field.times(sum, divisor));
      }
    }
  }
  return total;
}

RaidVolumeResult RunRaidAssembly(const RaidVolumeRequest& request, const std::atomic<int>& stop,
                                 RaidVolumeReporter& reporter) {
  RaidVolumeResult result;
  std::vector<fs::path> present;
  for (const RaidMember& member : request.members)
    if (!IsMissingMember(member)) present.push_back(member.path);
  // The image is checked against every member before any member is opened or anything created.
  const bool replacesKept = std::any_of(request.kept.begin(), request.kept.end(),
                                        [&request](const fs::path& kept) { return SameOutput(request.target, kept); });
  if (request.target.empty() || replacesKept || RefusalOfOutput(request.target, present) != OutputRefusal::None) {
    result.end = RaidVolumeEnd::Refused;
    result.refusal = RaidVolumeRefusal::Target;
    return result;
  }
  const std::unique_ptr<RaidVolumeReader> reader = RaidVolumeReader::Open(request, result);
  if (!reader) return result;

  OutputRefusal refusal = OutputRefusal::None;
  UniqueFd target = CreateOutput(request.target, present, {}, &refusal);
  if (!target) {
    if (refusal != OutputRefusal::None) {
      result.end = RaidVolumeEnd::Refused;
      result.refusal = RaidVolumeRefusal::Target;
    } else {
      result.end = RaidVolumeEnd::TargetNotCreated;
    }
    return result;
  }

  const int64_t size = reader->size();
  const int64_t maximum = (size + kMiB - 1) / kMiB;
  reporter.Progress(0, maximum);
  std::vector<char> buffer(static_cast<size_t>(kCopyBytes));
  while (result.written < size) {
    if (stop.load(std::memory_order_relaxed) != 0) {
      result.end = RaidVolumeEnd::Stopped;
      break;
    }
    const int64_t length = std::min(kCopyBytes, size - result.written);
    size_t failed = 0;
    if (reader->read(buffer.data(), static_cast<size_t>(length), result.written, &failed) != length) {
      result.end = RaidVolumeEnd::ReadFailed;
      result.failedPath = request.members[failed].path;
      break;
    }
    bool written = true;
    for (int64_t piece = 0; piece < length && written; piece += kHoleBytes) {
      const auto pieceLength = static_cast<size_t>(std::min(kHoleBytes, length - piece));
      const char* data = buffer.data() + piece;
      if (!AllZero(data, pieceLength)) written = WriteAllAt(target.get(), data, pieceLength, result.written + piece);
    }
    if (!written) {
      result.end = RaidVolumeEnd::WriteFailed;
      break;
    }
    result.written += length;
    reporter.Progress(result.written / kMiB, maximum);
  }
  // Holes at the end are no writes: the length makes them part of the image.
  if (!SetFileLength(target.get(), result.written) && result.end == RaidVolumeEnd::Completed)
    result.end = RaidVolumeEnd::WriteFailed;
  if (!CloseOutput(target) && result.end == RaidVolumeEnd::Completed) result.end = RaidVolumeEnd::WriteFailed;
  reporter.Progress(0, maximum);
  return result;
}

std::u16string RaidVolumeOutcomeText(const RaidVolumeResult& result) {
  switch (result.end) {
    case RaidVolumeEnd::Completed:
    case RaidVolumeEnd::Stopped: return {};
    case RaidVolumeEnd::TargetNotCreated:
    case RaidVolumeEnd::WriteFailed: return u"Failed to create file";
    case RaidVolumeEnd::MemberNotOpened: return u"Access:" + PathToText(result.failedPath);
    case RaidVolumeEnd::ReadFailed: return u"Read error:" + PathToText(result.failedPath);
    case RaidVolumeEnd::Refused:
      switch (result.refusal) {
        case RaidVolumeRefusal::MemberRepeated:
          return u"Member given twice:" + PathToText(result.repeatedPath) + u", " + PathToText(result.failedPath);
        case RaidVolumeRefusal::MemberNotAFile: return u"Access:" + PathToText(result.failedPath);
        case RaidVolumeRefusal::Geometry: return u"The geometry does not fit the members";
        case RaidVolumeRefusal::TooManyMissing: return u"Too many members missing for this layout";
        case RaidVolumeRefusal::None:
        case RaidVolumeRefusal::Target: return u"Failed to create file";
      }
      break;
  }
  return {};
}

}  // namespace brenvik
