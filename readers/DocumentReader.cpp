#include "readers/DocumentReader.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace brenvik {

namespace {

constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint32_t kHeaderSize = 512;
constexpr uint32_t kDirectoryEntrySize = 128;
constexpr uint32_t kSpecialSectorMarkers = 0xFFFFFFFC;  // DIFAT, FAT, end of chain, free
constexpr uint32_t kDifatEntriesPerSector = 127;        // the 128th links to the next DIFAT sector
constexpr uint32_t kFirstDifatSectorLimit = 0x200000;
// No chain reaches a sector number at or above kSectorBound, so no table needs more entries.
constexpr uint64_t kTableByteCap = uint64_t{DocumentReader::kSectorBound} * 4;

// Reads a contiguous run of chain sectors with one read instead of one per sector, through
// `read(destination, bytes, offset)`.
template <typename Read>
class RunReader {
 public:
  RunReader(Read read, uint8_t* destination) : read_(std::move(read)), destination_(destination) {}
  // Queues `bytes` from file offset `offset` to destination offset `at`; false on a read error.
  bool add(uint64_t offset, size_t at, size_t bytes) {
    if (length_ != 0 && offset == offset_ + length_ && at == at_ + length_) {
      length_ += bytes;
      return true;
    }
    if (!flush()) return false;
    offset_ = offset;
    at_ = at;
    length_ = bytes;
    return true;
  }
  bool flush() {
    if (length_ == 0) return true;
    const bool ok = read_(destination_ + at_, length_, offset_);
    length_ = 0;
    return ok;
  }

 private:
  Read read_;
  uint8_t* destination_;
  uint64_t offset_ = 0;
  size_t at_ = 0;
  size_t length_ = 0;
};

}  // namespace

// The DIFAT chain may reach kSectorBound itself, so the visits cover it too.
ChainVisits::ChainVisits(uint64_t sectorCount)
    : seen_(static_cast<size_t>(std::min<uint64_t>(sectorCount, uint64_t{DocumentReader::kSectorBound} + 1))) {}

bool ChainVisits::First(uint32_t sector) {
  if (sector >= seen_.size()) return true;
  if (seen_[sector]) return false;
  seen_[sector] = true;
  return true;
}

bool DirectoryEntry::nameIs(std::u16string_view name, bool withTerminator) const {
  const size_t units = name.size() + (withTerminator ? 1 : 0);
  if (units * 2 > 64) return false;
  for (size_t i = 0; i < units; ++i) {
    const char16_t unit = i < name.size() ? name[i] : u'\0';
    if (LoadU16(&bytes[2 * i]) != unit)
      return false;
  }
  return true;
}

void DocumentReader::ResetReader() {
  FreeBuffers();
  fileLength = 0;
  byteOrder = 0;
  sectorSize = miniSectorSize = 0;
  fatSectorCount = firstDirectorySector = miniStreamCutoff = 0;
  firstMiniFatSector = miniFatSectorCount = firstDifatSector = difatSectorCount = 0;
  headerDifat.fill(0);
  fatByteSize = 0;
  rootStream = mainStream = table1Stream = table0Stream = summaryStream = StreamLocation{};
  dateText.clear();
  sheetText.clear();
  contentText.clear();
  topApplication = CompoundApplication::Unknown;
  wordInfo = WordFileInfo{};
  pieceRanges.clear();
  pieceTextLocations.clear();
  work = ReadWork{};
}

bool DocumentReader::StepChain(ChainVisits& visits, uint32_t sector) {
  if (stopRequested() || !visits.First(sector)) return false;
  ++work.sectorsVisited;
  return true;
}

void DocumentReader::DropResultsIfStopped() {
  if (!stopRequested()) return;
  dateText.clear();
  sheetText.clear();
  contentText.clear();
}

ChainVisits DocumentReader::RegularChain() const {
  // A chunk shorter than a sector may sit in the file's last, partial sector.
  const uint64_t length = fileLength > 0 ? static_cast<uint64_t>(fileLength) : 0;
  return ChainVisits((length + kSectorSize - 1) / kSectorSize);
}

ChainVisits DocumentReader::MiniChain() const {
  return ChainVisits((uint64_t{miniStream.size()} + kMiniSectorSize - 1) / kMiniSectorSize);
}

uint64_t DocumentReader::StreamCapacity(const StreamLocation& stream) const {
  if (stream.size < miniStreamCutoff) return miniStream.size();
  // Sector n starts at (n + 1) * 512, so the header leaves one sector fewer than the file has.
  return fileLength > static_cast<int64_t>(kSectorSize) ? static_cast<uint64_t>(fileLength) - kSectorSize : 0;
}

