#include "readers/ZipDirectory.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "platform/ByteOrder.h"
#include "platform/FileOps.h"

namespace brenvik {
namespace {

constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kDirectoryRecordSize = 46;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr uint32_t kDirectoryRecordSignature = 0x02014B50;
constexpr uint32_t kEndRecordSignature = 0x06054B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint16_t kEncrypted = 1;
constexpr uint16_t kSizesTrail = 8;
// A directory larger than this is left to the zip library.
constexpr int64_t kLargestDirectory = 1 << 20;

// Inflates raw deflate data from `next` to at most `end` of the file into `contents`.
bool InflateFrom(int fd, const HeldBytes& held, int64_t next, int64_t end, uint64_t cap, std::string& contents) {
  // Each thread keeps its inflater: setting one up costs more than inflating a package's small
  // entries.
  struct Inflater {
    z_stream stream{};
    bool ready = inflateInit2(&stream, -MAX_WBITS) == Z_OK;
    ~Inflater() {
      if (ready) inflateEnd(&stream);
    }
  };
  thread_local Inflater inflater;
  if (!inflater.ready || inflateReset(&inflater.stream) != Z_OK) return false;
  z_stream& stream = inflater.stream;
  // The input a reset leaves is the last item's, whose bytes may be gone.
  stream.next_in = nullptr;
  stream.avail_in = 0;
  constexpr size_t kChunk = 4096;
  uint8_t input[kChunk];
  char output[kChunk];
  bool outputFull = false;  // inflate may hold more output for the input it has
  int status = Z_OK;
  while (status == Z_OK) {
    if (stream.avail_in == 0 && !outputFull) {
      if (next >= end) break;
      const size_t wanted = static_cast<size_t>(std::min<int64_t>(end - next, kChunk));
      if (const uint8_t* in = held.at(next, wanted)) {
        stream.next_in = const_cast<Bytef*>(in);  // inflate does not write its input
        stream.avail_in = static_cast<uInt>(wanted);
      } else {
        const int64_t got = ReadAt(fd, input, wanted, next);
        if (got <= 0) break;
        stream.next_in = input;
        stream.avail_in = static_cast<uInt>(got);
      }
      next += stream.avail_in;
    }
    stream.next_out = reinterpret_cast<Bytef*>(output);
    stream.avail_out = sizeof output;
    status = inflate(&stream, Z_NO_FLUSH);
    const size_t produced = sizeof output - stream.avail_out;
    outputFull = stream.avail_out == 0;
    if (status == Z_BUF_ERROR && stream.avail_in == 0) status = Z_OK;  // it wants more input
    if (contents.size() + produced > cap) status = Z_MEM_ERROR;
    else contents.append(output, produced);
  }
  return status == Z_STREAM_END;
}

}  // namespace

const uint8_t* HeldBytes::at(int64_t offset, size_t count) const {
  if (offset < from) return nullptr;
  const uint64_t inside = static_cast<uint64_t>(offset - from);
  if (inside > bytes.size() || bytes.size() - inside < count) return nullptr;
  return bytes.data() + inside;
}

bool ReadLocalItem(int fd, int64_t length, const HeldBytes& held, int64_t headerOffset, std::string_view name,
                   int64_t packedSize, uint64_t cap, std::string& contents) {
  contents.clear();
  constexpr size_t kLongestName = 64;  // the names asked about are short
  if (headerOffset < 0 || name.size() > kLongestName) return false;
  uint8_t copy[kLocalHeaderSize + kLongestName];
  const size_t headerBytes = kLocalHeaderSize + name.size();
  const uint8_t* h = held.at(headerOffset, headerBytes);
  if (h == nullptr) {
    if (ReadAt(fd, copy, headerBytes, headerOffset) != static_cast<int64_t>(headerBytes)) return false;
    h = copy;
  }
  const uint16_t flags = LoadU16(h + 6), method = LoadU16(h + 8);
  if (LoadU32(h) != kLocalHeaderSignature || (flags & kEncrypted) != 0 || LoadU16(h + 26) != name.size() ||
      std::memcmp(h + kLocalHeaderSize, name.data(), name.size()) != 0)
    return false;
  const bool sizesKnown = (flags & kSizesTrail) == 0;
  const uint32_t localPacked = LoadU32(h + 18), unpacked = LoadU32(h + 22);
  // Zip64 sizes sit in the extra field; such an item is left to the zip library.
  if (sizesKnown && (localPacked == 0xFFFFFFFFu || unpacked == 0xFFFFFFFFu)) return false;
  if (packedSize < 0 && sizesKnown) packedSize = localPacked;
  const int64_t dataStart = headerOffset + static_cast<int64_t>(headerBytes) + LoadU16(h + 28);
  int64_t dataEnd = packedSize >= 0 ? dataStart + packedSize : INT64_MAX;
  if (length >= 0) dataEnd = std::min(dataEnd, length);

  if (method == 0) {
    if (packedSize < 0 || static_cast<uint64_t>(packedSize) > cap || dataEnd - dataStart != packedSize ||
        (sizesKnown && unpacked != packedSize))
      return false;
    const auto size = static_cast<size_t>(packedSize);
    if (const uint8_t* data = held.at(dataStart, size)) {
      contents.assign(reinterpret_cast<const char*>(data), size);
      return true;
    }
    contents.resize(size);
    return ReadAt(fd, contents.data(), size, dataStart) == packedSize;
  }
  if (method != 8 || !InflateFrom(fd, held, dataStart, dataEnd, cap, contents) ||
      (sizesKnown && contents.size() != unpacked)) {
    contents.clear();
    return false;
  }
  return true;
}

ZipDirectory::Outcome ZipDirectory::Read(int fd, int64_t length, const HeldBytes& held) {
  fd_ = fd;
  length_ = length;
  entries_.clear();
  directory_.clear();
  if (fd < 0) return Outcome::LeftToLibrary;
  if (length < static_cast<int64_t>(kEndRecordSize)) return Outcome::NoArchive;
  tailFrom_ = std::max<int64_t>(0, length - kZipTailRead);
  tail_.resize(static_cast<size_t>(length - tailFrom_));
  if (const uint8_t* bytes = held.at(tailFrom_, tail_.size())) std::memcpy(tail_.data(), bytes, tail_.size());
  else if (ReadAt(fd, tail_.data(), tail_.size(), tailFrom_) != static_cast<int64_t>(tail_.size())) return Outcome::LeftToLibrary;

  // The last end record in the tail, as the zip library takes it.
  size_t end = tail_.size() - kEndRecordSize + 1;
  do {
    --end;
  } while (end > 0 && LoadU32(tail_.data() + end) != kEndRecordSignature);
  if (LoadU32(tail_.data() + end) != kEndRecordSignature)
    return tailFrom_ == 0 ? Outcome::NoArchive : Outcome::LeftToLibrary;  // the whole file was searched
  const uint8_t* record = tail_.data() + end;
  const uint16_t count = LoadU16(record + 10);
  const uint32_t size = LoadU32(record + 12), offset = LoadU32(record + 16);
  const bool zip64Locator = end >= kZip64LocatorSize && LoadU32(record - kZip64LocatorSize) == kZip64LocatorSignature;
  if (zip64Locator || count == 0xFFFF || size == 0xFFFFFFFFu || offset == 0xFFFFFFFFu ||
      LoadU16(record + 4) != 0 || LoadU16(record + 6) != 0 || LoadU16(record + 8) != count ||
      size > kLargestDirectory)
    return Outcome::LeftToLibrary;
  // Bytes before the archive (a self-extractor's program, or what a carving kept) shift every
  // offset the records state by the same amount.
  const int64_t endAt = tailFrom_ + static_cast<int64_t>(end);
  const int64_t shift = endAt - (int64_t{offset} + size);
  if (shift < 0) return Outcome::LeftToLibrary;
  const int64_t directoryAt = endAt - size;

  const uint8_t* records = HeldBytes{tail_, tailFrom_}.at(directoryAt, size);
  if (records == nullptr) {
    directory_.resize(size);
    if (ReadAt(fd, directory_.data(), size, directoryAt) != static_cast<int64_t>(size)) return Outcome::LeftToLibrary;
    records = directory_.data();
  }
  size_t at = 0;
  while (entries_.size() < std::min<size_t>(count, kZipDirectoryEntries) && size - at >= kDirectoryRecordSize) {
    const uint8_t* r = records + at;
    if (LoadU32(r) != kDirectoryRecordSignature) break;  // the walk ends at a damaged record
    const size_t nameLength = LoadU16(r + 28);
    const size_t recordSize = kDirectoryRecordSize + nameLength + LoadU16(r + 30) + LoadU16(r + 32);
    if (size - at < recordSize) break;
    const uint32_t packed = LoadU32(r + 20), local = LoadU32(r + 42);
    if (packed == 0xFFFFFFFFu || local == 0xFFFFFFFFu) {  // Zip64 fields: left to the zip library
      entries_.clear();
      return Outcome::LeftToLibrary;
    }
    entries_.push_back({std::string_view(reinterpret_cast<const char*>(r + kDirectoryRecordSize), nameLength),
                        int64_t{local} + shift, int64_t{packed}});
    at += recordSize;
  }
  return Outcome::Listed;
}

bool ZipDirectory::ReadItem(const Entry& entry, uint64_t cap, std::string& contents) const {
  return ReadLocalItem(fd_, length_, HeldBytes{tail_, tailFrom_}, entry.localHeader, entry.name, entry.packedSize,
                       cap, contents);
}

}  // namespace brenvik
