#pragma once
// The reader object for compound documents (Word and Excel 97-2003 files) and Office Open XML
// packages. This file holds its compound-file layer: header validation, FAT, mini FAT, directory
// walk, mini stream and stream reads, read straight from disk sector by sector. Only version-3
// files with 512-byte sectors are read, and only directory entries reachable in sector order.
//
// Every size and sector number taken from the file is bounded before use; a damaged file just
// ends a load early and leaves the results empty. Nothing here throws or shows a message.
//
// One reader serves one thread. Every operation starts with ResetReader(), opens (or is given)
// its own file, closes it and frees the sector tables before it returns; only the stream
// locations, flags and result texts survive until the next reset.
//
// Hostile files cost work bounded by their size: no chain passes a sector twice (a chain that
// comes back to a sector runs in a circle and ends there), so no stream gathers more than the
// file holds, and the job's stop flag is polled inside every long loop.
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "readers/NameChoices.h"
#include "platform/FileOps.h"
#include "platform/ByteOrder.h"

namespace brenvik {

// Where a stream lives: first sector (regular or mini, by its size against the cutoff) and size.
struct StreamLocation {
  uint32_t startSector = 0;
  uint32_t size = 0;
};

// One 128-byte directory entry as the walk offers it to a client's name rules.
struct DirectoryEntry {
  const uint8_t* bytes = nullptr;  // the whole entry; the UTF-16LE name is its first 64 bytes
  uint16_t nameLength = 0;         // in bytes, terminator included
  uint8_t objectType = 0;          // 2 stream, 5 root
  uint32_t startSector = 0;
  uint32_t streamSize = 0;         // low 32 bits; the high half is ignored
  uint32_t index = 0;              // place in the directory stream: the id the links below use
  // Its neighbours in the tree of its storage's children, and a storage's own tree: ids, or
  // 0xFFFFFFFF for none.
  uint32_t leftSibling = 0;
  uint32_t rightSibling = 0;
  uint32_t child = 0;

  // Byte-for-byte compare of the name with `name` (ASCII or UTF-16) over its UTF-16LE bytes,
  // with the terminating zero unit when `withTerminator`. The stored name length is not used.
  bool nameIs(std::u16string_view name, bool withTerminator = true) const;
  StreamLocation location() const { return {startSector, streamSize}; }
};

// Word File Information Block flags and the CLX position, filled by the Word text reader.
struct WordFileInfo {
  bool isTemplate = false;   // 0x0001: a template (.dot); the probe fills it too
  bool complex = false;      // 0x0004
  bool hasPictures = false;  // 0x0008
  bool encrypted = false;    // 0x0100
  bool whichTable = false;   // 0x0200: "1Table" rather than "0Table"
  uint16_t farEastLanguage = 0;
  uint32_t fcClx = 0;
  uint32_t lcbClx = 0;
};

// A piece of Word text: its character positions, and where its bytes sit in the main stream.
struct PieceRange {
  int32_t firstCharacter = 0;
  int32_t characterCount = 0;
};
struct PieceTextLocation {
  uint32_t byteOffset = 0;
  uint16_t flag = 0;  // nonzero: 8-bit text
};

// What reading one file cost, zeroed by ResetReader: lets a caller see that a hostile file was
// read with work bounded by its size.
struct ReadWork {
  uint64_t sectorsVisited = 0;     // chain steps of every kind (FAT, mini FAT, DIFAT, directory)
  uint64_t streamBytesRead = 0;    // main-stream bytes read and loaded while its text was gathered
  uint32_t partsExtracted = 0;     // package parts inflated into the temporary folder
};

// The sectors one chain has passed through. Sector numbers at or beyond `sectorCount` are never
// remembered: no chain gets past them, as they lie outside the file (or the mini stream).
class ChainVisits {
 public:
  explicit ChainVisits(uint64_t sectorCount);
  // True the first time the chain reaches `sector`; false when it comes back to it.
  bool First(uint32_t sector);

 private:
  std::vector<bool> seen_;
};

// What the streams at the top of a compound file (the root's own children, not the streams of
// objects embedded in it) say wrote it.
enum class CompoundApplication { Unknown, Word, Excel, PowerPoint, Message };

class DocumentReader {
 public:
  // Results of ProbeCompoundFile.
  static constexpr int kProbeInvalidHeader = -1;
  static constexpr int kProbeUnknown = 0;
  static constexpr int kProbeWord = 1;
  static constexpr int kProbeExcel = 2;
  static constexpr int kProbePowerPoint = 3;

  // Bounds applied to everything read from a file.
  static constexpr uint32_t kSectorBound = 0x800000;          // chains stop at sector numbers >= this
  static constexpr uint32_t kDirectoryWalkBound = 0x80000;    // directory bytes walked at most
  static constexpr uint32_t kMiniStreamBound = 0xA00000;      // larger root streams are not loaded
  static constexpr uint32_t kSectorSize = 512;
  static constexpr uint32_t kMiniSectorSize = 64;
  static constexpr uint32_t kHeaderDifatCount = 109;
  static constexpr uint32_t kMaxDifatSectors = 16514;
  static constexpr uint16_t kWordMagic = 0xA5EC;  // the first bytes of a Word File Information Block

