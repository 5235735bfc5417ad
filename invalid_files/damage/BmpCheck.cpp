// BMP: the two headers' sizes against the file; the pixels are raw, so only their length is checked.
#include <cstdlib>

#include "invalid_files/damage/FileSource.h"
#include "platform/ByteOrder.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "bmp";
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kV5HeaderSize = 124;

}  // namespace

bool KnownBmpHeaderSize(uint32_t size) {
  for (const uint32_t known : {kCoreHeaderSize, 16u, 40u, 52u, 56u, 64u, 108u, kV5HeaderSize})
    if (size == known) return true;
  return false;
}

IntegrityVerdict CheckBmp(const FileSource& file) {
  uint8_t h[14 + kV5HeaderSize] = {};
  if (!file.ReadExact(0, h, 18)) return IntegrityVerdict::Damaged(kType, "header cut short");
  const uint32_t infoSize = LoadU32(h + 14);
  if (!KnownBmpHeaderSize(infoSize)) return IntegrityVerdict::Damaged(kType, "picture header damaged");
  if (!file.ReadExact(0, h, 14 + infoSize)) return IntegrityVerdict::Damaged(kType, "header cut short");
  const uint32_t declaredSize = LoadU32(h + 2);
  const uint32_t pixelOffset = LoadU32(h + 10);
  uint64_t width = 0, height = 0;
  uint32_t bits = 0, compression = 0, imageSize = 0;
  if (infoSize == kCoreHeaderSize) {
    width = LoadU16(h + 18);
    height = LoadU16(h + 20);
    bits = LoadU16(h + 24);
  } else {
    width = static_cast<uint64_t>(std::llabs(static_cast<int32_t>(LoadU32(h + 18))));
    height = static_cast<uint64_t>(std::llabs(static_cast<int32_t>(LoadU32(h + 22))));
    bits = LoadU16(h + 28);
    compression = LoadU32(h + 30);
    imageSize = LoadU32(h + 34);
  }
  if (width == 0 || height == 0 || width > (1u << 20) || height > (1u << 20) ||
      (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
    return IntegrityVerdict::Damaged(kType, "picture header damaged");
  if (pixelOffset < 14 + infoSize) return IntegrityVerdict::Damaged(kType, "pixel data offset damaged");

  // Uncompressed rows are padded to 4 bytes; compressed pixels have the stated image size.
  const bool raw = compression == 0 || compression == 3 || compression == 6;
  if (!raw && imageSize == 0) return IntegrityVerdict::Unjudged();  // the length is nowhere stated
  const uint64_t pixelBytes = raw ? (width * bits + 31) / 32 * 4 * height : imageSize;
  int64_t end = static_cast<int64_t>(pixelOffset + pixelBytes);
  if (end > file.size) return IntegrityVerdict::Damaged(kType, "pixel data cut short");
  if (infoSize == kV5HeaderSize) {  // an embedded colour profile may follow the pixels
    const int64_t profileEnd = 14 + int64_t{LoadU32(h + 14 + 112)} + LoadU32(h + 14 + 116);
    if (LoadU32(h + 14 + 116) > 0 && profileEnd > end) end = profileEnd;
    if (end > file.size) return IntegrityVerdict::Damaged(kType, "colour profile cut short");
  }
  if (declaredSize > end && declaredSize <= file.size) end = declaredSize;
  return IntegrityVerdict::EndsAt(end, file.size);
}

}  // namespace brenvik::damage
