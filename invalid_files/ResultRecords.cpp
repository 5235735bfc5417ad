#include "invalid_files/ResultRecords.h"

#include <string>

#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

constexpr size_t kFlushSize = 64 * 1024;
// Far beyond any real path; a longer length can only come from a damaged file.
constexpr uint32_t kLongestRecord = 1024 * 1024;

}  // namespace

bool ResultRecordWriter::Append(const std::filesystem::path& path) {
  const std::u16string text = PathToText(path);
  const uint32_t length = static_cast<uint32_t>(text.size() * 2);
  for (int shift = 0; shift < 32; shift += 8) pending_.push_back(static_cast<uint8_t>(length >> shift));
  for (char16_t c : text) {
    pending_.push_back(static_cast<uint8_t>(c & 0xFF));
    pending_.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (pending_.size() >= kFlushSize) return Flush();
  return !failed_;
}

bool ResultRecordWriter::Flush() {
  if (!pending_.empty() && !failed_) failed_ = !WriteFull(fd_, pending_.data(), pending_.size());
  pending_.clear();
  return !failed_;
}

std::optional<std::filesystem::path> ResultRecordReader::Next() {
  uint8_t lengthBytes[4];
  if (ReadAt(fd_, lengthBytes, 4, offset_) != 4) return std::nullopt;
  const uint32_t length = lengthBytes[0] | (lengthBytes[1] << 8) | (lengthBytes[2] << 16) |
                          (static_cast<uint32_t>(lengthBytes[3]) << 24);
  if (length % 2 != 0 || length > kLongestRecord) return std::nullopt;
  std::string bytes(length, '\0');
  if (ReadAt(fd_, bytes.data(), length, offset_ + 4) != static_cast<int64_t>(length)) return std::nullopt;
  offset_ += 4 + static_cast<int64_t>(length);
  std::u16string text(length / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  return TextToPath(text);
}

}  // namespace brenvik
