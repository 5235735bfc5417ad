#include "readers/ZipArchive.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "readers/NameText.h"

namespace brenvik {
namespace {

constexpr size_t kRawNameLimit = 1020;
constexpr size_t kInflateChunk = 1 << 16;
constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;

// The archive is read through the platform's shared open (which never blocks on a FIFO) and
// positioned reads, instead of the zip reader's own stdio streams. The zip reader takes its
// headers a byte at a time, so small reads are served from a read-ahead buffer.
struct ArchiveStream {
  static constexpr size_t kReadAhead = 16 * 1024;
  UniqueFd owned;  // the file the archive opened itself; none for a caller's open file
  int fd = -1;
  int64_t position = 0;
  int64_t length = 0;
  bool failed = false;
  std::vector<char> buffer;
  int64_t bufferStart = 0;  // file offset of buffer[0]
};

// The archive in a file the caller has open, read as if it ended after `length` bytes (the whole
// file when negative).
struct OpenArchive {
  int fd;
  int64_t length;
};

ArchiveStream* StartStream(UniqueFd owned, int fd, int64_t length) {
  auto* stream = new ArchiveStream;
  stream->owned = std::move(owned);
  stream->fd = fd;
  const int64_t size = fd >= 0 ? FileSize(fd) : -1;
  stream->length = length >= 0 && size >= 0 ? std::min(length, size) : size;
  if (stream->length < 0) {
    delete stream;
    return nullptr;
  }
  return stream;
}

bool OpensForReading(int mode) { return (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ; }

voidpf OpenStream(voidpf, const void* filename, int mode) {
  if (!OpensForReading(mode) || filename == nullptr) return nullptr;
  UniqueFd fd = OpenShared(static_cast<const char*>(filename));
  const int raw = fd.get();
  return StartStream(std::move(fd), raw, -1);
}

// The "file name" is a pointer to an OpenArchive, whose descriptor the stream reads through
// without owning it (positioned reads leave the caller's file offset alone).
voidpf OpenStreamOnFd(voidpf, const void* archive, int mode) {
  if (!OpensForReading(mode) || archive == nullptr) return nullptr;
  const auto* file = static_cast<const OpenArchive*>(archive);
  return StartStream(UniqueFd(), file->fd, file->length);
}

uLong ReadStream(voidpf, voidpf opaque, void* buffer, uLong size) {
  auto* stream = static_cast<ArchiveStream*>(opaque);
  if (size < ArchiveStream::kReadAhead) {
    const int64_t bufferEnd = stream->bufferStart + static_cast<int64_t>(stream->buffer.size());
    if (stream->position < stream->bufferStart || stream->position + static_cast<int64_t>(size) > bufferEnd) {
      // The search for the end records walks backwards from the end: a read before the buffer
      // fills it with what lies before, so the next steps back are served from it too.
      const bool backwards = stream->position < stream->bufferStart && !stream->buffer.empty();
      // The first read is that search's, at the end: the whole tail is read at once, since the
      // search steps back through it and the central directory often lies in it too.
      const bool firstAtEnd =
          stream->buffer.empty() && stream->position + static_cast<int64_t>(ArchiveStream::kReadAhead) >= stream->length;
      const int64_t start =
          backwards    ? std::max<int64_t>(0, stream->position + static_cast<int64_t>(size) - ArchiveStream::kReadAhead)
          : firstAtEnd ? std::max<int64_t>(0, stream->length - static_cast<int64_t>(ArchiveStream::kReadAhead))
                       : stream->position;
      // Never past the length: the file may go on beyond the archive.
      stream->buffer.resize(
          static_cast<size_t>(std::clamp<int64_t>(stream->length - start, 0, ArchiveStream::kReadAhead)));
      const int64_t n = ReadAt(stream->fd, stream->buffer.data(), stream->buffer.size(), start);
      stream->buffer.resize(static_cast<size_t>(std::max<int64_t>(n, 0)));
      stream->bufferStart = start;
      if (n < 0) {
        stream->failed = true;
        return 0;
      }
    }
    const auto at = static_cast<size_t>(std::max<int64_t>(0, stream->position - stream->bufferStart));
    const size_t n = at < stream->buffer.size() ? std::min<size_t>(size, stream->buffer.size() - at) : 0;
    if (n == 1)
      *static_cast<char*>(buffer) = stream->buffer[at];  // most reads: the headers' single bytes
    else
      std::memcpy(buffer, stream->buffer.data() + at, n);
    stream->position += static_cast<int64_t>(n);
    return static_cast<uLong>(n);
  }
  const int64_t left = std::max<int64_t>(0, stream->length - stream->position);
  const int64_t n = ReadAt(stream->fd, buffer, static_cast<size_t>(std::min<int64_t>(size, left)), stream->position);
  if (n < 0) {
    stream->failed = true;
    return 0;
  }
  stream->position += n;
  return static_cast<uLong>(n);
}

uLong WriteStream(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T TellStream(voidpf, voidpf opaque) { return static_cast<ZPOS64_T>(static_cast<ArchiveStream*>(opaque)->position); }

long SeekStream(voidpf, voidpf opaque, ZPOS64_T offset, int origin) {
  auto* stream = static_cast<ArchiveStream*>(opaque);
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
    // The zip reader steps back over an extra field it has read by a negative offset, passed
    // in this unsigned type.
    const auto step = static_cast<int64_t>(offset);
    if (step < -stream->position || (step > 0 && step > INT64_MAX - stream->position)) return -1;
    stream->position += step;
    return 0;
  }
  int64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
    case ZLIB_FILEFUNC_SEEK_END: base = stream->length; break;
    default: return -1;
  }
  if (offset > static_cast<ZPOS64_T>(INT64_MAX - base)) return -1;
  stream->position = base + static_cast<int64_t>(offset);
  return 0;
}

int CloseStream(voidpf, voidpf opaque) {
  delete static_cast<ArchiveStream*>(opaque);
  return 0;
}

int StreamError(voidpf, voidpf opaque) { return static_cast<ArchiveStream*>(opaque)->failed ? 1 : 0; }

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr uint16_t kNtfsExtra = 0x000A;
constexpr uint16_t kExtendedTimestampExtra = 0x5455;
constexpr uint16_t kNtfsTimesTag = 0x0001;

// A DOS date and time as minizip splits them out, in C's calendar fields (a damaged one may hold
// fields out of range, which the conversions carry over as C does).
std::tm CalendarFields(const tm_unz& date) {
  std::tm fields{};
  fields.tm_sec = static_cast<int>(date.tm_sec);
  fields.tm_min = static_cast<int>(date.tm_min);
  fields.tm_hour = static_cast<int>(date.tm_hour);
  fields.tm_mday = static_cast<int>(date.tm_mday);
  fields.tm_mon = static_cast<int>(date.tm_mon);
  fields.tm_year = static_cast<int>(date.tm_year) - 1900;
  return fields;
}

// The stored reading, counted as a UTC file time: never passed through this machine's zone, so a
// reading that falls into its spring-forward gap stays the hour it says.
int64_t WallClockOf(const tm_unz& date) {
  std::tm fields = CalendarFields(date);
  const std::time_t seconds = ::timegm(&fields);
  if (seconds == static_cast<std::time_t>(-1)) return -1;
  return (static_cast<int64_t>(seconds) + kSecondsFrom1601To1970) * kTicksPerSecond;
}

// The moment a reading stands for on this machine, as the desktop's own zip handling takes it.
int64_t MomentOfLocal(const tm_unz& date) {
  std::tm fields = CalendarFields(date);
  fields.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&fields);
  if (seconds == static_cast<std::time_t>(-1)) return 0;
  return (static_cast<int64_t>(seconds) + kSecondsFrom1601To1970) * kTicksPerSecond;
}

// The true moment an item's extra field gives, as a UTC file time: the NTFS block's modification
// time, else the extended timestamp's. Every block length is checked against the bytes there are;
// a block that claims more ends the walk.
std::optional<int64_t> MomentFromExtraField(std::string_view field) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(field.data());
  std::optional<int64_t> extended;
  for (size_t at = 0; field.size() - at >= 4;) {
    const uint16_t id = LoadU16(bytes + at);
    const size_t size = LoadU16(bytes + at + 2);
    const size_t body = at + 4;
    if (size > field.size() - body) break;
    if (id == kNtfsExtra && size >= 4) {
      // Four reserved bytes, then tagged attributes; tag 1 holds the modification, access and
      // creation times.
      for (size_t tag = body + 4; body + size - tag >= 4;) {
        const uint16_t kind = LoadU16(bytes + tag);
        const size_t length = LoadU16(bytes + tag + 2);
        if (length > body + size - tag - 4) break;
        const uint64_t modified = length >= 8 ? LoadU64(bytes + tag + 4) : 0;
        if (kind == kNtfsTimesTag && modified != 0 && modified <= uint64_t{INT64_MAX}) return static_cast<int64_t>(modified);
        tag += 4 + length;
      }
    } else if (id == kExtendedTimestampExtra && size >= 5 && (bytes[body] & 0x01) != 0) {
      // Seconds since 1970 in 32 bits; read unsigned, which reaches to 2106.
      extended = (int64_t{LoadU32(bytes + body + 1)} + kSecondsFrom1601To1970) * kTicksPerSecond;
    }
    at = body + size;
  }
  return extended;
}