void DocumentReader::FreeBuffers() {
  // swap with empties so the memory really goes back between files
  std::vector<uint32_t>().swap(fatSectors);
  std::vector<uint8_t>().swap(fat);
  std::vector<bool>().swap(fatSectorLoaded);
  std::vector<uint8_t>().swap(miniFat);
  std::vector<uint8_t>().swap(miniStream);
  std::vector<uint8_t>().swap(tableStream);
  std::vector<uint8_t>().swap(wholeFile_);
}

bool DocumentReader::sectorInsideFile(uint32_t sector, uint32_t bytes) const {
  if (fileLength < 0) return false;
  return (uint64_t{sector} + 1) * kSectorSize + bytes <= static_cast<uint64_t>(fileLength);
}

bool DocumentReader::readSector(int fd, uint32_t sector, uint8_t* destination, uint32_t bytes) const {
  if (!sectorInsideFile(sector, bytes)) return false;
  return readBytes(fd, destination, bytes, (uint64_t{sector} + 1) * kSectorSize);
}

bool DocumentReader::readBytes(int fd, uint8_t* destination, size_t bytes, uint64_t offset) const {
  if (!wholeFile_.empty()) {
    if (offset > wholeFile_.size() || wholeFile_.size() - offset < bytes) return false;
    std::memcpy(destination, wholeFile_.data() + offset, bytes);
    return true;
  }
  return ReadAt(fd, destination, bytes, static_cast<int64_t>(offset)) == static_cast<int64_t>(bytes);
}

bool DocumentReader::ReadHeader(int fd, const uint8_t* known, int64_t knownLength) {
  fileLength = knownLength >= 0 ? knownLength : FileSize(fd);
  uint8_t header[kHeaderSize] = {};
  if (fileLength >= kHeaderSize) {
    if (known != nullptr)
      std::memcpy(header, known, kHeaderSize);
    else if (ReadAt(fd, header, kHeaderSize, 0) != kHeaderSize)
      std::memset(header, 0, sizeof header);
  }

  const uint16_t sectorShift = LoadU16(header + 30);
  const uint16_t miniSectorShift = LoadU16(header + 32);
  const uint32_t fatSectors = LoadU32(header + 44);
  const uint32_t directorySector = LoadU32(header + 48);
  const uint32_t cutoff = LoadU32(header + 56);
  const uint32_t miniFatSector = LoadU32(header + 60);
  const uint32_t miniFatSectors = LoadU32(header + 64);
  const uint32_t difatSector = LoadU32(header + 68);
  const uint32_t difatSectors = LoadU32(header + 72);
  const uint64_t wholeSectors = fileLength > 0 ? static_cast<uint64_t>(fileLength) / kSectorSize : 0;

  const bool valid = std::memcmp(header, kSignature, sizeof kSignature) == 0 && miniSectorShift == 6 &&
                     sectorShift == 9 && fatSectors != 0 && fatSectors <= wholeSectors &&
                     directorySector <= wholeSectors && (cutoff & 0x1FF) == 0 &&
                     (miniFatSector <= wholeSectors || miniFatSector >= kSpecialSectorMarkers) &&
                     miniFatSectors <= wholeSectors &&
                     (difatSector <= wholeSectors || difatSector >= kSpecialSectorMarkers) &&
                     (difatSectors == 0 || difatSector <= kFirstDifatSectorLimit) && difatSectors <= wholeSectors &&
                     difatSectors <= kMaxDifatSectors &&
                     uint64_t{difatSectors} * kDifatEntriesPerSector + kHeaderDifatCount >= fatSectors;
  if (!valid) return false;

  byteOrder = LoadU16(header + 28);
  sectorSize = 1u << sectorShift;
  miniSectorSize = 1u << miniSectorShift;
  fatSectorCount = fatSectors;
  firstDirectorySector = directorySector;
  miniStreamCutoff = cutoff;
  firstMiniFatSector = miniFatSector;
  miniFatSectorCount = miniFatSectors;
  firstDifatSector = difatSector;
  difatSectorCount = difatSectors;
  for (uint32_t i = 0; i < kHeaderDifatCount; ++i) headerDifat[i] = LoadU32(header + 76 + 4 * i);
  return true;
}

bool DocumentReader::listFatSector(uint32_t sector) {
  if (sector > kSectorBound || !sectorInsideFile(sector, kSectorSize)) return false;
  fatSectors.push_back(sector);
  return true;
}

