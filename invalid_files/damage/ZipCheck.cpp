// Zip family (zip, jar, OOXML, OpenDocument): the end of the central directory is found and
// checked against the directory's place; minizip then walks the directory and inflates every entry,
// which checks its local header and CRC. Inflating stops at each entry's stated size, and the
// whole archive at a budget bounded by its own size, so a zip bomb costs no more than a big file.
#include <minizip/unzip.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "invalid_files/damage/FileSource.h"
#include "platform/ByteOrder.h"
#include "platform/FileOps.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "zip";
constexpr int64_t kEndRecordSize = 22;
constexpr int64_t kLongestComment = 0xFFFF;
constexpr size_t kNameShown = 96;
constexpr uint64_t kInflateBudgetBase = 64ull << 20;
constexpr uint64_t kInflateBudgetPerByte = 256;

// The archive as minizip sees it: the file cut at the end of its directory.
struct ZipView {
  const FileSource* file = nullptr;
  int64_t length = 0;
  int64_t position = 0;
};

voidpf OpenView(voidpf opaque, const void*, int) { return opaque; }
uLong ReadView(voidpf, voidpf stream, void* into, uLong size) {
  auto* view = static_cast<ZipView*>(stream);
  const int64_t room = std::max<int64_t>(0, view->length - view->position);
  const auto count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), room));
  const int64_t got = count == 0 ? 0 : ReadAt(view->file->fd, into, count, view->position);
  if (got <= 0) return 0;
  view->position += got;
  return static_cast<uLong>(got);
}
uLong WriteView(voidpf, voidpf, const void*, uLong) { return 0; }
ZPOS64_T TellView(voidpf, voidpf stream) { return static_cast<ZPOS64_T>(static_cast<ZipView*>(stream)->position); }
long SeekView(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* view = static_cast<ZipView*>(stream);
  int64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) base = view->position;
  if (origin == ZLIB_FILEFUNC_SEEK_END) base = view->length;
  if (offset > static_cast<ZPOS64_T>(INT64_MAX / 2)) return -1;
  const int64_t target = base + static_cast<int64_t>(offset);
  if (target < 0 || target > view->length) return -1;
  view->position = target;
  return 0;
}
int CloseView(voidpf, voidpf) { return 0; }
int ErrorOfView(voidpf, voidpf) { return 0; }

// True when the end record at `at` names a directory that ends right where the record starts
// (the Zip64 locator and record when the short fields are full).
bool DirectoryEndsAt(WindowReader& window, int64_t at) {
  const uint8_t* record = window.At(at, kEndRecordSize);
  if (record == nullptr || std::memcmp(record, "PK\x05\x06", 4) != 0) return false;
  const uint32_t size = LoadU32(record + 12), offset = LoadU32(record + 16);
  if (offset != 0xFFFFFFFFu && size != 0xFFFFFFFFu) return int64_t{offset} + size == at;
  const uint8_t* locator = window.At(at - 20, 20);
  if (locator == nullptr || std::memcmp(locator, "PK\x06\x07", 4) != 0) return false;
  const uint64_t record64At = LoadU64(locator + 8);
  if (record64At > static_cast<uint64_t>(at)) return false;
  const uint8_t* record64 = window.At(static_cast<int64_t>(record64At), 56);
  if (record64 == nullptr || std::memcmp(record64, "PK\x06\x06", 4) != 0) return false;
  const uint64_t size64 = LoadU64(record64 + 40), offset64 = LoadU64(record64 + 48);
  return offset64 <= record64At && size64 == record64At - offset64;
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

std::string EntryName(const char* name) {
  std::string shown(name);
  if (shown.size() > kNameShown) shown = shown.substr(0, kNameShown) + "...";
  return shown;
}

struct ZipCloser {
  void operator()(unzFile zip) const { unzClose(zip); }
};

}  // namespace

IntegrityVerdict CheckZip(const FileSource& file) {
  const int64_t end = FindArchiveEnd(file);
  if (file.Stopped()) return IntegrityVerdict::Unjudged();
  if (end < 0) return IntegrityVerdict::Damaged(kType, "central directory missing");

  ZipView view{&file, end, 0};
  zlib_filefunc64_def functions{};
  functions.zopen64_file = OpenView;
  functions.zread_file = ReadView;
  functions.zwrite_file = WriteView;
  functions.ztell64_file = TellView;
  functions.zseek64_file = SeekView;
  functions.zclose_file = CloseView;
  functions.zerror_file = ErrorOfView;
  functions.opaque = &view;
  std::unique_ptr<void, ZipCloser> zip(unzOpen2_64("", &functions));
  if (!zip) return IntegrityVerdict::Damaged(kType, "central directory damaged");
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(zip.get(), &global) != UNZ_OK)
    return IntegrityVerdict::Damaged(kType, "central directory damaged");

  const uint64_t budget = kInflateBudgetBase + kInflateBudgetPerByte * static_cast<uint64_t>(file.size);
  uint64_t inflated = 0;
  uint64_t entries = 0;
  std::array<char, 64 * 1024> buffer;
  int walk = unzGoToFirstFile(zip.get());
  for (; walk == UNZ_OK; walk = unzGoToNextFile(zip.get())) {
    ++entries;
    unz_file_info64 info{};
    char name[1024] = {};
    if (unzGetCurrentFileInfo64(zip.get(), &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) != UNZ_OK)
      return IntegrityVerdict::Damaged(kType, "central directory damaged");
    // Encrypted entries, and methods minizip cannot inflate, are passed over.
    if ((info.flag & 1) != 0 || (info.compression_method != 0 && info.compression_method != Z_DEFLATED)) continue;
    if (unzOpenCurrentFile(zip.get()) != UNZ_OK)
      return IntegrityVerdict::Damaged(kType, "entry " + EntryName(name) + " local header damaged");
    int got = 0;
    while ((got = unzReadCurrentFile(zip.get(), buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
      inflated += static_cast<uint64_t>(got);
      if (file.Stopped() || inflated > budget) {
        unzCloseCurrentFile(zip.get());
        return IntegrityVerdict::Unjudged();
      }
    }
    const int closed = unzCloseCurrentFile(zip.get());
    if (got < 0) return IntegrityVerdict::Damaged(kType, "entry " + EntryName(name) + " data damaged");
    if (closed == UNZ_CRCERROR) return IntegrityVerdict::Damaged(kType, "entry " + EntryName(name) + " CRC error");
  }
  if (walk != UNZ_END_OF_LIST_OF_FILE || entries != global.number_entry)
    return IntegrityVerdict::Damaged(kType, "central directory damaged");
  return IntegrityVerdict::EndsAt(end, file.size);
}

}  // namespace brenvik::damage
