#pragma once
// Whether a recovered file still holds a whole, readable structure of its type. Each known type
// is recognised by its first bytes and checked by the library made for it where one exists (zlib,
// libpng, libjpeg, giflib, minizip) or by hand; any other file (plain text included) is not judged.
//
// The answer is one of: whole; damaged (cut short, overwritten, unreadable), with a short reason;
// or whole followed by a tail of other data (carved past its end), with the tail's length.
// Work is bounded by the file's size, images are decoded row by row, and a set stop flag ends a
// check early (the file is then not judged).
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace brenvik {

enum class Integrity : uint8_t { Unjudged, Whole, Damaged, Tail };

struct IntegrityVerdict {
  Integrity state = Integrity::Unjudged;
  std::string reason;  // UTF-8: "png: CRC error in chunk 7", "1234 bytes after the end"
  int64_t end = 0;     // Tail: where the whole file ends

  static IntegrityVerdict Whole() { return {Integrity::Whole, {}, 0}; }
  static IntegrityVerdict Unjudged() { return {}; }
  static IntegrityVerdict Damaged(std::string_view type, std::string_view why);
  // Whole up to `end`, or with a tail after it when the file is longer.
  static IntegrityVerdict EndsAt(int64_t end, int64_t size);
};

// Checks the open regular file `fd` of `size` bytes; `name` (its name or path) only tells an MP3
// without a tag from other data. Safe to call from several threads at once.
IntegrityVerdict CheckIntegrity(int fd, int64_t size, std::string_view name, const std::atomic<int>* stop);

}  // namespace brenvik