// The current item's time: the extra field's moment where it has one, else its DOS reading.
ZipItemTime CurrentTime(void* handle, const unz_file_info64& info) {
  if (info.size_file_extra > 0) {
    std::string field(std::min<uLong>(info.size_file_extra, 0xFFFF), '\0');
    if (unzGetCurrentFileInfo64(static_cast<unzFile>(handle), nullptr, nullptr, 0, field.data(),
                                static_cast<uLong>(field.size()), nullptr, 0) == UNZ_OK) {
      if (const std::optional<int64_t> moment = MomentFromExtraField(field)) return {*moment, -1};
    }
  }
  const int64_t wallClock = WallClockOf(info.tmu_date);
  const int64_t moment = MomentOfLocal(info.tmu_date);
  return {moment, moment != 0 ? wallClock : -1};
}

// The current item's directory record and its stored name bytes.
bool CurrentInfo(void* handle, unz_file_info64& info, std::string& rawName) {
  char name[kRawNameLimit + 1] = {};
  if (handle == nullptr ||
      unzGetCurrentFileInfo64(static_cast<unzFile>(handle), &info, name, kRawNameLimit, nullptr, 0, nullptr, 0) !=
          UNZ_OK)
    return false;
  rawName.assign(name, std::min<uLong>(info.size_filename, kRawNameLimit));
  return true;
}

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

}  // namespace

