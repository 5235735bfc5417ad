#include "invalid_files/EmbeddedThumbnail.h"

#include <cstring>
#include <string>

#include "platform/FileOps.h"

namespace brenvik {
namespace {

// Real pictures have a handful of segments before their data; this bounds the work on a file of
// many empty ones.
constexpr int kSegmentsLooked = 64;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// TIFF-structured EXIF data in the byte order its header names.
class Tiff {
 public:
  explicit Tiff(std::string_view bytes) : bytes_(bytes) {}
  bool Valid() const {
    return bytes_.size() >= 8 && (bytes_.starts_with("II*") || bytes_.starts_with("MM\0*"));
  }
  bool Has(uint64_t offset, uint64_t count) const { return offset <= bytes_.size() && count <= bytes_.size() - offset; }
  uint16_t U16(size_t at) const {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes_.data() + at);
    return little() ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : Be16(p);
  }
  uint32_t U32(size_t at) const {
    return little() ? U16(at) | (uint32_t{U16(at + 2)} << 16) : (uint32_t{U16(at)} << 16) | U16(at + 2);
  }
  size_t size() const { return bytes_.size(); }

 private:
  bool little() const { return bytes_[0] == 'I'; }
  std::string_view bytes_;
};

// The thumbnail IFD1 names, relative to the start of the TIFF data.
std::optional<ThumbnailPlace> ExifThumbnail(const Tiff& tiff) {
  if (!tiff.Valid()) return std::nullopt;
  const uint32_t ifd0 = tiff.U32(4);
  if (!tiff.Has(ifd0, 2)) return std::nullopt;
  const uint16_t entries0 = tiff.U16(ifd0);
  const uint64_t next = uint64_t{ifd0} + 2 + uint64_t{entries0} * 12;
  if (!tiff.Has(next, 4)) return std::nullopt;
  const uint32_t ifd1 = tiff.U32(static_cast<size_t>(next));
  if (ifd1 == 0 || !tiff.Has(ifd1, 2)) return std::nullopt;
  const uint16_t entries1 = tiff.U16(ifd1);
  std::optional<uint32_t> offset, length;
  for (uint32_t i = 0; i < entries1; ++i) {
    const uint64_t entry = uint64_t{ifd1} + 2 + uint64_t{i} * 12;
    if (!tiff.Has(entry, 12)) break;
    const auto at = static_cast<size_t>(entry);
    const uint16_t tag = tiff.U16(at);
    const uint16_t type = tiff.U16(at + 2);
    // LONG, or a SHORT where a writer chose it; one value, kept in the entry itself.
    const uint32_t value = type == 3 ? tiff.U16(at + 8) : tiff.U32(at + 8);
    if (type != 3 && type != 4) continue;
    if (tag == 0x0201) offset = value;
    if (tag == 0x0202) length = value;
  }
  if (!offset || !length || *length < 4 || !tiff.Has(*offset, *length)) return std::nullopt;
  return ThumbnailPlace{*offset, *length};
}

}  // namespace

bool StartsAsJpeg(int fd) {
  uint8_t head[3];
  return ReadAt(fd, head, sizeof head, 0) == 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

std::optional<ThumbnailPlace> FindEmbeddedThumbnail(int fd, int64_t size) {
  if (!StartsAsJpeg(fd)) return std::nullopt;
  int64_t at = 2;
  std::string segment;
  for (int n = 0; n < kSegmentsLooked && at + 4 <= size; ++n) {
    uint8_t head[4];
    if (ReadAt(fd, head, sizeof head, at) != 4 || head[0] != 0xFF) return std::nullopt;
    const uint8_t marker = head[1];
    if (marker == 0xFF) {  // fill byte before a marker
      ++at;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // the picture's data, or its end
    if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
      at += 2;
      continue;
    }
    const uint16_t length = Be16(head + 2);
    if (length < 2) return std::nullopt;
    const int64_t data = at + 4;
    const int64_t dataLength = std::min<int64_t>(length - 2, size - data);
    if ((marker == 0xE1 || marker == 0xE0) && dataLength > 6) {
      segment.resize(static_cast<size_t>(dataLength));
      if (ReadAt(fd, segment.data(), segment.size(), data) != dataLength) return std::nullopt;
      std::optional<ThumbnailPlace> place;
      if (marker == 0xE1 && segment.starts_with(std::string_view("Exif\0\0", 6))) {
        place = ExifThumbnail(Tiff(std::string_view(segment).substr(6)));
        if (place) place->offset += 6;
      } else if (marker == 0xE0 && segment.starts_with(std::string_view("JFXX\0\x10", 6))) {
        place = ThumbnailPlace{6, dataLength - 6};  // a JFIF extension thumbnail coded as JPEG
      }
      if (place && place->length >= 4) {
        const auto* first = reinterpret_cast<const uint8_t*>(segment.data() + place->offset);
        if (first[0] == 0xFF && first[1] == 0xD8) return ThumbnailPlace{data + place->offset, place->length};
      }
    }
    at += 2 + length;
  }
  return std::nullopt;
}

}  // namespace brenvik
