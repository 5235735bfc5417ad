// RAR 4 and 5: the archive's header walk (each header with its CRC, to the end block), and the data
// CRC of every file stored without compression.
#include <zlib.h>

#include <optional>
#include <string>

#include "invalid_files/damage/FileSource.h"
#include "readers/RarReader.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "rar";

// The CRC-32 of `size` bytes at `offset`, or nothing when they are not all there.
std::optional<uint32_t> DataCrc(const FileSource& file, int64_t offset, uint64_t size) {
  ForwardReader reader(file, offset);
  uLong crc = crc32(0, nullptr, 0);
  while (size > 0) {
    const auto [bytes, available] = reader.Peek();
    if (available == 0) return std::nullopt;
    const size_t step = static_cast<size_t>(std::min<uint64_t>(available, size));
    crc = crc32(crc, bytes, static_cast<uInt>(step));
    reader.Take(step);
    size -= step;
  }
  return static_cast<uint32_t>(crc);
}

}  // namespace

IntegrityVerdict CheckRar(const FileSource& file) {
  RarNameReader walk;
  if (walk.ReadRarHeaders(file.fd, file.size) != RarNameReader::kWalked)
    return IntegrityVerdict::Damaged(kType, "archive header damaged");
  // Encrypted headers cannot be read without the password: nothing can be said of them.
  if (walk.headersEncrypted()) return IntegrityVerdict::Unjudged();
  int64_t end = walk.archiveEnd();
  // Archives from old versions have no end block: their last entry ends the file.
  if (end == 0 && walk.walkEnd() == file.size) end = file.size;
  if (end == 0 && walk.walkEnd() > file.size) return IntegrityVerdict::Damaged(kType, "data ends inside an entry");
  if (end == 0)
    return IntegrityVerdict::Damaged(kType, "header at byte " + std::to_string(walk.walkEnd()) + " damaged");
  int index = 0;
  for (const RarStoredEntry& entry : walk.storedEntries()) {
    ++index;
    const std::optional<uint32_t> crc = DataCrc(file, entry.dataOffset, entry.size);
    if (file.Stopped()) return IntegrityVerdict::Unjudged();
    if (!crc) return IntegrityVerdict::Damaged(kType, "data ends inside an entry");
    if (*crc != entry.crc)
      return IntegrityVerdict::Damaged(kType, "stored entry " + std::to_string(index) + " CRC error");
  }
  return IntegrityVerdict::EndsAt(end, file.size);
}

}  // namespace brenvik::damage