void DocumentReader::AssembleFat(int fd) {
  fatByteSize = std::min<uint64_t>(uint64_t{fatSectorCount} * kSectorSize, kTableByteCap);
  fatSectors.clear();
  [&] {
    for (uint32_t entry : headerDifat) {
      if (!listFatSector(entry) || fatFull()) return;
    }
    uint8_t difat[kSectorSize];
    ChainVisits visits = RegularChain();
    for (uint32_t sector = firstDifatSector; sector <= kSectorBound && !fatFull();
         sector = LoadU32(difat + kSectorSize - 4)) {
      if (!StepChain(visits, sector) || !readSector(fd, sector, difat, kSectorSize)) return;
      for (uint32_t i = 0; i < kDifatEntriesPerSector; ++i) {
        if (!listFatSector(LoadU32(difat + 4 * i)) || fatFull()) return;
      }
    }
  }();
  fat.assign(fatSectors.size() * kSectorSize, 0xFF);
  fatSectorLoaded.assign(fatSectors.size(), false);
}

bool DocumentReader::FatEntry(int fd, uint32_t sector, uint32_t& next) {
  const uint64_t entryEnd = uint64_t{sector} * 4 + 4;
  if (entryEnd > fatByteSize) return false;
  const size_t index = static_cast<size_t>(sector / (kSectorSize / 4));
  if (index >= fatSectors.size()) {
    next = 0xFFFFFFFF;  // a FAT sector that could not be listed reads as end of chain
    return true;
  }
  if (!fatSectorLoaded[index]) {
    fatSectorLoaded[index] = true;
    uint8_t* place = fat.data() + index * kSectorSize;
    if (!readSector(fd, fatSectors[index], place, kSectorSize)) std::memset(place, 0xFF, kSectorSize);
  }
  next = LoadU32(fat.data() + uint64_t{sector} * 4);
  return true;
}

bool DocumentReader::MiniFatEntry(uint32_t sector, uint32_t& next) const {
  if (uint64_t{sector} * 4 + 4 > miniFat.size()) return false;
  next = LoadU32(miniFat.data() + uint64_t{sector} * 4);
  return true;
}

void DocumentReader::LoadMiniFat(int fd) {
  miniFat.clear();
  if (miniFatSectorCount == 0) return;
  const uint64_t size = std::min<uint64_t>(uint64_t{miniFatSectorCount} * kSectorSize, kTableByteCap);
  miniFat.assign(static_cast<size_t>(size), 0xFF);
  size_t filled = 0;
  uint32_t sector = firstMiniFatSector;
  ChainVisits visits = RegularChain();
  while (sector < kSectorBound && StepChain(visits, sector)) {
    if (!readSector(fd, sector, miniFat.data() + filled, kSectorSize)) {
      std::memset(miniFat.data() + filled, 0xFF, kSectorSize);
      return;
    }
    filled += kSectorSize;
    if (filled >= miniFat.size()) return;
    if (!FatEntry(fd, sector, sector)) return;
  }
}

bool DocumentReader::LoadTables(int fd) {
  if (!ReadHeader(fd)) return false;
  AssembleFat(fd);
  LoadMiniFat(fd);
  return true;
}

DocumentReader::DirectoryEnd DocumentReader::WalkDirectory(int fd, const EntryRule& rule, bool everyEntry) {
  bool rootSeen = false;
  uint32_t walked = 0;
  uint32_t firstIndex = 0;  // id of the current sector's first entry
  uint8_t block[kSectorSize];
  ChainVisits visits = RegularChain();
  for (uint32_t sector = firstDirectorySector; sector < kSectorBound && StepChain(visits, sector);) {
    if (!readSector(fd, sector, block, kSectorSize)) return DirectoryEnd::Finished;
    for (uint32_t at = 0; at < kSectorSize; at += kDirectoryEntrySize) {
      const uint8_t* bytes = block + at;
      if (std::all_of(bytes, bytes + 8, [](uint8_t b) { return b == 0; })) continue;
      DirectoryEntry entry;
      entry.bytes = bytes;
      entry.nameLength = LoadU16(bytes + 64);
      entry.objectType = bytes[66];
      const uint8_t colour = bytes[67];
      entry.startSector = LoadU32(bytes + 116);
      entry.streamSize = LoadU32(bytes + 120);
      entry.index = firstIndex + at / kDirectoryEntrySize;
      entry.leftSibling = LoadU32(bytes + 68);
      entry.rightSibling = LoadU32(bytes + 72);
      entry.child = LoadU32(bytes + 76);
      const bool wellFormed = entry.objectType <= 5 && colour <= 1 && entry.nameLength >= 3 &&
                              entry.nameLength <= 64 && LoadU16(bytes + entry.nameLength - 2) == 0;
      if (!wellFormed) return DirectoryEnd::Malformed;
      if (!rootSeen) {
        if (entry.objectType != 5 || !entry.nameIs(u"Root Entry")) return DirectoryEnd::Malformed;
        rootStream = entry.location();
        rootSeen = true;
        if (everyEntry && rule && rule(entry) == EntryVerdict::Stop) return DirectoryEnd::StoppedByClient;
        continue;
      }
      if ((entry.objectType == 2 || everyEntry) && rule && rule(entry) == EntryVerdict::Stop)
        return DirectoryEnd::StoppedByClient;
    }
    walked += kSectorSize;
    firstIndex += kSectorSize / kDirectoryEntrySize;
    if (walked >= kDirectoryWalkBound) break;
    if (!FatEntry(fd, sector, sector)) break;
  }
  return DirectoryEnd::Finished;
}

