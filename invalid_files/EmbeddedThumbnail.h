#pragma once
// Where a JPEG picture keeps the small JPEG picture of itself that cameras embed: the EXIF
// thumbnail (IFD1's JPEGInterchangeFormat and its length) or a JFIF extension thumbnail coded as
// JPEG. A carving tool writes such a thumbnail out as a file of its own.
#include <cstdint>
#include <optional>

namespace brenvik {

struct ThumbnailPlace {
  int64_t offset = 0;  // from the start of the file
  int64_t length = 0;
};

// True when the file starts as a JPEG (FF D8 FF).
bool StartsAsJpeg(int fd);

// The embedded JPEG thumbnail of the JPEG picture open at `fd` (of `size` bytes), when it has one
// that lies wholly inside its segment and starts as a JPEG. Only the segments before the picture's
// own data are looked at, at most a bounded number of them.
std::optional<ThumbnailPlace> FindEmbeddedThumbnail(int fd, int64_t size);

}  // namespace brenvik
