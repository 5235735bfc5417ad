// Text for names from Word and Excel 97-2003 files: the last-save time from the summary
// information, the Word piece table, and the Excel sheet names and shared strings.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/CodePage.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "readers/DocumentReader.h"
#include "readers/NameText.h"

namespace brenvik {
namespace {

// Size caps for what is taken from a file.
constexpr uint64_t kMainStreamCap = 0x19000000;     // 400 MiB of "WordDocument" or "Workbook"
constexpr uint64_t kTableStreamCap = 0x6400000;     // 100 MiB of "0Table" / "1Table"
constexpr uint32_t kSummaryStreamCap = 0x200000;    // 2 MiB of summary information
constexpr uint32_t kSmallestSummaryStream = 56;

// No caller uses more of contentText than the longest name the settings allow, so a long piece
// is decoded only until this much text is gathered (the rest of it could never reach a name).
constexpr size_t kLongestUsableContent = 512;

constexpr uint8_t kSummaryFormatId[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                          0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
constexpr uint32_t kLastSaveTimeProperty = 13;
constexpr std::u16string_view kSummaryName = u"\u0005SummaryInformation";

constexpr uint16_t kBoundSheetRecord = 0x0085;
constexpr uint16_t kSstRecord = 0x00FC;
constexpr uint16_t kCodePageRecord = 0x0042;

// Random access to the first `size` bytes of a stream, read from the file only where asked, so a
// large document is never read further than its text is needed. Reads give what a whole-stream
// read would: zero bytes past the end of the chain or from the first sector that cannot be read.
class StreamView {
 public:
  StreamView(DocumentReader& reader, int fd, const StreamLocation& stream, uint64_t size)
      : reader_(reader),
        fd_(fd),
        mini_(stream.size < reader.miniStreamCutoff),
        unit_(mini_ ? DocumentReader::kMiniSectorSize : DocumentReader::kSectorSize),
        size_(size),
        next_(stream.startSector),
        visits_(mini_ ? reader.MiniChain() : reader.RegularChain()) {}

  static constexpr uint64_t kBlockSize = 64 * 1024;

  uint64_t size() const { return size_; }
  // Bytes handed out by Read plus bytes loaded into the block: the work this view has done.
  uint64_t work() const { return work_; }

  // Copies `out.size()` bytes from `offset`; bytes outside the stream read as zero.
  void Read(uint64_t offset, std::span<uint8_t> out) {
    work_ += out.size();
    std::fill(out.begin(), out.end(), 0);
    size_t done = 0;
    while (done < out.size() && offset + done < size_) {
      const uint64_t at = offset + done;
      loadBlock(at / kBlockSize);
      const size_t inBlock = static_cast<size_t>(at % kBlockSize);
      const size_t n = std::min<uint64_t>({out.size() - done, kBlockSize - inBlock, size_ - at});
      std::memcpy(out.data() + done, block_.data() + inBlock, n);
      done += n;
    }
  }

  // True when every byte from `offset` on reads as zero because the sector chain ends before it:
  // walks over a damaged stream's size stop there instead of scanning zeros.
  bool ZeroFrom(uint64_t offset) {
    extendChain(static_cast<size_t>(std::min<uint64_t>(offset / unit_, SIZE_MAX - 1)));
    return ended_ && offset >= uint64_t{chain_.size()} * unit_;
  }

  uint16_t U16(uint64_t offset) {
    uint8_t b[2];
    Read(offset, b);
    return LoadU16(b);
  }
  uint32_t U32(uint64_t offset) {
    uint8_t b[4];
    Read(offset, b);
    return LoadU32(b);
  }

 private:
  // Makes `chain_` name the sectors up to index `index` where the chain reaches that far.
  void extendChain(size_t index) {
    while (chain_.size() <= index && !ended_) {
      const uint32_t sector = next_;
      const uint64_t gathered = uint64_t{chain_.size()} * unit_;
      if (sector >= DocumentReader::kSectorBound || gathered >= size_) {
        ended_ = true;
        break;
      }
      const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(unit_, size_ - gathered));
      const bool readable = mini_ ? uint64_t{sector} * unit_ + chunk <= reader_.miniStream.size()
                                  : reader_.fileLength >= 0 &&
                                        (uint64_t{sector} + 1) * unit_ + chunk <= uint64_t(reader_.fileLength);
      // A chain that comes back to a sector runs in a circle: it ends where it would start
      // repeating itself.
      if (!readable || !reader_.StepChain(visits_, sector)) {
        ended_ = true;
        break;
      }
      chain_.push_back(sector);
      const bool linked = mini_ ? reader_.MiniFatEntry(sector, next_) : reader_.FatEntry(fd_, sector, next_);
      if (!linked) ended_ = true;
    }
  }

  void loadBlock(uint64_t block) {
    if (loadedBlock_ == block) return;
    work_ += kBlockSize;
    block_.assign(kBlockSize, 0);
    const uint64_t first = block * kBlockSize / unit_;
    const uint64_t count = kBlockSize / unit_;
    extendChain(static_cast<size_t>(first + count - 1));
    const uint64_t available = std::min<uint64_t>(count, chain_.size() > first ? chain_.size() - first : 0);
    for (uint64_t i = 0; i < available;) {
      // Sectors that follow each other in the file are read with one call.
      uint64_t run = 1;
      while (!mini_ && i + run < available && chain_[first + i + run] == chain_[first + i + run - 1] + 1) ++run;
      const uint64_t gathered = (first + i) * unit_;
      const auto bytes = static_cast<size_t>(std::min<uint64_t>(run * unit_, size_ - gathered));
      const uint32_t sector = chain_[first + i];
      uint8_t* place = block_.data() + i * unit_;
      if (mini_) {
        std::memcpy(place, reader_.miniStream.data() + uint64_t{sector} * unit_, bytes);
      } else if (ReadAt(fd_, place, bytes, static_cast<int64_t>((uint64_t{sector} + 1) * unit_)) !=
                 static_cast<int64_t>(bytes)) {
        std::fill(place, place + bytes, 0);
        break;
      }
      i += run;
    }
    loadedBlock_ = block;
  }

  DocumentReader& reader_;
  int fd_;
  bool mini_;
  uint32_t unit_;
  uint64_t size_;
  uint32_t next_;
  ChainVisits visits_;
  bool ended_ = false;
  std::vector<uint32_t> chain_;
  std::vector<uint8_t> block_;
  std::optional<uint64_t> loadedBlock_;
  uint64_t work_ = 0;
};

// The whole of a stream, zero-filled where it cannot be read. Bytes past what the file can hold
// for it (StreamCapacity) would read as zero, so they are not held at all: a small file that
// declares a huge stream costs no more memory than its own size.
std::vector<uint8_t> ReadWhole(DocumentReader& reader, int fd, const StreamLocation& stream, uint64_t size) {
  std::vector<uint8_t> bytes(static_cast<size_t>(std::min(size, reader.StreamCapacity(stream))), 0);
  reader.ReadStream(fd, stream, bytes);
  return bytes;
}

// A stream of `size` bytes of which only the first `held.size()` are held; the rest read as zero.
class ZeroExtended {
 public:
  ZeroExtended(std::span<const uint8_t> held, uint64_t size) : held_(held), size_(size) {}
  uint64_t size() const { return size_; }
  uint64_t held() const { return held_.size(); }
  uint8_t U8(uint64_t at) const { return at < held_.size() ? held_[at] : 0; }
  uint16_t U16(uint64_t at) const { return static_cast<uint16_t>(U8(at) | (U8(at + 1) << 8)); }
  uint32_t U32(uint64_t at) const { return U16(at) | (static_cast<uint32_t>(U16(at + 2)) << 16); }

