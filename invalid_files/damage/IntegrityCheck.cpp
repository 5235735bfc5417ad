#include "invalid_files/damage/IntegrityCheck.h"

#include <algorithm>
#include <cstring>

#include "core/FileSignatures.h"
#include "invalid_files/damage/FileSource.h"
#include "platform/ByteOrder.h"
#include "platform/FileOps.h"

namespace brenvik {
namespace damage {

bool FileSource::ReadExact(int64_t offset, void* into, size_t count) const {
  if (offset < 0 || offset > size || static_cast<uint64_t>(size - offset) < count) return false;
  return ReadAt(fd, into, count, offset) == static_cast<int64_t>(count);
}

bool ForwardReader::Refill() {
  if (file_.Stopped()) stopped_ = true;
  if (stopped_ || next_ >= file_.size) return false;
  buffer_.resize(static_cast<size_t>(std::min<int64_t>(kChunk, file_.size - next_)));
  const int64_t got = ReadAt(file_.fd, buffer_.data(), buffer_.size(), next_);
  at_ = 0;
  if (got <= 0) {
    buffer_.clear();
    return false;
  }
  buffer_.resize(static_cast<size_t>(got));
  next_ += got;
  return true;
}

std::pair<const uint8_t*, size_t> ForwardReader::Peek() {
  if (at_ == buffer_.size() && !Refill()) return {nullptr, 0};
  return {buffer_.data() + at_, buffer_.size() - at_};
}

size_t ForwardReader::Read(uint8_t* into, size_t count) {
  size_t done = 0;
  while (done < count) {
    const auto [bytes, available] = Peek();
    if (available == 0) break;
    const size_t step = std::min(available, count - done);
    std::memcpy(into + done, bytes, step);
    Take(step);
    done += step;
  }
  return done;
}

const uint8_t* WindowReader::Upto(int64_t offset, size_t count, size_t& got) {
  got = 0;
  if (offset < 0 || offset >= file_.size) return nullptr;
  count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(std::min(count, kWindow)), file_.size - offset));
  if (start_ < 0 || offset < start_ || offset + static_cast<int64_t>(count) > start_ + static_cast<int64_t>(window_.size())) {
    // A step back (a search from the end towards the start) puts the window's end after the bytes
    // asked for, so the next steps back are inside it too; a step forward starts it at them.
    const int64_t start =
        start_ >= 0 && offset < start_ ? std::max<int64_t>(0, offset + static_cast<int64_t>(count) - kWindow) : offset;
    window_.resize(static_cast<size_t>(std::min<int64_t>(kWindow, file_.size - start)));
    const int64_t read = ReadAt(file_.fd, window_.data(), window_.size(), start);
    window_.resize(read > 0 ? static_cast<size_t>(read) : 0);
    start_ = start;
  }
  const int64_t inside = start_ + static_cast<int64_t>(window_.size()) - offset;
  got = static_cast<size_t>(std::max<int64_t>(0, std::min<int64_t>(inside, static_cast<int64_t>(count))));
  return got > 0 ? window_.data() + (offset - start_) : nullptr;
}

const uint8_t* WindowReader::At(int64_t offset, size_t count) {
  size_t got = 0;
  const uint8_t* bytes = Upto(offset, count, got);
  return got == count && count > 0 ? bytes : nullptr;
}