  DocumentReader() = default;
  DocumentReader(const DocumentReader&) = delete;
  DocumentReader& operator=(const DocumentReader&) = delete;

  // Frees every buffer, zeroes every size, location and flag, empties the results, the piece
  // vectors and the work counts. The choices and the stop flag are kept.
  void ResetReader();

  // True once the job's stop flag is set. A read that is stopped ends as if the file ended
  // there, and its results are emptied, so no name is ever made from half a file.
  bool stopRequested() const { return stopFlag != nullptr && stopFlag->load(std::memory_order_relaxed) != 0; }
  // The next step of a chain: false when the chain must end here because it comes back to a
  // sector it passed already, or because Stop was pressed. Counts the step.
  bool StepChain(ChainVisits& visits, uint32_t sector);
  // Empties the results of a read that Stop interrupted (the end of every text operation).
  void DropResultsIfStopped();
  // Chain visits sized for the regular sectors of the file, or for the mini sectors.
  ChainVisits RegularChain() const;
  ChainVisits MiniChain() const;
  // The most bytes the chain of `stream` can gather: a chain passes each sector at most once,
  // so a stream never holds more than the file (or the mini stream) has sectors.
  uint64_t StreamCapacity(const StreamLocation& stream) const;

  // Which Office application wrote the compound file open in `file`: kProbeWord, kProbeExcel,
  // kProbePowerPoint, kProbeUnknown when none of their streams was found or the directory is
  // malformed, kProbeInvalidHeader when the header is not valid. For a Word document it also
  // reads the template flag into wordInfo.isTemplate. Resets the reader first; closes the file and
  // frees the tables before returning.
  //
  // The result names the first such stream in directory order, wherever it sits, so a message or
  // a document that embeds a workbook may be named by its attachment. topApplication says what
  // the streams at the top of the file name (Unknown when the directory's tree cannot be
  // followed or names none of them); the template flag is then that top document's.
  int ProbeCompoundFile(UniqueFd file);
  // The same, when the caller has already read the file's first 512 bytes (zero-filled beyond
  // its end) into `header`, and perhaps looked up its length (negative when not): neither is
  // asked of the file again.
  int ProbeCompoundFile(UniqueFd file, std::span<const uint8_t, 512> header, int64_t length = -1);

  // ---- Text for names (OfficeBinaryText.cpp, OoxmlText.cpp) --------------------------------
  // Each resets the reader, reads the file at `path` and fills the results it names; a file that
  // cannot be read, or a damaged part of one, just leaves the results (or some of them) empty.
  // The gathering limit is choices.nameLengthLimit: contentText stops growing at the step that
  // reaches it, so it may run past the limit and callers cut it.
  //
  // A Word 97-2003 document: dateText (last save) and contentText (leading text of the pieces).
  void ReadWordDocument(const std::filesystem::path& path);
  // An Excel 97-2003 workbook: dateText, sheetText (sheet names) and contentText (shared strings).
  void ReadExcelWorkbook(const std::filesystem::path& path);
  // A .docx package: dateText (time of its document part) and contentText (paragraph and table
  // text). Extracts the document part into Brenvik's private folder in choices.temporaryFolder.
  void ReadDocx(const std::filesystem::path& path);
  // A .xlsx package: dateText (newest part time); sheetText with choices.sheet; contentText with
  // choices.content (shared strings, else the inline strings of sheet 1). Extracts its parts into
  // Brenvik's private folder in choices.temporaryFolder.
  void ReadXlsx(const std::filesystem::path& path);

  // ---- Load steps, in this order, on an open file -------------------------------------------
  // Takes the file length, reads and validates the header, assembles the FAT and loads the mini
  // FAT. False when the header is not valid (nothing else is loaded then).
  bool LoadTables(int fd);
  // File length, header validation and copy; `known` is the file's first 512 bytes and
  // `knownLength` its length (when not negative) when the caller has them already.
  bool ReadHeader(int fd, const uint8_t* known = nullptr, int64_t knownLength = -1);
  // Lists the FAT sectors named by the header DIFAT and the DIFAT chain, up to the first one that
  // is out of bounds. Their contents are read on first use (FatEntry), so a probe reads only the
  // FAT sectors its chains touch; entries that could not be listed read as free/end markers.
  void AssembleFat(int fd);
  void LoadMiniFat(int fd);
  // The FAT entry of `sector` into `next`; false when the FAT has no entry for it (the FAT is
  // smaller than sector * 4 + 4 bytes).
  bool FatEntry(int fd, uint32_t sector, uint32_t& next);
  bool MiniFatEntry(uint32_t sector, uint32_t& next) const;