std::u16string ZipTimeText(const ZipItemTime& time) {
  return time.wallClock >= 0 ? WallClockText(time.wallClock) : TimestampText(time.fileTime);
}

std::u16string SafeEntryName(std::u16string_view name) {
  if (name.size() >= 2 && name[1] == u':' &&
      ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z')))
    name.remove_prefix(2);
  std::vector<std::u16string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !IsSeparator(name[i])) continue;
    const std::u16string_view part = name.substr(start, i - start);
    start = i + 1;
    if (part == u"..")
      parts.clear();
    else if (!part.empty() && part != u".")
      parts.push_back(part);
  }
  std::u16string safe;
  for (const auto& part : parts) {
    if (!safe.empty()) safe += u'/';
    safe += part;
  }
  return safe;
}

ZipArchive::ZipArchive(const std::filesystem::path& path) {
  zlib_filefunc64_def functions{OpenStream, ReadStream, WriteStream, TellStream,
                                SeekStream, CloseStream, StreamError, nullptr};
  handle_ = unzOpen2_64(path.c_str(), &functions);
}

ZipArchive::ZipArchive(int fd, int64_t length) {
  zlib_filefunc64_def functions{OpenStreamOnFd, ReadStream, WriteStream, TellStream,
                                SeekStream, CloseStream, StreamError, nullptr};
  OpenArchive file{fd, length};
  if (fd >= 0) handle_ = unzOpen2_64(&file, &functions);
}

ZipArchive::~ZipArchive() { Close(); }

void ZipArchive::Close() {
  if (handle_ != nullptr) unzClose(static_cast<unzFile>(handle_));
  handle_ = nullptr;
}

bool ZipArchive::First() { return handle_ != nullptr && unzGoToFirstFile(static_cast<unzFile>(handle_)) == UNZ_OK; }

bool ZipArchive::Next() { return handle_ != nullptr && unzGoToNextFile(static_cast<unzFile>(handle_)) == UNZ_OK; }

bool ZipArchive::Remember(ZipItemPosition& position) {
  unz64_file_pos place{};
  if (handle_ == nullptr || unzGetFilePos64(static_cast<unzFile>(handle_), &place) != UNZ_OK) return false;
  position = {place.pos_in_zip_directory, place.num_of_file};
  return true;
}

bool ZipArchive::GoTo(const ZipItemPosition& position) {
  const unz64_file_pos place{position.directoryOffset, position.index};
  return handle_ != nullptr && unzGoToFilePos64(static_cast<unzFile>(handle_), &place) == UNZ_OK;
}

bool ZipArchive::Current(ZipItem& item) {
  unz_file_info64 info{};
  if (!CurrentInfo(handle_, info, item.rawName)) return false;
  item.name = SafeEntryName(Utf8ToText(item.rawName));
  item.time = CurrentTime(handle_, info);
  return true;
}

bool ZipArchive::CurrentRawName(std::string& rawName) {
  unz_file_info64 info{};
  return CurrentInfo(handle_, info, rawName);
}