 private:
  std::span<const uint8_t> held_;
  uint64_t size_;
};

void ReadSummaryDate(DocumentReader& reader, int fd) {
  const uint32_t size = reader.summaryStream.size;
  if (size < kSmallestSummaryStream || size > kSummaryStreamCap) return;
  const std::vector<uint8_t> held = ReadWhole(reader, fd, reader.summaryStream, size);
  const ZeroExtended s(held, size);
  uint8_t formatId[16];
  for (uint64_t i = 0; i < sizeof formatId; ++i) formatId[i] = s.U8(28 + i);
  if (s.U32(24) != 1 || std::memcmp(formatId, kSummaryFormatId, 16) != 0 || s.U32(44) != 48) return;
  const uint64_t count = s.U32(52);
  if (count == 0 || count * 8 + 56 >= size) return;
  for (uint64_t i = 0; i < count && 56 + 8 * i < s.held(); ++i) {
    const uint64_t pair = 56 + 8 * i;
    if (s.U32(pair) != kLastSaveTimeProperty) continue;
    const uint64_t offset = s.U32(pair + 4);
    // The property's type word is skipped unchecked; the 64-bit time follows it.
    const uint64_t at = 48 + offset + 4;
    if (size >= offset + 60)
      reader.dateText = TimestampText(static_cast<int64_t>(uint64_t{s.U32(at)} | (uint64_t{s.U32(at + 4)} << 32)));
    return;
  }
}

// Whether an 8-bit piece of `bytes` bytes at `offset` is UTF-8: all of its kept bytes (those the
// 8-bit run decoder keeps) are well-formed UTF-8, a last character the piece ends in before
// finishing it included. A piece longer than the work left is judged on what could be read.
bool PieceIsUtf8(StreamView& stream, uint64_t offset, uint64_t bytes, uint64_t workBound, const DocumentReader& reader) {
  constexpr uint64_t kChunk = 4096;
  std::vector<uint8_t> chunk;
  std::string kept;  // a character that runs on into the next chunk, then that chunk's kept bytes
  uint64_t done = 0;
  while (done < bytes && stream.work() < workBound && !reader.stopRequested()) {
    if (stream.ZeroFrom(offset + done)) return kept.empty();  // only zeros follow: the text ends here
    chunk.resize(static_cast<size_t>(std::min(kChunk, bytes - done)));
    stream.Read(offset + done, chunk);
    done += chunk.size();
    Keep8BitRunBytes(chunk, kept);
    const size_t whole = WellFormedUtf8Length(kept);
    if (whole == kept.size()) {
      kept.clear();
    } else if (WithoutCutUtf8End(kept).size() == whole && done < bytes) {
      kept.erase(0, whole);  // a character the chunk's end cut: the next chunk finishes it
    } else {
      return false;
    }
  }
  // Cut short by the work bound, a last character may be unfinished only because of that.
  return kept.empty() || done < bytes;
}

// Decodes a piece of stored text into `into`, cleaned, reading only until `into` holds
// `wanted` characters, the piece ends or the stream has done `workBound` work.
void GatherPiece(StreamView& stream, uint64_t offset, uint64_t bytes, bool wide, std::u16string& into, size_t wanted,
                 uint64_t workBound, const DocumentReader& reader) {
  constexpr uint64_t kChunk = 4096;
  std::vector<uint8_t> chunk;
  std::string pending;  // 8-bit bytes kept but not yet decoded
  // An 8-bit piece is UTF-8 or code-page text as a whole: decided once, at the first part that is
  // not plain ASCII (which reads alike either way), so no name comes out half in each.
  std::optional<bool> utf8;
  const auto decodePending = [&](size_t count, bool cutByLimit) {
    const std::string_view part(pending.data(), count);
    std::u16string text;
    if (IsAscii(part)) {
      text.assign(part.begin(), part.end());
    } else {
      if (!utf8) utf8 = PieceIsUtf8(stream, offset, bytes, workBound, reader);
      text = *utf8 ? Utf8ToText(cutByLimit ? WithoutCutUtf8End(part) : part) : CodePageToText(part, AnsiCodePage());
    }
    CleanName(text);
    into += text;
    pending.erase(0, count);
  };
  uint64_t done = 0;
  while (done < bytes && into.size() < wanted && stream.work() < workBound && !reader.stopRequested() &&
         !stream.ZeroFrom(offset + done)) {
    chunk.resize(static_cast<size_t>(std::min(kChunk, bytes - done)));
    stream.Read(offset + done, chunk);
    done += chunk.size();
    if (wide) {
      std::u16string text = Decode16BitRun(chunk);
      CleanName(text);
      into += text;
      continue;
    }
    Keep8BitRunBytes(chunk, pending);
    // Decode up to the last byte below 0x40: such a byte is a whole character in every ANSI code
    // page (never the second byte of a double-byte one), so the split changes nothing.
    const size_t split = pending.find_last_of(std::string_view(" !\"#$%&'()*+,-./0123456789:;<=>?"));
    if (done >= bytes) decodePending(pending.size(), false);
    else if (split != std::string::npos) decodePending(split + 1, false);
  }
  // What is left was cut where the gathering stopped, not where the piece ends.
  if (!pending.empty()) decodePending(pending.size(), done < bytes);
}

// The piece table of the CLX at `position` in the table stream `t`.
void ParseClx(DocumentReader& reader, const ZeroExtended& t, uint64_t position) {
  const uint64_t size = t.size();
  if (size <= 20) return;
  while (position + 3 <= size) {
    if (t.U8(position) == 1) {  // property modifiers, skipped
      position += 3 + uint64_t{t.U16(position + 1)};
      continue;
    }
    if (t.U8(position) != 2 || position + 21 > size) return;
    const uint32_t length = t.U32(position + 1);
    const uint64_t count = static_cast<uint32_t>(length - 4) / 12;
    if (count == 0 || 12 * count + position + 9 > size) return;
    // A piece whose character positions lie past the bytes the file holds has zero characters
    // and yields nothing, so only the pieces inside them are listed.
    const uint64_t listed = std::min(count, t.held() > position + 5 ? (t.held() - position - 5 + 3) / 4 : 0);
    reader.pieceRanges.reserve(listed);
    reader.pieceTextLocations.reserve(listed);
    for (uint64_t k = 0; k < listed; ++k) {
      const uint32_t first = t.U32(position + 5 + 4 * k);
      const uint32_t next = t.U32(position + 5 + 4 * (k + 1));
      reader.pieceRanges.push_back({static_cast<int32_t>(first), static_cast<int32_t>(next - first)});
      const uint32_t file = t.U32(position + 11 + 4 * count + 8 * k);
      if (file & 0x40000000)
        reader.pieceTextLocations.push_back({(file >> 1) & 0x1FFFFFFF, 1});
      else
        reader.pieceTextLocations.push_back({file & 0x3FFFFFFF, 0});
    }
    return;
  }
}

void ReadWordText(DocumentReader& reader, int fd) {
  if (reader.mainStream.size == 0) return;
  StreamView main(reader, fd, reader.mainStream, std::min<uint64_t>(reader.mainStream.size, kMainStreamCap));
  const uint64_t r = main.size();
  if (r <= 31 || main.U16(0) != DocumentReader::kWordMagic) return;
  const uint16_t flags = main.U16(10);
  WordFileInfo& info = reader.wordInfo;
  info.isTemplate = flags & 0x0001;
  info.complex = flags & 0x0004;
  info.hasPictures = flags & 0x0008;
  info.encrypted = flags & 0x0100;
  info.whichTable = flags & 0x0200;
  if (info.encrypted) return;
  if (r < 62 || main.U16(32) != 14) return;
  info.farEastLanguage = main.U16(60);
  if (r < 152 || main.U16(62) != 22 || r < 426 || main.U16(152) <= 33) return;
  info.fcClx = main.U32(418);
  info.lcbClx = main.U32(422);

  const StreamLocation& table = info.whichTable ? reader.table1Stream : reader.table0Stream;
  if (uint64_t{info.fcClx} + info.lcbClx > table.size || table.size > kTableStreamCap) return;
  reader.tableStream = ReadWhole(reader, fd, table, table.size);
  ParseClx(reader, ZeroExtended(reader.tableStream, table.size), info.fcClx);
  std::vector<uint8_t>().swap(reader.tableStream);

  const int64_t limit = reader.choices.nameLengthLimit;
  const size_t wanted = std::max<size_t>(kLongestUsableContent, static_cast<size_t>(std::max<int64_t>(limit, 0)));
  // The pieces of a document divide its text among them, so reading them all takes each byte of
  // the main stream about once: handed out once, loaded once. A piece table that names the same
  // bytes over and over, or jumps back and forth between blocks, ends at a few times that.
  const uint64_t workBound = 3 * std::min(r, reader.StreamCapacity(reader.mainStream)) + 2 * StreamView::kBlockSize;
  for (size_t k = 0; k < reader.pieceRanges.size() && main.work() < workBound && !reader.stopRequested(); ++k) {
    const PieceTextLocation& where = reader.pieceTextLocations[k];
    const bool wide = where.flag == 0;
    const int64_t available = static_cast<int64_t>(r) - where.byteOffset;
    const int64_t count = reader.pieceRanges[k].characterCount;
    const int64_t take = std::min(available, wide ? 2 * count : count);
    if (take > 0)
      GatherPiece(main, where.byteOffset, static_cast<uint64_t>(take), wide, reader.contentText, wanted, workBound,
                  reader);
    reader.work.streamBytesRead = main.work();
    if (static_cast<int64_t>(reader.contentText.size()) >= limit) return;
  }
}

// The header of one shared string (XLUnicodeRichExtendedString) over `remaining` bytes.
struct StringHeader {
  uint64_t total = 0;       // bytes of the whole string; 0 ends the table
  bool complete = false;    // the text offset and size below are known
  uint64_t textOffset = 0;
  uint64_t textSize = 0;
  bool wide = false;
};

StringHeader ReadStringHeader(const uint8_t* p, uint64_t remaining) {
  StringHeader h;
  if (remaining < 2) return h;
  const uint16_t characters = LoadU16(p);
  h.total = 2;
  if (remaining < 3) return h;
  const uint8_t flags = p[2];
  h.total = 3;
  uint64_t runs = 0, extension = 0;
  if (flags & 0x08) {
    if (remaining < 5) return h;
    runs = LoadU16(p + 3);
    h.total = 5;
  }
  if (flags & 0x04) {
    if (remaining < h.total + 4) return h;
    extension = LoadU32(p + h.total);
    h.total += 4;
  }
  h.wide = flags & 0x01;
  h.textOffset = h.total;
  h.textSize = h.wide ? 2 * uint64_t{characters} : characters;
  h.total += h.textSize + 4 * runs + extension;
  h.complete = true;
  return h;
}

std::u16string SharedStrings(std::span<const uint8_t> body, int64_t limit) {
  std::u16string text;
  const uint64_t size = body.size();
  if (size <= 8) return text;
  for (uint64_t at = 8; at < size;) {
    const StringHeader h = ReadStringHeader(&body[at], size - at);
    if (h.total == 0) break;
    if (h.complete) {
      const uint64_t start = at + h.textOffset;
      if (start >= size) break;
      const auto bytes = body.subspan(start, std::min(h.textSize, size - start));
      // A string without its high bytes holds the low bytes of its UTF-16 units, whatever the
      // code page of the workbook or of this machine.
      std::u16string piece = h.wide ? Decode16BitRun(bytes) : DecodeLatin1Run(bytes);
      CleanName(piece);
      text += piece;
      if (static_cast<int64_t>(text.size()) >= limit) break;
    }
    at += h.total;
  }
  return text;
}

// A sheet name: a BIFF8 string (a flags byte of 0 or 1, then its low bytes or its UTF-16 units),
// or else the byte string of the older formats, in the workbook's declared code page.
std::u16string SheetName(std::span<const uint8_t> body, int declaredCodePage) {
  if (body.size() <= 7) return {};
  const uint8_t characters = body[6];
  const uint8_t flags = body[7];
  const bool unicode = flags < 2;
  const bool wide = unicode && (flags & 1);
  const size_t header = unicode ? 2 : 1;
  if (characters == 0 || 6 + header >= body.size()) return {};
  const size_t count = std::min<size_t>(body.size() - 6 - header, wide ? 2u * characters : characters);
  const auto bytes = body.subspan(6 + header, count);
  if (wide) return Decode16BitRun(bytes);
  return unicode ? DecodeLatin1Run(bytes) : Decode8BitRun(bytes, declaredCodePage);
}

void ReadExcelText(DocumentReader& reader, int fd) {
  if (reader.mainStream.size == 0) return;
  StreamView workbook(reader, fd, reader.mainStream, std::min<uint64_t>(reader.mainStream.size, kMainStreamCap));
  const uint64_t r = workbook.size();
  const int64_t limit = reader.choices.nameLengthLimit;
  std::vector<uint8_t> body;
  int declaredCodePage = 0;  // none until a CODEPAGE record names one
  for (uint64_t at = 0; at + 4 < r && !reader.stopRequested() && !workbook.ZeroFrom(at);) {
    uint8_t head[4];
    workbook.Read(at, head);
    const uint16_t type = LoadU16(head);
    const uint16_t length = LoadU16(head + 2);
    if (type == kCodePageRecord && length >= 2 && at + 6 <= r) declaredCodePage = workbook.U16(at + 4);
    // Records cut by the end of the stream are skipped; CONTINUE records are never followed.
    if ((type == kBoundSheetRecord || type == kSstRecord) && at + 4 + length <= r) {
      body.resize(length);
      workbook.Read(at + 4, body);
      if (type == kBoundSheetRecord) {
        std::u16string name = SheetName(body, declaredCodePage);
        CleanName(name);
        reader.sheetText += name;
      } else {
        reader.contentText += SharedStrings(body, limit);
        if (static_cast<int64_t>(reader.contentText.size()) >= limit) return;
      }
    }
    at += 4 + uint64_t{length};
    reader.work.streamBytesRead = workbook.work();
  }
}

enum class Office { Word, Excel };

// The steps both formats share: tables, directory roles, mini stream, date, then the text.
void ReadOfficeFile(DocumentReader& reader, const std::filesystem::path& path, Office kind) {
  reader.ResetReader();
  UniqueFd file = OpenShared(path);
  if (!file) return;
  const int fd = file.get();
  if (!reader.LoadTables(fd)) {
    reader.FreeBuffers();
    return;
  }
  if (kind == Office::Word) {
    reader.WalkDirectory(fd, [&reader](const DirectoryEntry& entry) {
      if (entry.nameIs(u"WordDocument")) {
        // The first main stream is kept, unless a later one starts at sector 0 (where a document
        // saved over an older one puts its new main stream).
        if (reader.mainStream.size == 0 || (entry.startSector == 0 && entry.streamSize != 0))
          reader.mainStream = entry.location();
      } else if (entry.nameIs(kSummaryName, false)) {
        if (reader.summaryStream.size == 0) reader.summaryStream = entry.location();
      } else if (entry.nameIs(u"1Table")) {
        reader.table1Stream = entry.location();
      } else if (entry.nameIs(u"0Table")) {
        reader.table0Stream = entry.location();
      }
      return DocumentReader::EntryVerdict::Continue;
    });
  } else {
    reader.WalkDirectory(fd, [&reader](const DirectoryEntry& entry) {
      if (entry.nameIs(u"Workbook"))
        reader.mainStream = entry.location();
      else if (entry.nameIs(kSummaryName, false))
        reader.summaryStream = entry.location();
      const bool allFound = reader.mainStream.size != 0 && reader.summaryStream.size != 0 && reader.rootStream.size != 0;
      return allFound ? DocumentReader::EntryVerdict::Stop : DocumentReader::EntryVerdict::Continue;
    });
  }
  reader.LoadMiniStream(fd);
  ReadSummaryDate(reader, fd);
  if (kind == Office::Word)
    ReadWordText(reader, fd);
  else
    ReadExcelText(reader, fd);
  reader.FreeBuffers();
  reader.DropResultsIfStopped();
}

}  // namespace

void DocumentReader::ReadWordDocument(const std::filesystem::path& path) { ReadOfficeFile(*this, path, Office::Word); }

void DocumentReader::ReadExcelWorkbook(const std::filesystem::path& path) { ReadOfficeFile(*this, path, Office::Excel); }

}  // namespace brenvik