void DocumentReader::LoadMiniStream(int fd) {
  miniStream.clear();
  if (rootStream.size == 0 || rootStream.size > kMiniStreamBound) return;
  miniStream.assign(rootStream.size, 0);
  ReadRegularStream(fd, rootStream.startSector, miniStream);
}

bool DocumentReader::ReadRegularStream(int fd, uint32_t startSector, std::span<uint8_t> destination) {
  RunReader reader([this, fd](uint8_t* to, size_t bytes, uint64_t offset) { return readBytes(fd, to, bytes, offset); },
                   destination.data());
  size_t gathered = 0;
  ChainVisits visits = RegularChain();
  for (uint32_t sector = startSector; sector < kSectorBound && gathered < destination.size();) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(kSectorSize, destination.size() - gathered));
    uint32_t next = 0;
    if (!sectorInsideFile(sector, chunk)) {
      reader.flush();
      return false;
    }
    if (!StepChain(visits, sector)) break;  // the rest of the destination stays zero
    if (!reader.add((uint64_t{sector} + 1) * kSectorSize, gathered, chunk) || !FatEntry(fd, sector, next)) {
      reader.flush();
      return false;
    }
    gathered += chunk;
    sector = next;
  }
  return reader.flush();
}

bool DocumentReader::ReadMiniStream(uint32_t startSector, std::span<uint8_t> destination) {
  size_t gathered = 0;
  ChainVisits visits = MiniChain();
  for (uint32_t sector = startSector; sector < kSectorBound && gathered < destination.size();) {
    const size_t chunk = std::min<size_t>(kMiniSectorSize, destination.size() - gathered);
    const uint64_t offset = uint64_t{sector} * kMiniSectorSize;
    if (offset + chunk > miniStream.size()) return false;
    if (!StepChain(visits, sector)) break;
    std::memcpy(destination.data() + gathered, miniStream.data() + offset, chunk);
    if (!MiniFatEntry(sector, sector)) return false;
    gathered += chunk;
  }
  return true;
}

bool DocumentReader::ReadStream(int fd, const StreamLocation& stream, std::span<uint8_t> destination) {
  if (stream.size >= miniStreamCutoff) return ReadRegularStream(fd, stream.startSector, destination);
  return ReadMiniStream(stream.startSector, destination);
}

// The template flag of the File Information Block at the start of the WordDocument stream, which
// tells a .dot from a .doc.
bool DocumentReader::wordTemplateFlag(int fd, const StreamLocation& wordDocument) {
  constexpr uint16_t kTemplateFlag = 0x0001;
  if (wordDocument.size < miniStreamCutoff) {
    LoadMiniFat(fd);
    LoadMiniStream(fd);
  }
  std::array<uint8_t, 12> fib{};
  if (wordDocument.size < fib.size() || !ReadStream(fd, wordDocument, fib)) return false;
  return LoadU16(fib.data()) == kWordMagic && (LoadU16(fib.data() + 10) & kTemplateFlag) != 0;
}

int DocumentReader::ProbeCompoundFile(UniqueFd file) { return probe(file.get(), nullptr); }

int DocumentReader::ProbeCompoundFile(UniqueFd file, std::span<const uint8_t, 512> header, int64_t length) {
  return probe(file.get(), header.data(), length);
}

