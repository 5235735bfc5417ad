// gzip: every member inflates, and zlib checks each member's CRC-32 and length trailer.
#include <zlib.h>

#include <array>
#include <cstring>

#include "invalid_files/damage/FileSource.h"

namespace brenvik::damage {
namespace {

constexpr std::string_view kType = "gzip";

class Inflater {
 public:
  Inflater() { ok_ = inflateInit2(&stream_, 15 + 16) == Z_OK; }
  ~Inflater() { if (ok_) inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  bool ok() const { return ok_; }
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
  bool ok_ = false;
};

std::string_view Why(const z_stream& stream) {
  const std::string_view message = stream.msg != nullptr ? stream.msg : "";
  if (message == "incorrect data check") return "CRC error";
  if (message == "incorrect length check") return "length error";
  if (message == "incorrect header check" || message == "unknown compression method") return "member header damaged";
  return "compressed data damaged";
}

}  // namespace

IntegrityVerdict CheckGzip(const FileSource& file) {
  Inflater inflater;
  if (!inflater.ok()) return IntegrityVerdict::Unjudged();
  z_stream& stream = inflater.stream();
  ForwardReader reader(file);
  std::array<uint8_t, 64 * 1024> out;
  for (;;) {
    const auto [bytes, available] = reader.Peek();
    if (available == 0) {
      if (reader.stopped()) return IntegrityVerdict::Unjudged();
      return IntegrityVerdict::Damaged(kType, "data ends before the end of the member");
    }
    stream.next_in = const_cast<Bytef*>(bytes);
    stream.avail_in = static_cast<uInt>(available);
    int result = Z_OK;
    while (stream.avail_in > 0 && result == Z_OK) {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      result = inflate(&stream, Z_NO_FLUSH);
      if (result == Z_BUF_ERROR) result = Z_OK;  // needs more input
      if (file.Stopped()) return IntegrityVerdict::Unjudged();
    }
    reader.Take(available - stream.avail_in);
    if (result == Z_STREAM_END) {
      // Another member may follow (as `cat a.gz b.gz` makes); anything else is a tail.
      uint8_t next[3] = {};
      const int64_t end = reader.consumed();
      if (file.ReadExact(end, next, 3) && std::memcmp(next, "\x1F\x8B\x08", 3) == 0) {
        inflateReset(&stream);
        continue;
      }
      return IntegrityVerdict::EndsAt(end, file.size);
    }
    if (result != Z_OK) return IntegrityVerdict::Damaged(kType, Why(stream));
  }
}

}  // namespace brenvik::damage