template <typename Sink>
bool ZipArchive::InflateCurrent(uint64_t cap, Sink&& sink) {
  if (handle_ == nullptr) return false;
  auto* zip = static_cast<unzFile>(handle_);
  if (unzOpenCurrentFile(zip) != UNZ_OK) return false;
  // Not zero-filled: the reader writes what it hands out, and a small entry read per package
  // would otherwise cost the clearing of the whole buffer.
  const auto buffer = std::make_unique_for_overwrite<char[]>(kInflateChunk);
  uint64_t total = 0;
  bool ok = true;
  while (ok) {
    const int n = unzReadCurrentFile(zip, buffer.get(), static_cast<unsigned>(kInflateChunk));
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    ok = n > 0 && total <= cap && sink(buffer.get(), static_cast<size_t>(n));
  }
  // A CRC mismatch at the end still leaves usable contents; the caller judges them.
  unzCloseCurrentFile(zip);
  return ok;
}

bool ZipArchive::ExtractCurrent(int folderFd, const std::filesystem::path& relative, uint64_t cap) {
  if (handle_ == nullptr) return false;
  return ReplaceFileBelowAt(folderFd, relative, [&](int fd) {
    return InflateCurrent(cap, [fd](const char* bytes, size_t size) { return WriteFull(fd, bytes, size); });
  });
}

bool ZipArchive::ReadCurrent(std::string& contents, uint64_t cap) {
  contents.clear();
  return InflateCurrent(cap, [&contents](const char* bytes, size_t size) {
    contents.append(bytes, size);
    return true;
  });
}

uint64_t ZipArchive::StatedItemCount() {
  unz_global_info64 global{};
  if (handle_ == nullptr || unzGetGlobalInfo64(static_cast<unzFile>(handle_), &global) != UNZ_OK) return 0;
  return global.number_entry;
}

namespace {

constexpr uint64_t kSizeInZip64Field = 0xFFFFFFFFu;

// The sizes a Zip64 extra field (0x0001) holds for the directory's fields left at 0xFFFFFFFF, in
// their order there. The zip reader does not take them on 64-bit systems.
void ApplyZip64Sizes(unz_file_info64& info, const std::vector<uint8_t>& extra) {
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = LoadU16(extra.data() + at), size = LoadU16(extra.data() + at + 2);
    at += 4;
    if (size > extra.size() - at) return;
    if (id == 0x0001) {
      size_t field = at;
      const size_t end = at + size;
      if (info.uncompressed_size == kSizeInZip64Field && field + 8 <= end) {
        info.uncompressed_size = LoadU64(extra.data() + field);
        field += 8;
      }
      if (info.compressed_size == kSizeInZip64Field && field + 8 <= end) info.compressed_size = LoadU64(extra.data() + field);
      return;
    }
    at += size;
  }
}

}  // namespace

ZipItemCheck ZipArchive::CheckCurrent(uint64_t& budget, const std::atomic<int>* stop) {
  auto* zip = static_cast<unzFile>(handle_);
  unz_file_info64 info{};
  if (zip == nullptr || unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
    return ZipItemCheck::LocalHeaderDamaged;
  if (info.uncompressed_size == kSizeInZip64Field || info.compressed_size == kSizeInZip64Field) {
    std::vector<uint8_t> extra(info.size_file_extra);
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, extra.data(), static_cast<uLong>(extra.size()), nullptr, 0) !=
        UNZ_OK)
      return ZipItemCheck::LocalHeaderDamaged;
    ApplyZip64Sizes(info, extra);
  }
  if ((info.flag & 1) != 0 || (info.compression_method != 0 && info.compression_method != Z_DEFLATED))
    return ZipItemCheck::Passed;
  if (unzOpenCurrentFile(zip) != UNZ_OK) return ZipItemCheck::LocalHeaderDamaged;
  const auto buffer = std::make_unique_for_overwrite<char[]>(kInflateChunk);
  int n = 0;
  uint64_t inflated = 0;
  while ((n = unzReadCurrentFile(zip, buffer.get(), static_cast<unsigned>(kInflateChunk))) > 0) {
    const bool stopped = stop != nullptr && stop->load(std::memory_order_relaxed) != 0;
    if (static_cast<uint64_t>(n) > budget || stopped) {
      unzCloseCurrentFile(zip);
      return ZipItemCheck::OverBudget;
    }
    budget -= static_cast<uint64_t>(n);
    inflated += static_cast<uint64_t>(n);
  }
  const int closed = unzCloseCurrentFile(zip);
  // Other data written over a deflate stream can end it early with a valid last block; the reader
  // then checks no CRC, so the stated size is what tells (when the directory states it at all).
  const bool sizeStated = info.uncompressed_size != kSizeInZip64Field;
  if (n < 0 || (sizeStated && inflated != info.uncompressed_size)) return ZipItemCheck::DataDamaged;
  return closed == UNZ_CRCERROR ? ZipItemCheck::CrcError : ZipItemCheck::Whole;
}

}  // namespace brenvik
