#include "core/RecordFile.h"

#include <algorithm>
#include <cstring>

#include "platform/ByteOrder.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

constexpr size_t kBufferBytes = 64 * 1024;

// The longest text a length of this width may announce.
uint64_t LongestText(RecordLength width) { return width == RecordLength::U16 ? UINT16_MAX : kLongestRecordText; }

}  // namespace

bool RecordFileWriter::Append(std::initializer_list<std::u16string_view> texts, std::string_view trailer) {
  if (failed_) return false;
  const uint64_t widest = LongestText(width_);
  for (std::u16string_view text : texts) {
    const uint64_t bytes = uint64_t{text.size()} * 2;
    if (bytes > widest) {
      failed_ = true;
      return false;
    }
    uint8_t length[4];
    StoreU32(length, static_cast<uint32_t>(bytes));
    pending_.append(reinterpret_cast<const char*>(length), static_cast<size_t>(width_));
  }
  for (std::u16string_view text : texts) AppendUtf16Le(pending_, text);
  pending_.append(trailer);
  if (pending_.size() >= kBufferBytes) return Flush();
  return true;
}

bool RecordFileWriter::AppendPathBytes(std::string_view bytes, std::string_view trailer) {
  if (!IsAscii(bytes)) return Append({BytesToText(bytes)}, trailer);
  if (failed_) return false;
  if (uint64_t{bytes.size()} * 2 > LongestText(width_)) {
    failed_ = true;
    return false;
  }
  const size_t width = static_cast<size_t>(width_), at = pending_.size();
  pending_.resize(at + width + bytes.size() * 2);
  auto* out = reinterpret_cast<uint8_t*>(pending_.data() + at);
  uint8_t length[4];
  StoreU32(length, static_cast<uint32_t>(bytes.size() * 2));
  std::memcpy(out, length, width);
  out += width;
  for (const char c : bytes) {
    *out++ = static_cast<uint8_t>(c);
    *out++ = 0;
  }
  pending_.append(trailer);
  if (pending_.size() >= kBufferBytes) return Flush();
  return true;
}

bool RecordFileWriter::Flush() {
  if (!pending_.empty() && !failed_) failed_ = !WriteFull(fd_, pending_.data(), pending_.size());
  pending_.clear();
  return !failed_;
}

bool RecordFileReader::read(char* out, size_t count) {
  while (count > 0) {
    if (at_ == buffer_.size()) {
      buffer_.resize(kBufferBytes);
      const int64_t got = ReadAt(fd_, buffer_.data(), buffer_.size(), offset_);
      if (got <= 0) {
        buffer_.clear();
        at_ = 0;
        return false;
      }
      offset_ += got;
      buffer_.resize(static_cast<size_t>(got));
      at_ = 0;
    }
    const size_t take = std::min(count, buffer_.size() - at_);
    std::memcpy(out, buffer_.data() + at_, take);
    at_ += take;
    out += take;
    count -= take;
  }
  return true;
}

bool RecordFileReader::Next(std::vector<std::u16string>& texts, std::string* trailer) {
  const size_t width = static_cast<size_t>(width_);
  std::vector<uint32_t> lengths(texts_);
  for (uint32_t& length : lengths) {
    uint8_t bytes[4] = {};
    if (!read(reinterpret_cast<char*>(bytes), width)) return false;
    length = width == 2 ? LoadU16(bytes) : LoadU32(bytes);
    if (length % 2 != 0 || length > kLongestRecordText) return false;
  }
  texts.resize(texts_);
  for (size_t i = 0; i < texts_; ++i) {
    bytes_.resize(lengths[i]);
    if (!read(bytes_.data(), bytes_.size())) return false;
    texts[i] = Utf16LeText(bytes_);
  }
  bytes_.resize(trailerBytes_);
  if (!read(bytes_.data(), bytes_.size())) return false;
  if (trailer != nullptr) *trailer = bytes_;
  return true;
}

std::optional<std::filesystem::path> RecordFileReader::NextPath() {
  std::vector<std::u16string> texts;
  if (!Next(texts) || texts.empty()) return std::nullopt;
  return TextToPath(texts.front());
}

}  // namespace brenvik
