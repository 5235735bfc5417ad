// Zip family (zip, jar, OOXML, OpenDocument): the end of the central directory is found and
// checked against the directory's place; the zip reader (minizip) then walks the directory and
// inflates every entry, which checks its local header and CRC. Inflating stops at each entry's stated size, and the
// whole archive at a budget bounded by its own size, so a zip bomb costs no more than a big file.
#include <algorithm>
#include <cstring>
#include <string>

#include "invalid_files/damage/FileSource.h"
#include "platform/ByteOrder.h"
#include "readers/ZipArchive.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "zip";
constexpr int64_t kEndRecordSize = 22;
constexpr int64_t kLocatorSize = 20;   // the Zip64 end record's locator
constexpr int64_t kRecord64Size = 56;  // the Zip64 end record without its extensible data
constexpr int64_t kLongestComment = 0xFFFF;
constexpr size_t kNameShown = 96;
constexpr uint64_t kInflateBudgetBase = 64ull << 20;
constexpr uint64_t kInflateBudgetPerByte = 256;

// True when the end record at `at` names a directory that ends right where it should: where the
// Zip64 end record starts when a Zip64 locator precedes the end record (zip writes one when it
// streams, or when a short field is full, whatever the short fields then say), else where the end
// record starts.
bool DirectoryEndsAt(WindowReader& window, int64_t at) {
  const uint8_t* record = window.At(at, kEndRecordSize);
  if (record == nullptr || std::memcmp(record, "PK\x05\x06", 4) != 0) return false;
  const uint32_t size = LoadU32(record + 12), offset = LoadU32(record + 16);
  const uint8_t* locator = at >= kLocatorSize ? window.At(at - kLocatorSize, kLocatorSize) : nullptr;
  if (locator != nullptr && std::memcmp(locator, "PK\x06\x07", 4) == 0) {
    const uint64_t record64At = LoadU64(locator + 8);
    if (at < kLocatorSize + kRecord64Size || record64At > static_cast<uint64_t>(at - kLocatorSize - kRecord64Size))
      return false;
    const uint8_t* record64 = window.At(static_cast<int64_t>(record64At), kRecord64Size);
    if (record64 == nullptr || std::memcmp(record64, "PK\x06\x06", 4) != 0) return false;
    const uint64_t size64 = LoadU64(record64 + 40), offset64 = LoadU64(record64 + 48);
    return offset64 <= record64At && size64 == record64At - offset64;
  }
  return offset != 0xFFFFFFFFu && size != 0xFFFFFFFFu && int64_t{offset} + size == at;
}

int64_t RecordEnd(WindowReader& window, int64_t at) {
  return at + kEndRecordSize + LoadU16(window.At(at, kEndRecordSize) + 20);
}

// Where the archive ends: after the first end record whose directory fits it. The end of the file
// is tried first (the usual case); a carving that runs on past the archive has it further in.
int64_t FindArchiveEnd(const FileSource& file) {
  WindowReader window(file);
  const int64_t lowest = std::max<int64_t>(0, file.size - kEndRecordSize - kLongestComment);
  for (int64_t at = file.size - kEndRecordSize; at >= lowest; --at) {
    if (DirectoryEndsAt(window, at) && RecordEnd(window, at) == file.size) return file.size;
  }
  // Windows overlap by three bytes, so a record start cut by a window's end is found in the next.
  WindowReader scan(file);
  for (int64_t from = 0; from < file.size; from += WindowReader::kWindow - 3) {
    if (file.Stopped()) return -1;
    size_t got = 0;
    const uint8_t* bytes = scan.Upto(from, WindowReader::kWindow, got);
    if (bytes == nullptr) return -1;
    for (const uint8_t* hit = bytes; (hit = static_cast<const uint8_t*>(memmem(hit, got - static_cast<size_t>(hit - bytes),
                                                                                "PK\x05\x06", 4))) != nullptr;
         ++hit) {
      const int64_t at = from + (hit - bytes);
      if (DirectoryEndsAt(window, at) && RecordEnd(window, at) <= file.size) return RecordEnd(window, at);
    }
    if (got < WindowReader::kWindow) break;
  }
  return -1;
}

std::string EntryName(const std::string& name) {
  return name.size() > kNameShown ? name.substr(0, kNameShown) + "..." : name;
}

}  // namespace

IntegrityVerdict CheckZip(const FileSource& file) {
  const int64_t end = FindArchiveEnd(file);
  if (file.Stopped()) return IntegrityVerdict::Unjudged();
  if (end < 0) return IntegrityVerdict::Damaged(kType, "central directory missing");

  ZipArchive archive(file.fd, end);
  if (!archive.isOpen()) return IntegrityVerdict::Damaged(kType, "central directory damaged");
  uint64_t budget = kInflateBudgetBase + kInflateBudgetPerByte * static_cast<uint64_t>(file.size);
  uint64_t items = 0;
  for (bool more = archive.First(); more; more = archive.Next()) {
    ++items;
    ZipItem item;
    if (!archive.Current(item)) return IntegrityVerdict::Damaged(kType, "central directory damaged");
    const std::string entry = "entry " + EntryName(item.rawName);
    switch (archive.CheckCurrent(budget, file.stop)) {
      case ZipItemCheck::Whole:
      case ZipItemCheck::Passed: break;
      case ZipItemCheck::OverBudget: return IntegrityVerdict::Unjudged();
      case ZipItemCheck::LocalHeaderDamaged: return IntegrityVerdict::Damaged(kType, entry + " local header damaged");
      case ZipItemCheck::DataDamaged: return IntegrityVerdict::Damaged(kType, entry + " data damaged");
      case ZipItemCheck::CrcError: return IntegrityVerdict::Damaged(kType, entry + " CRC error");
    }
  }
  // A directory that ends before the items it states is damaged.
  if (items != archive.StatedItemCount()) return IntegrityVerdict::Damaged(kType, "central directory damaged");
  return IntegrityVerdict::EndsAt(end, file.size);
}

}  // namespace brenvik::damage