  enum class EntryVerdict { Continue, Stop };
  enum class DirectoryEnd { Finished, StoppedByClient, Malformed };
  using EntryRule = std::function<EntryVerdict(const DirectoryEntry&)>;
  // Walks the directory in sector order. The first well-formed entry must be the root (which sets
  // rootStream); every later well-formed stream entry (type 2) is offered to `rule`, and with
  // `everyEntry` the root and the storages too. A malformed entry or a bad root ends the walk with
  // Malformed.
  DirectoryEnd WalkDirectory(int fd, const EntryRule& rule, bool everyEntry = false);
  // Loads the root stream as the mini stream when its size is 1..kMiniStreamBound.
  void LoadMiniStream(int fd);

  // Reads `destination.size()` bytes of the chain starting at `startSector` into `destination`,
  // which the caller has zero-filled. A chain that ends early succeeds (the tail stays zero);
  // a sector outside the file or the tables fails.
  bool ReadRegularStream(int fd, uint32_t startSector, std::span<uint8_t> destination);
  bool ReadMiniStream(uint32_t startSector, std::span<uint8_t> destination);
  // Regular when the stream's size is at least the mini stream cutoff, else mini.
  bool ReadStream(int fd, const StreamLocation& stream, std::span<uint8_t> destination);

  // Frees the FAT, mini FAT, mini stream and table buffers (end of every operation).
  void FreeBuffers();

  // ---- Fields -----------------------------------------------------------------------------
  int64_t fileLength = 0;
  NameChoices choices;  // copy taken by the client; name length limit = gathering limit
  // The running job's stop flag (nonzero: stop), or none; the job that sets it keeps it alive
  // while the reader may use it.
  const std::atomic<int>* stopFlag = nullptr;
  ReadWork work;

  uint16_t byteOrder = 0;
  uint32_t sectorSize = 0;
  uint32_t miniSectorSize = 0;
  uint32_t fatSectorCount = 0;
  uint32_t firstDirectorySector = 0;
  uint32_t miniStreamCutoff = 0;
  uint32_t firstMiniFatSector = 0;
  uint32_t miniFatSectorCount = 0;
  uint32_t firstDifatSector = 0;
  uint32_t difatSectorCount = 0;
  std::array<uint32_t, kHeaderDifatCount> headerDifat{};

  // The FAT: `fatByteSize` bytes as the header declares them (capped where no chain can reach);
  // `fatSectors` are the readable FAT sectors in order, `fat` their contents (little-endian u32
  // sector numbers, 0xFF until read), `fatSectorLoaded` which of them were read.
  uint64_t fatByteSize = 0;
  std::vector<uint32_t> fatSectors;
  std::vector<uint8_t> fat;
  std::vector<bool> fatSectorLoaded;
  std::vector<uint8_t> miniFat;     // little-endian u32 mini sector numbers
  std::vector<uint8_t> miniStream;
  std::vector<uint8_t> tableStream;  // "0Table" or "1Table" while a Word document is read

  StreamLocation rootStream;     // the mini stream
  StreamLocation mainStream;     // "WordDocument" or "Workbook"
  StreamLocation table1Stream;   // "1Table"
  StreamLocation table0Stream;   // "0Table"
  StreamLocation summaryStream;  // U+0005 "SummaryInformation"

  std::u16string dateText;
  std::u16string sheetText;
  std::u16string contentText;

  CompoundApplication topApplication = CompoundApplication::Unknown;  // filled by the probe
  WordFileInfo wordInfo;
  std::vector<PieceRange> pieceRanges;
  std::vector<PieceTextLocation> pieceTextLocations;

 private:
  int probe(int fd, const uint8_t* knownHeader, int64_t knownLength = -1);
  bool wordTemplateFlag(int fd, const StreamLocation& wordDocument);
  bool sectorInsideFile(uint32_t sector, uint32_t bytes) const;
  bool readSector(int fd, uint32_t sector, uint8_t* destination, uint32_t bytes) const;
  // `bytes` at `offset` of the file: from wholeFile_ when the probe holds it, else read.
  bool readBytes(int fd, uint8_t* destination, size_t bytes, uint64_t offset) const;
  // Takes one DIFAT entry as the next FAT sector; false when assembling must stop.
  bool listFatSector(uint32_t sector);
  bool fatFull() const { return uint64_t{fatSectors.size()} * kSectorSize >= fatByteSize; }

  // A small file the probe read whole, so its scattered sectors cost one read; empty otherwise.
  std::vector<uint8_t> wholeFile_;
};

// Points a reader at a job's stop flag for one scope, and back at what it had after.
class ReaderStopScope {
 public:
  ReaderStopScope(DocumentReader& reader, const std::atomic<int>* stop) : reader_(reader), previous_(reader.stopFlag) {
    reader_.stopFlag = stop;
  }
  ~ReaderStopScope() { reader_.stopFlag = previous_; }
  ReaderStopScope(const ReaderStopScope&) = delete;
  ReaderStopScope& operator=(const ReaderStopScope&) = delete;

 private:
  DocumentReader& reader_;
  const std::atomic<int>* previous_;
};

}  // namespace brenvik