namespace {

enum class Kind { Unknown, Jpeg, Png, Gif, Bmp, Pdf, Zip, Gzip, Rar, Compound, Mp3 };

// How much of a file's start decides what it is.
constexpr size_t kHeadBytes = 4096;

bool EndsWithMp3(std::string_view name) {
  if (name.size() < 4) return false;
  std::string tail(name.substr(name.size() - 4));
  std::transform(tail.begin(), tail.end(), tail.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
  return tail == ".mp3";
}

// A BMP needs more than "BM": the sizes of its two headers must be ones that exist, or any text
// starting with those letters would be judged as a picture.
bool LooksLikeBmp(const uint8_t* head, size_t got) {
  if (!Matches(std::span(head, got), signature::kBmp) || got < 18) return false;
  return damage::KnownBmpHeaderSize(LoadU32(head + 14));
}

// Text never holds control characters other than these; every binary format the checks read has
// others (zeros above all) in its first bytes, so a file without any is text, whatever it starts with.
bool LooksLikeText(const uint8_t* head, size_t got) {
  for (size_t i = 0; i < got; ++i) {
    const uint8_t c = head[i];
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r' && c != 0x1B) return false;
  }
  return true;
}

// "%PDF-" and a version, "1.4".
bool LooksLikePdf(const uint8_t* head, size_t got) {
  return Matches(std::span(head, got), signature::kPdf) && got >= 8 && head[4] == '-' && head[5] >= '1' &&
         head[5] <= '9' && head[6] == '.' && head[7] >= '0' && head[7] <= '9';
}

Kind KindOf(const uint8_t* head, size_t got, std::string_view name) {
  // A PDF may be all text; it is told from text by its objects (the PDF check does that).
  if (LooksLikePdf(head, got)) return Kind::Pdf;
  if (LooksLikeText(head, got)) return Kind::Unknown;
  using namespace signature;
  const std::span<const uint8_t> h(head, got);
  if (Matches(h, kJpeg)) return Kind::Jpeg;
  if (Matches(h, kPng)) return Kind::Png;
  if (Matches(h, kGif87a) || Matches(h, kGif89a)) return Kind::Gif;
  if (LooksLikeBmp(head, got)) return Kind::Bmp;
  if (Matches(h, kZipLocalHeader)) return Kind::Zip;
  if (Matches(h, kGzipDeflate)) return Kind::Gzip;
  if (Matches(h, kRarBlock)) return Kind::Rar;
  if (Matches(h, kCompoundFile)) return Kind::Compound;
  if (IsId3Header(head, got)) return Kind::Mp3;
  // A bare frame sync is two bytes any binary file may start with; only a file named .mp3 counts.
  // (Layer bits 00 are AAC's, not MPEG audio's.)
  if (got >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 && (head[1] & 0x06) != 0 && EndsWithMp3(name))
    return Kind::Mp3;
  return Kind::Unknown;
}

}  // namespace
}  // namespace damage

IntegrityVerdict IntegrityVerdict::Damaged(std::string_view type, std::string_view why) {
  std::string reason(type);
  reason += ": ";
  reason += why;
  return {Integrity::Damaged, std::move(reason), 0};
}

IntegrityVerdict IntegrityVerdict::EndsAt(int64_t end, int64_t size) {
  if (end >= size) return Whole();
  return {Integrity::Tail, std::to_string(size - end) + " bytes after the end", end};
}

IntegrityVerdict CheckIntegrity(int fd, int64_t size, std::string_view name, const std::atomic<int>* stop) {
  using namespace damage;
  uint8_t head[kHeadBytes] = {};
  const int64_t got = size > 0 ? ReadAt(fd, head, sizeof head, 0) : 0;
  if (got <= 0) return IntegrityVerdict::Unjudged();
  const FileSource file{fd, size, stop};
  IntegrityVerdict verdict;
  switch (KindOf(head, static_cast<size_t>(got), name)) {
    case Kind::Jpeg: verdict = CheckJpeg(file); break;
    case Kind::Png: verdict = CheckPng(file); break;
    case Kind::Gif: verdict = CheckGif(file); break;
    case Kind::Bmp: verdict = CheckBmp(file); break;
    case Kind::Pdf: verdict = CheckPdf(file); break;
    case Kind::Zip: verdict = CheckZip(file); break;
    case Kind::Gzip: verdict = CheckGzip(file); break;
    case Kind::Rar: verdict = CheckRar(file); break;
    case Kind::Compound: verdict = CheckCompound(file); break;
    case Kind::Mp3: verdict = CheckMp3(file); break;
    case Kind::Unknown: break;
  }
  // A check cut off by Stop saw only part of the file: it says nothing.
  if (file.Stopped()) return IntegrityVerdict::Unjudged();
  return verdict;
}

}  // namespace brenvik
