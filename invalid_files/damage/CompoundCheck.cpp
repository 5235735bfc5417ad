// Compound files (.doc, .xls, .ppt, .msg): the header, the FAT (every FAT sector inside the file),
// the directory chain, every stream's chain (long enough for its size, inside the file, never in a
// circle), and the first records of the main stream of Word, Excel and PowerPoint files. Read
// through the program's own compound-file reader.
#include <algorithm>
#include <string>
#include <vector>

#include "invalid_files/damage/FileSource.h"
#include "platform/ByteOrder.h"
#include "readers/DocumentReader.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "compound file";
constexpr uint32_t kSector = DocumentReader::kSectorSize;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kLastRegularSector = 0xFFFFFFFA;
constexpr uint32_t kBiffLongestRecord = 8224;
constexpr uint32_t kMainStreamBound = 256u << 20;

enum class MainKind { None, Word, Excel, PowerPoint };

struct Stream {
  StreamLocation location;
  std::string name;  // ASCII letters of the name, for the reason
  MainKind kind = MainKind::None;
};

std::string AsciiName(const DirectoryEntry& entry) {
  std::string name;
  for (uint16_t i = 0; i + 2 < entry.nameLength; i += 2) {
    const uint16_t unit = LoadU16(entry.bytes + i);
    name += unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
  }
  return name;
}

class CompoundCheck {
 public:
  CompoundCheck(const FileSource& file) : file_(file) { reader_.stopFlag = file.stop; }
  ~CompoundCheck() { reader_.FreeBuffers(); }

  IntegrityVerdict Run();

 private:
  // Follows a chain of whole sectors from `start`: at least `needed` of them, or to its end when
  // `needed` is 0. Empty when it is sound, else what is wrong with it.
  std::string FollowRegular(uint32_t start, uint64_t needed);
  std::string FollowMini(uint32_t start, uint64_t needed);
  std::string CheckMainStream(const Stream& stream);

  const FileSource& file_;
  DocumentReader reader_;
};

std::string CompoundCheck::FollowRegular(uint32_t start, uint64_t needed) {
  ChainVisits visits = reader_.RegularChain();
  uint64_t count = 0;
  for (uint32_t sector = start; needed == 0 || count < needed; ++count) {
    if (sector == kEndOfChain && needed == 0) return {};
    if (sector >= kLastRegularSector) return "ends early";
    if ((uint64_t{sector} + 2) * kSector > static_cast<uint64_t>(file_.size)) return "runs past the end of the file";
    if (!reader_.StepChain(visits, sector)) return file_.Stopped() ? std::string() : "runs in a circle";
    if (!reader_.FatEntry(file_.fd, sector, sector)) return "leaves the FAT";
  }
  return {};
}

std::string CompoundCheck::FollowMini(uint32_t start, uint64_t needed) {
  const uint64_t miniSectors = reader_.rootStream.size / DocumentReader::kMiniSectorSize;
  ChainVisits visits(miniSectors);
  uint32_t sector = start;
  for (uint64_t count = 0; count < needed; ++count) {
    if (sector >= miniSectors) return "leaves the mini stream";
    if (!reader_.StepChain(visits, sector)) return file_.Stopped() ? std::string() : "runs in a circle";
    if (!reader_.MiniFatEntry(sector, sector)) return "leaves the mini FAT";
  }
  return {};
}

// Walks records of a 2-byte type and a length (BIFF: 2-byte length, PowerPoint: 4-byte after
// 2 bytes of version) to the stream's end; zeros may pad the stream after the last record.
std::string WalkRecords(const std::vector<uint8_t>& bytes, size_t headerSize, size_t typeAt, bool wideLength) {
  size_t at = 0;
  while (at + headerSize <= bytes.size()) {
    const uint16_t type = LoadU16(bytes.data() + at + typeAt);
    const uint64_t length = wideLength ? LoadU32(bytes.data() + at + 4) : LoadU16(bytes.data() + at + 2);
    if (type == 0) {
      if (std::all_of(bytes.begin() + static_cast<ptrdiff_t>(at), bytes.end(), [](uint8_t b) { return b == 0; }))
        return {};
      return "records damaged at byte " + std::to_string(at);
    }
    if ((!wideLength && length > kBiffLongestRecord) || length > bytes.size() - at - headerSize)
      return "records damaged at byte " + std::to_string(at);
    at += headerSize + static_cast<size_t>(length);
  }
  return {};
}