namespace {

// The application a stream's name stands for, by the streams each one keeps its document in.
CompoundApplication ApplicationOfStream(const DirectoryEntry& entry) {
  if (entry.nameIs(u"WordDocument")) return CompoundApplication::Word;
  if (entry.nameIs(u"Workbook") || entry.nameIs(u"Book")) return CompoundApplication::Excel;
  if (entry.nameIs(u"PowerPoint", false)) return CompoundApplication::PowerPoint;
  if (entry.nameIs(u"__substg1.0_", false)) return CompoundApplication::Message;  // a property of a message
  return CompoundApplication::Unknown;
}

// The links of one directory entry, kept while the probe walks the directory.
struct TreeNode {
  bool listed = false;
  uint8_t objectType = 0;
  uint32_t left = 0, right = 0;
  CompoundApplication application = CompoundApplication::Unknown;
  StreamLocation location;
};

// What the streams among the root's own children name: a message by any of its property
// streams, else the first Office main stream in directory order. Each entry is visited at most
// once, so a tree whose links run in circles still ends.
CompoundApplication TopApplication(const std::vector<TreeNode>& nodes, uint32_t firstChild, StreamLocation& wordDocument) {
  constexpr uint32_t kNoEntry = 0xFFFFFFFF;
  std::vector<bool> visited(nodes.size(), false);
  std::vector<uint32_t> pending{firstChild};
  uint32_t firstOffice = kNoEntry;
  bool message = false;
  while (!pending.empty()) {
    const uint32_t id = pending.back();
    pending.pop_back();
    if (id == kNoEntry || id >= nodes.size() || visited[id] || !nodes[id].listed) continue;
    visited[id] = true;
    const TreeNode& node = nodes[id];
    pending.push_back(node.left);
    pending.push_back(node.right);
    if (node.objectType != 2) continue;
    if (node.application == CompoundApplication::Message) message = true;
    else if (node.application != CompoundApplication::Unknown && id < firstOffice) firstOffice = id;
  }
  if (message) return CompoundApplication::Message;
  if (firstOffice == kNoEntry) return CompoundApplication::Unknown;
  if (nodes[firstOffice].application == CompoundApplication::Word) wordDocument = nodes[firstOffice].location;
  return nodes[firstOffice].application;
}

}  // namespace

int DocumentReader::probe(int fd, const uint8_t* knownHeader, int64_t knownLength) {
  ResetReader();
  if (!ReadHeader(fd, knownHeader, knownLength)) return kProbeInvalidHeader;
  // The probe visits the header's FAT, directory and a stream's first sector or two, scattered
  // over the file: a small file costs fewer reads taken whole.
  constexpr int64_t kWholeProbeRead = 32 * 1024;
  if (fileLength <= kWholeProbeRead) {
    wholeFile_.resize(static_cast<size_t>(fileLength));
    if (ReadAt(fd, wholeFile_.data(), wholeFile_.size(), 0) != fileLength) wholeFile_.clear();
  }
  // The probe reads no stream but a Word document's first bytes, so it loads the mini FAT and the
  // mini stream only for a Word document small enough to live there.
  AssembleFat(fd);
  int result = kProbeUnknown;
  StreamLocation wordDocument;
  // The whole directory is walked (its size is bounded) to learn which streams sit at the top.
  std::vector<TreeNode> nodes;
  std::optional<uint32_t> firstChild;  // the root's, once the walk has met it
  WalkDirectory(
      fd,
      [&](const DirectoryEntry& entry) {
        if (!firstChild) {
          firstChild = entry.child;  // the walk offers the root first
          return EntryVerdict::Continue;
        }
        const CompoundApplication application = entry.objectType == 2 ? ApplicationOfStream(entry)
                                                                      : CompoundApplication::Unknown;
        if (entry.index >= nodes.size()) nodes.resize(size_t{entry.index} + 1);
        nodes[entry.index] = {true, entry.objectType, entry.leftSibling, entry.rightSibling, application, entry.location()};
        if (result == kProbeUnknown) {
          switch (application) {
            case CompoundApplication::Word:
              result = kProbeWord;
              wordDocument = entry.location();
              break;
            case CompoundApplication::Excel: result = kProbeExcel; break;
            case CompoundApplication::PowerPoint: result = kProbePowerPoint; break;
            default: break;
          }
        }
        return EntryVerdict::Continue;
      },
      true);
  if (result != kProbeUnknown && firstChild) topApplication = TopApplication(nodes, *firstChild, wordDocument);
  const bool wordOnTop = topApplication == CompoundApplication::Word ||
                        (topApplication == CompoundApplication::Unknown && result == kProbeWord);
  if (wordOnTop) wordInfo.isTemplate = wordTemplateFlag(fd, wordDocument);
  FreeBuffers();
  // A probe cut short by Stop has not seen the whole directory: it names no application.
  if (stopRequested()) {
    topApplication = CompoundApplication::Unknown;
    return kProbeUnknown;
  }
  return result;
}

}  // namespace brenvik