std::string CompoundCheck::CheckMainStream(const Stream& stream) {
  const uint32_t size = std::min(stream.location.size, kMainStreamBound);
  if (size < 8) return "main stream too short";
  std::vector<uint8_t> bytes(size, 0);
  if (!reader_.ReadStream(file_.fd, stream.location, bytes)) return "main stream unreadable";
  switch (stream.kind) {
    case MainKind::Word: {
      const uint16_t ident = LoadU16(bytes.data());
      return ident == 0xA5EC || ident == 0xA5DC ? std::string() : "document header damaged";
    }
    case MainKind::Excel: {
      const uint16_t first = LoadU16(bytes.data());
      if (first != 0x0809 && first != 0x0409 && first != 0x0209 && first != 0x0009) return "workbook header damaged";
      const std::string walk = WalkRecords(bytes, 4, 0, false);
      return walk.empty() ? walk : "workbook " + walk;
    }
    case MainKind::PowerPoint: {
      const std::string walk = WalkRecords(bytes, 8, 2, true);
      return walk.empty() ? walk : "presentation " + walk;
    }
    case MainKind::None: break;
  }
  return {};
}

IntegrityVerdict CompoundCheck::Run() {
  uint8_t shift[2] = {};
  // Only 512-byte sectors are read; the rarer 4096-byte kind is not judged.
  if (!file_.ReadExact(30, shift, 2)) return IntegrityVerdict::Damaged(kType, "header cut short");
  if (LoadU16(shift) != 9) return IntegrityVerdict::Unjudged();
  if (!reader_.LoadTables(file_.fd)) return IntegrityVerdict::Damaged(kType, "header damaged");
  const uint64_t fatSectorsNeeded = (reader_.fatByteSize + kSector - 1) / kSector;
  if (reader_.fatSectors.size() < fatSectorsNeeded) return IntegrityVerdict::Damaged(kType, "FAT sector outside the file");

  if (std::string why = FollowRegular(reader_.firstDirectorySector, 0); !why.empty())
    return IntegrityVerdict::Damaged(kType, "directory chain " + why);
  std::vector<Stream> streams;
  const auto walk = reader_.WalkDirectory(file_.fd, [&](const DirectoryEntry& entry) {
    Stream stream{entry.location(), AsciiName(entry), MainKind::None};
    if (entry.nameIs(u"WordDocument")) stream.kind = MainKind::Word;
    if (entry.nameIs(u"Workbook") || entry.nameIs(u"Book")) stream.kind = MainKind::Excel;
    if (entry.nameIs(u"PowerPoint Document")) stream.kind = MainKind::PowerPoint;
    streams.push_back(std::move(stream));
    return DocumentReader::EntryVerdict::Continue;
  });
  if (file_.Stopped()) return IntegrityVerdict::Unjudged();
  if (walk == DocumentReader::DirectoryEnd::Malformed) return IntegrityVerdict::Damaged(kType, "directory damaged");

  const StreamLocation root = reader_.rootStream;
  if (root.size > 0) {
    if (std::string why = FollowRegular(root.startSector, (uint64_t{root.size} + kSector - 1) / kSector); !why.empty())
      return IntegrityVerdict::Damaged(kType, "mini stream chain " + why);
    reader_.LoadMiniStream(file_.fd);
  }
  for (const Stream& stream : streams) {
    const uint64_t size = stream.location.size;
    if (size == 0) continue;
    const bool mini = size < reader_.miniStreamCutoff;
    // A mini stream too large to load is not followed; its chains were bounded above.
    if (mini && reader_.miniStream.empty()) continue;
    const std::string why =
        mini ? FollowMini(stream.location.startSector, (size + DocumentReader::kMiniSectorSize - 1) /
                                                           DocumentReader::kMiniSectorSize)
             : FollowRegular(stream.location.startSector, (size + kSector - 1) / kSector);
    if (file_.Stopped()) return IntegrityVerdict::Unjudged();
    if (!why.empty()) return IntegrityVerdict::Damaged(kType, "chain of stream " + stream.name + " " + why);
  }
  for (const Stream& stream : streams) {
    if (stream.kind == MainKind::None) continue;
    if (std::string why = CheckMainStream(stream); !why.empty()) return IntegrityVerdict::Damaged(kType, why);
  }

  // The file ends after its last sector in use; free sectors may follow it inside the file.
  int64_t end = kSector;
  for (uint32_t sector = 0; uint64_t{sector} * 4 + 4 <= reader_.fatByteSize; ++sector) {
    uint32_t next = kFreeSector;
    if (!reader_.FatEntry(file_.fd, sector, next)) break;
    if (next != kFreeSector) end = std::max<int64_t>(end, (int64_t{sector} + 2) * kSector);
  }
  return IntegrityVerdict::EndsAt(std::min(end, file_.size), file_.size);
}

}  // namespace

IntegrityVerdict CheckCompound(const FileSource& file) { return CompoundCheck(file).Run(); }

}  // namespace brenvik::damage
